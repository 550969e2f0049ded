// The local player's controller: the game's view of the player's keys and mouse.
//
// The game viewport client feeds it the input that reached the game (after Slate's
// preprocessors); the game and plugins poll it. Game thread.
#pragma once

#include "InputCoreTypes.h"
#include "IntPoint.h"
#include "Object.h"

#include <set>

enum EInputEvent : uint8
{
    IE_Pressed = 0,
    IE_Released = 1,
    IE_Repeat = 2,
    IE_DoubleClick = 3,
    IE_Axis = 4,
};

class UGameViewportClient;

class APlayerController : public UObject
{
public:
    // The viewport whose mouse position GetMousePosition reports (null: none).
    void SetViewportClient(UGameViewportClient* InClient) { ViewportClient = InClient; }

    // The cursor in the viewport's pixels; false without a viewport or when the
    // cursor position is unknown.
    bool GetMousePosition(float& LocationX, float& LocationY) const;
    bool IsInputKeyDown(const FKey& Key) const { return KeysDown.contains(Key.ToString()); }

    // A key event that reached the game; returns whether the controller used it.
    bool InputKey(const FKey& Key, EInputEvent Event);

private:
    UGameViewportClient* ViewportClient = nullptr; // game thread
    std::set<FString> KeysDown;                    // game thread, by key name
};
