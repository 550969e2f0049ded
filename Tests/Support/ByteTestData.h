// Byte buffers for tests: seeded random content and zlib as the CRC-32 oracle.
#pragma once

#include "CoreTypes.h"

#include <random>
#include <vector>
#include <zlib.h>

using FBytes = std::vector<uint8>;

// Num bytes that look random but repeat for the same seed.
inline FBytes RandomBytes(size_t Num, uint32 Seed)
{
    std::mt19937 Random(Seed);
    FBytes Bytes(Num);
    for (uint8& Byte : Bytes)
    {
        Byte = static_cast<uint8>(Random());
    }
    return Bytes;
}

// The CRC-32 zlib computes, to check ours against.
inline uint32 ZlibCrc(const FBytes& Bytes)
{
    return static_cast<uint32>(crc32(0, Bytes.data(), static_cast<uInt>(Bytes.size())));
}
