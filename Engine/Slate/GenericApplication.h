// The platform application: the operating system's side of input.
//
// What a player does arrives as OS messages. Here FSyntheticOsInput stands in for
// the devices: tests and the sample queue messages from any thread, and the engine
// loop's input step (PumpMessages, game thread) hands them, in order, to the
// current message handler, the way a platform message pump does. A held key
// auto-repeats on the engine clock like a keyboard driver.
#pragma once

#include "GenericApplicationMessageHandler.h"

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

class FSyntheticOsInput
{
public:
    // A held key repeats after this delay, then at this interval.
    static constexpr double KeyRepeatDelaySeconds = 0.5;
    static constexpr double KeyRepeatIntervalSeconds = 1.0 / 30.0;

    // Moves the mouse device by (Dx, Dy) counts: raw motion, and the cursor follows
    // one pixel a count unless it is locked.
    void MoveMouse(int32 Dx, int32 Dy);
    // Puts the cursor at a desktop position without device motion (a warp, a pen).
    void SetCursorPosition(FVector2D Position);
    // A locked cursor stays where it is; raw motion still arrives.
    void SetCursorLocked(bool bLocked);
    void PressMouseButton(EMouseButtons::Type Button);
    void ReleaseMouseButton(EMouseButtons::Type Button);
    void ScrollWheel(float Delta);
    // KeyCode is the platform's key code; Character the character it types (0: none).
    void PressKey(int32 KeyCode, uint32 Character = 0);
    void ReleaseKey(int32 KeyCode);
    // Touch positions are desktop pixels; Force 0..1, 0 when the screen reports none.
    void TouchStart(int32 TouchIndex, FVector2D Position, float Force = 0.f);
    void TouchMove(int32 TouchIndex, FVector2D Position, float Force = 0.f);
    void TouchEnd(int32 TouchIndex, FVector2D Position);

private:
    friend class GenericApplication;
    enum class EKind : uint8
    {
        MouseMove,
        SetCursor,
        LockCursor,
        MouseDown,
        MouseUp,
        Wheel,
        KeyDown,
        KeyUp,
        TouchStart,
        TouchMove,
        TouchEnd,
    };
    struct FMessage
    {
        EKind Kind;
        FVector2D Vector; // motion, position
        int32 Code = 0;   // key code, button, touch index, lock flag
        uint32 Character = 0;
        float Value = 0.f; // wheel delta, force
    };
    void Post(const FMessage& Message);
    std::vector<FMessage> Take();

    std::mutex Mutex;
    std::deque<FMessage> Queue; // guarded by Mutex
};

class GenericApplication
{
public:
    // Game thread: the handler that receives the messages from now on (may be null).
    void SetMessageHandler(const std::shared_ptr<FGenericApplicationMessageHandler>& InHandler);
    const std::shared_ptr<FGenericApplicationMessageHandler>& GetMessageHandler() const
    {
        return Handler;
    }

    // Game thread: delivers due key repeats, then every queued message, to the handler.
    void PumpMessages();
    // Game thread: the cursor in desktop pixels, as of the messages delivered so far.
    FVector2D GetCursorPosition() const { return CursorPosition; }

    // Any thread: where the synthetic devices queue their messages.
    FSyntheticOsInput& GetOsInput() { return OsInput; }

private:
    void Deliver(const FSyntheticOsInput::FMessage& Message, double Now);
    void DeliverDueRepeats(double Now);

    struct FHeldKey
    {
        uint32 Character = 0;
        double NextRepeat = 0.0;
    };

    FSyntheticOsInput OsInput;
    // Game thread:
    std::shared_ptr<FGenericApplicationMessageHandler> Handler;
    FVector2D CursorPosition;
    bool bCursorLocked = false;
    std::map<int32, FHeldKey> HeldKeys; // by key code
};
