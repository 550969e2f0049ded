// The CRC-32 that ZIP archives carry (reflected polynomial 0xEDB88320, initial value
// all ones, final inversion), computed eight bytes per step with sliced tables.
#pragma once

#include "CoreTypes.h"

class FQuorvexCrc32
{
public:
    // CRC-32 of Num bytes at Data, continuing from PreviousCrc, the finished CRC of the
    // bytes before them (0 for the first chunk). Chunked and one-shot results agree.
    // Safe to call from any thread; the tables are built once, on first use.
    static uint32 ComputeCrc32(const void* Data, int64 Num, uint32 PreviousCrc = 0);
};
