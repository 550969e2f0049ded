#include "InputCoreTypes.h"

#include <array>
#include <utility>

const FKey EKeys::LeftMouseButton{"LeftMouseButton"};
const FKey EKeys::RightMouseButton{"RightMouseButton"};
const FKey EKeys::MiddleMouseButton{"MiddleMouseButton"};
const FKey EKeys::ThumbMouseButton{"ThumbMouseButton"};
const FKey EKeys::ThumbMouseButton2{"ThumbMouseButton2"};
const FKey EKeys::MouseScrollUp{"MouseScrollUp"};
const FKey EKeys::MouseScrollDown{"MouseScrollDown"};
const FKey EKeys::SpaceBar{"SpaceBar"};
const FKey EKeys::Enter{"Enter"};
const FKey EKeys::Escape{"Escape"};
const FKey EKeys::Tab{"Tab"};
const FKey EKeys::LeftShift{"LeftShift"};
const FKey EKeys::LeftControl{"LeftControl"};
const FKey EKeys::LeftCommand{"LeftCommand"};
const FKey EKeys::RightCommand{"RightCommand"};
const FKey EKeys::Left{"Left"};
const FKey EKeys::Up{"Up"};
const FKey EKeys::Right{"Right"};
const FKey EKeys::Down{"Down"};
const FKey EKeys::A{"A"};
const FKey EKeys::D{"D"};
const FKey EKeys::S{"S"};
const FKey EKeys::W{"W"};
const FKey EKeys::Invalid{};

FKey EKeys::FromKeyCode(int32 KeyCode)
{
    if (KeyCode >= 'A' && KeyCode <= 'Z')
    {
        return FKey(FString(1, static_cast<char>(KeyCode)));
    }
    static const std::array<const char*, 10> Digits{"Zero", "One", "Two",   "Three", "Four",
                                                    "Five", "Six", "Seven", "Eight", "Nine"};
    if (KeyCode >= '0' && KeyCode <= '9')
    {
        return FKey(Digits[static_cast<size_t>(KeyCode - '0')]);
    }
    namespace Codes = EPlatformKeyCodes;
    static const std::array<std::pair<int32, const FKey*>, 12> Named{{
        {Codes::Tab, &Tab},
        {Codes::Enter, &Enter},
        {Codes::Escape, &Escape},
        {Codes::Space, &SpaceBar},
        {Codes::Left, &Left},
        {Codes::Up, &Up},
        {Codes::Right, &Right},
        {Codes::Down, &Down},
        {Codes::LeftWindows, &LeftCommand},
        {Codes::RightWindows, &RightCommand},
        {Codes::LeftShift, &LeftShift},
        {Codes::LeftControl, &LeftControl},
    }};
    for (const auto& [Code, Key] : Named)
    {
        if (Code == KeyCode)
        {
            return *Key;
        }
    }
    return Invalid;
}

FKey EKeys::FromMouseButton(EMouseButtons::Type Button)
{
    switch (Button)
    {
    case EMouseButtons::Left:
        return LeftMouseButton;
    case EMouseButtons::Middle:
        return MiddleMouseButton;
    case EMouseButtons::Right:
        return RightMouseButton;
    case EMouseButtons::Thumb01:
        return ThumbMouseButton;
    case EMouseButtons::Thumb02:
        return ThumbMouseButton2;
    default:
        return Invalid;
    }
}
