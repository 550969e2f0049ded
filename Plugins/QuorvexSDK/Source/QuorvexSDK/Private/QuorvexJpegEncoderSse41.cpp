// SSE4.1 versions of the JPEG encoder's pixel kernels. Each does the scalar kernel's
// integer arithmetic lane by lane (same products, sums and shifts in 32-bit lanes),
// so its results are identical. Compiled per function for SSE4.1; the encoder calls
// them only after CpuHasSse41() has said yes.
#include "QuorvexJpegEncoderInternal.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#define QUORVEX_SSE41 __attribute__((target("sse4.1")))

namespace QuorvexJpeg
{
namespace
{
// Four pixels (12 of the 16 bytes loaded) to four Y, Cb and Cr bytes.
QUORVEX_SSE41 inline void ConvertFour(const uint8* Rgb, uint8* OutY, uint8* OutCb, uint8* OutCr)
{
    const __m128i Pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Rgb));
    const __m128i R = _mm_shuffle_epi8(
        Pixels, _mm_setr_epi8(0, -1, -1, -1, 3, -1, -1, -1, 6, -1, -1, -1, 9, -1, -1, -1));
    const __m128i G = _mm_shuffle_epi8(
        Pixels, _mm_setr_epi8(1, -1, -1, -1, 4, -1, -1, -1, 7, -1, -1, -1, 10, -1, -1, -1));
    const __m128i B = _mm_shuffle_epi8(
        Pixels, _mm_setr_epi8(2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1));
    const __m128i Half = _mm_set1_epi32(HalfUnit);
    const __m128i Offset = _mm_set1_epi32(128);

    __m128i Y = _mm_add_epi32(_mm_mullo_epi32(R, _mm_set1_epi32(YFromR)),
                              _mm_mullo_epi32(G, _mm_set1_epi32(YFromG)));
    Y = _mm_add_epi32(_mm_add_epi32(Y, _mm_mullo_epi32(B, _mm_set1_epi32(YFromB))), Half);
    Y = _mm_srai_epi32(Y, 16);

    __m128i Cb = _mm_add_epi32(_mm_mullo_epi32(B, _mm_set1_epi32(CFromSame)), Half);
    Cb = _mm_sub_epi32(Cb, _mm_mullo_epi32(R, _mm_set1_epi32(CbFromR)));
    Cb = _mm_sub_epi32(Cb, _mm_mullo_epi32(G, _mm_set1_epi32(CbFromG)));
    Cb = _mm_add_epi32(_mm_srai_epi32(Cb, 16), Offset);

    __m128i Cr = _mm_add_epi32(_mm_mullo_epi32(R, _mm_set1_epi32(CFromSame)), Half);
    Cr = _mm_sub_epi32(Cr, _mm_mullo_epi32(G, _mm_set1_epi32(CrFromG)));
    Cr = _mm_sub_epi32(Cr, _mm_mullo_epi32(B, _mm_set1_epi32(CrFromB)));
    Cr = _mm_add_epi32(_mm_srai_epi32(Cr, 16), Offset);

    // Saturating packs clamp to 0 ... 255 exactly as the scalar clamp does.
    const __m128i Bytes = _mm_packus_epi16(_mm_packs_epi32(Y, Cb), _mm_packs_epi32(Cr, Cr));
    const uint32 YBytes = static_cast<uint32>(_mm_cvtsi128_si32(Bytes));
    const uint32 CbBytes = static_cast<uint32>(_mm_extract_epi32(Bytes, 1));
    const uint32 CrBytes = static_cast<uint32>(_mm_extract_epi32(Bytes, 2));
    std::memcpy(OutY, &YBytes, 4);
    std::memcpy(OutCb, &CbBytes, 4);
    std::memcpy(OutCr, &CrBytes, 4);
}

QUORVEX_SSE41 inline __m128i Descale(__m128i Value, int32 Bits)
{
    return _mm_srai_epi32(_mm_add_epi32(Value, _mm_set1_epi32(1 << (Bits - 1))), Bits);
}

QUORVEX_SSE41 inline __m128i MultiplyBy(__m128i Value, int32 Constant)
{
    return _mm_mullo_epi32(Value, _mm_set1_epi32(Constant));
}

// Four 1-D transforms side by side: D[k] holds input k of each, and receives output k.
template <int32 EvenShift, int32 EvenDescale, int32 OddDescale>
QUORVEX_SSE41 inline void DctPass(__m128i* D)
{
    const __m128i Tmp0 = _mm_add_epi32(D[0], D[7]);
    const __m128i Tmp7 = _mm_sub_epi32(D[0], D[7]);
    const __m128i Tmp1 = _mm_add_epi32(D[1], D[6]);
    const __m128i Tmp6 = _mm_sub_epi32(D[1], D[6]);
    const __m128i Tmp2 = _mm_add_epi32(D[2], D[5]);
    const __m128i Tmp5 = _mm_sub_epi32(D[2], D[5]);
    const __m128i Tmp3 = _mm_add_epi32(D[3], D[4]);
    const __m128i Tmp4 = _mm_sub_epi32(D[3], D[4]);

    const __m128i Tmp10 = _mm_add_epi32(Tmp0, Tmp3);
    const __m128i Tmp13 = _mm_sub_epi32(Tmp0, Tmp3);
    const __m128i Tmp11 = _mm_add_epi32(Tmp1, Tmp2);
    const __m128i Tmp12 = _mm_sub_epi32(Tmp1, Tmp2);

    if constexpr (EvenShift > 0)
    {
        D[0] = _mm_slli_epi32(_mm_add_epi32(Tmp10, Tmp11), EvenShift);
        D[4] = _mm_slli_epi32(_mm_sub_epi32(Tmp10, Tmp11), EvenShift);
    }
    else
    {
        D[0] = Descale(_mm_add_epi32(Tmp10, Tmp11), EvenDescale);
        D[4] = Descale(_mm_sub_epi32(Tmp10, Tmp11), EvenDescale);
    }

    const __m128i Z1 = MultiplyBy(_mm_add_epi32(Tmp12, Tmp13), Fix_0_541196100);
    D[2] = Descale(_mm_add_epi32(Z1, MultiplyBy(Tmp13, Fix_0_765366865)), OddDescale);
    D[6] = Descale(_mm_sub_epi32(Z1, MultiplyBy(Tmp12, Fix_1_847759065)), OddDescale);

    const __m128i Z5 = MultiplyBy(
        _mm_add_epi32(_mm_add_epi32(Tmp4, Tmp5), _mm_add_epi32(Tmp6, Tmp7)), Fix_1_175875602);
    const __m128i Za = MultiplyBy(_mm_add_epi32(Tmp4, Tmp7), -Fix_0_899976223);
    const __m128i Zb = MultiplyBy(_mm_add_epi32(Tmp5, Tmp6), -Fix_2_562915447);
    const __m128i Zc = _mm_add_epi32(MultiplyBy(_mm_add_epi32(Tmp4, Tmp6), -Fix_1_961570560), Z5);
    const __m128i Zd = _mm_add_epi32(MultiplyBy(_mm_add_epi32(Tmp5, Tmp7), -Fix_0_390180644), Z5);

    D[7] = Descale(_mm_add_epi32(_mm_add_epi32(MultiplyBy(Tmp4, Fix_0_298631336), Za), Zc),
                   OddDescale);
    D[5] = Descale(_mm_add_epi32(_mm_add_epi32(MultiplyBy(Tmp5, Fix_2_053119869), Zb), Zd),
                   OddDescale);
    D[3] = Descale(_mm_add_epi32(_mm_add_epi32(MultiplyBy(Tmp6, Fix_3_072711026), Zb), Zc),
                   OddDescale);
    D[1] = Descale(_mm_add_epi32(_mm_add_epi32(MultiplyBy(Tmp7, Fix_1_501321110), Za), Zd),
                   OddDescale);
}

QUORVEX_SSE41 inline void Transpose4(__m128i& R0, __m128i& R1, __m128i& R2, __m128i& R3)
{
    const __m128i T0 = _mm_unpacklo_epi32(R0, R1);
    const __m128i T1 = _mm_unpacklo_epi32(R2, R3);
    const __m128i T2 = _mm_unpackhi_epi32(R0, R1);
    const __m128i T3 = _mm_unpackhi_epi32(R2, R3);
    R0 = _mm_unpacklo_epi64(T0, T1);
    R1 = _mm_unpackhi_epi64(T0, T1);
    R2 = _mm_unpacklo_epi64(T2, T3);
    R3 = _mm_unpackhi_epi64(T2, T3);
}

// Transposes the 8 x 8 matrix held as Rows[r][h] (row r, columns 4h ... 4h + 3).
QUORVEX_SSE41 inline void Transpose8(__m128i (&Rows)[8][2])
{
    for (int32 Group = 0; Group < 2; ++Group)
    {
        Transpose4(Rows[Group * 4][0], Rows[Group * 4 + 1][0], Rows[Group * 4 + 2][0],
                   Rows[Group * 4 + 3][0]);
        Transpose4(Rows[Group * 4][1], Rows[Group * 4 + 1][1], Rows[Group * 4 + 2][1],
                   Rows[Group * 4 + 3][1]);
    }
    // The off-diagonal 4 x 4 blocks change places.
    for (int32 Row = 0; Row < 4; ++Row)
    {
        const __m128i Swap = Rows[Row][1];
        Rows[Row][1] = Rows[Row + 4][0];
        Rows[Row + 4][0] = Swap;
    }
}

// Runs one pass over the rows of Rows (each row is one 1-D transform) by treating
// columns as the registers of four transforms side by side.
template <int32 EvenShift, int32 EvenDescale, int32 OddDescale>
QUORVEX_SSE41 inline void DctPassOverColumns(__m128i (&Rows)[8][2])
{
    for (int32 Half = 0; Half < 2; ++Half)
    {
        __m128i Lanes[8];
        for (int32 Row = 0; Row < 8; ++Row)
        {
            Lanes[Row] = Rows[Row][Half];
        }
        DctPass<EvenShift, EvenDescale, OddDescale>(Lanes);
        for (int32 Row = 0; Row < 8; ++Row)
        {
            Rows[Row][Half] = Lanes[Row];
        }
    }
}
} // namespace

QUORVEX_SSE41 void ConvertRowToYCbCrSse41(const uint8* Rgb, int32 Width, int32 PaddedWidth,
                                          uint8* OutY, uint8* OutCb, uint8* OutCr)
{
    // Each step loads 16 bytes for 12 used ones; stop while that stays inside the row.
    int32 X = 0;
    for (; X * 3 + 16 <= Width * 3; X += 4)
    {
        ConvertFour(Rgb + X * 3, OutY + X, OutCb + X, OutCr + X);
    }
    ConvertPixelsToYCbCr(Rgb + X * 3, Width - X, OutY + X, OutCb + X, OutCr + X);
    PadLinePlanes(Width, PaddedWidth, OutY, OutCb, OutCr);
}

QUORVEX_SSE41 void LoadLumaBlockSse41(const uint8* Top, int32 Stride, int32* OutBlock)
{
    const __m128i Level = _mm_set1_epi32(128);
    for (int32 Row = 0; Row < 8; ++Row)
    {
        const __m128i Bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(Top + Row * Stride));
        const __m128i Low = _mm_sub_epi32(_mm_cvtepu8_epi32(Bytes), Level);
        const __m128i High = _mm_sub_epi32(_mm_cvtepu8_epi32(_mm_srli_si128(Bytes, 4)), Level);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(OutBlock + Row * 8), Low);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(OutBlock + Row * 8 + 4), High);
    }
}

QUORVEX_SSE41 void LoadChromaBlockSse41(const uint8* Top, int32 Stride, int32* OutBlock)
{
    const __m128i Ones = _mm_set1_epi8(1);
    const __m128i Rounding = _mm_set1_epi16(2);
    const __m128i Level = _mm_set1_epi16(128);
    for (int32 Row = 0; Row < 8; ++Row)
    {
        const uint8* Upper = Top + Row * 2 * Stride;
        const __m128i UpperPairs =
            _mm_maddubs_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(Upper)), Ones);
        const __m128i LowerPairs = _mm_maddubs_epi16(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(Upper + Stride)), Ones);
        const __m128i Sum = _mm_add_epi16(_mm_add_epi16(UpperPairs, LowerPairs), Rounding);
        const __m128i Means = _mm_sub_epi16(_mm_srai_epi16(Sum, 2), Level);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(OutBlock + Row * 8), _mm_cvtepi16_epi32(Means));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(OutBlock + Row * 8 + 4),
                         _mm_cvtepi16_epi32(_mm_srli_si128(Means, 8)));
    }
}

QUORVEX_SSE41 void ForwardDctSse41(int32* Block)
{
    __m128i Rows[8][2];
    for (int32 Row = 0; Row < 8; ++Row)
    {
        Rows[Row][0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Block + Row * 8));
        Rows[Row][1] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Block + Row * 8 + 4));
    }
    // Row transforms: transpose so that each register holds one column of four rows.
    Transpose8(Rows);
    DctPassOverColumns<Pass1Bits, 0, ConstBits - Pass1Bits>(Rows);
    Transpose8(Rows);
    DctPassOverColumns<0, Pass1Bits + 3, ConstBits + Pass1Bits + 3>(Rows);
    for (int32 Row = 0; Row < 8; ++Row)
    {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(Block + Row * 8), Rows[Row][0]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(Block + Row * 8 + 4), Rows[Row][1]);
    }
}

QUORVEX_SSE41 uint64 QuantiseToZigzagSse41(const int32* Coefficients,
                                           const FQuantDivisors& Divisors, int16* Out)
{
    alignas(16) int16 Natural[BlockSamples];
    const __m128i MaxNumerator = _mm_set1_epi32(static_cast<int32>(MaxQuantNumerator));
    for (int32 Index = 0; Index < BlockSamples; Index += 8)
    {
        __m128i Values[2];
        for (int32 Part = 0; Part < 2; ++Part)
        {
            const int32 At = Index + Part * 4;
            const __m128i Coefficient =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(Coefficients + At));
            const __m128i Half =
                _mm_load_si128(reinterpret_cast<const __m128i*>(Divisors.Half + At));
            const __m128i Multiplier =
                _mm_load_si128(reinterpret_cast<const __m128i*>(Divisors.Multiplier + At));
            const __m128i Numerator =
                _mm_min_epu32(_mm_add_epi32(_mm_abs_epi32(Coefficient), Half), MaxNumerator);
            const __m128i Quotient =
                _mm_srli_epi32(_mm_mullo_epi32(Numerator, Multiplier), QuantShift);
            Values[Part] = _mm_sign_epi32(Quotient, Coefficient);
        }
        _mm_store_si128(reinterpret_cast<__m128i*>(Natural + Index),
                        _mm_packs_epi32(Values[0], Values[1]));
    }
    for (int32 Position = 0; Position < BlockSamples; ++Position)
    {
        Out[Position] = Natural[Zigzag[Position]];
    }
    uint64 ZeroMask = 0;
    const __m128i Zero = _mm_setzero_si128();
    for (int32 Index = 0; Index < BlockSamples; Index += 16)
    {
        const __m128i First = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Out + Index));
        const __m128i Second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Out + Index + 8));
        const __m128i Zeros =
            _mm_packs_epi16(_mm_cmpeq_epi16(First, Zero), _mm_cmpeq_epi16(Second, Zero));
        ZeroMask |= static_cast<uint64>(static_cast<uint32>(_mm_movemask_epi8(Zeros))) << Index;
    }
    return ~ZeroMask;
}
} // namespace QuorvexJpeg

#else

namespace QuorvexJpeg
{
// Without x86 vector units the "vector" entry points run the scalar kernels.
void ConvertRowToYCbCrSse41(const uint8* Rgb, int32 Width, int32 PaddedWidth, uint8* OutY,
                            uint8* OutCb, uint8* OutCr)
{
    ConvertRowToYCbCr(Rgb, Width, PaddedWidth, OutY, OutCb, OutCr);
}
void LoadLumaBlockSse41(const uint8* Top, int32 Stride, int32* OutBlock)
{
    LoadLumaBlock(Top, Stride, OutBlock);
}
void LoadChromaBlockSse41(const uint8* Top, int32 Stride, int32* OutBlock)
{
    LoadChromaBlock(Top, Stride, OutBlock);
}
void ForwardDctSse41(int32* Block)
{
    ForwardDct(Block);
}
uint64 QuantiseToZigzagSse41(const int32* Coefficients, const FQuantDivisors& Divisors, int16* Out)
{
    return QuantiseToZigzag(Coefficients, Divisors, Out);
}
} // namespace QuorvexJpeg
#endif
