// The demo's world: a software GPU, one window on the desktop with the game viewport
// and a HUD box over it, an animated scene, and one player whose input (scripted
// through the synthetic OS devices) visibly changes the scene: a ring where the
// player clicked or touched, a square that W moves and the wheel resizes.
#pragma once

#include "DemoInput.h"
#include "DynamicRhi.h"
#include "EngineLoop.h"
#include "GameEngine.h"
#include "PlayerController.h"
#include "SWindow.h"
#include "Viewport.h"
#include "World.h"

#include <functional>
#include <memory>
#include <vector>

class FDemoScene
{
public:
    // Rhi picks the readback path the recorder takes: D3D12's staging buffers or the
    // engine's generic texture readback (any other interface). With bFixedFrameTime
    // every frame counts as 1/60 s of game time however long it really took (frames
    // run unpaced for measurements); otherwise a frame is the time that really passed.
    // ViewportScale multiplies the game viewport's 640 x 360 (2 makes it 1280 x 720).
    FDemoScene(ERHIInterfaceType Rhi, bool bFixedFrameTime, int32 ViewportScale = 1);
    ~FDemoScene();
    FDemoScene(const FDemoScene&) = delete;
    FDemoScene& operator=(const FDemoScene&) = delete;

    // One frame of 1/60 s of game time, with the scripted input of that frame.
    void Tick();

    // The world the game instance hands its subsystems (with the player).
    UWorld* GetWorld() { return &World; }
    const FDemoInputScript::FCounts& GetScriptedInput() const { return Script.GetCounts(); }
    // Where the game viewport's top-left pixel is on the desktop.
    static FVector2D ViewportOrigin();
    // Called when something happens in the game worth marking in a recording (a jump on
    // Space, a zoom on the wheel), with the event's name and its data as JSON text.
    void SetGameEventSink(std::function<void(const FString& Name, const FString& Data)> Sink);
    int32 GetGameEventsRaised() const { return GameEventsRaised; }

    // What the scene draws on top of the landscape; copied to the render thread each frame.
    struct FOverlay
    {
        struct FMarker
        {
            int32 X = 0;
            int32 Y = 0;
            uint64 Frame = 0;      // when it was placed (it grows with the frames)...
            double PlacedAt = 0.0; // ...and on the clock: it fades after 1.5 s
        };
        std::vector<FMarker> Markers;
        int32 SquareX = 300;
        int32 SquareY = 250;
        int32 SquareSize = 24;
    };

private:
    void OnGameInput(const FGameInputEvent& Event);
    void RaiseGameEvent(const FString& Name, const FString& Data);

    FEngineLoop Loop;
    UEngine Engine;
    UWorld World;
    APlayerController Player;
    std::unique_ptr<UGameViewportClient> Client;
    std::shared_ptr<SWindow> Window;
    FDemoInputScript Script;
    FOverlay Overlay;                                                  // game thread
    std::function<void(const FString&, const FString&)> GameEventSink; // game thread
    int32 GameEventsRaised = 0;                                        // game thread
    uint64 Frame = 0;                                                  // game thread
    const int32 ViewWidth;
    const int32 ViewHeight;
    const bool bFixedFrameTime;
    double LastTickSeconds = -1.0; // game thread: when the last frame began
};
