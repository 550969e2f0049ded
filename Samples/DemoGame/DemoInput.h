// The demo's player: a deterministic script of clicks, drags, long presses,
// touches, key presses (one held long enough to auto-repeat) and wheel scrolls,
// injected through the synthetic OS devices one engine frame at a time. The script
// repeats every ten seconds of game time.
#pragma once

#include "GenericApplication.h"

#include <array>

class FDemoInputScript
{
public:
    // ViewportOrigin: where the game viewport's top-left pixel is on the desktop.
    explicit FDemoInputScript(FVector2D InViewportOrigin) : ViewportOrigin(InViewportOrigin) {}

    // Queues the OS input of game frame Frame (counted from 0).
    void Step(uint64 Frame, FSyntheticOsInput& Os);

    // What the script did, by the gesture it is meant to make.
    struct FCounts
    {
        int32 Clicks = 0;
        int32 Drags = 0;
        int32 LongPresses = 0;
        int32 Touches = 0;
        int32 KeyPresses = 0;
        int32 Scrolls = 0;
    };
    const FCounts& GetCounts() const { return Counts; }

private:
    FVector2D At(double X, double Y) const { return {ViewportOrigin.X + X, ViewportOrigin.Y + Y}; }

    FVector2D ViewportOrigin;
    FCounts Counts;
};
