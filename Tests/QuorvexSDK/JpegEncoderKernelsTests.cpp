// The JPEG encoder's arithmetic, piece by piece: quality mapping and table scaling,
// colour conversion, the DCT against the exact transform, quantisation against
// plain division, the Huffman tables, and every vector kernel against its scalar twin.
#include "JpegPathTestSupport.h"
#include "QuorvexJpegEncoder.h"
#include "QuorvexJpegEncoderInternal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <ostream>
#include <random>
#include <string>
#include <vector>

using namespace QuorvexJpeg;

TEST(JpegEncoderQuality, EffectiveQualityMapsZeroAndClamps)
{
    const std::pair<int32, int32> Cases[] = {{0, 85},    {1, 40},    {10, 40}, {39, 40},
                                             {40, 40},   {41, 41},   {75, 75}, {99, 99},
                                             {100, 100}, {150, 100}, {-5, 40}};
    for (const auto& [Requested, Expected] : Cases)
    {
        EXPECT_EQ(FQuorvexJpegEncoder::GetEffectiveQuality(Requested), Expected) << Requested;
    }
}

TEST(JpegEncoderQuality, ScaledTablesAtTheAnchors)
{
    uint8 Table[BlockSamples];
    ScaleQuantTableScalar(100, Table);
    for (const uint8 Step : Table)
    {
        EXPECT_EQ(Step, 1);
    }
    ScaleQuantTableScalar(40, Table);
    EXPECT_EQ(QualityScalePercent(40), 125);
    EXPECT_EQ(Table[0], 20); // (16 x 125 + 50) / 100
    EXPECT_EQ(Table[63], 255);
    ScaleQuantTableScalar(50, Table);
    for (int32 Index = 0; Index < BlockSamples; ++Index)
    {
        EXPECT_EQ(Table[Index], std::min<int32>(BaseQuantTable[Index], 255)) << Index;
    }
    ScaleQuantTableScalar(75, Table);
    EXPECT_EQ(Table[0], 8);    // (16 x 50 + 50) / 100
    EXPECT_EQ(Table[63], 209); // (418 x 50 + 50) / 100
}

TEST(JpegEncoderQuality, VectorTableScalingMatchesScalarForEveryQuality)
{
    if (!CpuHasSse41())
    {
        GTEST_SKIP() << "no SSE4.1 on this processor";
    }
    for (int32 Quality = 40; Quality <= 100; ++Quality)
    {
        uint8 Scalar[BlockSamples];
        uint8 Vector[BlockSamples];
        ScaleQuantTableScalar(Quality, Scalar);
        ScaleQuantTableSse41(Quality, Vector);
        EXPECT_EQ(0, std::memcmp(Scalar, Vector, BlockSamples)) << "quality " << Quality;
    }
}

TEST(JpegEncoderKernels, ColourConversionOfKnownColours)
{
    struct FCase
    {
        uint8 Rgb[3];
        uint8 Ycc[3];
    };
    const FCase Cases[] = {{{255, 255, 255}, {255, 128, 128}}, {{255, 0, 0}, {76, 85, 255}},
                           {{0, 0, 0}, {0, 128, 128}},         {{0, 0, 255}, {29, 255, 107}},
                           {{0, 255, 0}, {150, 44, 21}},       {{128, 128, 128}, {128, 128, 128}}};
    for (const FCase& Case : Cases)
    {
        uint8 Planes[3][16];
        ConvertRowToYCbCr(Case.Rgb, 1, 16, Planes[0], Planes[1], Planes[2]);
        for (int32 Plane = 0; Plane < 3; ++Plane)
        {
            EXPECT_EQ(Planes[Plane][0], Case.Ycc[Plane]) << int(Case.Rgb[0]) << "," << Plane;
            // Padding repeats the last pixel.
            EXPECT_EQ(Planes[Plane][15], Case.Ycc[Plane]);
        }
    }
}

namespace
{
// Runs each test once per vector path; a path the processor lacks is skipped.
class FJpegVectorPathTest : public ::testing::TestWithParam<EQuorvexJpegPath>
{
protected:
    void SetUp() override
    {
        if (!FQuorvexJpegEncoder::CanRunPath(GetParam()))
        {
            GTEST_SKIP() << "this processor cannot run the path";
        }
    }

    void ConvertRow(const uint8* Rgb, int32 Width, int32 Padded, uint8* Out) const
    {
        auto* Convert =
            GetParam() == EQuorvexJpegPath::Avx2 ? &ConvertRowToYCbCrAvx2 : &ConvertRowToYCbCrSse41;
        Convert(Rgb, Width, Padded, Out, Out + Padded, Out + 2 * Padded);
    }

    // The path's TransformBlock of the luminance blocks at Top and Top + 8, or the
    // chrominance blocks at Top and SecondTop.
    void TransformPair(const uint8* Top, const uint8* SecondTop, int32 Stride, bool bChroma,
                       const FQuantDivisors& Divisors, int16 (&Out)[2][BlockSamples],
                       uint64 (&Masks)[2]) const
    {
        if (GetParam() == EQuorvexJpegPath::Avx2)
        {
            if (bChroma)
            {
                TransformChromaPairAvx2(Top, SecondTop, Stride, Divisors, Out[0], Out[1], Masks);
            }
            else
            {
                TransformLumaPairAvx2(Top, Stride, Divisors, Out[0], Out[1], Masks);
            }
            return;
        }
        const uint8* Tops[2] = {Top, bChroma ? SecondTop : Top + 8};
        for (int32 Index = 0; Index < 2; ++Index)
        {
            alignas(16) int32 Samples[BlockSamples];
            if (bChroma)
            {
                LoadChromaBlockSse41(Tops[Index], Stride, Samples);
            }
            else
            {
                LoadLumaBlockSse41(Tops[Index], Stride, Samples);
            }
            ForwardDctSse41(Samples);
            int16 InZigzag[BlockSamples];
            Masks[Index] = QuantiseToZigzagSse41(Samples, Divisors, InZigzag);
            for (int32 Position = 0; Position < BlockSamples; ++Position)
            {
                Out[Index][Zigzag[Position]] = InZigzag[Position];
            }
        }
    }
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Paths, FJpegVectorPathTest,
                         ::testing::Values(EQuorvexJpegPath::Sse41, EQuorvexJpegPath::Avx2),
                         JpegPathName);

TEST_P(FJpegVectorPathTest, ColourConversionMatchesScalar)
{
    std::mt19937 Random(7);
    for (const int32 Width : {1, 2, 4, 5, 6, 7, 8, 9, 15, 16, 17, 18, 19, 31, 32, 33, 1920})
    {
        const int32 Padded = (Width + 15) / 16 * 16;
        // Extremes first so the clamps are reached, then random pixels.
        std::vector<uint8> Rgb(static_cast<size_t>(Width) * 3);
        for (size_t Index = 0; Index < Rgb.size(); ++Index)
        {
            Rgb[Index] = Index < 6 ? (Index % 3 == 2 ? 255 : 0) : static_cast<uint8>(Random());
        }
        std::vector<uint8> Scalar(static_cast<size_t>(Padded) * 3);
        std::vector<uint8> Vector(static_cast<size_t>(Padded) * 3);
        ConvertRowToYCbCr(Rgb.data(), Width, Padded, Scalar.data(), Scalar.data() + Padded,
                          Scalar.data() + 2 * Padded);
        ConvertRow(Rgb.data(), Width, Padded, Vector.data());
        EXPECT_EQ(Scalar, Vector) << "width " << Width;
    }
}

TEST_P(FJpegVectorPathTest, ColourConversionMatchesScalarForEveryColour)
{
    // One row per red value holds every green and blue.
    constexpr int32 Width = 256 * 256;
    std::vector<uint8> Rgb(static_cast<size_t>(Width) * 3);
    std::vector<uint8> Scalar(static_cast<size_t>(Width) * 3);
    std::vector<uint8> Vector(static_cast<size_t>(Width) * 3);
    for (int32 Red = 0; Red < 256; ++Red)
    {
        for (int32 Pixel = 0; Pixel < Width; ++Pixel)
        {
            Rgb[Pixel * 3] = static_cast<uint8>(Red);
            Rgb[Pixel * 3 + 1] = static_cast<uint8>(Pixel >> 8);
            Rgb[Pixel * 3 + 2] = static_cast<uint8>(Pixel);
        }
        ConvertRowToYCbCr(Rgb.data(), Width, Width, Scalar.data(), Scalar.data() + Width,
                          Scalar.data() + 2 * Width);
        ConvertRow(Rgb.data(), Width, Width, Vector.data());
        ASSERT_EQ(Scalar, Vector) << "red " << Red;
    }
}

TEST(JpegEncoderKernels, IntegerDctStaysWithinOneOfTheExactTransform)
{
    std::mt19937 Random(11);
    std::uniform_int_distribution<int32> Sample(-128, 127);
    int32 WorstError = 0;
    for (int32 Trial = 0; Trial < 2000; ++Trial)
    {
        int32 Block[BlockSamples];
        int32 Input[BlockSamples];
        for (int32 Index = 0; Index < BlockSamples; ++Index)
        {
            // Every fourth block is a hard pattern of extremes.
            Input[Index] = Trial % 4 == 0 ? (((Index + Trial / 4) * 7919) % 3 == 0 ? 127 : -128)
                                          : Sample(Random);
            Block[Index] = Input[Index];
        }
        ForwardDct(Block);
        for (int32 U = 0; U < 8; ++U)
        {
            for (int32 V = 0; V < 8; ++V)
            {
                double Sum = 0.0;
                for (int32 Y = 0; Y < 8; ++Y)
                {
                    for (int32 X = 0; X < 8; ++X)
                    {
                        Sum += Input[Y * 8 + X] *
                               std::cos((2 * X + 1) * V * std::numbers::pi / 16.0) *
                               std::cos((2 * Y + 1) * U * std::numbers::pi / 16.0);
                    }
                }
                const double Cu = U == 0 ? std::numbers::sqrt2 / 2 : 1.0;
                const double Cv = V == 0 ? std::numbers::sqrt2 / 2 : 1.0;
                const double Exact = 0.25 * Cu * Cv * Sum;
                const int32 Error = static_cast<int32>(
                    std::abs(std::lround(Exact) - static_cast<long>(Block[U * 8 + V])));
                WorstError = std::max(WorstError, Error);
                // The quantiser's numerator limit relies on this headroom.
                ASSERT_LT(std::abs(Block[U * 8 + V]), 1040);
            }
        }
    }
    EXPECT_LE(WorstError, 1);
}

TEST(JpegEncoderKernels, MultiplyShiftQuantisationEqualsRoundingDivision)
{
    // Every step a table can hold, every coefficient magnitude the numerator limit allows.
    for (int32 Step = 1; Step <= 255; ++Step)
    {
        uint8 Table[BlockSamples];
        std::fill(std::begin(Table), std::end(Table), static_cast<uint8>(Step));
        FQuantDivisors Divisors;
        BuildQuantDivisors(Table, Divisors);
        for (int32 Magnitude = 0; Magnitude + Step / 2 <= int32(MaxQuantNumerator); Magnitude += 64)
        {
            int32 Coefficients[BlockSamples];
            for (int32 Index = 0; Index < BlockSamples; ++Index)
            {
                const int32 Value =
                    std::min(Magnitude + Index, int32(MaxQuantNumerator) - Step / 2);
                Coefficients[Index] = Index % 2 == 0 ? Value : -Value;
            }
            int16 Scalar[BlockSamples];
            int16 Vector[BlockSamples];
            const uint64 ScalarMask = QuantiseToZigzag(Coefficients, Divisors, Scalar);
            for (int32 Position = 0; Position < BlockSamples; ++Position)
            {
                ASSERT_EQ(Scalar[Position],
                          QuantiseByDivision(Coefficients[Zigzag[Position]], Step))
                    << Coefficients[Zigzag[Position]] << " / " << Step;
            }
            if (CpuHasSse41())
            {
                ASSERT_EQ(QuantiseToZigzagSse41(Coefficients, Divisors, Vector), ScalarMask);
                ASSERT_EQ(0, std::memcmp(Scalar, Vector, sizeof(Scalar))) << "step " << Step;
            }
            if (CpuHasAvx2())
            {
                ASSERT_EQ(QuantiseToZigzagAvx2(Coefficients, Divisors, Vector), ScalarMask);
                ASSERT_EQ(0, std::memcmp(Scalar, Vector, sizeof(Scalar))) << "step " << Step;
            }
        }
    }
    EXPECT_EQ(QuantiseByDivision(-12, 8), -2); // -((12 + 4) / 8)
    EXPECT_EQ(QuantiseByDivision(-11, 8), -1);
    EXPECT_EQ(QuantiseByDivision(3, 8), 0);
    EXPECT_EQ(QuantiseByDivision(4, 8), 1);
}

TEST(JpegEncoderKernels, QuantisationReordersToZigzagAndMarksNonZeros)
{
    uint8 Table[BlockSamples];
    std::fill(std::begin(Table), std::end(Table), uint8{10});
    FQuantDivisors Divisors;
    BuildQuantDivisors(Table, Divisors);
    int32 Coefficients[BlockSamples] = {};
    Coefficients[0] = -96;  // zigzag 0
    Coefficients[8] = 15;   // natural 8 is zigzag 2
    Coefficients[63] = -14; // zigzag 63
    Coefficients[1] = 4;    // rounds to zero
    using FQuantise = uint64 (*)(const int32*, const FQuantDivisors&, int16*);
    const std::pair<bool, FQuantise> Paths[] = {{true, &QuantiseToZigzag},
                                                {CpuHasSse41(), &QuantiseToZigzagSse41},
                                                {CpuHasAvx2(), &QuantiseToZigzagAvx2}};
    for (const auto& [bCanRun, Quantise] : Paths)
    {
        if (!bCanRun)
        {
            continue;
        }
        int16 Quantised[BlockSamples];
        const uint64 Mask = Quantise(Coefficients, Divisors, Quantised);
        EXPECT_EQ(Quantised[0], -10);
        EXPECT_EQ(Quantised[2], 2);
        EXPECT_EQ(Quantised[63], -1);
        EXPECT_EQ(Quantised[1], 0);
        EXPECT_EQ(Mask, (uint64{1} << 0) | (uint64{1} << 2) | (uint64{1} << 63));
    }
}

TEST(JpegEncoderKernels, VectorBlockKernelsMatchScalar)
{
    if (!CpuHasSse41())
    {
        GTEST_SKIP() << "no SSE4.1 on this processor";
    }
    std::mt19937 Random(5);
    constexpr int32 Stride = 48;
    std::vector<uint8> Plane(static_cast<size_t>(Stride) * 16);
    for (int32 Trial = 0; Trial < 500; ++Trial)
    {
        for (uint8& Byte : Plane)
        {
            // Some trials use only the extremes, to reach the largest coefficients.
            Byte = Trial % 5 == 0 ? ((Random() & 1) ? 255 : 0) : static_cast<uint8>(Random());
        }
        int32 Scalar[BlockSamples];
        int32 Vector[BlockSamples];
        LoadLumaBlock(Plane.data() + 3, Stride, Scalar);
        LoadLumaBlockSse41(Plane.data() + 3, Stride, Vector);
        ASSERT_EQ(0, std::memcmp(Scalar, Vector, sizeof(Scalar)));
        ForwardDct(Scalar);
        ForwardDctSse41(Vector);
        ASSERT_EQ(0, std::memcmp(Scalar, Vector, sizeof(Scalar))) << "trial " << Trial;
        LoadChromaBlock(Plane.data() + 5, Stride, Scalar);
        LoadChromaBlockSse41(Plane.data() + 5, Stride, Vector);
        ASSERT_EQ(0, std::memcmp(Scalar, Vector, sizeof(Scalar)));
        ForwardDct(Scalar);
        ForwardDctSse41(Vector);
        ASSERT_EQ(0, std::memcmp(Scalar, Vector, sizeof(Scalar))) << "trial " << Trial;
    }
}

namespace
{
// Samples that drive one coefficient to its extreme: 255 where the product of the
// two cosines of (U, V) is positive, 0 elsewhere (the other way round when bInvert).
// Scale 2 repeats each sample over 2 x 2, so chrominance means see the same pattern.
void FillExtremeBasis(int32 U, int32 V, bool bInvert, int32 Scale, int32 Stride, uint8* Plane,
                      int32 Rows)
{
    for (int32 Y = 0; Y < Rows; ++Y)
    {
        for (int32 X = 0; X < Stride; ++X)
        {
            const int32 Row = (Y / Scale) % 8;
            const int32 Column = (X / Scale) % 8;
            const double Product = std::cos((2 * Row + 1) * V * std::numbers::pi / 16) *
                                   std::cos((2 * Column + 1) * U * std::numbers::pi / 16);
            Plane[Y * Stride + X] = (Product > 1e-9) != bInvert ? 255 : 0;
        }
    }
}
} // namespace

TEST_P(FJpegVectorPathTest, BlockTransformsMatchScalar)
{
    // Quality 100 has every step 1, so its results are the DCT coefficients themselves.
    std::vector<FQuantDivisors> Tables;
    for (const int32 Quality : {40, 75, 100})
    {
        uint8 Table[BlockSamples];
        ScaleQuantTableScalar(Quality, Table);
        Tables.emplace_back();
        BuildQuantDivisors(Table, Tables.back());
    }
    uint8 Steps[BlockSamples];
    for (int32 Position = 0; Position < BlockSamples; ++Position)
    {
        Steps[Position] = static_cast<uint8>(1 + Position * 4);
    }
    Tables.emplace_back();
    BuildQuantDivisors(Steps, Tables.back());

    constexpr int32 Stride = 48;
    constexpr int32 Rows = 32;
    std::vector<uint8> Plane(static_cast<size_t>(Stride) * Rows);
    std::mt19937 Random(11);
    // 256 extreme basis patterns (both signs, at both sample scales), flat black and
    // white, then random and random-extreme planes.
    for (int32 Trial = 0; Trial < 256 + 2 + 300; ++Trial)
    {
        if (Trial < 256)
        {
            FillExtremeBasis(Trial % 8, (Trial / 8) % 8, (Trial / 64) % 2 == 1, 1 + Trial / 128,
                             Stride, Plane.data(), Rows);
        }
        else if (Trial < 258)
        {
            std::fill(Plane.begin(), Plane.end(), Trial == 256 ? 0 : 255);
        }
        else
        {
            for (uint8& Byte : Plane)
            {
                Byte = Trial % 3 == 0 ? ((Random() & 1) ? 255 : 0) : static_cast<uint8>(Random());
            }
        }
        for (const FQuantDivisors& Divisors : Tables)
        {
            for (const bool bChroma : {false, true})
            {
                // Luminance pairs sit side by side; chrominance pairs come from two planes
                // (here two places in one), as Cb and Cr do.
                const uint8* Tops[2] = {Plane.data() + (bChroma ? 16 : 8),
                                        Plane.data() + (bChroma ? 32 : 16)};
                int16 Expected[2][BlockSamples];
                uint64 ExpectedMasks[2];
                for (int32 Index = 0; Index < 2; ++Index)
                {
                    ExpectedMasks[Index] =
                        TransformBlock(Tops[Index], Stride, bChroma, Divisors, Expected[Index]);
                }
                int16 Actual[2][BlockSamples];
                uint64 Masks[2];
                TransformPair(Tops[0], Tops[1], Stride, bChroma, Divisors, Actual, Masks);
                ASSERT_EQ(0, std::memcmp(Expected, Actual, sizeof(Expected)))
                    << "trial " << Trial << (bChroma ? " chroma" : " luma");
                ASSERT_EQ(ExpectedMasks[0], Masks[0]) << "trial " << Trial;
                ASSERT_EQ(ExpectedMasks[1], Masks[1]) << "trial " << Trial;
            }
        }
    }
}

TEST(JpegEncoderHuffman, BitLengthIsTheMagnitudeCategory)
{
    const std::pair<uint32, int32> Cases[] = {
        {0, 0},     {1, 1},     {2, 2},     {3, 2},     {4, 3},      {255, 8},    {256, 9},
        {1023, 10}, {1024, 11}, {2047, 11}, {2048, 12}, {32767, 15}, {65535, 16}, {65536, 17}};
    for (const auto& [Magnitude, Expected] : Cases)
    {
        EXPECT_EQ(BitLength(Magnitude), Expected) << Magnitude;
    }
}

TEST(JpegEncoderHuffman, TablesHoldEverySymbolOnceWithPrefixFreeCodes)
{
    const FHuffmanTableBytes* Tables[] = {&DcLuminanceTable, &AcLuminanceTable, &DcChrominanceTable,
                                          &AcChrominanceTable};
    for (int32 TableIndex = 0; TableIndex < 4; ++TableIndex)
    {
        const FHuffmanTableBytes& Table = *Tables[TableIndex];
        const bool bAc = TableIndex % 2 == 1;
        std::vector<uint8> Expected;
        for (int32 Symbol = 0; Symbol < 256; ++Symbol)
        {
            const int32 Size = Symbol & 15;
            const bool bValid =
                bAc ? (Symbol == 0x00 || Symbol == 0xF0 || (Size >= 1 && Size <= 10))
                    : Symbol <= 11;
            if (bValid)
            {
                Expected.push_back(static_cast<uint8>(Symbol));
            }
        }
        std::vector<uint8> Actual(Table.Symbols, Table.Symbols + Table.NumSymbols);
        int32 CountSum = 0;
        for (int32 Length = 0; Length < 16; ++Length)
        {
            CountSum += Table.Counts[Length];
        }
        EXPECT_EQ(CountSum, Table.NumSymbols);
        std::sort(Actual.begin(), Actual.end());
        EXPECT_EQ(Actual, Expected) << "table " << TableIndex;

        FHuffmanCodes Codes;
        BuildHuffmanCodes(Table, Codes);
        for (const uint8 A : Expected)
        {
            for (const uint8 B : Expected)
            {
                if (A == B || Codes.Length[A] > Codes.Length[B])
                {
                    continue;
                }
                const uint32 Prefix = Codes.Code[B] >> (Codes.Length[B] - Codes.Length[A]);
                EXPECT_NE(Prefix, Codes.Code[A]) << "table " << TableIndex;
            }
        }
    }
}
