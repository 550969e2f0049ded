#include "GenericApplication.h"

#include "PlatformTime.h"

namespace
{
// A driver delivers at most this many repeats of one key per pump, so a long stall
// of the game thread does not turn into a burst.
constexpr int32 MaxRepeatsPerPump = 4;
} // namespace

void FSyntheticOsInput::Post(const FMessage& Message)
{
    std::lock_guard Lock(Mutex);
    Queue.push_back(Message);
}

std::vector<FSyntheticOsInput::FMessage> FSyntheticOsInput::Take()
{
    std::lock_guard Lock(Mutex);
    std::vector<FMessage> Taken(Queue.begin(), Queue.end());
    Queue.clear();
    return Taken;
}

void FSyntheticOsInput::MoveMouse(int32 Dx, int32 Dy)
{
    Post({EKind::MouseMove, {static_cast<double>(Dx), static_cast<double>(Dy)}});
}

void FSyntheticOsInput::SetCursorPosition(FVector2D Position)
{
    Post({EKind::SetCursor, Position});
}

void FSyntheticOsInput::SetCursorLocked(bool bLocked)
{
    Post({EKind::LockCursor, {}, bLocked ? 1 : 0});
}

void FSyntheticOsInput::PressMouseButton(EMouseButtons::Type Button)
{
    Post({EKind::MouseDown, {}, Button});
}

void FSyntheticOsInput::ReleaseMouseButton(EMouseButtons::Type Button)
{
    Post({EKind::MouseUp, {}, Button});
}

void FSyntheticOsInput::ScrollWheel(float Delta)
{
    Post({EKind::Wheel, {}, 0, 0, Delta});
}

void FSyntheticOsInput::PressKey(int32 KeyCode, uint32 Character)
{
    Post({EKind::KeyDown, {}, KeyCode, Character});
}

void FSyntheticOsInput::ReleaseKey(int32 KeyCode)
{
    Post({EKind::KeyUp, {}, KeyCode});
}

void FSyntheticOsInput::TouchStart(int32 TouchIndex, FVector2D Position, float Force)
{
    Post({EKind::TouchStart, Position, TouchIndex, 0, Force});
}

void FSyntheticOsInput::TouchMove(int32 TouchIndex, FVector2D Position, float Force)
{
    Post({EKind::TouchMove, Position, TouchIndex, 0, Force});
}

void FSyntheticOsInput::TouchEnd(int32 TouchIndex, FVector2D Position)
{
    Post({EKind::TouchEnd, Position, TouchIndex});
}

void GenericApplication::SetMessageHandler(
    const std::shared_ptr<FGenericApplicationMessageHandler>& InHandler)
{
    Handler = InHandler;
}

void GenericApplication::PumpMessages()
{
    const double Now = FPlatformTime::Seconds();
    DeliverDueRepeats(Now);
    for (const FSyntheticOsInput::FMessage& Message : OsInput.Take())
    {
        Deliver(Message, Now);
    }
}

void GenericApplication::DeliverDueRepeats(double Now)
{
    for (auto& [KeyCode, Held] : HeldKeys)
    {
        for (int32 Repeat = 0; Repeat < MaxRepeatsPerPump && Now >= Held.NextRepeat; ++Repeat)
        {
            Held.NextRepeat += FSyntheticOsInput::KeyRepeatIntervalSeconds;
            if (Handler)
            {
                Handler->OnKeyDown(KeyCode, Held.Character, true);
            }
        }
        if (Now >= Held.NextRepeat)
        {
            Held.NextRepeat = Now + FSyntheticOsInput::KeyRepeatIntervalSeconds;
        }
    }
}

void GenericApplication::Deliver(const FSyntheticOsInput::FMessage& Message, double Now)
{
    using EKind = FSyntheticOsInput::EKind;
    // The handler may replace itself while handling a message; hold the one called.
    const std::shared_ptr<FGenericApplicationMessageHandler> Target = Handler;
    const auto Button = static_cast<EMouseButtons::Type>(Message.Code);
    switch (Message.Kind)
    {
    case EKind::MouseMove:
        if (Target)
        {
            Target->OnRawMouseMove(static_cast<int32>(Message.Vector.X),
                                   static_cast<int32>(Message.Vector.Y));
        }
        if (!bCursorLocked)
        {
            CursorPosition = CursorPosition + Message.Vector;
            if (Target)
            {
                Target->OnMouseMove();
            }
        }
        return;
    case EKind::SetCursor:
        CursorPosition = Message.Vector;
        if (Target)
        {
            Target->OnMouseMove();
        }
        return;
    case EKind::LockCursor:
        bCursorLocked = Message.Code != 0;
        return;
    case EKind::MouseDown:
        if (Target)
        {
            Target->OnMouseDown(Button, CursorPosition);
        }
        return;
    case EKind::MouseUp:
        if (Target)
        {
            Target->OnMouseUp(Button, CursorPosition);
        }
        return;
    case EKind::Wheel:
        if (Target)
        {
            Target->OnMouseWheel(Message.Value, CursorPosition);
        }
        return;
    case EKind::KeyDown:
    {
        // A press of a key already held is the keyboard's own repeat.
        const bool bRepeat = HeldKeys.contains(Message.Code);
        if (!bRepeat)
        {
            HeldKeys[Message.Code] = {Message.Character,
                                      Now + FSyntheticOsInput::KeyRepeatDelaySeconds};
        }
        if (Target)
        {
            Target->OnKeyDown(Message.Code, Message.Character, bRepeat);
        }
        return;
    }
    case EKind::KeyUp:
    {
        const auto Held = HeldKeys.find(Message.Code);
        const uint32 Character = Held != HeldKeys.end() ? Held->second.Character : 0;
        if (Held != HeldKeys.end())
        {
            HeldKeys.erase(Held);
        }
        if (Target)
        {
            Target->OnKeyUp(Message.Code, Character, false);
        }
        return;
    }
    case EKind::TouchStart:
        if (Target)
        {
            Target->OnTouchStarted(Message.Vector, Message.Value, Message.Code, 0);
        }
        return;
    case EKind::TouchMove:
        if (Target)
        {
            Target->OnTouchMoved(Message.Vector, Message.Value, Message.Code, 0);
        }
        return;
    case EKind::TouchEnd:
        if (Target)
        {
            Target->OnTouchEnded(Message.Vector, Message.Code, 0);
        }
        return;
    }
}
