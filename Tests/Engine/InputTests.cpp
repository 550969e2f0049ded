// The engine's input path: the synthetic OS devices, the platform's message pump,
// Slate's preprocessors and the game viewport, the player controller, and the two
// coordinate spaces (desktop pixels for Slate, viewport pixels for the game).
#include "Clock.h"
#include "TestEngineScene.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <vector>

namespace
{
// Writes down every preprocessor call it gets, and consumes when told to.
class FRecordingProcessor : public IInputProcessor
{
public:
    FRecordingProcessor(std::vector<FString>& InLog, FString InName, bool bInConsume = false)
        : Log(InLog), Name(std::move(InName)), bConsume(bInConsume)
    {
    }

    bool HandleKeyDownEvent(FSlateApplication&, const FKeyEvent& Event) override
    {
        return Note("KeyDown " + Event.GetKey().ToString() + (Event.IsRepeat() ? " repeat" : ""));
    }
    bool HandleKeyUpEvent(FSlateApplication&, const FKeyEvent& Event) override
    {
        return Note("KeyUp " + Event.GetKey().ToString());
    }
    bool HandleMouseButtonDownEvent(FSlateApplication&, const FPointerEvent& Event) override
    {
        return Note(Describe("Down", Event));
    }
    bool HandleMouseButtonUpEvent(FSlateApplication&, const FPointerEvent& Event) override
    {
        return Note(Describe("Up", Event));
    }
    bool HandleMouseMoveEvent(FSlateApplication&, const FPointerEvent& Event) override
    {
        return Note(Describe("Move", Event));
    }
    bool HandleMouseWheelOrGestureEvent(FSlateApplication&, const FPointerEvent& Event,
                                        const FPointerEvent*) override
    {
        return Note("Wheel " + std::to_string(Event.GetWheelDelta()).substr(0, 4) + " " +
                    At(Event.GetScreenSpacePosition()));
    }

private:
    static FString At(const FVector2D& P)
    {
        return std::to_string(static_cast<int>(P.X)) + "," + std::to_string(static_cast<int>(P.Y));
    }
    static FString Describe(const char* What, const FPointerEvent& Event)
    {
        FString Text = FString(What) + (Event.IsTouchEvent() ? " touch" : " mouse") + " " +
                       At(Event.GetScreenSpacePosition());
        if (Event.IsTouchEvent())
        {
            Text += " #" + std::to_string(Event.GetPointerIndex()) + " force " +
                    std::to_string(Event.GetTouchForce()).substr(0, 3);
        }
        return Text;
    }
    bool Note(const FString& What)
    {
        Log.push_back(Name + ": " + What);
        return bConsume;
    }

    std::vector<FString>& Log;
    FString Name;
    bool bConsume;
};

class InputTest : public FEngineTestBase
{
protected:
    void SetUp() override
    {
        FEngineTestBase::SetUp();
        Scene = std::make_unique<FTestEngineScene>();
        Scene->Client->OnGameInput.Add([this](const FGameInputEvent& Event)
                                       { GameSaw.push_back(Event); });
    }
    void TearDown() override
    {
        Scene.reset();
        FEngineTestBase::TearDown();
    }

    FSyntheticOsInput& Os()
    {
        return FSlateApplication::Get().GetPlatformApplication()->GetOsInput();
    }

    // The scene's viewport (128 x 96 pixels, 1:1) sits at window (16, 8); the window
    // at desktop (300, 200). Desktop (316 + x, 208 + y) is viewport pixel (x, y).
    static FVector2D Desktop(double X, double Y) { return {316.0 + X, 208.0 + Y}; }

    std::unique_ptr<FTestEngineScene> Scene;
    std::vector<FGameInputEvent> GameSaw;
};
} // namespace

TEST_F(InputTest, PreprocessorsSeeDesktopPixelsFirstAndTheGameViewportPixelsAfter)
{
    std::vector<FString> Seen;
    FSlateApplication& Slate = FSlateApplication::Get();
    ASSERT_TRUE(Slate.RegisterInputPreProcessor(std::make_shared<FRecordingProcessor>(Seen, "b")));
    ASSERT_TRUE(
        Slate.RegisterInputPreProcessor(std::make_shared<FRecordingProcessor>(Seen, "a"), 0));

    Os().SetCursorPosition(Desktop(10, 20));
    Os().PressMouseButton(EMouseButtons::Right);
    Os().PressKey('W', 'w');
    Os().ScrollWheel(-2.f);
    Os().TouchStart(1, Desktop(40, 50), 0.5f);
    Os().TouchEnd(1, Desktop(45, 50));
    Scene->Tick();

    const std::vector<FString> Expected{
        "a: Move mouse 326,228",
        "b: Move mouse 326,228",
        "a: Down mouse 326,228",
        "b: Down mouse 326,228",
        "a: KeyDown W",
        "b: KeyDown W",
        "a: Wheel -2.0 326,228",
        "b: Wheel -2.0 326,228",
        "a: Down touch 356,258 #1 force 0.5",
        "b: Down touch 356,258 #1 force 0.5",
        "a: Up touch 361,258 #1 force 0.5",
        "b: Up touch 361,258 #1 force 0.5",
    };
    EXPECT_EQ(Seen, Expected);

    // The game got every event, in viewport pixels.
    ASSERT_EQ(GameSaw.size(), 5u);
    EXPECT_EQ(GameSaw[0].Key, EKeys::RightMouseButton);
    EXPECT_EQ(GameSaw[0].Position, (FVector2D{10, 20}));
    EXPECT_EQ(GameSaw[1].Key, EKeys::W);
    EXPECT_EQ(GameSaw[2].Kind, FGameInputEvent::EKind::Wheel);
    EXPECT_EQ(GameSaw[3].Position, (FVector2D{40, 50}));
    EXPECT_EQ(GameSaw[4].Event, IE_Released);
    EXPECT_EQ(GameSaw[4].Position, (FVector2D{45, 50}));

    APlayerController& Player = Scene->PlayerController;
    EXPECT_TRUE(Player.IsInputKeyDown(EKeys::RightMouseButton));
    EXPECT_TRUE(Player.IsInputKeyDown(EKeys::W));
    EXPECT_FALSE(Player.IsInputKeyDown(EKeys::LeftMouseButton)) << "a touch is not a click";
    float X = 0.f, Y = 0.f;
    ASSERT_TRUE(Player.GetMousePosition(X, Y));
    EXPECT_EQ(X, 10.f);
    EXPECT_EQ(Y, 20.f);
}

TEST_F(InputTest, AConsumingPreprocessorHidesTheEventFromLaterOnesAndTheGame)
{
    std::vector<FString> Seen;
    FSlateApplication& Slate = FSlateApplication::Get();
    auto Consumer = std::make_shared<FRecordingProcessor>(Seen, "eats", true);
    auto Later = std::make_shared<FRecordingProcessor>(Seen, "later");
    Slate.RegisterInputPreProcessor(Consumer);
    Slate.RegisterInputPreProcessor(Later);
    EXPECT_FALSE(Slate.RegisterInputPreProcessor(Consumer)) << "registered once";
    Os().PressKey(EPlatformKeyCodes::Space);
    Scene->Tick();
    EXPECT_EQ(Seen, (std::vector<FString>{"eats: KeyDown SpaceBar"}));
    EXPECT_TRUE(GameSaw.empty());
    EXPECT_FALSE(Scene->PlayerController.IsInputKeyDown(EKeys::SpaceBar));

    Slate.UnregisterInputPreProcessor(Consumer);
    Os().ReleaseKey(EPlatformKeyCodes::Space);
    Scene->Tick();
    EXPECT_EQ(Seen.back(), "later: KeyUp SpaceBar");
    ASSERT_EQ(GameSaw.size(), 1u);
}

TEST_F(InputTest, AHeldKeyRepeatsOnTheEngineClockAndAPressOfAHeldKeyIsARepeat)
{
    FScopedFrozenClock Clock;
    std::vector<FString> Seen;
    FSlateApplication::Get().RegisterInputPreProcessor(
        std::make_shared<FRecordingProcessor>(Seen, "p"));
    Os().PressKey('A');
    Scene->Loop.Tick(0.1f);
    EXPECT_EQ(Seen, (std::vector<FString>{"p: KeyDown A"}));
    Scene->Loop.Tick(0.5f); // the repeat delay after the press has passed
    Scene->Loop.Tick(0.034f);
    Scene->Loop.Tick(0.034f);
    EXPECT_EQ(Seen.size(), 4u);
    EXPECT_EQ(Seen.back(), "p: KeyDown A repeat");
    Os().PressKey('A'); // the keyboard's own repeat of a held key
    Os().ReleaseKey('A');
    Scene->Loop.Tick(0.001f);
    EXPECT_EQ(Seen[Seen.size() - 2], "p: KeyDown A repeat");
    EXPECT_EQ(Seen.back(), "p: KeyUp A");
    Scene->Loop.Tick(1.f);
    EXPECT_EQ(Seen.back(), "p: KeyUp A") << "a released key stops repeating";
    EXPECT_FALSE(Scene->PlayerController.IsInputKeyDown(EKeys::A));
}

TEST_F(InputTest, RawMotionArrivesWhileTheCursorIsLocked)
{
    struct FRawCounter : FGenericApplicationMessageHandler
    {
        int32 X = 0, Y = 0, Moves = 0;
        bool OnRawMouseMove(int32 InX, int32 InY) override
        {
            X += InX, Y += InY;
            return true;
        }
        bool OnMouseMove() override { return ++Moves, true; }
    };
    auto Counter = std::make_shared<FRawCounter>();
    GenericApplication& Platform = *FSlateApplication::Get().GetPlatformApplication();
    Platform.SetMessageHandler(Counter);
    Os().SetCursorPosition(Desktop(0, 0));
    Os().MoveMouse(5, -3);
    Os().SetCursorLocked(true);
    Os().MoveMouse(20, 10);
    Scene->Tick();
    EXPECT_EQ(Counter->X, 25);
    EXPECT_EQ(Counter->Y, 7);
    EXPECT_EQ(Counter->Moves, 2) << "the warp and the unlocked move";
    EXPECT_EQ(Platform.GetCursorPosition(), Desktop(5, -3));
}

TEST(InputKeysTest, PlatformKeyCodesName)
{
    EXPECT_EQ(EKeys::FromKeyCode('Q').ToString(), "Q");
    EXPECT_EQ(EKeys::FromKeyCode('7').ToString(), "Seven");
    EXPECT_EQ(EKeys::FromKeyCode(EPlatformKeyCodes::LeftWindows), EKeys::LeftCommand);
    EXPECT_EQ(EKeys::FromKeyCode(EPlatformKeyCodes::RightWindows).ToString(), "RightCommand");
    EXPECT_FALSE(EKeys::FromKeyCode(0x7F).IsValid());
}
