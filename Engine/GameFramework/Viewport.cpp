#include "Viewport.h"

#include "EngineTimings.h"
#include "SlateApplication.h"
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
    Viewport->SetViewportClient(this);
}

UGameViewportClient::~UGameViewportClient()
{
    SetPlayerController(nullptr);
    Widget->SetViewportInterface(nullptr);
    Viewport->SetViewportClient(nullptr);
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
    FScopedEngineTiming Timing(EEngineTiming::ViewportRendered);
    ViewportRenderedDelegate.Broadcast(Viewport.get());
}

// ---- Input ----

FVector2D FViewport::ScreenToViewport(const FGeometry& Geometry, FVector2D ScreenPosition) const
{
    // Desktop pixels to the widget's Slate units, then to the rendered image's pixels.
    const double Scale = Geometry.Scale > 0.f ? Geometry.Scale : 1.0;
    const double LocalX = (ScreenPosition.X - Geometry.AbsolutePosition.X) / Scale;
    const double LocalY = (ScreenPosition.Y - Geometry.AbsolutePosition.Y) / Scale;
    const double PixelsPerUnitX =
        Geometry.LocalSize.X > 0.f ? static_cast<double>(Size.X) / Geometry.LocalSize.X : 1.0;
    const double PixelsPerUnitY =
        Geometry.LocalSize.Y > 0.f ? static_cast<double>(Size.Y) / Geometry.LocalSize.Y : 1.0;
    return {LocalX * PixelsPerUnitX, LocalY * PixelsPerUnitY};
}

bool FViewport::GetMousePos(FVector2D& OutPosition) const
{
    if (!FSlateApplication::IsInitialized())
    {
        return false;
    }
    const FSlateApplication& Slate = FSlateApplication::Get();
    FGeometry Geometry;
    const std::shared_ptr<SViewport>& Widget = Slate.GetGameViewport();
    if (!Widget || Widget->GetViewportInterface() != this ||
        !Slate.GetGameViewportScreenGeometry(Geometry))
    {
        return false;
    }
    OutPosition = ScreenToViewport(Geometry, Slate.GetCursorPos());
    return true;
}

bool FViewport::OnKeyDown(const FGeometry&, const FKeyEvent& Event)
{
    return Client && Client->InputKey(Event.GetKey(), Event.IsRepeat() ? IE_Repeat : IE_Pressed);
}

bool FViewport::OnKeyUp(const FGeometry&, const FKeyEvent& Event)
{
    return Client && Client->InputKey(Event.GetKey(), IE_Released);
}

bool FViewport::OnPointerDown(const FGeometry& Geometry, const FPointerEvent& Event)
{
    if (!Client)
    {
        return false;
    }
    if (Event.IsTouchEvent())
    {
        return Client->InputTouch(Event.GetPointerIndex(), IE_Pressed,
                                  ScreenToViewport(Geometry, Event.GetScreenSpacePosition()),
                                  Event.GetTouchForce());
    }
    return Client->InputKey(Event.GetEffectingButton(), IE_Pressed);
}

bool FViewport::OnPointerUp(const FGeometry& Geometry, const FPointerEvent& Event)
{
    if (!Client)
    {
        return false;
    }
    if (Event.IsTouchEvent())
    {
        return Client->InputTouch(Event.GetPointerIndex(), IE_Released,
                                  ScreenToViewport(Geometry, Event.GetScreenSpacePosition()),
                                  Event.GetTouchForce());
    }
    return Client->InputKey(Event.GetEffectingButton(), IE_Released);
}

bool FViewport::OnPointerMove(const FGeometry& Geometry, const FPointerEvent& Event)
{
    // The cursor's moves are not events for the game: it asks where the cursor is.
    return Client && Event.IsTouchEvent() &&
           Client->InputTouch(Event.GetPointerIndex(), IE_Axis,
                              ScreenToViewport(Geometry, Event.GetScreenSpacePosition()),
                              Event.GetTouchForce());
}

bool FViewport::OnMouseWheel(const FGeometry& Geometry, const FPointerEvent& Event)
{
    return Client && Client->InputWheel(Event.GetWheelDelta(),
                                        ScreenToViewport(Geometry, Event.GetScreenSpacePosition()));
}

void UGameViewportClient::SetPlayerController(APlayerController* InController)
{
    if (PlayerController)
    {
        PlayerController->SetViewportClient(nullptr);
    }
    PlayerController = InController;
    if (PlayerController)
    {
        PlayerController->SetViewportClient(this);
    }
}

bool UGameViewportClient::InputKey(const FKey& Key, EInputEvent Event)
{
    FVector2D Cursor;
    Viewport->GetMousePos(Cursor);
    OnGameInput.Broadcast({FGameInputEvent::EKind::Key, Key, Event, 0, Cursor, 0.f});
    return PlayerController && PlayerController->InputKey(Key, Event);
}

bool UGameViewportClient::InputTouch(uint32 Handle, EInputEvent Event, FVector2D Position,
                                     float Force)
{
    OnGameInput.Broadcast({FGameInputEvent::EKind::Touch, FKey(), Event, Handle, Position, Force});
    return PlayerController != nullptr;
}

bool UGameViewportClient::InputWheel(float Delta, FVector2D Position)
{
    OnGameInput.Broadcast({FGameInputEvent::EKind::Wheel, FKey(), IE_Axis, 0, Position, Delta});
    return PlayerController != nullptr;
}
