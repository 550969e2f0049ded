// Carry-less multiply folding kernels for the ZIP CRC-32. They work on the running
// register the table path keeps (the CRC before its final inversion) and are only
// called after the processor was found to support their instructions.
#pragma once

#include "CoreTypes.h"

// The folding kernels exist in x86-64 builds by GCC or Clang, which can target single
// functions at newer instruction sets.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUORVEX_CRC32_HAS_CLMUL 1
#else
#define QUORVEX_CRC32_HAS_CLMUL 0
#endif

#if QUORVEX_CRC32_HAS_CLMUL
namespace QuorvexCrc32Clmul
{
// Folds Num bytes into State and returns the new state. Num is a multiple of 16 and
// at least 64. Needs SSE4.1 and PCLMULQDQ.
uint32 FoldPclmul(uint32 State, const uint8* Bytes, int64 Num);

// Like FoldPclmul on 512-bit vectors. Num is a multiple of 16 and at least 64 (shorter
// runs than four vectors go through FoldPclmul). Needs AVX-512F, VPCLMULQDQ and PCLMULQDQ.
uint32 FoldVpclmulAvx512(uint32 State, const uint8* Bytes, int64 Num);
} // namespace QuorvexCrc32Clmul
#endif
