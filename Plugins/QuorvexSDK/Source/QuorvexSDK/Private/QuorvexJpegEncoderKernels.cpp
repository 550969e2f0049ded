// Pixel kernels of the JPEG encoder: RGB to YCbCr (scalar and SSE4.1), the forward
// DCT and the quantisation. Integer arithmetic only, so every path gives the same
// numbers on every machine.
#include "QuorvexJpegEncoderInternal.h"

#include <algorithm>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUORVEX_JPEG_X86 1
#else
#define QUORVEX_JPEG_X86 0
#endif

namespace QuorvexJpeg
{
namespace
{
// 16.16 fixed-point colour conversion weights.
constexpr int32 YFromR = 19595;
constexpr int32 YFromG = 38470;
constexpr int32 YFromB = 7471;
constexpr int32 CbFromR = 11059; // subtracted
constexpr int32 CbFromG = 21709; // subtracted
constexpr int32 CFromSame = 32768;
constexpr int32 CrFromG = 27439; // subtracted
constexpr int32 CrFromB = 5329;  // subtracted
constexpr int32 HalfUnit = 32768;

inline uint8 ClampToByte(int32 Value)
{
    return static_cast<uint8>(std::clamp(Value, 0, 255));
}

void ConvertPixels(const uint8* Rgb, int32 Begin, int32 End, uint8* OutY, uint8* OutCb,
                   uint8* OutCr)
{
    for (int32 X = Begin; X < End; ++X)
    {
        const int32 R = Rgb[X * 3];
        const int32 G = Rgb[X * 3 + 1];
        const int32 B = Rgb[X * 3 + 2];
        OutY[X] = static_cast<uint8>((YFromR * R + YFromG * G + YFromB * B + HalfUnit) >> 16);
        OutCb[X] =
            ClampToByte(((-CbFromR * R - CbFromG * G + CFromSame * B + HalfUnit) >> 16) + 128);
        OutCr[X] =
            ClampToByte(((CFromSame * R - CrFromG * G - CrFromB * B + HalfUnit) >> 16) + 128);
    }
}

// Repeats the last converted pixel up to the padded width.
void PadPlanes(int32 Width, int32 PaddedWidth, uint8* OutY, uint8* OutCb, uint8* OutCr)
{
    const int32 Extra = PaddedWidth - Width;
    if (Extra > 0)
    {
        std::memset(OutY + Width, OutY[Width - 1], static_cast<size_t>(Extra));
        std::memset(OutCb + Width, OutCb[Width - 1], static_cast<size_t>(Extra));
        std::memset(OutCr + Width, OutCr[Width - 1], static_cast<size_t>(Extra));
    }
}
} // namespace

void ConvertRowToYCbCr(const uint8* Rgb, int32 Width, int32 PaddedWidth, uint8* OutY, uint8* OutCb,
                       uint8* OutCr)
{
    ConvertPixels(Rgb, 0, Width, OutY, OutCb, OutCr);
    PadPlanes(Width, PaddedWidth, OutY, OutCb, OutCr);
}

#if QUORVEX_JPEG_X86
namespace
{
// Four pixels at a time in 32-bit lanes: the same products and shifts as the scalar
// loop, so the results are identical.
__attribute__((target("sse4.1"))) inline void ConvertFourSse41(const uint8* Rgb, uint8* OutY,
                                                               uint8* OutCb, uint8* OutCr)
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
    Y = _mm_srai_epi32(
        _mm_add_epi32(_mm_add_epi32(Y, _mm_mullo_epi32(B, _mm_set1_epi32(YFromB))), Half), 16);

    __m128i Cb = _mm_add_epi32(_mm_slli_epi32(B, 15), Half);
    Cb = _mm_sub_epi32(Cb, _mm_mullo_epi32(R, _mm_set1_epi32(CbFromR)));
    Cb = _mm_sub_epi32(Cb, _mm_mullo_epi32(G, _mm_set1_epi32(CbFromG)));
    Cb = _mm_add_epi32(_mm_srai_epi32(Cb, 16), Offset);

    __m128i Cr = _mm_add_epi32(_mm_slli_epi32(R, 15), Half);
    Cr = _mm_sub_epi32(Cr, _mm_mullo_epi32(G, _mm_set1_epi32(CrFromG)));
    Cr = _mm_sub_epi32(Cr, _mm_mullo_epi32(B, _mm_set1_epi32(CrFromB)));
    Cr = _mm_add_epi32(_mm_srai_epi32(Cr, 16), Offset);

    // Saturating packs clamp to 0 ... 255 exactly as the scalar clamp does.
    const __m128i YCb = _mm_packs_epi32(Y, Cb);
    const __m128i CrCr = _mm_packs_epi32(Cr, Cr);
    const __m128i Bytes = _mm_packus_epi16(YCb, CrCr);
    const uint32 YBytes = static_cast<uint32>(_mm_cvtsi128_si32(Bytes));
    const uint32 CbBytes = static_cast<uint32>(_mm_extract_epi32(Bytes, 1));
    const uint32 CrBytes = static_cast<uint32>(_mm_extract_epi32(Bytes, 2));
    std::memcpy(OutY, &YBytes, 4);
    std::memcpy(OutCb, &CbBytes, 4);
    std::memcpy(OutCr, &CrBytes, 4);
}
} // namespace

__attribute__((target("sse4.1"))) void ConvertRowToYCbCrSse41(const uint8* Rgb, int32 Width,
                                                              int32 PaddedWidth, uint8* OutY,
                                                              uint8* OutCb, uint8* OutCr)
{
    // Each step loads 16 bytes for 12 used ones; stop while that stays inside the row.
    int32 X = 0;
    for (; (X + 4) * 3 + 4 <= Width * 3; X += 4)
    {
        ConvertFourSse41(Rgb + X * 3, OutY + X, OutCb + X, OutCr + X);
    }
    ConvertPixels(Rgb, X, Width, OutY, OutCb, OutCr);
    PadPlanes(Width, PaddedWidth, OutY, OutCb, OutCr);
}
#else
void ConvertRowToYCbCrSse41(const uint8* Rgb, int32 Width, int32 PaddedWidth, uint8* OutY,
                            uint8* OutCb, uint8* OutCr)
{
    ConvertRowToYCbCr(Rgb, Width, PaddedWidth, OutY, OutCb, OutCr);
}
#endif

namespace
{
// 13-bit fixed-point constants of the Loeffler-Ligtenberg-Moschytz factorisation.
constexpr int32 ConstBits = 13;
constexpr int32 Pass1Bits = 2;
constexpr int32 Fix_0_298631336 = 2446;
constexpr int32 Fix_0_390180644 = 3196;
constexpr int32 Fix_0_541196100 = 4433;
constexpr int32 Fix_0_765366865 = 6270;
constexpr int32 Fix_0_899976223 = 7373;
constexpr int32 Fix_1_175875602 = 9633;
constexpr int32 Fix_1_501321110 = 12299;
constexpr int32 Fix_1_847759065 = 15137;
constexpr int32 Fix_1_961570560 = 16069;
constexpr int32 Fix_2_053119869 = 16819;
constexpr int32 Fix_2_562915447 = 20995;
constexpr int32 Fix_3_072711026 = 25172;

inline int32 Descale(int32 Value, int32 Bits)
{
    return (Value + (1 << (Bits - 1))) >> Bits;
}

// One 1-D pass over eight values spaced Stride apart. The DC path (outputs 0 and 4)
// is scaled by EvenShift (left when positive) or descaled by EvenDescale; the
// multiplied outputs are descaled by OddDescale.
template <int32 Stride, int32 EvenShift, int32 EvenDescale, int32 OddDescale>
inline void DctPass(int32* Data)
{
    const int32 Tmp0 = Data[0] + Data[Stride * 7];
    const int32 Tmp7 = Data[0] - Data[Stride * 7];
    const int32 Tmp1 = Data[Stride] + Data[Stride * 6];
    const int32 Tmp6 = Data[Stride] - Data[Stride * 6];
    const int32 Tmp2 = Data[Stride * 2] + Data[Stride * 5];
    const int32 Tmp5 = Data[Stride * 2] - Data[Stride * 5];
    const int32 Tmp3 = Data[Stride * 3] + Data[Stride * 4];
    const int32 Tmp4 = Data[Stride * 3] - Data[Stride * 4];

    const int32 Tmp10 = Tmp0 + Tmp3;
    const int32 Tmp13 = Tmp0 - Tmp3;
    const int32 Tmp11 = Tmp1 + Tmp2;
    const int32 Tmp12 = Tmp1 - Tmp2;

    if constexpr (EvenShift > 0)
    {
        Data[0] = (Tmp10 + Tmp11) * (1 << EvenShift);
        Data[Stride * 4] = (Tmp10 - Tmp11) * (1 << EvenShift);
    }
    else
    {
        Data[0] = Descale(Tmp10 + Tmp11, EvenDescale);
        Data[Stride * 4] = Descale(Tmp10 - Tmp11, EvenDescale);
    }

    const int32 Z1 = (Tmp12 + Tmp13) * Fix_0_541196100;
    Data[Stride * 2] = Descale(Z1 + Tmp13 * Fix_0_765366865, OddDescale);
    Data[Stride * 6] = Descale(Z1 - Tmp12 * Fix_1_847759065, OddDescale);

    const int32 Z5 = (Tmp4 + Tmp5 + Tmp6 + Tmp7) * Fix_1_175875602;
    const int32 Za = (Tmp4 + Tmp7) * -Fix_0_899976223;
    const int32 Zb = (Tmp5 + Tmp6) * -Fix_2_562915447;
    const int32 Zc = (Tmp4 + Tmp6) * -Fix_1_961570560 + Z5;
    const int32 Zd = (Tmp5 + Tmp7) * -Fix_0_390180644 + Z5;

    Data[Stride * 7] = Descale(Tmp4 * Fix_0_298631336 + Za + Zc, OddDescale);
    Data[Stride * 5] = Descale(Tmp5 * Fix_2_053119869 + Zb + Zd, OddDescale);
    Data[Stride * 3] = Descale(Tmp6 * Fix_3_072711026 + Zb + Zc, OddDescale);
    Data[Stride * 1] = Descale(Tmp7 * Fix_1_501321110 + Za + Zd, OddDescale);
}
} // namespace

void ForwardDct(int32* Block)
{
    // Rows keep Pass1Bits of extra precision; columns remove it together with the
    // factor of 8 the 2-D transform carries, leaving the usual JPEG scaling.
    for (int32 Row = 0; Row < 8; ++Row)
    {
        DctPass<1, Pass1Bits, 0, ConstBits - Pass1Bits>(Block + Row * 8);
    }
    for (int32 Column = 0; Column < 8; ++Column)
    {
        DctPass<8, 0, Pass1Bits + 3, ConstBits + Pass1Bits + 3>(Block + Column);
    }
}

FQuantDivisor MakeQuantDivisor(int32 Step)
{
    // Shift = 15 + ceil(log2(Step)) and Multiplier = ceil(2^Shift / Step) make
    // (N x Multiplier) >> Shift equal N / Step for every N below 2^15, and the
    // product stays below 2^32.
    int32 Log2Ceil = 0;
    while ((1 << Log2Ceil) < Step)
    {
        ++Log2Ceil;
    }
    const uint32 Shift = static_cast<uint32>(15 + Log2Ceil);
    const uint64 Multiplier =
        ((uint64{1} << Shift) + static_cast<uint64>(Step) - 1) / static_cast<uint64>(Step);
    return FQuantDivisor{static_cast<uint32>(Multiplier), static_cast<uint32>(Step / 2), Shift};
}

int32 QuantiseByDivision(int32 Coefficient, int32 Step)
{
    return Coefficient >= 0 ? (Coefficient + Step / 2) / Step : -((-Coefficient + Step / 2) / Step);
}

uint64 QuantiseToZigzag(const int32* Coefficients, const FQuantDivisor* Divisors, int16* Out)
{
    uint64 Mask = 0;
    for (int32 Position = 0; Position < BlockSamples; ++Position)
    {
        const int32 Coefficient = Coefficients[Zigzag[Position]];
        const FQuantDivisor& Divisor = Divisors[Position];
        const uint32 Magnitude =
            static_cast<uint32>(Coefficient < 0 ? -Coefficient : Coefficient) + Divisor.Half;
        const uint32 Numerator = std::min(Magnitude, MaxQuantNumerator);
        const int32 Quotient =
            static_cast<int32>((Numerator * Divisor.Multiplier) >> Divisor.Shift);
        const int32 Value = Coefficient < 0 ? -Quotient : Quotient;
        Out[Position] = static_cast<int16>(Value);
        Mask |= static_cast<uint64>(Value != 0) << Position;
    }
    return Mask;
}
} // namespace QuorvexJpeg
