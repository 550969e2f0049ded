#include "UrlEncoding.h"

namespace
{
bool IsUnreserved(unsigned char C)
{
    return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') || C == '-' ||
           C == '_' || C == '.' || C == '~';
}

} // namespace

FString FGenericPlatformHttp::UrlEncode(std::string_view Text)
{
    static const char Hex[] = "0123456789ABCDEF";
    FString Out;
    Out.reserve(Text.size());
    for (char Raw : Text)
    {
        const unsigned char C = static_cast<unsigned char>(Raw);
        if (IsUnreserved(C))
        {
            Out += Raw;
        }
        else
        {
            Out += '%';
            Out += Hex[C >> 4];
            Out += Hex[C & 15];
        }
    }
    return Out;
}

FString FGenericPlatformHttp::UrlDecode(std::string_view Text)
{
    FString Out;
    Out.reserve(Text.size());
    for (size_t I = 0; I < Text.size(); ++I)
    {
        if (Text[I] == '%' && I + 2 < Text.size())
        {
            const int High = HexDigitValue(Text[I + 1]);
            const int Low = HexDigitValue(Text[I + 2]);
            if (High >= 0 && Low >= 0)
            {
                Out += static_cast<char>(High * 16 + Low);
                I += 2;
                continue;
            }
        }
        Out += Text[I];
    }
    return Out;
}

int32 FGenericPlatformHttp::HexDigitValue(char C)
{
    if (C >= '0' && C <= '9')
    {
        return C - '0';
    }
    if (C >= 'a' && C <= 'f')
    {
        return C - 'a' + 10;
    }
    if (C >= 'A' && C <= 'F')
    {
        return C - 'A' + 10;
    }
    return -1;
}
