// Records the player's input while capture runs and hands it out in batches:
// touches and left-mouse clicks become gestures (tap, swipe, long press); key
// presses and releases, mouse-button changes and wheel scrolls are kept as they
// happen, each with a wall-clock timestamp.
//
// Input arrives by three routes: a Slate input preprocessor (keys, touches, wheel;
// it never consumes anything), polling the player controller each tick (mouse
// buttons and position), and a wrapper around the platform's message handler that
// adds up raw mouse motion, so a drag is measured even with the cursor locked.
//
// Everything runs on the game thread: Slate and the platform pump deliver input
// there, and the subsystem ticks and flushes the tracker there.
#pragma once

#include "CoreTypes.h"
#include "IntPoint.h"
#include "QuorvexModels.h"

#include <memory>
#include <vector>

class APlayerController;

class FQuorvexInputTracker
{
public:
    // A touch or left drag that moves at least this far is a swipe.
    static constexpr float SwipeThresholdPixels = 50.0f;
    // A touch or left press held at least this long without moving is a long press.
    static constexpr int32 LongPressThresholdMs = 500;

    FQuorvexInputTracker();
    // Resets, then gives the platform its previous message handler back.
    ~FQuorvexInputTracker();
    FQuorvexInputTracker(const FQuorvexInputTracker&) = delete;
    FQuorvexInputTracker& operator=(const FQuorvexInputTracker&) = delete;

    // Every subsystem tick while capture runs, with the world's first player
    // controller (null when there is none): registers what is missing, then polls
    // the mouse. DeltaTime is not used.
    void Tick(float DeltaTime, APlayerController* PlayerController);

    // Each returns its events in arrival order and leaves the buffer empty.
    std::vector<FQuorvexTapEvent> FlushTaps();
    std::vector<FQuorvexSwipeEvent> FlushSwipes();
    std::vector<FQuorvexLongPressEvent> FlushLongPresses();
    std::vector<FQuorvexKeyEventData> FlushKeyEvents();
    std::vector<FQuorvexMouseButtonEvent> FlushMouseButtonEvents();
    std::vector<FQuorvexScrollEvent> FlushScrollEvents();

    // Unregisters the preprocessor, forgets the buttons held and every buffered
    // event. The raw-motion wrapper stays installed.
    void Reset();

private:
    class FPreProcessor;
    class FRawMotionHandler;

    void EnsureProcessorRegistered();
    void RegisterRawInputHandler();
    void UnregisterRawInputHandler();
    void PollMouseInput(APlayerController* PlayerController);
    void RecordMouseButton(int32 Button, const FString& Action, const FVector2D& Position);
    // The gesture rule for a touch or left press from Start to End.
    void HandleTouchEnded(const FVector2D& Start, const FVector2D& End, float DurationSeconds,
                          float Pressure);
    // Milliseconds since the Unix epoch, UTC.
    static int64 NowMs();

    // Everything below is game thread.

    // Mouse buttons as last polled; the left press's position and platform time.
    bool bLeftMouseDown = false;
    bool bRightMouseDown = false;
    bool bMiddleMouseDown = false;
    FVector2D LeftPressPosition;
    double LeftPressSeconds = 0.0;

    // Completed events, in arrival order.
    FQuorvexGestures Buffered;

    // Registration with the engine.
    std::shared_ptr<FPreProcessor> PreProcessor;
    std::shared_ptr<FRawMotionHandler> RawMotionHandler;
    std::shared_ptr<class FGenericApplicationMessageHandler> PreviousMessageHandler;

    // Each missing engine piece is reported once.
    bool bWarnedSlateMissingForPreProcessor = false;
    bool bWarnedSlateMissingForRawMotion = false;
    bool bWarnedPlatformApplicationMissing = false;
    bool bWarnedPreviousHandlerMissing = false;
};
