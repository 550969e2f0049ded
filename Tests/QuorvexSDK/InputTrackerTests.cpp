// The input tracker, driven through the engine: OS events from the synthetic devices
// go through the platform's pump, Slate's preprocessors and the player controller,
// and the tests assert what the tracker holds.
#include "Clock.h"
#include "DateTime.h"
#include "QuorvexInputTracker.h"
#include "TestEngineScene.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <optional>

namespace
{
class InputTracker : public FEngineTestBase
{
protected:
    void SetUp() override
    {
        FEngineTestBase::SetUp();
        Clock.emplace();
        Scene = std::make_unique<FTestEngineScene>();
        Tracker = std::make_unique<FQuorvexInputTracker>();
        // The tracker ticks after the input step, as the subsystem's tick does.
        Scene->Loop.SetHostTick([this](float DeltaTime)
                                { Tracker->Tick(DeltaTime, &Scene->PlayerController); });
        Frame(); // registers the preprocessor and the raw-motion wrapper
    }

    void TearDown() override
    {
        Tracker.reset();
        Scene.reset();
        Clock.reset();
        FEngineTestBase::TearDown();
    }

    FSyntheticOsInput& Os()
    {
        return FSlateApplication::Get().GetPlatformApplication()->GetOsInput();
    }
    // One engine frame of Seconds (the frozen clock moves with it).
    void Frame(double Seconds = 1.0 / 60.0) { Scene->Loop.Tick(static_cast<float>(Seconds)); }

    // Desktop position of viewport pixel (X, Y): the window is at (300, 200) and the
    // viewport at (16, 8) inside it, drawn 1:1.
    static FVector2D Desktop(double X, double Y) { return {316.0 + X, 208.0 + Y}; }

    std::optional<FScopedFrozenClock> Clock;
    std::unique_ptr<FTestEngineScene> Scene;
    std::unique_ptr<FQuorvexInputTracker> Tracker;
    FLogCapture Log;
};

enum class EGesture
{
    Tap,
    Swipe,
    LongPress,
};

struct FTouchCase
{
    const char* Name;
    double Distance; // to the right, desktop pixels
    double Seconds;  // between start and end
    float Force;     // as the screen reports it
    EGesture Expected;
    int32 DurationMs; // of a swipe or long press
    float Pressure;   // of a tap
};
} // namespace

TEST_F(InputTracker, TouchesBecomeGesturesByDistanceAndDuration)
{
    const FTouchCase Cases[] = {
        {"49.9 px is a tap", 49.9, 0.1, 0.f, EGesture::Tap, 0, 1.f},
        {"50 px is a swipe", 50.0, 0.1, 0.f, EGesture::Swipe, 100, 0.f},
        {"499 ms is a tap", 0.0, 0.499, 0.f, EGesture::Tap, 0, 1.f},
        {"500 ms is a long press", 0.0, 0.5, 0.f, EGesture::LongPress, 500, 0.f},
        {"a 2 s drag of 200 px is a swipe", 200.0, 2.0, 0.f, EGesture::Swipe, 2000, 0.f},
        {"a pressure of 0.4 is kept", 10.0, 0.1, 0.4f, EGesture::Tap, 0, 0.4f},
    };
    for (const FTouchCase& Case : Cases)
    {
        SCOPED_TRACE(Case.Name);
        const FVector2D Start = Desktop(10, 20);
        const FVector2D End{Start.X + Case.Distance, Start.Y};
        Os().TouchStart(3, Start, Case.Force);
        Frame();
        Os().TouchMove(3, End, Case.Force);
        Os().TouchEnd(3, End);
        Frame(Case.Seconds);
        const auto Taps = Tracker->FlushTaps();
        const auto Swipes = Tracker->FlushSwipes();
        const auto LongPresses = Tracker->FlushLongPresses();
        ASSERT_EQ(Taps.size() + Swipes.size() + LongPresses.size(), 1u);
        switch (Case.Expected)
        {
        case EGesture::Tap:
            ASSERT_EQ(Taps.size(), 1u);
            EXPECT_FLOAT_EQ(Taps[0].X, static_cast<float>(End.X)) << "screen space";
            EXPECT_FLOAT_EQ(Taps[0].Pressure, Case.Pressure);
            break;
        case EGesture::Swipe:
            ASSERT_EQ(Swipes.size(), 1u);
            EXPECT_FLOAT_EQ(Swipes[0].StartX, static_cast<float>(Start.X));
            EXPECT_FLOAT_EQ(Swipes[0].EndX, static_cast<float>(End.X));
            EXPECT_EQ(Swipes[0].DurationMs, Case.DurationMs);
            break;
        case EGesture::LongPress:
            ASSERT_EQ(LongPresses.size(), 1u);
            EXPECT_EQ(LongPresses[0].DurationMs, Case.DurationMs);
            break;
        }
    }
    // A release with no start (its start came before the tracker listened) is ignored.
    Os().TouchEnd(7, Desktop(0, 0));
    Frame();
    EXPECT_TRUE(Tracker->FlushTaps().empty());
}

TEST_F(InputTracker, ALeftClickIsDownUpAndATapInViewportPixels)
{
    const int64 Before = FDateTime::UtcNow().ToUnixTimestamp() * 1000;
    Os().SetCursorPosition(Desktop(30, 40));
    Os().PressMouseButton(EMouseButtons::Left);
    Frame();
    Os().ReleaseMouseButton(EMouseButtons::Left);
    Frame(0.1);
    const auto Buttons = Tracker->FlushMouseButtonEvents();
    ASSERT_EQ(Buttons.size(), 2u);
    EXPECT_EQ(Buttons[0].Action, "Down");
    EXPECT_EQ(Buttons[1].Action, "Up");
    EXPECT_EQ(Buttons[0].Button, 0);
    EXPECT_EQ(Buttons[0].X, 30.f);
    EXPECT_EQ(Buttons[0].Y, 40.f);
    EXPECT_GE(Buttons[0].Timestamp, Before);
    EXPECT_LE(Buttons[0].Timestamp, Buttons[1].Timestamp);
    const auto Taps = Tracker->FlushTaps();
    ASSERT_EQ(Taps.size(), 1u);
    EXPECT_EQ(Taps[0].Pressure, 1.f);
    EXPECT_EQ(Taps[0].X, 30.f);
    EXPECT_GE(Taps[0].Timestamp, Buttons[1].Timestamp);

    // Right and middle buttons: Down and Up, no gesture.
    Os().PressMouseButton(EMouseButtons::Right);
    Os().PressMouseButton(EMouseButtons::Middle);
    Frame();
    Os().ReleaseMouseButton(EMouseButtons::Right);
    Os().ReleaseMouseButton(EMouseButtons::Middle);
    Frame();
    const auto Others = Tracker->FlushMouseButtonEvents();
    ASSERT_EQ(Others.size(), 4u);
    EXPECT_EQ(Others[0].Button, 1);
    EXPECT_EQ(Others[1].Button, 2);
    EXPECT_EQ(Others[3].Action, "Up");
    EXPECT_TRUE(Tracker->FlushTaps().empty());
}

TEST_F(InputTracker, ALockedCursorDragIsMeasuredFromRawMotion)
{
    Os().SetCursorPosition(Desktop(20, 20));
    Os().SetCursorLocked(true);
    Os().PressMouseButton(EMouseButtons::Left);
    Frame();
    Os().MoveMouse(40, 0);
    Frame();
    Os().MoveMouse(50, 30);
    Os().ReleaseMouseButton(EMouseButtons::Left);
    Frame(0.3);
    const auto Swipes = Tracker->FlushSwipes();
    ASSERT_EQ(Swipes.size(), 1u);
    EXPECT_EQ(Swipes[0].StartX, 20.f);
    EXPECT_EQ(Swipes[0].EndX, 110.f);
    EXPECT_EQ(Swipes[0].EndY, 50.f);
    const auto Buttons = Tracker->FlushMouseButtonEvents();
    ASSERT_EQ(Buttons.size(), 2u);
    EXPECT_EQ(Buttons[1].X, 110.f) << "the Up is where the drag ended";
}

TEST_F(InputTracker, KeysAreRecordedOncePerPressWithWindowsKeyNames)
{
    Os().PressKey('W', 'w');
    Frame();
    Frame(1.0); // the keyboard repeats while the key is held
    Frame(1.0);
    Os().ReleaseKey('W');
    Os().PressKey(EPlatformKeyCodes::LeftWindows);
    Os().ReleaseKey(EPlatformKeyCodes::LeftWindows);
    Os().PressKey(EPlatformKeyCodes::RightWindows);
    Frame();
    const auto Keys = Tracker->FlushKeyEvents();
    ASSERT_EQ(Keys.size(), 5u);
    EXPECT_EQ(Keys[0].Key, "W");
    EXPECT_EQ(Keys[0].KeyCode, 'W');
    EXPECT_EQ(Keys[0].Action, "pressed");
    EXPECT_EQ(Keys[1].Action, "released");
    EXPECT_EQ(Keys[2].Key, "LeftWindows");
    EXPECT_EQ(Keys[3].Action, "released") << "releases are kept, repeats or not";
    EXPECT_EQ(Keys[4].Key, "RightWindows");
    EXPECT_TRUE(Tracker->FlushKeyEvents().empty()) << "a flush empties";
}

TEST_F(InputTracker, WheelScrollsAreKeptInDesktopPixelsAndAZeroDeltaIsNot)
{
    Os().SetCursorPosition(Desktop(5, 6));
    Os().ScrollWheel(0.f);
    Os().ScrollWheel(-1.5f);
    Frame();
    const auto Scrolls = Tracker->FlushScrollEvents();
    ASSERT_EQ(Scrolls.size(), 1u);
    EXPECT_EQ(Scrolls[0].DeltaX, 0.f);
    EXPECT_EQ(Scrolls[0].DeltaY, -1.5f);
    EXPECT_EQ(Scrolls[0].X, 321.f);
    EXPECT_EQ(Scrolls[0].Y, 214.f);
}

TEST_F(InputTracker, ResetDuringAHeldButtonStartsANewPressOnTheNextTick)
{
    Os().SetCursorPosition(Desktop(10, 10));
    Os().PressMouseButton(EMouseButtons::Left);
    Frame();
    Tracker->Reset();
    EXPECT_TRUE(Tracker->FlushMouseButtonEvents().empty()) << "Reset empties the buffers";
    EXPECT_EQ(FSlateApplication::Get().NumInputPreProcessors(), 0);
    Os().SetCursorPosition(Desktop(12, 10));
    Frame(); // the button is still held: a new Down here
    Os().ReleaseMouseButton(EMouseButtons::Left);
    Frame(0.6);
    const auto Buttons = Tracker->FlushMouseButtonEvents();
    ASSERT_EQ(Buttons.size(), 2u);
    EXPECT_EQ(Buttons[0].Action, "Down");
    EXPECT_EQ(Buttons[0].X, 12.f);
    EXPECT_EQ(Buttons[1].Action, "Up");
    const auto LongPresses = Tracker->FlushLongPresses();
    ASSERT_EQ(LongPresses.size(), 1u);
    EXPECT_EQ(LongPresses[0].DurationMs, 600) << "measured from the tick after Reset";
    EXPECT_EQ(FSlateApplication::Get().NumInputPreProcessors(), 1) << "registered again";
}

TEST_F(InputTracker, NothingIsConsumedAndTheWrapperForwardsEveryMessage)
{
    std::vector<FGameInputEvent> GameSaw;
    Scene->Client->OnGameInput.Add([&](const FGameInputEvent& Event) { GameSaw.push_back(Event); });
    Os().SetCursorPosition(Desktop(1, 1));
    Os().PressMouseButton(EMouseButtons::Left);
    Os().PressKey('D');
    Os().ScrollWheel(1.f);
    Os().TouchStart(0, Desktop(3, 3), 0.2f);
    Os().TouchMove(0, Desktop(4, 3), 0.2f);
    Os().TouchEnd(0, Desktop(4, 3));
    Frame();
    Os().ReleaseMouseButton(EMouseButtons::Left);
    Os().ReleaseKey('D');
    Frame();
    // Left down and up, D down and up, the wheel, the touch's start, move and end.
    EXPECT_EQ(GameSaw.size(), 8u);
    EXPECT_EQ(Tracker->FlushKeyEvents().size(), 2u);
    EXPECT_EQ(Tracker->FlushScrollEvents().size(), 1u);
    EXPECT_EQ(Tracker->FlushTaps().size(), 2u) << "the touch and the click";
}

TEST_F(InputTracker, TheWrapperIsRemovedOnlyWhileItIsStillTheCurrentHandler)
{
    GenericApplication& Platform = *FSlateApplication::Get().GetPlatformApplication();
    const std::shared_ptr<FGenericApplicationMessageHandler> Slate =
        FSlateApplication::Get().shared_from_this();
    EXPECT_NE(Platform.GetMessageHandler(), Slate) << "the wrapper is in front";
    EXPECT_TRUE(Log.Contains("QuorvexSDK: InputTracker: raw mouse-motion handler installed"));
    Tracker.reset();
    EXPECT_EQ(Platform.GetMessageHandler(), Slate) << "the previous handler is back";

    // Someone else put their handler in front of the wrapper: it stays.
    Tracker = std::make_unique<FQuorvexInputTracker>();
    Frame();
    auto Other = std::make_shared<FGenericApplicationMessageHandler>();
    Platform.SetMessageHandler(Other);
    Tracker.reset();
    EXPECT_EQ(Platform.GetMessageHandler(), Other);
    Platform.SetMessageHandler(Slate);
}

TEST(InputTrackerWarnings, MissingEnginePiecesAreReportedOnceAndRetried)
{
    FLogCapture Log;
    FQuorvexInputTracker Tracker;
    const char* const NoSlateKeys = "QuorvexSDK: InputTracker: Slate not initialized; "
                                    "key/touch/wheel events will not be captured";
    const char* const NoSlateRaw = "QuorvexSDK: InputTracker: Slate not initialized; raw "
                                   "mouse-motion events will not be captured";
    Tracker.Tick(0.f, nullptr);
    Tracker.Tick(0.f, nullptr);
    EXPECT_EQ(Log.Count(NoSlateKeys), 1);
    EXPECT_EQ(Log.Count(NoSlateRaw), 1);
    Tracker.Reset(); // re-arms the preprocessor's warning only
    Tracker.Tick(0.f, nullptr);
    EXPECT_EQ(Log.Count(NoSlateKeys), 2);
    EXPECT_EQ(Log.Count(NoSlateRaw), 1);

    // With Slate but no handler to wrap, raw motion is reported missing once.
    FSlateApplication::Create();
    FSlateApplication::Get().GetPlatformApplication()->SetMessageHandler(nullptr);
    Tracker.Tick(0.f, nullptr);
    Tracker.Tick(0.f, nullptr);
    EXPECT_EQ(Log.Count("QuorvexSDK: InputTracker: previous message handler missing; raw "
                        "mouse-motion events will not be captured"),
              1);
    EXPECT_EQ(Log.Count("QuorvexSDK: InputTracker: Slate input preprocessor registered"), 1);
    Tracker.Reset();
    FSlateApplication::Shutdown();
}
