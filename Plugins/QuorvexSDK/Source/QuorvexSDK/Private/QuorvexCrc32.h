// The CRC-32 that ZIP archives carry (reflected polynomial 0xEDB88320, initial value
// all ones, final inversion). Long runs are folded with carry-less multiplies when the
// processor has them (PCLMULQDQ, or VPCLMULQDQ on 512-bit vectors); sliced tables
// (eight bytes per step) take the short heads and tails and run everywhere else. The
// kernel is chosen once, on first use, from what the processor reports; every kernel
// gives the same result for the same bytes.
#pragma once

#include "CoreTypes.h"

enum class EQuorvexCrc32Kernel : uint8
{
    Table,         // slicing-by-eight tables, any processor
    Pclmul,        // 128-bit folding by four blocks, SSE4.1 + PCLMULQDQ
    VpclmulAvx512, // 512-bit folding by four vectors, AVX-512F + VPCLMULQDQ
};

class FQuorvexCrc32
{
public:
    // Every kernel, fastest last; a processor runs a prefix of this list.
    static constexpr EQuorvexCrc32Kernel AllKernels[] = {EQuorvexCrc32Kernel::Table,
                                                         EQuorvexCrc32Kernel::Pclmul,
                                                         EQuorvexCrc32Kernel::VpclmulAvx512};

    // CRC-32 of Num bytes at Data, continuing from PreviousCrc, the finished CRC of the
    // bytes before them (0 for the first chunk). Chunked and one-shot results agree.
    // Safe to call from any thread; tables and kernel choice are made once, on first use.
    static uint32 ComputeCrc32(const void* Data, int64 Num, uint32 PreviousCrc = 0);

    // The same CRC through one given kernel. False (OutCrc untouched) when this
    // processor cannot run it.
    static bool ComputeCrc32With(EQuorvexCrc32Kernel Kernel, const void* Data, int64 Num,
                                 uint32 PreviousCrc, uint32& OutCrc);

    static bool CanRun(EQuorvexCrc32Kernel Kernel);
    // The kernel ComputeCrc32 uses on this processor.
    static EQuorvexCrc32Kernel SelectedKernel();
    static const char* KernelName(EQuorvexCrc32Kernel Kernel);
};
