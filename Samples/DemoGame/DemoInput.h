// The demo's player: a script of clicks, drags, long presses, touches, key presses
// (one held long enough to auto-repeat) and wheel scrolls, injected through the
// synthetic OS devices. Like a person, it keeps to the clock, not to frames: the
// gestures it means (a quick tap, a long press) stay what they are on a slow
// machine. It takes at most one step a frame, so a press and its release never land
// in the same frame. The script repeats every ten seconds.
#pragma once

#include "GenericApplication.h"

#include <vector>

class FDemoInputScript
{
public:
    // ViewportOrigin: where the game viewport's top-left pixel is on the desktop.
    explicit FDemoInputScript(FVector2D InViewportOrigin);

    // Queues the OS input that is due at Now (seconds on the engine clock).
    void Step(double Now, FSyntheticOsInput& Os);

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
    struct FAction
    {
        double At; // seconds into the round
        void (*Run)(FDemoInputScript& Self, FSyntheticOsInput& Os);
    };
    FVector2D At(double X, double Y) const;

    FVector2D ViewportOrigin;
    std::vector<FAction> Actions;
    FCounts Counts;
    double StartSeconds = -1.0;
    double LastSeconds = 0.0;
    size_t NextAction = 0;
    int32 Round = 0;
    bool bDragging = false;
};
