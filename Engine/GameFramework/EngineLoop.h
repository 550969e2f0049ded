// The engine loop: one call runs one frame on the game thread.
//
// A frame pumps the game-thread task queue, delivers the platform's input (Slate's
// preprocessors first, then the game), ticks the tickable objects, runs the
// host's game logic, then renders: the scene into the game viewport's target (and
// the viewport-rendered event), Slate's composition of every window with its
// back-buffer-ready event and present on the render thread, and finally the end
// of the GPU frame, which advances the simulated GPU work. Each rendering step runs
// only when its part of the engine exists (GEngine's viewport, Slate, the RHI).
//
// Rendering is queued for the render thread, which runs behind: the frame ends with
// the game thread waiting only until the render thread has finished the frame
// before (more with FTaskGraph::SetRenderThreadLagFrames), never for this one.
#pragma once

#include "CoreTypes.h"

#include <functional>

class FEngineLoop
{
public:
    // Marks the calling thread as the game thread.
    FEngineLoop();

    // Game logic run once per frame after the tickables.
    void SetHostTick(std::function<void(float DeltaSeconds)> InHostTick);
    // Runs one frame. When bAdvanceClock and the clock is frozen, the clock moves by
    // DeltaSeconds first, so a frozen-clock test sees game time and clock agree.
    void Tick(float DeltaSeconds, bool bAdvanceClock = true);
    uint64 GetFrameCount() const { return FrameCount; }

private:
    void RenderFrame();

    std::function<void(float)> HostTick; // game thread
    uint64 FrameCount = 0;               // game thread
};
