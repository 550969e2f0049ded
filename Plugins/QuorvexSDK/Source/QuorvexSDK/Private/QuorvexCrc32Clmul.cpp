#include "QuorvexCrc32Clmul.h"

// Folding, after Intel's "Fast CRC Computation for Generic Polynomials Using
// PCLMULQDQ": the CRC of a message only depends on the message modulo the polynomial
// P, so a 128-bit block B that sits D bits before the end of the part already folded
// can be replaced by B * x^D (mod P) and added into the later block. Split into two
// 64-bit halves, that is two carry-less multiplies by x^(D+32) and x^(D-32) mod P,
// which keeps every product within 128 bits. Several accumulators folded in parallel
// hide the multiplier's latency; at the end they are folded into one, cut down to 64
// bits, and reduced to 32 with Barrett's method. All values are bit-reflected, as the
// ZIP CRC is: the lowest bit of a register is the highest power of x.
//
// Each function carries its own target attribute, so the rest of the library builds
// for the baseline processor and these only run after the run-time check.

#if QUORVEX_CRC32_HAS_CLMUL

#include <immintrin.h>

namespace
{
constexpr uint64 Polynomial = 0x104C11DB7ull; // x^32 + ... + 1, not reflected

constexpr uint64 Reflect(uint64 Value, int32 Bits)
{
    uint64 Reflected = 0;
    for (int32 Bit = 0; Bit < Bits; ++Bit)
    {
        if ((Value >> Bit) & 1u)
        {
            Reflected |= 1ull << (Bits - 1 - Bit);
        }
    }
    return Reflected;
}

// x^Degree mod P, reflected and shifted by one so that a 64 x 33-bit carry-less
// product lands where the reflected folding expects it.
constexpr uint64 FoldConstant(int32 Degree)
{
    uint64 Remainder = 1;
    for (int32 Step = 0; Step < Degree; ++Step)
    {
        Remainder <<= 1;
        if (Remainder & (1ull << 32))
        {
            Remainder ^= Polynomial;
        }
    }
    return Reflect(Remainder, 32) << 1;
}

// floor(x^64 / P), reflected: the Barrett multiplier.
constexpr uint64 BarrettQuotient()
{
    // The dividend x^64 needs 65 bits; its top bit is handled by starting the quotient
    // with x^32 and the remainder with x^64 - x^32 * P.
    uint64 Quotient = 1ull << 32;
    uint64 Remainder = (Polynomial & 0xFFFFFFFFull) << 32;
    for (int32 Degree = 63; Degree >= 32; --Degree)
    {
        if ((Remainder >> Degree) & 1u)
        {
            Remainder ^= Polynomial << (Degree - 32);
            Quotient |= 1ull << (Degree - 32);
        }
    }
    return Reflect(Quotient, 33);
}

// Cross-checked against the constants published with the white paper's algorithm.
static_assert(FoldConstant(512 + 32) == 0x154442BD4ull);
static_assert(FoldConstant(512 - 32) == 0x1C6E41596ull);
static_assert(FoldConstant(128 + 32) == 0x1751997D0ull);
static_assert(FoldConstant(128 - 32) == 0x0CCAA009Eull);
static_assert(FoldConstant(64) == 0x163CD6124ull);
static_assert(Reflect(Polynomial, 33) == 0x1DB710641ull);
static_assert(BarrettQuotient() == 0x1F7011641ull);

// Multipliers for a fold across Distance bits: low half x^(D+32), high half x^(D-32).
struct FFoldMultipliers
{
    uint64 Low;
    uint64 High;
};

constexpr FFoldMultipliers FoldAcross(int32 Distance)
{
    return {FoldConstant(Distance + 32), FoldConstant(Distance - 32)};
}

// Named constants, so every multiplier is computed by the compiler, never at run time.
constexpr FFoldMultipliers By128 = FoldAcross(128);
constexpr FFoldMultipliers By256 = FoldAcross(256);
constexpr FFoldMultipliers By384 = FoldAcross(384);
constexpr FFoldMultipliers By512 = FoldAcross(512);
constexpr FFoldMultipliers By2048 = FoldAcross(2048);
constexpr uint64 By64 = FoldConstant(64);
constexpr uint64 BarrettMultiplier = BarrettQuotient();
constexpr uint64 ReflectedPolynomial = Reflect(Polynomial, 33);

__attribute__((target("sse4.1,pclmul"), always_inline)) inline __m128i
Multipliers128(const FFoldMultipliers& Fold)
{
    return _mm_set_epi64x(static_cast<long long>(Fold.High), static_cast<long long>(Fold.Low));
}

__attribute__((target("sse4.1,pclmul"), always_inline)) inline __m128i Load128(const uint8* Bytes)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(Bytes));
}

// Block moved forward by the distance Multipliers were made for, plus Next.
__attribute__((target("sse4.1,pclmul"), always_inline)) inline __m128i
Fold128(__m128i Block, __m128i Multipliers, __m128i Next)
{
    const __m128i Low = _mm_clmulepi64_si128(Block, Multipliers, 0x00);
    const __m128i High = _mm_clmulepi64_si128(Block, Multipliers, 0x11);
    return _mm_xor_si128(_mm_xor_si128(Low, High), Next);
}

// Folds whole 16-byte blocks into Block, then reduces it to the 32-bit CRC state.
// Always inlined, so inside the 512-bit kernel it is encoded with VEX like its caller:
// legacy SSE code run while the upper vector state is dirty costs microseconds.
__attribute__((target("sse4.1,pclmul"), always_inline)) inline uint32
FinishFolding(__m128i Block, const uint8* Bytes, int64 Num)
{
    const __m128i Across128 = Multipliers128(By128);
    for (; Num >= 16; Num -= 16, Bytes += 16)
    {
        Block = Fold128(Block, Across128, Load128(Bytes));
    }
    const __m128i Low32Mask = _mm_setr_epi32(-1, 0, -1, 0);

    // 128 -> 96 bits: the low half moves 64 bits forward into the high half.
    Block = _mm_xor_si128(_mm_clmulepi64_si128(Block, Across128, 0x10), _mm_srli_si128(Block, 8));
    // 96 -> 64 bits: the low 32 bits move 32 bits forward.
    const __m128i Across64 = _mm_set_epi64x(0, static_cast<long long>(By64));
    const __m128i Upper = _mm_srli_si128(Block, 4);
    Block =
        _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(Block, Low32Mask), Across64, 0x00), Upper);

    // Barrett: quotient = floor(Block * mu / x^64), remainder = Block - quotient * P.
    const __m128i Barrett = _mm_set_epi64x(static_cast<long long>(BarrettMultiplier),
                                           static_cast<long long>(ReflectedPolynomial));
    __m128i Quotient = _mm_clmulepi64_si128(_mm_and_si128(Block, Low32Mask), Barrett, 0x10);
    Quotient = _mm_clmulepi64_si128(_mm_and_si128(Quotient, Low32Mask), Barrett, 0x00);
    return static_cast<uint32>(_mm_extract_epi32(_mm_xor_si128(Block, Quotient), 1));
}

__attribute__((target("avx512f,vpclmulqdq,sse4.1,pclmul"))) inline __m512i
Fold512(__m512i Block, __m512i Multipliers, __m512i Next)
{
    const __m512i Low = _mm512_clmulepi64_epi128(Block, Multipliers, 0x00);
    const __m512i High = _mm512_clmulepi64_epi128(Block, Multipliers, 0x11);
    return _mm512_ternarylogic_epi64(Low, High, Next, 0x96); // three-way XOR
}

__attribute__((target("avx512f,vpclmulqdq,sse4.1,pclmul"))) inline __m512i
Load512(const uint8* Bytes)
{
    return _mm512_loadu_si512(Bytes);
}

__attribute__((target("avx512f,vpclmulqdq,sse4.1,pclmul"))) inline __m512i
Multipliers512(const FFoldMultipliers& Fold)
{
    // The zero-masked forms: GCC 12 warns that the unmasked ones read an undefined value.
    return _mm512_maskz_broadcast_i32x4(0xFFFF, Multipliers128(Fold));
}

// Four 128-bit accumulators folded 64 bytes at a time, then into one.
__attribute__((target("sse4.1,pclmul"), always_inline)) inline uint32
FoldBy4x128(uint32 State, const uint8* Bytes, int64 Num)
{
    __m128i X0 = _mm_xor_si128(Load128(Bytes), _mm_cvtsi32_si128(static_cast<int32>(State)));
    __m128i X1 = Load128(Bytes + 16);
    __m128i X2 = Load128(Bytes + 32);
    __m128i X3 = Load128(Bytes + 48);
    Bytes += 64, Num -= 64;
    const __m128i Across512 = Multipliers128(By512);
    for (; Num >= 64; Num -= 64, Bytes += 64)
    {
        X0 = Fold128(X0, Across512, Load128(Bytes));
        X1 = Fold128(X1, Across512, Load128(Bytes + 16));
        X2 = Fold128(X2, Across512, Load128(Bytes + 32));
        X3 = Fold128(X3, Across512, Load128(Bytes + 48));
    }
    const __m128i Across128 = Multipliers128(By128);
    __m128i Block = Fold128(X0, Across128, X1);
    Block = Fold128(Block, Across128, X2);
    Block = Fold128(Block, Across128, X3);
    return FinishFolding(Block, Bytes, Num);
}
} // namespace

__attribute__((target("sse4.1,pclmul"))) uint32
QuorvexCrc32Clmul::FoldPclmul(uint32 State, const uint8* Bytes, int64 Num)
{
    return FoldBy4x128(State, Bytes, Num);
}

__attribute__((target("avx512f,vpclmulqdq,sse4.1,pclmul"))) uint32
QuorvexCrc32Clmul::FoldVpclmulAvx512(uint32 State, const uint8* Bytes, int64 Num)
{
    if (Num < 256)
    {
        return FoldBy4x128(State, Bytes, Num);
    }
    const __m512i First = _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int32>(State)));
    __m512i Z0 = _mm512_xor_si512(Load512(Bytes), First);
    __m512i Z1 = Load512(Bytes + 64);
    __m512i Z2 = Load512(Bytes + 128);
    __m512i Z3 = Load512(Bytes + 192);
    Bytes += 256, Num -= 256;
    const __m512i Across2048 = Multipliers512(By2048);
    for (; Num >= 256; Num -= 256, Bytes += 256)
    {
        Z0 = Fold512(Z0, Across2048, Load512(Bytes));
        Z1 = Fold512(Z1, Across2048, Load512(Bytes + 64));
        Z2 = Fold512(Z2, Across2048, Load512(Bytes + 128));
        Z3 = Fold512(Z3, Across2048, Load512(Bytes + 192));
    }
    const __m512i Across512 = Multipliers512(By512);
    __m512i Z = Fold512(Z0, Across512, Z1);
    Z = Fold512(Z, Across512, Z2);
    Z = Fold512(Z, Across512, Z3);
    for (; Num >= 64; Num -= 64, Bytes += 64)
    {
        Z = Fold512(Z, Across512, Load512(Bytes));
    }
    // The four lanes become one: lane K moves forward by (3 - K) * 128 bits onto lane 3.
    const __m512i ToLastLane = _mm512_set_epi64(
        0, 0, static_cast<long long>(By128.High), static_cast<long long>(By128.Low),
        static_cast<long long>(By256.High), static_cast<long long>(By256.Low),
        static_cast<long long>(By384.High), static_cast<long long>(By384.Low));
    const __m512i Moved = Fold512(Z, ToLastLane, _mm512_setzero_si512());
    __m128i Block = _mm_xor_si128(_mm512_maskz_extracti32x4_epi32(0xF, Moved, 0),
                                  _mm512_maskz_extracti32x4_epi32(0xF, Moved, 1));
    Block = _mm_xor_si128(Block, _mm512_maskz_extracti32x4_epi32(0xF, Moved, 2));
    Block = _mm_xor_si128(Block, _mm512_maskz_extracti32x4_epi32(0xF, Z, 3));
    return FinishFolding(Block, Bytes, Num);
}

#endif
