#include "DemoScene.h"

#include "DynamicRhi.h"
#include "FrameStamp.h"
#include "PlatformTime.h"
#include "RhiCommandList.h"
#include "SlateApplication.h"
#include "Tasks.h"

#include <algorithm>

namespace
{
// The viewport's size at scale 1, and the window's margin around it.
constexpr int32 BaseViewWidth = 640;
constexpr int32 BaseViewHeight = 360;
constexpr int32 WindowMarginX = 40;
constexpr int32 WindowMarginY = 60;
// The window's place on the desktop and the viewport's place in the window.
constexpr double WindowX = 100.0;
constexpr double WindowY = 80.0;
constexpr float ViewX = 20.f;
constexpr float ViewY = 30.f;

void Fill(FRHITexture& Target, int32 X0, int32 Y0, int32 X1, int32 Y1, uint8 R, uint8 G, uint8 B)
{
    for (int32 Y = std::max(Y0, 0); Y < std::min(Y1, Target.GetSizeY()); ++Y)
    {
        uint8* Row = Target.GetRow(Y);
        for (int32 X = std::max(X0, 0); X < std::min(X1, Target.GetSizeX()); ++X)
        {
            Row[X * 4 + 0] = B, Row[X * 4 + 1] = G, Row[X * 4 + 2] = R, Row[X * 4 + 3] = 255;
        }
    }
}

// A sky gradient with a sun that moves across it and a striped ground, with the frame
// number stamped across the top so a recording shows which frame each image is.
void DrawLandscape(FRHITexture& Target, uint64 Frame)
{
    const int32 SunX = static_cast<int32>((Frame * 4) % static_cast<uint64>(Target.GetSizeX()));
    const int32 SunY = Target.GetSizeY() / 3;
    for (int32 Y = 0; Y < Target.GetSizeY(); ++Y)
    {
        uint8* Row = Target.GetRow(Y);
        for (int32 X = 0; X < Target.GetSizeX(); ++X)
        {
            uint8 R, G, B;
            if (FFrameStamp::IsInStamp(Y, Target.GetSizeY()))
            {
                R = G = B = FFrameStamp::IsWhite(Frame, X, Target.GetSizeX()) ? 255 : 0;
            }
            else if (Y > Target.GetSizeY() * 2 / 3)
            {
                const bool bStripe = ((X + static_cast<int32>(Frame)) / 24) % 2 == 0;
                R = bStripe ? 40 : 60, G = bStripe ? 140 : 110, B = 50;
            }
            else
            {
                R = static_cast<uint8>(40 + Y / 4), G = static_cast<uint8>(90 + Y / 5), B = 220;
            }
            const int32 Dx = X - SunX, Dy = Y - SunY;
            if (Dx * Dx + Dy * Dy < 40 * 40 && !FFrameStamp::IsInStamp(Y, Target.GetSizeY()))
            {
                R = 255, G = 220, B = 80;
            }
            Row[X * 4 + 0] = B, Row[X * 4 + 1] = G, Row[X * 4 + 2] = R, Row[X * 4 + 3] = 255;
        }
    }
}

void DrawOverlay(FRHITexture& Target, const FDemoScene::FOverlay& Overlay, uint64 Frame)
{
    const int32 Half = Overlay.SquareSize / 2;
    Fill(Target, Overlay.SquareX - Half, Overlay.SquareY - Half, Overlay.SquareX + Half,
         Overlay.SquareY + Half, 230, 60, 200);
    for (const FDemoScene::FOverlay::FMarker& Marker : Overlay.Markers)
    {
        // A white ring (a square outline) that grows for a second after the input.
        const int32 R = 6 + static_cast<int32>(Frame - Marker.Frame) / 4;
        Fill(Target, Marker.X - R, Marker.Y - R, Marker.X + R, Marker.Y - R + 3, 255, 255, 255);
        Fill(Target, Marker.X - R, Marker.Y + R - 3, Marker.X + R, Marker.Y + R, 255, 255, 255);
        Fill(Target, Marker.X - R, Marker.Y - R, Marker.X - R + 3, Marker.Y + R, 255, 255, 255);
        Fill(Target, Marker.X + R - 3, Marker.Y - R, Marker.X + R, Marker.Y + R, 255, 255, 255);
    }
}
} // namespace

FDemoScene::FDemoScene(ERHIInterfaceType Rhi, bool bInFixedFrameTime, int32 ViewportScale)
    : Script(ViewportOrigin()), ViewWidth(BaseViewWidth * std::max(ViewportScale, 1)),
      ViewHeight(BaseViewHeight * std::max(ViewportScale, 1)), bFixedFrameTime(bInFixedFrameTime)
{
    RHIInit(Rhi);
    FSlateApplication::Create();
    Client = std::make_unique<UGameViewportClient>(ViewWidth, ViewHeight, PF_B8G8R8A8);
    Engine.GameViewport = Client.get();
    GEngine = &Engine;
    Client->SetPlayerController(&Player);
    World.SetFirstPlayerController(&Player);
    Client->OnGameInput.Add([this](const FGameInputEvent& Event) { OnGameInput(Event); });
    Window = std::make_shared<SWindow>("DemoGame", ViewWidth + WindowMarginX,
                                       ViewHeight + WindowMarginY, PF_B8G8R8A8);
    Window->MoveWindowTo({WindowX, WindowY});
    Window->SetViewportSlot(Client->GetGameViewportWidget(), {ViewX, ViewY},
                            {static_cast<float>(ViewWidth), static_cast<float>(ViewHeight)});
    // The HUD: a health bar drawn by the UI over the game view, below the frame stamp.
    Window->AddOverlayBox({{40.f, 340.f}, {200.f, 24.f}, {0.9f, 0.1f, 0.1f, 1.f}});
    FSlateApplication::Get().AddWindow(Window);
    FSlateApplication::Get().SetGameViewport(Client->GetGameViewportWidget());
}

FVector2D FDemoScene::ViewportOrigin()
{
    return {WindowX + ViewX, WindowY + ViewY};
}

FDemoScene::~FDemoScene()
{
    FlushRenderingCommands();
    GEngine = nullptr;
    FSlateApplication::Shutdown();
    Window.reset();
    Client.reset();
    RHIExit();
}

void FDemoScene::SetGameEventSink(std::function<void(const FString&, const FString&)> Sink)
{
    GameEventSink = std::move(Sink);
}

void FDemoScene::RaiseGameEvent(const FString& Name, const FString& Data)
{
    ++GameEventsRaised;
    if (GameEventSink)
    {
        GameEventSink(Name, Data);
    }
}

void FDemoScene::OnGameInput(const FGameInputEvent& Event)
{
    const bool bPress = Event.Event == IE_Pressed && (Event.Kind == FGameInputEvent::EKind::Touch ||
                                                      Event.Key == EKeys::LeftMouseButton ||
                                                      Event.Key == EKeys::RightMouseButton);
    if (bPress)
    {
        Overlay.Markers.push_back({static_cast<int32>(Event.Position.X),
                                   static_cast<int32>(Event.Position.Y), Frame,
                                   FPlatformTime::Seconds()});
    }
    if (Event.Kind == FGameInputEvent::EKind::Wheel)
    {
        Overlay.SquareSize =
            std::clamp(Overlay.SquareSize + static_cast<int32>(Event.Value) * 8, 8, 96);
        RaiseGameEvent("zoom", "{\"size\":" + std::to_string(Overlay.SquareSize) + "}");
    }
    if (Event.Event == IE_Pressed && Event.Key == EKeys::SpaceBar)
    {
        RaiseGameEvent("jump", "{\"frame\":" + std::to_string(Frame) + "}");
    }
}

void FDemoScene::Tick()
{
    Script.Step(FPlatformTime::Seconds(),
                FSlateApplication::Get().GetPlatformApplication()->GetOsInput());
    // The game's own logic: W moves the square up (wrapping), markers fade after 1.5 s.
    if (Player.IsInputKeyDown(EKeys::W))
    {
        Overlay.SquareY = Overlay.SquareY > 70 ? Overlay.SquareY - 3 : ViewHeight - 20;
    }
    const double Now = FPlatformTime::Seconds();
    std::erase_if(Overlay.Markers,
                  [Now](const FOverlay::FMarker& M) { return Now - M.PlacedAt > 1.5; });
    Client->SetSceneRenderer(
        [Overlay = Overlay](FRHICommandListImmediate&, FRHITexture& Target, uint64 DrawFrame)
        {
            DrawLandscape(Target, DrawFrame);
            DrawOverlay(Target, Overlay, DrawFrame);
        });
    // The render thread keeps working behind the game thread, as in a shipped game. The
    // frame's delta is the time that really passed, as an engine measures it: a slow
    // machine runs fewer, longer frames, and whatever counts game time (the recorder's
    // capture and send cadences) keeps to the clock.
    const double Delta =
        bFixedFrameTime || LastTickSeconds < 0.0 ? 1.0 / 60.0 : Now - LastTickSeconds;
    LastTickSeconds = Now;
    Loop.Tick(static_cast<float>(std::clamp(Delta, 1e-4, 0.25)));
    ++Frame;
}
