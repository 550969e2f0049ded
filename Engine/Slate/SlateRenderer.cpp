#include "SlateRenderer.h"

#include "EngineTimings.h"
#include "RhiCommandList.h"
#include "SWindow.h"
#include "Tasks.h"

namespace
{
// What the render thread needs of one window, captured on the game thread.
struct FWindowDrawData
{
    std::shared_ptr<SWindow> Window;
    std::shared_ptr<FRHIViewport> ViewportRHI;
    FLinearColor Background;
    ISlateViewport* GameViewport = nullptr;
    FIntRect ViewportRect;
    std::vector<FIntRect> BoxRects;
    std::vector<FLinearColor> BoxColors;
};

FWindowDrawData Snapshot(const std::shared_ptr<SWindow>& Window)
{
    FWindowDrawData Data;
    Data.Window = Window;
    Data.ViewportRHI = Window->GetViewportRHI();
    Data.Background = Window->GetBackgroundColor();
    const FGeometry WindowGeometry = Window->GetWindowGeometryInWindow();
    if (const std::shared_ptr<SViewport>& Widget = Window->GetViewportWidget())
    {
        FGeometry Child;
        if (Window->FindChildGeometry(WindowGeometry, *Widget, Child))
        {
            Data.GameViewport = Widget->GetViewportInterface();
            Data.ViewportRect = RoundGeometryToPixels(Child);
        }
    }
    for (const FSlateOverlayBox& Box : Window->GetOverlayBoxes())
    {
        Data.BoxRects.push_back(
            RoundGeometryToPixels(WindowGeometry.MakeChild(Box.Position, Box.Size)));
        Data.BoxColors.push_back(Box.Color);
    }
    return Data;
}

void Compose(FRHICommandListImmediate& CmdList, FRHITexture& BackBuffer,
             const FWindowDrawData& Data)
{
    CmdList.Transition({&BackBuffer, ERHIAccess::Unknown, ERHIAccess::RTV});
    CmdList.ClearRect(&BackBuffer, {}, Data.Background);
    const FTextureRHIRef Scene =
        Data.GameViewport ? Data.GameViewport->GetViewportRenderTargetTexture() : nullptr;
    if (Scene && !Data.ViewportRect.IsEmpty())
    {
        CmdList.Transition({Scene.get(), ERHIAccess::Unknown, ERHIAccess::SRVGraphics});
        FScreenPassDesc Pass;
        Pass.PassName = "SlateViewport";
        Pass.Source = Scene.get();
        Pass.Dest = &BackBuffer;
        Pass.DestRect = Data.ViewportRect;
        const bool bOneToOne = Scene->GetSizeX() == Data.ViewportRect.Width() &&
                               Scene->GetSizeY() == Data.ViewportRect.Height();
        Pass.Filter = bOneToOne ? ESamplerFilter::Point : ESamplerFilter::Bilinear;
        CmdList.DrawScreenPass(Pass);
    }
    for (size_t I = 0; I < Data.BoxRects.size(); ++I)
    {
        CmdList.ClearRect(&BackBuffer, Data.BoxRects[I], Data.BoxColors[I]);
    }
}
} // namespace

void FSlateRenderer::DrawWindows(const std::vector<std::shared_ptr<SWindow>>& Windows)
{
    std::vector<FWindowDrawData> Frame;
    Frame.reserve(Windows.size());
    for (const std::shared_ptr<SWindow>& Window : Windows)
    {
        if (!Window->IsWindowMinimized())
        {
            Frame.push_back(Snapshot(Window));
        }
    }
    EnqueueRenderCommand(
        "SlateDrawWindows",
        [this, Frame = std::move(Frame)]
        {
            FRHICommandListImmediate& CmdList = FRHICommandListExecutor::GetImmediateCommandList();
            for (const FWindowDrawData& Data : Frame)
            {
                FRHITexture* BackBuffer = RHIGetViewportBackBuffer(*Data.ViewportRHI);
                if (BackBuffer)
                {
                    Compose(CmdList, *BackBuffer, Data);
                }
                {
                    FScopedEngineTiming Timing(EEngineTiming::BackBufferReady);
                    BackBufferReady.Broadcast(*Data.Window, BackBuffer);
                }
                if (BackBuffer)
                {
                    CmdList.Transition({BackBuffer, ERHIAccess::Unknown, ERHIAccess::Present});
                    Data.ViewportRHI->Present();
                }
            }
        });
}
