// A small running engine for rendering and input tests: a software GPU, a game
// viewport drawing a known pattern, a Slate window on the desktop that shows the
// viewport with a user interface box over it, and a world whose player receives the
// viewport's input, all driven by the engine loop.
#pragma once

#include "DynamicRhi.h"
#include "EngineLoop.h"
#include "FrameStamp.h"
#include "GameEngine.h"
#include "PlayerController.h"
#include "SlateApplication.h"
#include "Viewport.h"
#include "World.h"

#include <array>
#include <memory>

struct FTestSceneOptions
{
    ERHIInterfaceType Interface = ERHIInterfaceType::Vulkan;
    int32 GpuLatencyFrames = 2;
    // How many frames the render thread runs behind the game thread.
    int32 RenderThreadLagFrames = 0;
    FIntPoint WindowSize{160, 120};
    // Where the window's client area sits on the desktop (input arrives in desktop pixels).
    FVector2D WindowPosition{300.0, 200.0};
    EPixelFormat BackBufferFormat = PF_B8G8R8A8;
    float DpiScale = 1.f;
    // The viewport widget inside the window, in Slate units.
    FVector2f ViewportPosition{16.f, 8.f};
    FVector2f ViewportSlotSize{128.f, 96.f};
    // The viewport's render target.
    FIntPoint ViewportSize{128, 96};
    EPixelFormat ViewportFormat = PF_B8G8R8A8;
    // A user-interface box in the window (Slate units); none when its size is 0.
    FVector2f OverlayPosition{20.f, 10.f};
    FVector2f OverlaySize{8.f, 4.f};
    // Draws the frame number into the top rows of the viewport (see FFrameStamp).
    bool bStampFrameNumber = false;
};

class FTestEngineScene
{
public:
    // The overlay's colour, which the scene pattern never produces.
    static constexpr std::array<uint8, 3> OverlayRgb{255, 0, 255};

    explicit FTestEngineScene(const FTestSceneOptions& InOptions = {});
    ~FTestEngineScene();

    // Runs Count engine frames. Like a real engine loop it leaves the render thread
    // working behind it; a test that inspects what was rendered flushes first.
    void Tick(int32 Count = 1);

    // The scene's pixel at (X, Y) of the viewport target as R, G, B bytes. In
    // PF_A2B10G10R10 these are the top 8 bits of each channel; in the SNORM format
    // the raw channel bytes.
    static std::array<uint8, 3> ScenePixel(int32 X, int32 Y);
    const FTestSceneOptions& GetOptions() const { return Options; }
    FEngineLoop Loop;
    UEngine Engine;
    // The world with its one player, who receives the game viewport's input.
    UWorld World;
    APlayerController PlayerController;
    std::unique_ptr<UGameViewportClient> Client;
    std::shared_ptr<SWindow> Window;

private:
    FTestSceneOptions Options;
};
