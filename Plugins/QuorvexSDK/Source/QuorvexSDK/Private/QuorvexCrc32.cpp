#include "QuorvexCrc32.h"

#include <array>

namespace
{
constexpr uint32 ReflectedPolynomial = 0xEDB88320u;
constexpr int32 SliceCount = 8;

using FCrcTables = std::array<std::array<uint32, 256>, SliceCount>;

// Table 0 advances the CRC by one byte; table K by one byte followed by K zero bytes,
// which lets eight table look-ups fold eight input bytes at once.
FCrcTables BuildTables()
{
    FCrcTables Tables{};
    for (uint32 Byte = 0; Byte < 256; ++Byte)
    {
        uint32 Crc = Byte;
        for (int32 Bit = 0; Bit < 8; ++Bit)
        {
            Crc = (Crc & 1u) ? (Crc >> 1) ^ ReflectedPolynomial : Crc >> 1;
        }
        Tables[0][Byte] = Crc;
    }
    for (int32 Slice = 1; Slice < SliceCount; ++Slice)
    {
        for (uint32 Byte = 0; Byte < 256; ++Byte)
        {
            const uint32 Previous = Tables[Slice - 1][Byte];
            Tables[Slice][Byte] = (Previous >> 8) ^ Tables[0][Previous & 0xFFu];
        }
    }
    return Tables;
}

// Built on first use; the language guarantees a function-local static is initialised
// exactly once even when several threads arrive together.
const FCrcTables& Tables()
{
    static const FCrcTables Instance = BuildTables();
    return Instance;
}

// Assembled byte by byte so the result does not depend on the host's byte order.
uint32 LoadLittleEndian32(const uint8* Bytes)
{
    return static_cast<uint32>(Bytes[0]) | (static_cast<uint32>(Bytes[1]) << 8) |
           (static_cast<uint32>(Bytes[2]) << 16) | (static_cast<uint32>(Bytes[3]) << 24);
}

uint32 FoldEightBytes(const FCrcTables& T, uint32 Crc, const uint8* Bytes)
{
    const uint32 Low = LoadLittleEndian32(Bytes) ^ Crc;
    const uint32 High = LoadLittleEndian32(Bytes + 4);
    return T[7][Low & 0xFFu] ^ T[6][(Low >> 8) & 0xFFu] ^ T[5][(Low >> 16) & 0xFFu] ^
           T[4][Low >> 24] ^ T[3][High & 0xFFu] ^ T[2][(High >> 8) & 0xFFu] ^
           T[1][(High >> 16) & 0xFFu] ^ T[0][High >> 24];
}
} // namespace

uint32 FQuorvexCrc32::ComputeCrc32(const void* Data, int64 Num, uint32 PreviousCrc)
{
    const FCrcTables& T = Tables();
    const uint8* Bytes = static_cast<const uint8*>(Data);
    uint32 Crc = ~PreviousCrc;
    if (!Bytes || Num <= 0)
    {
        return PreviousCrc;
    }
    for (; Num >= SliceCount; Num -= SliceCount, Bytes += SliceCount)
    {
        Crc = FoldEightBytes(T, Crc, Bytes);
    }
    for (; Num > 0; --Num, ++Bytes)
    {
        Crc = T[0][(Crc ^ *Bytes) & 0xFFu] ^ (Crc >> 8);
    }
    return ~Crc;
}
