#include "FrameStamp.h"

#include <algorithm>

bool FFrameStamp::IsWhite(uint64 Frame, int32 X, int32 Width)
{
    const int32 Bit = std::min(X * Bits / std::max(Width, 1), Bits - 1);
    return ((Frame >> (Bits - 1 - Bit)) & 1u) != 0;
}

int64 FFrameStamp::Read(const uint8* Rgb, int32 Width, int32 Height)
{
    if (!Rgb || Width < Bits || Height < 6)
    {
        return -1;
    }
    const int32 Y = Height / 12; // the middle of the stamp's rows
    int64 Value = 0;
    for (int32 Bit = 0; Bit < Bits; ++Bit)
    {
        const int32 X = (2 * Bit + 1) * Width / (2 * Bits);
        const uint8 Level = Rgb[(static_cast<size_t>(Y) * Width + X) * 3];
        if (Level > 64 && Level < 192)
        {
            return -1;
        }
        Value = Value << 1 | (Level >= 192 ? 1 : 0);
    }
    return Value;
}
