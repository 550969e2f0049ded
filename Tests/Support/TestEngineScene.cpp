#include "TestEngineScene.h"

#include "RhiCommandList.h"
#include "Tasks.h"

#include <algorithm>

namespace
{
void WriteScenePixel(EPixelFormat Format, uint8* Out, const std::array<uint8, 3>& Rgb)
{
    switch (Format)
    {
    case PF_B8G8R8A8:
        Out[0] = Rgb[2], Out[1] = Rgb[1], Out[2] = Rgb[0], Out[3] = 255;
        return;
    case PF_A2B10G10R10:
    {
        // Each 10-bit channel holds the byte in its top 8 bits.
        const uint32 Word = (uint32{Rgb[0]} << 2 | 1) | (uint32{Rgb[1]} << 2 | 2) << 10 |
                            (uint32{Rgb[2]} << 2 | 3) << 20 | 3u << 30;
        for (int32 I = 0; I < 4; ++I)
        {
            Out[I] = static_cast<uint8>(Word >> (8 * I));
        }
        return;
    }
    case PF_A32B32G32R32F:
    {
        const FLinearColor Color{Rgb[0] / 255.f, Rgb[1] / 255.f, Rgb[2] / 255.f, 1.f};
        EncodePixel(Format, Color, Out);
        return;
    }
    default: // PF_R8G8B8A8 and PF_R8G8B8A8_SNORM hold the bytes as they are
        Out[0] = Rgb[0], Out[1] = Rgb[1], Out[2] = Rgb[2], Out[3] = 127;
        return;
    }
}
} // namespace

FTestEngineScene::FTestEngineScene(const FTestSceneOptions& InOptions) : Options(InOptions)
{
    RHIInit(Options.Interface);
    GDynamicRHI->GetTimeline().SetLatencyFrames(Options.GpuLatencyFrames);
    FTaskGraph::SetRenderThreadLagFrames(Options.RenderThreadLagFrames);
    FSlateApplication::Create();
    Client = std::make_unique<UGameViewportClient>(Options.ViewportSize.X, Options.ViewportSize.Y,
                                                   Options.ViewportFormat);
    Client->SetSceneRenderer(
        [Format = Options.ViewportFormat, bStamp = Options.bStampFrameNumber](
            FRHICommandListImmediate&, FRHITexture& Target, uint64 Frame)
        {
            const int32 Bytes = GetPixelFormatBlockBytes(Format);
            const int32 W = Target.GetSizeX();
            const int32 H = Target.GetSizeY();
            for (int32 Y = 0; Y < H; ++Y)
            {
                for (int32 X = 0; X < W; ++X)
                {
                    std::array<uint8, 3> Rgb = ScenePixel(X, Y);
                    if (bStamp && FFrameStamp::IsInStamp(Y, H))
                    {
                        const uint8 Level = FFrameStamp::IsWhite(Frame, X, W) ? 255 : 0;
                        Rgb = {Level, Level, Level};
                    }
                    WriteScenePixel(Format, Target.GetRow(Y) + X * Bytes, Rgb);
                }
            }
        });
    Engine.GameViewport = Client.get();
    GEngine = &Engine;
    Client->SetPlayerController(&PlayerController);
    World.SetFirstPlayerController(&PlayerController);
    Window = std::make_shared<SWindow>("Game", Options.WindowSize.X, Options.WindowSize.Y,
                                       Options.BackBufferFormat);
    Window->SetDpiScale(Options.DpiScale);
    Window->MoveWindowTo(Options.WindowPosition);
    Window->SetViewportSlot(Client->GetGameViewportWidget(), Options.ViewportPosition,
                            Options.ViewportSlotSize);
    if (Options.OverlaySize.X > 0.f)
    {
        Window->AddOverlayBox(
            {Options.OverlayPosition,
             Options.OverlaySize,
             {OverlayRgb[0] / 255.f, OverlayRgb[1] / 255.f, OverlayRgb[2] / 255.f, 1.f}});
    }
    FSlateApplication::Get().AddWindow(Window);
    FSlateApplication::Get().SetGameViewport(Client->GetGameViewportWidget());
}

FTestEngineScene::~FTestEngineScene()
{
    FTaskGraph::SetRenderThreadLagFrames(0);
    FlushRenderingCommands();
    GEngine = nullptr;
    FSlateApplication::Shutdown();
    Window.reset();
    Client.reset();
    RHIExit();
}

void FTestEngineScene::Tick(int32 Count)
{
    for (int32 I = 0; I < Count; ++I)
    {
        Loop.Tick(1.f / 60.f);
    }
}

std::array<uint8, 3> FTestEngineScene::ScenePixel(int32 X, int32 Y)
{
    // Never (255, 0, 255): green is odd wherever red is 255.
    const uint8 R = static_cast<uint8>(X * 2);
    return {R, static_cast<uint8>(Y * 2 + 1), static_cast<uint8>((X + Y) & 0x7F)};
}
