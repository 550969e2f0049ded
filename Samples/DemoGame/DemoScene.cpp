#include "DemoScene.h"

#include "DynamicRhi.h"
#include "FrameStamp.h"
#include "RhiCommandList.h"
#include "SlateApplication.h"
#include "Tasks.h"

namespace
{
constexpr int32 WindowWidth = 680;
constexpr int32 WindowHeight = 420;
constexpr int32 ViewWidth = 640;
constexpr int32 ViewHeight = 360;

// A sky gradient with a sun that moves across it and a striped ground, with the frame
// number stamped across the top so a recording shows which frame each image is.
void DrawScene(FRHITexture& Target, uint64 Frame)
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
            if (Dx * Dx + Dy * Dy < 40 * 40)
            {
                R = 255, G = 220, B = 80;
            }
            Row[X * 4 + 0] = B, Row[X * 4 + 1] = G, Row[X * 4 + 2] = R, Row[X * 4 + 3] = 255;
        }
    }
}
} // namespace

FDemoScene::FDemoScene()
{
    RHIInit(ERHIInterfaceType::Vulkan);
    FSlateApplication::Create();
    Client = std::make_unique<UGameViewportClient>(ViewWidth, ViewHeight, PF_B8G8R8A8);
    Client->SetSceneRenderer([](FRHICommandListImmediate&, FRHITexture& Target, uint64 Frame)
                             { DrawScene(Target, Frame); });
    Engine.GameViewport = Client.get();
    GEngine = &Engine;
    Window = std::make_shared<SWindow>("DemoGame", WindowWidth, WindowHeight, PF_B8G8R8A8);
    Window->SetViewportSlot(Client->GetGameViewportWidget(), {20.f, 30.f},
                            {static_cast<float>(ViewWidth), static_cast<float>(ViewHeight)});
    // The HUD: a health bar drawn by the UI over the game view, below the frame stamp.
    Window->AddOverlayBox({{40.f, 340.f}, {200.f, 24.f}, {0.9f, 0.1f, 0.1f, 1.f}});
    FSlateApplication::Get().AddWindow(Window);
    FSlateApplication::Get().SetGameViewport(Client->GetGameViewportWidget());
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

void FDemoScene::Tick()
{
    // The render thread keeps working behind the game thread, as in a shipped game.
    Loop.Tick(1.f / 60.f);
}
