#include "QuorvexCrc32.h"

#include "QuorvexCrc32Clmul.h"

#include <array>
#include <cstdint>

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

// Advances the running register (the CRC before its final inversion) over any number
// of bytes with the tables.
uint32 UpdateWithTables(uint32 State, const uint8* Bytes, int64 Num)
{
    const FCrcTables& T = Tables();
    for (; Num >= SliceCount; Num -= SliceCount, Bytes += SliceCount)
    {
        State = FoldEightBytes(T, State, Bytes);
    }
    for (; Num > 0; --Num, ++Bytes)
    {
        State = T[0][(State ^ *Bytes) & 0xFFu] ^ (State >> 8);
    }
    return State;
}

// Below this many bytes the folding set-up costs more than the tables.
constexpr int64 MinFoldedBytes = 64;
// Runs at least this long first step to a 64-byte boundary so the wide loads never
// straddle a cache line.
constexpr int64 AlignedFoldBytes = 512;

uint32 UpdateWithKernel(EQuorvexCrc32Kernel Kernel, uint32 State, const uint8* Bytes, int64 Num)
{
#if QUORVEX_CRC32_HAS_CLMUL
    if (Kernel != EQuorvexCrc32Kernel::Table && Num >= MinFoldedBytes)
    {
        if (Num >= AlignedFoldBytes)
        {
            const int64 Head =
                static_cast<int64>((64 - reinterpret_cast<uintptr_t>(Bytes) % 64) % 64);
            State = UpdateWithTables(State, Bytes, Head);
            Bytes += Head, Num -= Head;
        }
        const int64 Folded = Num & ~int64{15};
        State = Kernel == EQuorvexCrc32Kernel::Pclmul
                    ? QuorvexCrc32Clmul::FoldPclmul(State, Bytes, Folded)
                    : QuorvexCrc32Clmul::FoldVpclmulAvx512(State, Bytes, Folded);
        Bytes += Folded, Num -= Folded;
    }
#else
    (void)Kernel;
#endif
    return UpdateWithTables(State, Bytes, Num);
}

bool ProcessorRuns(EQuorvexCrc32Kernel Kernel)
{
#if QUORVEX_CRC32_HAS_CLMUL
    __builtin_cpu_init();
    const bool bPclmul = __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("pclmul");
    switch (Kernel)
    {
    case EQuorvexCrc32Kernel::Table:
        return true;
    case EQuorvexCrc32Kernel::Pclmul:
        return bPclmul;
    case EQuorvexCrc32Kernel::VpclmulAvx512:
        // The run-time library also checks that the system saves the 512-bit registers.
        return bPclmul && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("vpclmulqdq");
    }
    return false;
#else
    return Kernel == EQuorvexCrc32Kernel::Table;
#endif
}

// Which kernels this processor runs, decided once.
struct FKernelSupport
{
    bool bRuns[std::size(FQuorvexCrc32::AllKernels)] = {};
    EQuorvexCrc32Kernel Best = EQuorvexCrc32Kernel::Table;
};

const FKernelSupport& Support()
{
    static const FKernelSupport Instance = []
    {
        FKernelSupport Result;
        for (const EQuorvexCrc32Kernel Kernel : FQuorvexCrc32::AllKernels)
        {
            Result.bRuns[static_cast<size_t>(Kernel)] = ProcessorRuns(Kernel);
            if (Result.bRuns[static_cast<size_t>(Kernel)])
            {
                Result.Best = Kernel;
            }
        }
        return Result;
    }();
    return Instance;
}
} // namespace

uint32 FQuorvexCrc32::ComputeCrc32(const void* Data, int64 Num, uint32 PreviousCrc)
{
    if (!Data || Num <= 0)
    {
        return PreviousCrc;
    }
    return ~UpdateWithKernel(Support().Best, ~PreviousCrc, static_cast<const uint8*>(Data), Num);
}

bool FQuorvexCrc32::ComputeCrc32With(EQuorvexCrc32Kernel Kernel, const void* Data, int64 Num,
                                     uint32 PreviousCrc, uint32& OutCrc)
{
    if (!CanRun(Kernel))
    {
        return false;
    }
    OutCrc = (!Data || Num <= 0)
                 ? PreviousCrc
                 : ~UpdateWithKernel(Kernel, ~PreviousCrc, static_cast<const uint8*>(Data), Num);
    return true;
}

bool FQuorvexCrc32::CanRun(EQuorvexCrc32Kernel Kernel)
{
    const size_t Index = static_cast<size_t>(Kernel);
    return Index < std::size(AllKernels) && Support().bRuns[Index];
}

EQuorvexCrc32Kernel FQuorvexCrc32::SelectedKernel()
{
    return Support().Best;
}

const char* FQuorvexCrc32::KernelName(EQuorvexCrc32Kernel Kernel)
{
    switch (Kernel)
    {
    case EQuorvexCrc32Kernel::Table:
        return "Table";
    case EQuorvexCrc32Kernel::Pclmul:
        return "Pclmul";
    case EQuorvexCrc32Kernel::VpclmulAvx512:
        return "VpclmulAvx512";
    }
    return "Unknown";
}
