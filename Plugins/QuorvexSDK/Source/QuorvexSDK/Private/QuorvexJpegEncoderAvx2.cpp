// AVX2 versions of the JPEG encoder's pixel kernels. Blocks are handled two at a
// time, one per 128-bit lane, so every shuffle stays inside its lane. The DCT runs
// on 16-bit samples and forms each rotation with one multiply-add of two 16-bit
// products into 32 bits (the scalar sums regrouped, constants pre-added), which is
// exact: the sums and products are the scalar kernel's, only in another order.
// Compiled per function for AVX2; the encoder calls them only after CpuHasAvx2()
// has said yes.
#include "QuorvexJpegEncoderInternal.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#define QUORVEX_AVX2 __attribute__((target("avx2")))
// Helpers are forced inline: as separate calls they pass their vectors through memory.
#define QUORVEX_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace QuorvexJpeg
{
namespace
{
// Two signed 16-bit factors for a multiply-add: First applies to the low element of
// each pair, Second to the high one.
constexpr int32 PairOf(int32 First, int32 Second)
{
    return static_cast<int32>(static_cast<uint32>(Second) << 16 | static_cast<uint16>(First));
}

// Eight pixels (lane 0: pixels 0 ... 3, lane 1: pixels 4 ... 7) to Y, Cb and Cr in
// 32-bit lanes. Reads 28 bytes from Rgb.
struct FYCbCr32
{
    __m256i Y;
    __m256i Cb;
    __m256i Cr;
};

QUORVEX_AVX2_INLINE FYCbCr32 ConvertEight(const uint8* Rgb)
{
    const __m256i Pixels = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(Rgb + 12),
                                               reinterpret_cast<const __m128i*>(Rgb));
    // (R, G) and (B, G) as 16-bit pairs in each 32-bit lane.
    const __m256i RG = _mm256_shuffle_epi8(
        Pixels, _mm256_setr_epi8(0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1, 0, -1, 1,
                                 -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1));
    const __m256i BG = _mm256_shuffle_epi8(
        Pixels, _mm256_setr_epi8(2, -1, 1, -1, 5, -1, 4, -1, 8, -1, 7, -1, 11, -1, 10, -1, 2, -1, 1,
                                 -1, 5, -1, 4, -1, 8, -1, 7, -1, 11, -1, 10, -1));
    const __m256i R = _mm256_and_si256(RG, _mm256_set1_epi32(0xFFFF));
    const __m256i G = _mm256_srli_epi32(RG, 16);
    const __m256i B = _mm256_and_si256(BG, _mm256_set1_epi32(0xFFFF));
    const __m256i Half = _mm256_set1_epi32(HalfUnit);
    const __m256i Offset = _mm256_set1_epi32(128);

    // G's weight 38470 does not fit a signed 16-bit factor: 5702 + 32767 + 1.
    __m256i Y = _mm256_madd_epi16(RG, _mm256_set1_epi32(PairOf(YFromR, YFromG - 32768)));
    Y = _mm256_add_epi32(Y, _mm256_madd_epi16(BG, _mm256_set1_epi32(PairOf(YFromB, 32767))));
    Y = _mm256_srai_epi32(_mm256_add_epi32(_mm256_add_epi32(Y, G), Half), 16);

    __m256i Cb = _mm256_madd_epi16(RG, _mm256_set1_epi32(PairOf(-CbFromR, -CbFromG)));
    Cb = _mm256_add_epi32(Cb, _mm256_add_epi32(_mm256_slli_epi32(B, 15), Half));
    Cb = _mm256_add_epi32(_mm256_srai_epi32(Cb, 16), Offset);

    __m256i Cr = _mm256_madd_epi16(BG, _mm256_set1_epi32(PairOf(-CrFromB, -CrFromG)));
    Cr = _mm256_add_epi32(Cr, _mm256_add_epi32(_mm256_slli_epi32(R, 15), Half));
    Cr = _mm256_add_epi32(_mm256_srai_epi32(Cr, 16), Offset);
    return {Y, Cb, Cr};
}

// Sixteen pixels to sixteen Y, Cb and Cr bytes. Reads 52 bytes from Rgb.
QUORVEX_AVX2_INLINE void ConvertSixteen(const uint8* Rgb, uint8* OutY, uint8* OutCb, uint8* OutCr)
{
    const FYCbCr32 First = ConvertEight(Rgb);
    const FYCbCr32 Second = ConvertEight(Rgb + 24);
    // The packs interleave the lanes; as dwords the bytes come out in the order
    // 0-3, 8-11, (Cb) | 4-7, 12-15, (Cb), which the permute puts right. Saturation
    // clamps to 0 ... 255 exactly as the scalar clamp does.
    const __m256i Y = _mm256_packs_epi32(First.Y, Second.Y);
    const __m256i Cb = _mm256_packs_epi32(First.Cb, Second.Cb);
    const __m256i Cr = _mm256_packs_epi32(First.Cr, Second.Cr);
    const __m256i Order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    const __m256i YCb = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(Y, Cb), Order);
    const __m256i CrCr = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(Cr, Cr), Order);
    _mm256_storeu2_m128i(reinterpret_cast<__m128i*>(OutCb), reinterpret_cast<__m128i*>(OutY), YCb);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(OutCr), _mm256_castsi256_si128(CrCr));
}

// Transposes, in each lane, the 8 x 8 matrix of 16-bit values whose row r is in R[r].
QUORVEX_AVX2_INLINE void Transpose8x8(__m256i (&R)[8])
{
    const __m256i A0 = _mm256_unpacklo_epi16(R[0], R[1]);
    const __m256i A1 = _mm256_unpackhi_epi16(R[0], R[1]);
    const __m256i A2 = _mm256_unpacklo_epi16(R[2], R[3]);
    const __m256i A3 = _mm256_unpackhi_epi16(R[2], R[3]);
    const __m256i A4 = _mm256_unpacklo_epi16(R[4], R[5]);
    const __m256i A5 = _mm256_unpackhi_epi16(R[4], R[5]);
    const __m256i A6 = _mm256_unpacklo_epi16(R[6], R[7]);
    const __m256i A7 = _mm256_unpackhi_epi16(R[6], R[7]);
    const __m256i B0 = _mm256_unpacklo_epi32(A0, A2);
    const __m256i B1 = _mm256_unpackhi_epi32(A0, A2);
    const __m256i B2 = _mm256_unpacklo_epi32(A1, A3);
    const __m256i B3 = _mm256_unpackhi_epi32(A1, A3);
    const __m256i B4 = _mm256_unpacklo_epi32(A4, A6);
    const __m256i B5 = _mm256_unpackhi_epi32(A4, A6);
    const __m256i B6 = _mm256_unpacklo_epi32(A5, A7);
    const __m256i B7 = _mm256_unpackhi_epi32(A5, A7);
    R[0] = _mm256_unpacklo_epi64(B0, B4);
    R[1] = _mm256_unpackhi_epi64(B0, B4);
    R[2] = _mm256_unpacklo_epi64(B1, B5);
    R[3] = _mm256_unpackhi_epi64(B1, B5);
    R[4] = _mm256_unpacklo_epi64(B2, B6);
    R[5] = _mm256_unpackhi_epi64(B2, B6);
    R[6] = _mm256_unpacklo_epi64(B3, B7);
    R[7] = _mm256_unpackhi_epi64(B3, B7);
}

// First x FactorA + Second x FactorB for every 16-bit lane, descaled by Bits and
// packed back to 16 bits (the results always fit).
template <int32 FactorA, int32 FactorB, int32 Bits>
QUORVEX_AVX2_INLINE __m256i Rotate(__m256i First, __m256i Second, __m256i AddLow, __m256i AddHigh)
{
    const __m256i Factors = _mm256_set1_epi32(PairOf(FactorA, FactorB));
    const __m256i Rounding = _mm256_set1_epi32(1 << (Bits - 1));
    const __m256i Low =
        _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(First, Second), Factors), AddLow);
    const __m256i High =
        _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(First, Second), Factors), AddHigh);
    return _mm256_packs_epi32(_mm256_srai_epi32(_mm256_add_epi32(Low, Rounding), Bits),
                              _mm256_srai_epi32(_mm256_add_epi32(High, Rounding), Bits));
}

// 32-bit products for the low and high four 16-bit lanes of each 128-bit lane.
struct FProducts
{
    __m256i Low;
    __m256i High;
};
// First x FactorA + Second x FactorB in 32 bits.
template <int32 FactorA, int32 FactorB>
QUORVEX_AVX2_INLINE FProducts Products(__m256i First, __m256i Second)
{
    const __m256i Factors = _mm256_set1_epi32(PairOf(FactorA, FactorB));
    return {_mm256_madd_epi16(_mm256_unpacklo_epi16(First, Second), Factors),
            _mm256_madd_epi16(_mm256_unpackhi_epi16(First, Second), Factors)};
}

// Eight 1-D transforms per lane side by side: D[k] holds input k of each and
// receives output k. bFirstPass scales the DC path up by Pass1Bits; the second pass
// descales it by Pass1Bits + 3.
template <bool bFirstPass> QUORVEX_AVX2_INLINE void DctPass(__m256i (&D)[8])
{
    constexpr int32 OddBits = bFirstPass ? ConstBits - Pass1Bits : ConstBits + Pass1Bits + 3;
    const __m256i Tmp0 = _mm256_add_epi16(D[0], D[7]);
    const __m256i Tmp7 = _mm256_sub_epi16(D[0], D[7]);
    const __m256i Tmp1 = _mm256_add_epi16(D[1], D[6]);
    const __m256i Tmp6 = _mm256_sub_epi16(D[1], D[6]);
    const __m256i Tmp2 = _mm256_add_epi16(D[2], D[5]);
    const __m256i Tmp5 = _mm256_sub_epi16(D[2], D[5]);
    const __m256i Tmp3 = _mm256_add_epi16(D[3], D[4]);
    const __m256i Tmp4 = _mm256_sub_epi16(D[3], D[4]);

    const __m256i Tmp10 = _mm256_add_epi16(Tmp0, Tmp3);
    const __m256i Tmp13 = _mm256_sub_epi16(Tmp0, Tmp3);
    const __m256i Tmp11 = _mm256_add_epi16(Tmp1, Tmp2);
    const __m256i Tmp12 = _mm256_sub_epi16(Tmp1, Tmp2);

    // Second-pass DC sums reach -32768 ... 32640 at most, inside 16 bits.
    if constexpr (bFirstPass)
    {
        D[0] = _mm256_slli_epi16(_mm256_add_epi16(Tmp10, Tmp11), Pass1Bits);
        D[4] = _mm256_slli_epi16(_mm256_sub_epi16(Tmp10, Tmp11), Pass1Bits);
    }
    else
    {
        constexpr int32 Bits = Pass1Bits + 3;
        const __m256i Rounding = _mm256_set1_epi16(1 << (Bits - 1));
        D[0] = _mm256_srai_epi16(_mm256_add_epi16(_mm256_add_epi16(Tmp10, Tmp11), Rounding), Bits);
        D[4] = _mm256_srai_epi16(_mm256_add_epi16(_mm256_sub_epi16(Tmp10, Tmp11), Rounding), Bits);
    }

    const __m256i Zero = _mm256_setzero_si256();
    // Z1 = (Tmp12 + Tmp13) c1 folded into both outputs.
    D[2] = Rotate<Fix_0_541196100, Fix_0_541196100 + Fix_0_765366865, OddBits>(Tmp12, Tmp13, Zero,
                                                                               Zero);
    D[6] = Rotate<Fix_0_541196100 - Fix_1_847759065, Fix_0_541196100, OddBits>(Tmp12, Tmp13, Zero,
                                                                               Zero);

    // Zc and Zd with Z5 = (Tmp4 + Tmp5 + Tmp6 + Tmp7) c5 folded in.
    const __m256i Z3 = _mm256_add_epi16(Tmp4, Tmp6);
    const __m256i Z4 = _mm256_add_epi16(Tmp5, Tmp7);
    const auto Zc = Products<Fix_1_175875602 - Fix_1_961570560, Fix_1_175875602>(Z3, Z4);
    const auto Zd = Products<Fix_1_175875602, Fix_1_175875602 - Fix_0_390180644>(Z3, Z4);
    // Za = (Tmp4 + Tmp7)(-c) and Zb = (Tmp5 + Tmp6)(-c) folded into each output.
    D[7] = Rotate<Fix_0_298631336 - Fix_0_899976223, -Fix_0_899976223, OddBits>(Tmp4, Tmp7, Zc.Low,
                                                                                Zc.High);
    D[1] = Rotate<-Fix_0_899976223, Fix_1_501321110 - Fix_0_899976223, OddBits>(Tmp4, Tmp7, Zd.Low,
                                                                                Zd.High);
    D[5] = Rotate<Fix_2_053119869 - Fix_2_562915447, -Fix_2_562915447, OddBits>(Tmp5, Tmp6, Zd.Low,
                                                                                Zd.High);
    D[3] = Rotate<-Fix_2_562915447, Fix_3_072711026 - Fix_2_562915447, OddBits>(Tmp5, Tmp6, Zc.Low,
                                                                                Zc.High);
}

// Forward DCT of the two level-shifted blocks in Rows (row r of the lane-0 block in
// lane 0 of Rows[r], of the other in lane 1); Rows[u] receives coefficient row u.
QUORVEX_AVX2_INLINE void ForwardDctPair(__m256i (&Rows)[8])
{
    Transpose8x8(Rows);
    DctPass<true>(Rows);
    Transpose8x8(Rows);
    DctPass<false>(Rows);
}

// Byte shuffles that gather 64 natural-order bytes into zigzag order: for output
// half h and source quarter q, the bytes the quarter supplies (others 0x80).
struct FZigzagShuffles
{
    alignas(32) uint8 Select[2][4][32];
};

FZigzagShuffles BuildZigzagShuffles()
{
    FZigzagShuffles Out;
    for (int32 Position = 0; Position < BlockSamples; ++Position)
    {
        const int32 Natural = Zigzag[Position];
        for (int32 Quarter = 0; Quarter < 4; ++Quarter)
        {
            Out.Select[Position / 32][Quarter][Position % 32] =
                Natural / 16 == Quarter ? static_cast<uint8>(Natural % 16) : uint8{0x80};
        }
    }
    return Out;
}

const FZigzagShuffles& ZigzagShuffles()
{
    static const FZigzagShuffles Shuffles = BuildZigzagShuffles();
    return Shuffles;
}

// Mask of the non-zero zigzag positions of one block whose 64 natural-order "is
// zero" bytes (0xFF or 0) are in Low (0 ... 31) and High (32 ... 63).
QUORVEX_AVX2_INLINE uint64 NonZeroZigzagMask(__m256i Low, __m256i High,
                                             const FZigzagShuffles& Shuffles)
{
    const __m256i Quarters[4] = {
        _mm256_permute4x64_epi64(Low, 0x44), _mm256_permute4x64_epi64(Low, 0xEE),
        _mm256_permute4x64_epi64(High, 0x44), _mm256_permute4x64_epi64(High, 0xEE)};
    uint64 ZeroMask = 0;
    for (int32 Half = 0; Half < 2; ++Half)
    {
        __m256i Zeros = _mm256_setzero_si256();
        for (int32 Quarter = 0; Quarter < 4; ++Quarter)
        {
            const __m256i Select =
                _mm256_load_si256(reinterpret_cast<const __m256i*>(Shuffles.Select[Half][Quarter]));
            Zeros = _mm256_or_si256(Zeros, _mm256_shuffle_epi8(Quarters[Quarter], Select));
        }
        ZeroMask |= static_cast<uint64>(static_cast<uint32>(_mm256_movemask_epi8(Zeros)))
                    << (Half * 32);
    }
    return ~ZeroMask;
}

// Quantises the coefficient pair in Rows, stores each block in natural order and
// returns the non-zero zigzag masks.
QUORVEX_AVX2_INLINE void QuantisePair(const __m256i (&Rows)[8], const FQuantDivisors& Divisors,
                                      int16* OutFirst, int16* OutSecond, uint64* OutMasks)
{
    const __m256i MaxNumerator = _mm256_set1_epi16(static_cast<int16>(MaxQuantNumerator));
    const __m256i Zero = _mm256_setzero_si256();
    __m256i ZeroFlags[4];
    for (int32 Row = 0; Row < 8; ++Row)
    {
        const int32 At = Row * 8;
        const __m256i Half = _mm256_broadcastsi128_si256(
            _mm_load_si128(reinterpret_cast<const __m128i*>(Divisors.Half16 + At)));
        const __m256i MultiplierHigh = _mm256_broadcastsi128_si256(
            _mm_load_si128(reinterpret_cast<const __m128i*>(Divisors.MultiplierHigh + At)));
        const __m256i MultiplierLow = _mm256_broadcastsi128_si256(
            _mm_load_si128(reinterpret_cast<const __m128i*>(Divisors.MultiplierLow + At)));
        const __m256i Numerator =
            _mm256_min_epu16(_mm256_add_epi16(_mm256_abs_epi16(Rows[Row]), Half), MaxNumerator);
        const __m256i Quotient =
            _mm256_srli_epi16(_mm256_add_epi16(_mm256_mullo_epi16(Numerator, MultiplierHigh),
                                               _mm256_mulhi_epu16(Numerator, MultiplierLow)),
                              QuantShift - 16);
        const __m256i Values = _mm256_sign_epi16(Quotient, Rows[Row]);
        _mm256_storeu2_m128i(reinterpret_cast<__m128i*>(OutSecond + At),
                             reinterpret_cast<__m128i*>(OutFirst + At), Values);
        const __m256i IsZero = _mm256_cmpeq_epi16(Values, Zero);
        if (Row % 2 == 0)
        {
            ZeroFlags[Row / 2] = IsZero;
        }
        else
        {
            // Lane 0: this block's rows Row - 1 and Row as bytes; lane 1: the other's.
            ZeroFlags[Row / 2] = _mm256_packs_epi16(ZeroFlags[Row / 2], IsZero);
        }
    }
    const FZigzagShuffles& Shuffles = ZigzagShuffles();
    OutMasks[0] =
        NonZeroZigzagMask(_mm256_permute2x128_si256(ZeroFlags[0], ZeroFlags[1], 0x20),
                          _mm256_permute2x128_si256(ZeroFlags[2], ZeroFlags[3], 0x20), Shuffles);
    OutMasks[1] =
        NonZeroZigzagMask(_mm256_permute2x128_si256(ZeroFlags[0], ZeroFlags[1], 0x31),
                          _mm256_permute2x128_si256(ZeroFlags[2], ZeroFlags[3], 0x31), Shuffles);
}
} // namespace

bool CpuHasAvx2()
{
    return __builtin_cpu_supports("avx2");
}

QUORVEX_AVX2 uint64 QuantiseToZigzagAvx2(const int32* Coefficients, const FQuantDivisors& Divisors,
                                         int16* Out)
{
    // The block goes through both lanes of the pair; the second copy is dropped.
    __m256i Rows[8];
    for (int32 Row = 0; Row < 8; ++Row)
    {
        const __m256i Wide =
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Coefficients + Row * 8));
        const __m128i Narrow =
            _mm_packs_epi32(_mm256_castsi256_si128(Wide), _mm256_extracti128_si256(Wide, 1));
        Rows[Row] = _mm256_broadcastsi128_si256(Narrow);
    }
    alignas(32) int16 Natural[2][BlockSamples];
    uint64 Masks[2];
    QuantisePair(Rows, Divisors, Natural[0], Natural[1], Masks);
    for (int32 Position = 0; Position < BlockSamples; ++Position)
    {
        Out[Position] = Natural[0][Zigzag[Position]];
    }
    return Masks[0];
}

QUORVEX_AVX2 void ConvertRowToYCbCrAvx2(const uint8* Rgb, int32 Width, int32 PaddedWidth,
                                        uint8* OutY, uint8* OutCb, uint8* OutCr)
{
    // Each step reads 52 bytes for 48 used ones; stop while that stays inside the row.
    int32 X = 0;
    for (; X * 3 + 52 <= Width * 3; X += 16)
    {
        ConvertSixteen(Rgb + X * 3, OutY + X, OutCb + X, OutCr + X);
    }
    ConvertPixelsToYCbCr(Rgb + X * 3, Width - X, OutY + X, OutCb + X, OutCr + X);
    PadLinePlanes(Width, PaddedWidth, OutY, OutCb, OutCr);
}

QUORVEX_AVX2 void TransformLumaPairAvx2(const uint8* Top, int32 Stride,
                                        const FQuantDivisors& Divisors, int16* OutFirst,
                                        int16* OutSecond, uint64* OutMasks)
{
    const __m256i Level = _mm256_set1_epi16(128);
    __m256i Rows[8];
    for (int32 Row = 0; Row < 8; ++Row)
    {
        const __m128i Bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Top + Row * Stride));
        Rows[Row] = _mm256_sub_epi16(_mm256_cvtepu8_epi16(Bytes), Level);
    }
    ForwardDctPair(Rows);
    QuantisePair(Rows, Divisors, OutFirst, OutSecond, OutMasks);
}

QUORVEX_AVX2 void TransformChromaPairAvx2(const uint8* FirstTop, const uint8* SecondTop,
                                          int32 Stride, const FQuantDivisors& Divisors,
                                          int16* OutFirst, int16* OutSecond, uint64* OutMasks)
{
    const __m256i Ones = _mm256_set1_epi8(1);
    const __m256i Rounding = _mm256_set1_epi16(2);
    const __m256i Level = _mm256_set1_epi16(128);
    __m256i Rows[8];
    for (int32 Row = 0; Row < 8; ++Row)
    {
        const int32 Offset = Row * 2 * Stride;
        const __m256i Upper =
            _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(SecondTop + Offset),
                                reinterpret_cast<const __m128i*>(FirstTop + Offset));
        const __m256i Lower =
            _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(SecondTop + Offset + Stride),
                                reinterpret_cast<const __m128i*>(FirstTop + Offset + Stride));
        const __m256i Sum = _mm256_add_epi16(
            _mm256_add_epi16(_mm256_maddubs_epi16(Upper, Ones), _mm256_maddubs_epi16(Lower, Ones)),
            Rounding);
        Rows[Row] = _mm256_sub_epi16(_mm256_srai_epi16(Sum, 2), Level);
    }
    ForwardDctPair(Rows);
    QuantisePair(Rows, Divisors, OutFirst, OutSecond, OutMasks);
}
} // namespace QuorvexJpeg

#else

namespace QuorvexJpeg
{
// Without x86 vector units there is no AVX2 path: CpuHasAvx2() is false and the
// encoder never calls the others, which run the scalar kernels to stay correct.
bool CpuHasAvx2()
{
    return false;
}
void ConvertRowToYCbCrAvx2(const uint8* Rgb, int32 Width, int32 PaddedWidth, uint8* OutY,
                           uint8* OutCb, uint8* OutCr)
{
    ConvertRowToYCbCr(Rgb, Width, PaddedWidth, OutY, OutCb, OutCr);
}
uint64 QuantiseToZigzagAvx2(const int32* Coefficients, const FQuantDivisors& Divisors, int16* Out)
{
    return QuantiseToZigzag(Coefficients, Divisors, Out);
}
void TransformLumaPairAvx2(const uint8* Top, int32 Stride, const FQuantDivisors& Divisors,
                           int16* OutFirst, int16* OutSecond, uint64* OutMasks)
{
    OutMasks[0] = TransformBlock(Top, Stride, false, Divisors, OutFirst);
    OutMasks[1] = TransformBlock(Top + 8, Stride, false, Divisors, OutSecond);
}
void TransformChromaPairAvx2(const uint8* FirstTop, const uint8* SecondTop, int32 Stride,
                             const FQuantDivisors& Divisors, int16* OutFirst, int16* OutSecond,
                             uint64* OutMasks)
{
    OutMasks[0] = TransformBlock(FirstTop, Stride, true, Divisors, OutFirst);
    OutMasks[1] = TransformBlock(SecondTop, Stride, true, Divisors, OutSecond);
}
} // namespace QuorvexJpeg
#endif
