#include "Viewport.h"

#include "Tasks.h"

FViewport::FViewport(int32 SizeX, int32 SizeY, EPixelFormat InFormat)
    : Size{SizeX, SizeY}, Format(InFormat)
{
}

FViewport::~FViewport()
{
    FlushRenderingCommands();
    ViewportDestroyedDelegate.Broadcast(this);
}

FTextureRHIRef FViewport::GetRenderTargetTexture() const
{
    return bWithheldForTest.load() ? nullptr : RenderTarget;
}

FRHITexture& FViewport::PrepareRenderTarget_RenderThread(FIntPoint DrawSize)
{
    if (!RenderTarget || RenderTarget->GetSizeXY() != DrawSize)
    {
        RenderTarget = GDynamicRHI->RHICreateTexture(
            FRHITextureCreateDesc::Create2D("GameViewportRT", DrawSize.X, DrawSize.Y, Format)
                .SetFlags(ETextureCreateFlags::RenderTargetable |
                          ETextureCreateFlags::ShaderResource)
                .SetInitialState(ERHIAccess::RTV));
    }
    return *RenderTarget;
}

UGameViewportClient::UGameViewportClient(int32 SizeX, int32 SizeY, EPixelFormat Format)
    : Viewport(std::make_unique<FViewport>(SizeX, SizeY, Format)),
      Widget(std::make_shared<SViewport>())
{
    Widget->SetViewportInterface(Viewport.get());
}

UGameViewportClient::~UGameViewportClient()
{
    Widget->SetViewportInterface(nullptr);
}

void UGameViewportClient::SetSceneRenderer(FSceneRenderFunction Renderer)
{
    SceneRenderer =
        Renderer ? std::make_shared<const FSceneRenderFunction>(std::move(Renderer)) : nullptr;
}

void UGameViewportClient::Draw(uint64 Frame)
{
    const FIntPoint DrawSize = Viewport->GetSizeXY();
    if (GDynamicRHI && DrawSize.X > 0 && DrawSize.Y > 0)
    {
        EnqueueRenderCommand(
            "DrawViewport",
            [Target = Viewport.get(), DrawSize, Renderer = SceneRenderer, Frame]
            {
                FRHICommandListImmediate& CmdList =
                    FRHICommandListExecutor::GetImmediateCommandList();
                FRHITexture& RT = Target->PrepareRenderTarget_RenderThread(DrawSize);
                CmdList.Transition({&RT, ERHIAccess::Unknown, ERHIAccess::RTV});
                if (Renderer)
                {
                    (*Renderer)(CmdList, RT, Frame);
                }
                else
                {
                    CmdList.ClearRect(&RT, {}, {0.2f, 0.3f, 0.4f, 1.f});
                }
                CmdList.Transition({&RT, ERHIAccess::Unknown, ERHIAccess::SRVGraphics});
            });
    }
    ViewportRenderedDelegate.Broadcast(Viewport.get());
}
