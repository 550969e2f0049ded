// Slate's input events and the preprocessors that see them before any widget.
#pragma once

#include "InputCoreTypes.h"
#include "IntPoint.h"

class FSlateApplication;

class FKeyEvent
{
public:
    FKeyEvent(FKey InKey, uint32 InKeyCode, uint32 InCharacterCode, bool bInIsRepeat)
        : Key(std::move(InKey)), KeyCode(InKeyCode), CharacterCode(InCharacterCode),
          bIsRepeat(bInIsRepeat)
    {
    }

    const FKey& GetKey() const { return Key; }
    // The platform's key code for the key.
    uint32 GetKeyCode() const { return KeyCode; }
    uint32 GetCharacter() const { return CharacterCode; }
    // True for the platform's auto-repeat while the key is held.
    bool IsRepeat() const { return bIsRepeat; }

private:
    FKey Key;
    uint32 KeyCode;
    uint32 CharacterCode;
    bool bIsRepeat;
};

// A mouse or touch event. Positions are in screen space: desktop pixels.
class FPointerEvent
{
public:
    // The pointer index of the mouse cursor; touches use their finger's index.
    static constexpr uint32 CursorPointerIndex = 10;

    // A mouse event; Button is the effecting button (Invalid for moves and wheel).
    static FPointerEvent Mouse(FVector2D ScreenPosition, FVector2D LastScreenPosition,
                               EMouseButtons::Type Button, float WheelDelta = 0.f);
    static FPointerEvent Touch(uint32 PointerIndex, FVector2D ScreenPosition,
                               FVector2D LastScreenPosition, float Force);

    bool IsTouchEvent() const { return bIsTouchEvent; }
    uint32 GetPointerIndex() const { return PointerIndex; }
    const FVector2D& GetScreenSpacePosition() const { return ScreenSpacePosition; }
    const FVector2D& GetLastScreenSpacePosition() const { return LastScreenSpacePosition; }
    FVector2D GetCursorDelta() const { return ScreenSpacePosition - LastScreenSpacePosition; }
    // The key of the button that changed: a mouse button, or LeftMouseButton for a touch.
    const FKey& GetEffectingButton() const { return EffectingButton; }
    // Touch pressure, 0..1; 0 when the device reports none.
    float GetTouchForce() const { return TouchForce; }
    float GetWheelDelta() const { return WheelDelta; }

private:
    FVector2D ScreenSpacePosition;
    FVector2D LastScreenSpacePosition;
    FKey EffectingButton;
    uint32 PointerIndex = CursorPointerIndex;
    float TouchForce = 0.f;
    float WheelDelta = 0.f;
    bool bIsTouchEvent = false;
};

inline FPointerEvent FPointerEvent::Mouse(FVector2D ScreenPosition, FVector2D LastScreenPosition,
                                          EMouseButtons::Type Button, float WheelDelta)
{
    FPointerEvent Event;
    Event.ScreenSpacePosition = ScreenPosition;
    Event.LastScreenSpacePosition = LastScreenPosition;
    Event.EffectingButton = EKeys::FromMouseButton(Button);
    Event.WheelDelta = WheelDelta;
    return Event;
}

inline FPointerEvent FPointerEvent::Touch(uint32 PointerIndex, FVector2D ScreenPosition,
                                          FVector2D LastScreenPosition, float Force)
{
    FPointerEvent Event;
    Event.ScreenSpacePosition = ScreenPosition;
    Event.LastScreenSpacePosition = LastScreenPosition;
    Event.EffectingButton = EKeys::LeftMouseButton;
    Event.PointerIndex = PointerIndex;
    Event.TouchForce = Force;
    Event.bIsTouchEvent = true;
    return Event;
}

// An input preprocessor sees every event before widgets and the game do; returning
// true consumes the event. Game thread.
class IInputProcessor
{
public:
    virtual ~IInputProcessor() = default;

    virtual void Tick(float DeltaTime, FSlateApplication& SlateApp)
    {
        (void)DeltaTime, (void)SlateApp;
    }
    virtual bool HandleKeyDownEvent(FSlateApplication& SlateApp, const FKeyEvent& Event)
    {
        (void)SlateApp, (void)Event;
        return false;
    }
    virtual bool HandleKeyUpEvent(FSlateApplication& SlateApp, const FKeyEvent& Event)
    {
        (void)SlateApp, (void)Event;
        return false;
    }
    // Mouse buttons and touch starts (IsTouchEvent tells them apart).
    virtual bool HandleMouseButtonDownEvent(FSlateApplication& SlateApp, const FPointerEvent& Event)
    {
        (void)SlateApp, (void)Event;
        return false;
    }
    // Mouse buttons and touch ends.
    virtual bool HandleMouseButtonUpEvent(FSlateApplication& SlateApp, const FPointerEvent& Event)
    {
        (void)SlateApp, (void)Event;
        return false;
    }
    virtual bool HandleMouseButtonDoubleClickEvent(FSlateApplication& SlateApp,
                                                   const FPointerEvent& Event)
    {
        (void)SlateApp, (void)Event;
        return false;
    }
    // Cursor moves and touch moves.
    virtual bool HandleMouseMoveEvent(FSlateApplication& SlateApp, const FPointerEvent& Event)
    {
        (void)SlateApp, (void)Event;
        return false;
    }
    virtual bool HandleMouseWheelOrGestureEvent(FSlateApplication& SlateApp,
                                                const FPointerEvent& WheelEvent,
                                                const FPointerEvent* GestureEvent)
    {
        (void)SlateApp, (void)WheelEvent, (void)GestureEvent;
        return false;
    }
};
