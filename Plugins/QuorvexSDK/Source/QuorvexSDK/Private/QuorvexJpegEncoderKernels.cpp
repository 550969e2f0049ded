// Scalar pixel kernels of the JPEG encoder: RGB to YCbCr, block loading with 4:2:0
// averaging, the forward DCT and the quantisation. Integer arithmetic only; the
// SSE4.1 versions in QuorvexJpegEncoderSse41.cpp give the same numbers.
#include "QuorvexJpegEncoderInternal.h"

#include <algorithm>

namespace QuorvexJpeg
{
namespace
{
inline uint8 ClampToByte(int32 Value)
{
    return static_cast<uint8>(std::clamp(Value, 0, 255));
}

} // namespace

void ConvertPixelsToYCbCr(const uint8* Rgb, int32 Count, uint8* OutY, uint8* OutCb, uint8* OutCr)
{
    for (int32 X = 0; X < Count; ++X)
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

void PadLinePlanes(int32 Width, int32 PaddedWidth, uint8* OutY, uint8* OutCb, uint8* OutCr)
{
    const int32 Extra = PaddedWidth - Width;
    if (Extra > 0)
    {
        std::memset(OutY + Width, OutY[Width - 1], static_cast<size_t>(Extra));
        std::memset(OutCb + Width, OutCb[Width - 1], static_cast<size_t>(Extra));
        std::memset(OutCr + Width, OutCr[Width - 1], static_cast<size_t>(Extra));
    }
}

void ConvertRowToYCbCr(const uint8* Rgb, int32 Width, int32 PaddedWidth, uint8* OutY, uint8* OutCb,
                       uint8* OutCr)
{
    ConvertPixelsToYCbCr(Rgb, Width, OutY, OutCb, OutCr);
    PadLinePlanes(Width, PaddedWidth, OutY, OutCb, OutCr);
}

void LoadLumaBlock(const uint8* Top, int32 Stride, int32* OutBlock)
{
    for (int32 Row = 0; Row < 8; ++Row)
    {
        const uint8* Source = Top + Row * Stride;
        for (int32 Column = 0; Column < 8; ++Column)
        {
            OutBlock[Row * 8 + Column] = Source[Column] - 128;
        }
    }
}

void LoadChromaBlock(const uint8* Top, int32 Stride, int32* OutBlock)
{
    for (int32 Row = 0; Row < 8; ++Row)
    {
        const uint8* Upper = Top + Row * 2 * Stride;
        const uint8* Lower = Upper + Stride;
        for (int32 Column = 0; Column < 8; ++Column)
        {
            const int32 Sum = Upper[Column * 2] + Upper[Column * 2 + 1] + Lower[Column * 2] +
                              Lower[Column * 2 + 1];
            OutBlock[Row * 8 + Column] = ((Sum + 2) >> 2) - 128;
        }
    }
}

namespace
{
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

void BuildQuantDivisors(const uint8* TableZigzag, FQuantDivisors& Out)
{
    for (int32 Position = 0; Position < BlockSamples; ++Position)
    {
        const uint32 Step = TableZigzag[Position];
        const int32 Natural = Zigzag[Position];
        Out.Multiplier[Natural] = ((1u << QuantShift) + Step - 1) / Step;
        Out.MultiplierHigh[Natural] = static_cast<uint16>(Out.Multiplier[Natural] >> 16);
        Out.MultiplierLow[Natural] = static_cast<uint16>(Out.Multiplier[Natural]);
        Out.Half[Natural] = Step / 2;
        Out.Half16[Natural] = static_cast<uint16>(Step / 2);
    }
}

int32 QuantiseByDivision(int32 Coefficient, int32 Step)
{
    return Coefficient >= 0 ? (Coefficient + Step / 2) / Step : -((-Coefficient + Step / 2) / Step);
}

uint64 QuantiseToZigzag(const int32* Coefficients, const FQuantDivisors& Divisors, int16* Out)
{
    uint64 Mask = 0;
    for (int32 Position = 0; Position < BlockSamples; ++Position)
    {
        const int32 Natural = Zigzag[Position];
        const int32 Coefficient = Coefficients[Natural];
        const uint32 Magnitude = static_cast<uint32>(Coefficient < 0 ? -Coefficient : Coefficient);
        const uint32 Numerator = std::min(Magnitude + Divisors.Half[Natural], MaxQuantNumerator);
        const int32 Quotient =
            static_cast<int32>((Numerator * Divisors.Multiplier[Natural]) >> QuantShift);
        const int32 Value = Coefficient < 0 ? -Quotient : Quotient;
        Out[Position] = static_cast<int16>(Value);
        Mask |= static_cast<uint64>(Value != 0) << Position;
    }
    return Mask;
}

uint64 TransformBlock(const uint8* Top, int32 Stride, bool bChroma, const FQuantDivisors& Divisors,
                      int16* OutNatural)
{
    int32 Samples[BlockSamples];
    if (bChroma)
    {
        LoadChromaBlock(Top, Stride, Samples);
    }
    else
    {
        LoadLumaBlock(Top, Stride, Samples);
    }
    ForwardDct(Samples);
    int16 InZigzag[BlockSamples];
    const uint64 Mask = QuantiseToZigzag(Samples, Divisors, InZigzag);
    for (int32 Position = 0; Position < BlockSamples; ++Position)
    {
        OutNatural[Zigzag[Position]] = InZigzag[Position];
    }
    return Mask;
}
} // namespace QuorvexJpeg
