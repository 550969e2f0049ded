// The receiver of the platform's input messages. Slate's application is the usual
// handler; a component may put its own in front of it and forward to it. Every call
// returns whether the message was handled. Game thread.
#pragma once

#include "InputCoreTypes.h"
#include "IntPoint.h"

class FGenericApplicationMessageHandler
{
public:
    virtual ~FGenericApplicationMessageHandler() = default;

    virtual bool OnKeyChar(uint32 Character, bool bIsRepeat)
    {
        (void)Character, (void)bIsRepeat;
        return false;
    }
    virtual bool OnKeyDown(int32 KeyCode, uint32 CharacterCode, bool bIsRepeat)
    {
        (void)KeyCode, (void)CharacterCode, (void)bIsRepeat;
        return false;
    }
    virtual bool OnKeyUp(int32 KeyCode, uint32 CharacterCode, bool bIsRepeat)
    {
        (void)KeyCode, (void)CharacterCode, (void)bIsRepeat;
        return false;
    }
    // Cursor positions are in desktop pixels.
    virtual bool OnMouseDown(EMouseButtons::Type Button, FVector2D CursorPosition)
    {
        (void)Button, (void)CursorPosition;
        return false;
    }
    virtual bool OnMouseUp(EMouseButtons::Type Button, FVector2D CursorPosition)
    {
        (void)Button, (void)CursorPosition;
        return false;
    }
    virtual bool OnMouseDoubleClick(EMouseButtons::Type Button, FVector2D CursorPosition)
    {
        (void)Button, (void)CursorPosition;
        return false;
    }
    virtual bool OnMouseWheel(float Delta, FVector2D CursorPosition)
    {
        (void)Delta, (void)CursorPosition;
        return false;
    }
    // The cursor moved; the handler asks the platform where it is now.
    virtual bool OnMouseMove() { return false; }
    // Motion of the mouse device in raw counts, also while the cursor is locked.
    virtual bool OnRawMouseMove(int32 X, int32 Y)
    {
        (void)X, (void)Y;
        return false;
    }
    // Touch positions are in desktop pixels; Force is 0..1, 0 when not reported.
    virtual bool OnTouchStarted(FVector2D Location, float Force, int32 TouchIndex,
                                int32 ControllerId)
    {
        (void)Location, (void)Force, (void)TouchIndex, (void)ControllerId;
        return false;
    }
    virtual bool OnTouchMoved(FVector2D Location, float Force, int32 TouchIndex, int32 ControllerId)
    {
        (void)Location, (void)Force, (void)TouchIndex, (void)ControllerId;
        return false;
    }
    virtual bool OnTouchEnded(FVector2D Location, int32 TouchIndex, int32 ControllerId)
    {
        (void)Location, (void)TouchIndex, (void)ControllerId;
        return false;
    }
};
