#include "Guid.h"

#include "StringUtils.h"

#include <sys/random.h>

FGuid FGuid::NewGuid()
{
    FGuid Guid;
    uint32 Words[4] = {};
    size_t Filled = 0;
    while (Filled < sizeof(Words))
    {
        const ssize_t Got =
            getrandom(reinterpret_cast<char*>(Words) + Filled, sizeof(Words) - Filled, 0);
        if (Got > 0)
        {
            Filled += static_cast<size_t>(Got);
        }
    }
    Guid.A = Words[0];
    Guid.B = Words[1];
    Guid.C = Words[2];
    Guid.D = Words[3];
    // Mark as an RFC 4122 version 4 identifier so it also reads as a valid UUID.
    Guid.B = (Guid.B & 0xFFFF0FFFu) | 0x00004000u;
    Guid.C = (Guid.C & 0x3FFFFFFFu) | 0x80000000u;
    return Guid;
}

FString FGuid::ToString(EGuidFormats Format) const
{
    const FString Hyphens = FStringUtils::Printf("%08X-%04X-%04X-%04X-%04X%08X", A, B >> 16,
                                                 B & 0xFFFF, C >> 16, C & 0xFFFF, D);
    switch (Format)
    {
    case EGuidFormats::DigitsWithHyphens:
        return Hyphens;
    case EGuidFormats::DigitsWithHyphensLower:
        return FStringUtils::ToLower(Hyphens);
    case EGuidFormats::DigitsWithHyphensInBraces:
        return "{" + Hyphens + "}";
    case EGuidFormats::Digits:
    default:
        return FStringUtils::Printf("%08X%08X%08X%08X", A, B, C, D);
    }
}
