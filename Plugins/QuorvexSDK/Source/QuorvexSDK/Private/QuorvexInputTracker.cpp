#include "QuorvexInputTracker.h"

#include "DateTime.h"
#include "GenericApplication.h"
#include "PlatformTime.h"
#include "PlayerController.h"
#include "QuorvexLog.h"
#include "SlateApplication.h"

#include <cmath>
#include <functional>
#include <map>

// ---- The Slate preprocessor: keys, touches and the wheel ----

class FQuorvexInputTracker::FPreProcessor : public IInputProcessor
{
public:
    using FTouchEnded = std::function<void(const FVector2D& Start, const FVector2D& End,
                                           float DurationSeconds, float Pressure)>;

    FPreProcessor(std::vector<FQuorvexKeyEventData>& InKeyEvents,
                  std::vector<FQuorvexScrollEvent>& InScrollEvents, FTouchEnded InTouchEnded)
        : KeyEvents(InKeyEvents), ScrollEvents(InScrollEvents), TouchEnded(std::move(InTouchEnded))
    {
    }

    bool HandleKeyDownEvent(FSlateApplication&, const FKeyEvent& Event) override
    {
        if (!Event.IsRepeat())
        {
            RecordKey(Event, "pressed");
        }
        return false;
    }

    bool HandleKeyUpEvent(FSlateApplication&, const FKeyEvent& Event) override
    {
        RecordKey(Event, "released");
        return false;
    }

    bool HandleMouseButtonDownEvent(FSlateApplication&, const FPointerEvent& Event) override
    {
        if (Event.IsTouchEvent())
        {
            Touches[Event.GetPointerIndex()] = {Event.GetScreenSpacePosition(),
                                                FPlatformTime::Seconds()};
        }
        return false;
    }

    bool HandleMouseButtonUpEvent(FSlateApplication&, const FPointerEvent& Event) override
    {
        if (!Event.IsTouchEvent())
        {
            return false;
        }
        const auto Found = Touches.find(Event.GetPointerIndex());
        if (Found == Touches.end())
        {
            return false; // a release without its start
        }
        const FTouchStart Start = Found->second;
        Touches.erase(Found);
        const float Duration = static_cast<float>(FPlatformTime::Seconds() - Start.Seconds);
        const float Pressure = Event.GetTouchForce() > 0.f ? Event.GetTouchForce() : 1.0f;
        TouchEnded(Start.Position, Event.GetScreenSpacePosition(), Duration, Pressure);
        return false;
    }

    bool HandleMouseWheelOrGestureEvent(FSlateApplication&, const FPointerEvent& WheelEvent,
                                        const FPointerEvent*) override
    {
        const float Delta = WheelEvent.GetWheelDelta();
        if (std::fabs(Delta) > 1e-8f)
        {
            const FVector2D& At = WheelEvent.GetScreenSpacePosition();
            ScrollEvents.push_back(
                {0.f, Delta, static_cast<float>(At.X), static_cast<float>(At.Y), NowMs()});
        }
        return false;
    }

private:
    struct FTouchStart
    {
        FVector2D Position;
        double Seconds = 0.0;
    };

    void RecordKey(const FKeyEvent& Event, const char* Action)
    {
        const FKey& Key = Event.GetKey();
        FString Name = Key == EKeys::LeftCommand    ? FString("LeftWindows")
                       : Key == EKeys::RightCommand ? FString("RightWindows")
                                                    : Key.ToString();
        KeyEvents.push_back(
            {static_cast<int32>(Event.GetKeyCode()), std::move(Name), Action, NowMs()});
    }

    std::vector<FQuorvexKeyEventData>& KeyEvents;
    std::vector<FQuorvexScrollEvent>& ScrollEvents;
    FTouchEnded TouchEnded;
    std::map<uint32, FTouchStart> Touches; // by pointer index
};

// ---- The raw-motion wrapper: forwards everything, adds up raw mouse counts ----

class FQuorvexInputTracker::FRawMotionHandler : public FGenericApplicationMessageHandler
{
public:
    explicit FRawMotionHandler(std::shared_ptr<FGenericApplicationMessageHandler> InPrevious)
        : Previous(std::move(InPrevious))
    {
    }

    FVector2D AccumulatedDelta;

    bool OnKeyChar(uint32 Character, bool bIsRepeat) override
    {
        return Previous->OnKeyChar(Character, bIsRepeat);
    }
    bool OnKeyDown(int32 KeyCode, uint32 CharacterCode, bool bIsRepeat) override
    {
        return Previous->OnKeyDown(KeyCode, CharacterCode, bIsRepeat);
    }
    bool OnKeyUp(int32 KeyCode, uint32 CharacterCode, bool bIsRepeat) override
    {
        return Previous->OnKeyUp(KeyCode, CharacterCode, bIsRepeat);
    }
    bool OnMouseDown(EMouseButtons::Type Button, FVector2D CursorPosition) override
    {
        return Previous->OnMouseDown(Button, CursorPosition);
    }
    bool OnMouseUp(EMouseButtons::Type Button, FVector2D CursorPosition) override
    {
        return Previous->OnMouseUp(Button, CursorPosition);
    }
    bool OnMouseDoubleClick(EMouseButtons::Type Button, FVector2D CursorPosition) override
    {
        return Previous->OnMouseDoubleClick(Button, CursorPosition);
    }
    bool OnMouseWheel(float Delta, FVector2D CursorPosition) override
    {
        return Previous->OnMouseWheel(Delta, CursorPosition);
    }
    bool OnMouseMove() override { return Previous->OnMouseMove(); }
    bool OnRawMouseMove(int32 X, int32 Y) override
    {
        AccumulatedDelta =
            AccumulatedDelta + FVector2D{static_cast<double>(X), static_cast<double>(Y)};
        return Previous->OnRawMouseMove(X, Y);
    }
    bool OnTouchStarted(FVector2D Location, float Force, int32 TouchIndex,
                        int32 ControllerId) override
    {
        return Previous->OnTouchStarted(Location, Force, TouchIndex, ControllerId);
    }
    bool OnTouchMoved(FVector2D Location, float Force, int32 TouchIndex,
                      int32 ControllerId) override
    {
        return Previous->OnTouchMoved(Location, Force, TouchIndex, ControllerId);
    }
    bool OnTouchEnded(FVector2D Location, int32 TouchIndex, int32 ControllerId) override
    {
        return Previous->OnTouchEnded(Location, TouchIndex, ControllerId);
    }

private:
    const std::shared_ptr<FGenericApplicationMessageHandler> Previous; // never null
};

// ---- The tracker ----

FQuorvexInputTracker::FQuorvexInputTracker() = default;

FQuorvexInputTracker::~FQuorvexInputTracker()
{
    Reset();
    UnregisterRawInputHandler();
}

void FQuorvexInputTracker::Tick(float DeltaTime, APlayerController* PlayerController)
{
    (void)DeltaTime;
    EnsureProcessorRegistered();
    RegisterRawInputHandler();
    PollMouseInput(PlayerController);
}

std::vector<FQuorvexTapEvent> FQuorvexInputTracker::FlushTaps()
{
    return std::exchange(Buffered.Taps, {});
}

std::vector<FQuorvexSwipeEvent> FQuorvexInputTracker::FlushSwipes()
{
    return std::exchange(Buffered.Swipes, {});
}

std::vector<FQuorvexLongPressEvent> FQuorvexInputTracker::FlushLongPresses()
{
    return std::exchange(Buffered.LongPresses, {});
}

std::vector<FQuorvexKeyEventData> FQuorvexInputTracker::FlushKeyEvents()
{
    return std::exchange(Buffered.KeyEvents, {});
}

std::vector<FQuorvexMouseButtonEvent> FQuorvexInputTracker::FlushMouseButtonEvents()
{
    return std::exchange(Buffered.MouseButtons, {});
}

std::vector<FQuorvexScrollEvent> FQuorvexInputTracker::FlushScrollEvents()
{
    return std::exchange(Buffered.Scrolls, {});
}

void FQuorvexInputTracker::Reset()
{
    if (PreProcessor && FSlateApplication::IsInitialized())
    {
        FSlateApplication::Get().UnregisterInputPreProcessor(PreProcessor);
    }
    PreProcessor.reset();
    bLeftMouseDown = bRightMouseDown = bMiddleMouseDown = false;
    Buffered = {}; // frees the buffers' memory, unlike clear()
    bWarnedSlateMissingForPreProcessor = false;
}

void FQuorvexInputTracker::EnsureProcessorRegistered()
{
    if (PreProcessor)
    {
        return;
    }
    if (!FSlateApplication::IsInitialized())
    {
        if (!bWarnedSlateMissingForPreProcessor)
        {
            bWarnedSlateMissingForPreProcessor = true;
            QUORVEX_LOG(Warning, "QuorvexSDK: InputTracker: Slate not initialized; key/touch/wheel "
                                 "events will not be captured");
        }
        return;
    }
    PreProcessor = std::make_shared<FPreProcessor>(
        Buffered.KeyEvents, Buffered.Scrolls,
        [this](const FVector2D& Start, const FVector2D& End, float Duration, float Pressure)
        { HandleTouchEnded(Start, End, Duration, Pressure); });
    FSlateApplication::Get().RegisterInputPreProcessor(PreProcessor);
    QUORVEX_LOG(Log, "QuorvexSDK: InputTracker: Slate input preprocessor registered");
}

void FQuorvexInputTracker::RegisterRawInputHandler()
{
    if (RawMotionHandler)
    {
        return;
    }
    if (!FSlateApplication::IsInitialized())
    {
        if (!bWarnedSlateMissingForRawMotion)
        {
            bWarnedSlateMissingForRawMotion = true;
            QUORVEX_LOG(Warning, "QuorvexSDK: InputTracker: Slate not initialized; raw "
                                 "mouse-motion events will not be captured");
        }
        return;
    }
    const std::shared_ptr<GenericApplication>& Platform =
        FSlateApplication::Get().GetPlatformApplication();
    if (!Platform)
    {
        if (!bWarnedPlatformApplicationMissing)
        {
            bWarnedPlatformApplicationMissing = true;
            QUORVEX_LOG(Warning, "QuorvexSDK: InputTracker: PlatformApplication unavailable; raw "
                                 "mouse-motion events will not be captured");
        }
        return;
    }
    PreviousMessageHandler = Platform->GetMessageHandler();
    if (!PreviousMessageHandler)
    {
        if (!bWarnedPreviousHandlerMissing)
        {
            bWarnedPreviousHandlerMissing = true;
            QUORVEX_LOG(Warning, "QuorvexSDK: InputTracker: previous message handler missing; raw "
                                 "mouse-motion events will not be captured");
        }
        return;
    }
    RawMotionHandler = std::make_shared<FRawMotionHandler>(PreviousMessageHandler);
    Platform->SetMessageHandler(RawMotionHandler);
    QUORVEX_LOG(Log, "QuorvexSDK: InputTracker: raw mouse-motion handler installed");
}

void FQuorvexInputTracker::UnregisterRawInputHandler()
{
    if (RawMotionHandler && FSlateApplication::IsInitialized())
    {
        const std::shared_ptr<GenericApplication>& Platform =
            FSlateApplication::Get().GetPlatformApplication();
        // Someone who replaced the handler since keeps theirs.
        if (Platform && Platform->GetMessageHandler() == RawMotionHandler)
        {
            Platform->SetMessageHandler(PreviousMessageHandler);
        }
    }
    RawMotionHandler.reset();
    PreviousMessageHandler.reset();
}

void FQuorvexInputTracker::PollMouseInput(APlayerController* PlayerController)
{
    if (!PlayerController)
    {
        return;
    }
    float MouseX = 0.f, MouseY = 0.f;
    if (!PlayerController->GetMousePosition(MouseX, MouseY))
    {
        MouseX = MouseY = 0.f;
    }
    const FVector2D Position{MouseX, MouseY};
    const double Now = FPlatformTime::Seconds();

    const bool bLeft = PlayerController->IsInputKeyDown(EKeys::LeftMouseButton);
    if (bLeft && !bLeftMouseDown)
    {
        bLeftMouseDown = true;
        LeftPressPosition = Position;
        LeftPressSeconds = Now;
        if (RawMotionHandler)
        {
            RawMotionHandler->AccumulatedDelta = {};
        }
        RecordMouseButton(0, "Down", Position);
    }
    else if (!bLeft && bLeftMouseDown)
    {
        bLeftMouseDown = false;
        const FVector2D End = LeftPressPosition +
                              (RawMotionHandler ? RawMotionHandler->AccumulatedDelta : FVector2D{});
        RecordMouseButton(0, "Up", End);
        HandleTouchEnded(LeftPressPosition, End, static_cast<float>(Now - LeftPressSeconds), 1.0f);
    }

    const auto PollButton = [&](const FKey& Key, bool& bDown, int32 Index)
    {
        const bool bNow = PlayerController->IsInputKeyDown(Key);
        if (bNow != bDown)
        {
            bDown = bNow;
            RecordMouseButton(Index, bNow ? "Down" : "Up", Position);
        }
    };
    PollButton(EKeys::RightMouseButton, bRightMouseDown, 1);
    PollButton(EKeys::MiddleMouseButton, bMiddleMouseDown, 2);
}

void FQuorvexInputTracker::RecordMouseButton(int32 Button, const FString& Action,
                                             const FVector2D& Position)
{
    Buffered.MouseButtons.push_back(
        {Button, Action, static_cast<float>(Position.X), static_cast<float>(Position.Y), NowMs()});
}

void FQuorvexInputTracker::HandleTouchEnded(const FVector2D& Start, const FVector2D& End,
                                            float DurationSeconds, float Pressure)
{
    const double Distance = std::hypot(End.X - Start.X, End.Y - Start.Y);
    const int32 DurationMs =
        static_cast<int32>(std::floor(static_cast<double>(DurationSeconds) * 1000.0 + 0.5));
    const int64 Timestamp = NowMs();
    const float EndX = static_cast<float>(End.X);
    const float EndY = static_cast<float>(End.Y);
    if (Distance >= SwipeThresholdPixels)
    {
        Buffered.Swipes.push_back({static_cast<float>(Start.X), static_cast<float>(Start.Y), EndX,
                                   EndY, DurationMs, Timestamp});
    }
    else if (DurationMs >= LongPressThresholdMs)
    {
        Buffered.LongPresses.push_back({EndX, EndY, DurationMs, Timestamp});
    }
    else
    {
        Buffered.Taps.push_back({EndX, EndY, std::max(Pressure, 0.f), Timestamp});
    }
}

int64 FQuorvexInputTracker::NowMs()
{
    const FDateTime Now = FDateTime::UtcNow();
    return Now.ToUnixTimestamp() * 1000 + Now.GetMillisecond();
}
