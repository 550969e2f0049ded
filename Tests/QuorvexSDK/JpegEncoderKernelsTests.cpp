// The JPEG encoder's arithmetic, piece by piece: quality mapping and table scaling,
// colour conversion, the DCT against the exact transform, quantisation against
// plain division, the Huffman tables, and every SSE4.1 kernel against its scalar twin.
#include "QuorvexJpegEncoder.h"
#include "QuorvexJpegEncoderInternal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <random>
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

TEST(JpegEncoderKernels, VectorColourConversionMatchesScalar)
{
    if (!CpuHasSse41())
    {
        GTEST_SKIP() << "no SSE4.1 on this processor";
    }
    std::mt19937 Random(7);
    for (const int32 Width : {1, 2, 4, 5, 6, 7, 8, 9, 15, 16, 17, 31, 33, 1920})
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
        ConvertRowToYCbCrSse41(Rgb.data(), Width, Padded, Vector.data(), Vector.data() + Padded,
                               Vector.data() + 2 * Padded);
        EXPECT_EQ(Scalar, Vector) << "width " << Width;
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
    for (const bool bVector : {false, true})
    {
        if (bVector && !CpuHasSse41())
        {
            continue;
        }
        int16 Quantised[BlockSamples];
        const uint64 Mask = bVector ? QuantiseToZigzagSse41(Coefficients, Divisors, Quantised)
                                    : QuantiseToZigzag(Coefficients, Divisors, Quantised);
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
