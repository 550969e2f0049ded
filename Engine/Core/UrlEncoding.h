// Percent-encoding of URL components.
#pragma once

#include "CoreTypes.h"

#include <string_view>

struct FGenericPlatformHttp
{
    // Keeps A-Z a-z 0-9 - _ . ~ and writes every other byte as %XX (uppercase hex).
    static FString UrlEncode(std::string_view Text);
    // Reverses UrlEncode; '+' stays '+'. Malformed escapes are kept as they stand.
    static FString UrlDecode(std::string_view Text);
    // The value of one hexadecimal digit (either case), or -1 for any other character.
    static int32 HexDigitValue(char C);
};
