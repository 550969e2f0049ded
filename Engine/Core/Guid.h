// 128-bit random identifiers from the operating system's random source.
#pragma once

#include "CoreTypes.h"

enum class EGuidFormats : uint8
{
    Digits,                    // 32 uppercase hex digits
    DigitsWithHyphens,         // 8-4-4-4-12 uppercase
    DigitsWithHyphensLower,    // 8-4-4-4-12 lowercase
    DigitsWithHyphensInBraces, // {8-4-4-4-12} uppercase
};

struct FGuid
{
    uint32 A = 0, B = 0, C = 0, D = 0;

    static FGuid NewGuid();
    bool IsValid() const { return (A | B | C | D) != 0; }
    FString ToString(EGuidFormats Format = EGuidFormats::Digits) const;
    bool operator==(const FGuid&) const = default;
};
