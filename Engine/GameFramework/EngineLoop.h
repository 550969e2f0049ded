// The engine loop: one call runs one frame on the game thread.
//
// A frame pumps the game-thread task queue, ticks the tickable objects, then runs
// the host's game logic. Rendering, presentation and GPU progress join the frame
// as those modules arrive.
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
    std::function<void(float)> HostTick; // game thread
    uint64 FrameCount = 0;               // game thread
};
