// Keys and mouse buttons: the names the engine gives physical inputs, and the
// platform key codes (Windows virtual-key codes) they come from.
#pragma once

#include "CoreTypes.h"

namespace EMouseButtons
{
enum Type : uint8
{
    Left = 0,
    Middle,
    Right,
    Thumb01,
    Thumb02,
    Invalid,
};
}

class FKey
{
public:
    FKey() = default;
    explicit FKey(FString InName) : Name(std::move(InName)) {}

    // The key's name, for example "A", "SpaceBar" or "LeftMouseButton".
    FString ToString() const { return Name; }
    bool IsValid() const { return !Name.empty(); }
    bool operator==(const FKey&) const = default;

private:
    FString Name;
};

struct EKeys
{
    static const FKey LeftMouseButton;
    static const FKey RightMouseButton;
    static const FKey MiddleMouseButton;
    static const FKey ThumbMouseButton;
    static const FKey ThumbMouseButton2;
    static const FKey MouseScrollUp;
    static const FKey MouseScrollDown;
    static const FKey SpaceBar;
    static const FKey Enter;
    static const FKey Escape;
    static const FKey Tab;
    static const FKey LeftShift;
    static const FKey LeftControl;
    static const FKey LeftCommand;
    static const FKey RightCommand;
    static const FKey Left;
    static const FKey Up;
    static const FKey Right;
    static const FKey Down;
    static const FKey A;
    static const FKey D;
    static const FKey S;
    static const FKey W;
    static const FKey Invalid;

    // The key behind a platform key code (letters and digits by their character,
    // the others by their virtual-key code); Invalid when the code is not known.
    static FKey FromKeyCode(int32 KeyCode);
    static FKey FromMouseButton(EMouseButtons::Type Button);
};

// Windows virtual-key codes the stand-in platform uses.
namespace EPlatformKeyCodes
{
inline constexpr int32 Tab = 0x09;
inline constexpr int32 Enter = 0x0D;
inline constexpr int32 Escape = 0x1B;
inline constexpr int32 Space = 0x20;
inline constexpr int32 Left = 0x25;
inline constexpr int32 Up = 0x26;
inline constexpr int32 Right = 0x27;
inline constexpr int32 Down = 0x28;
inline constexpr int32 LeftWindows = 0x5B;
inline constexpr int32 RightWindows = 0x5C;
inline constexpr int32 LeftShift = 0xA0;
inline constexpr int32 LeftControl = 0xA2;
// 'A'..'Z' and '0'..'9' are their ASCII codes.
} // namespace EPlatformKeyCodes
