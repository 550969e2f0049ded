// Constant tables of the JPEG encoder, Huffman code construction and the
// quality-scaled quantisation table (scalar and SSE4.1).
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
const uint8 Zigzag[BlockSamples] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// Perceptually flat base table: the same steps serve luminance and chrominance.
alignas(16) const int16 BaseQuantTable[BlockSamples] = {
    16,  16,  16,  16,  17,  16,  18,  20,  20,  18,  25,  27,  24,  27,  25,  37,
    34,  31,  31,  34,  37,  56,  40,  43,  40,  43,  40,  56,  85,  53,  62,  53,
    53,  62,  53,  85,  75,  91,  74,  69,  74,  91,  75,  135, 106, 94,  94,  106,
    135, 156, 131, 124, 131, 156, 189, 169, 169, 189, 238, 226, 238, 311, 311, 418};

namespace
{
// The typical Huffman tables for 8-bit baseline images.
const uint8 DcLuminanceCounts[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
const uint8 DcChrominanceCounts[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
const uint8 DcSymbols[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

const uint8 AcLuminanceCounts[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
const uint8 AcLuminanceSymbols[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

const uint8 AcChrominanceCounts[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
const uint8 AcChrominanceSymbols[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
} // namespace

const FHuffmanTableBytes DcLuminanceTable = {DcLuminanceCounts, DcSymbols, 12};
const FHuffmanTableBytes AcLuminanceTable = {AcLuminanceCounts, AcLuminanceSymbols, 162};
const FHuffmanTableBytes DcChrominanceTable = {DcChrominanceCounts, DcSymbols, 12};
const FHuffmanTableBytes AcChrominanceTable = {AcChrominanceCounts, AcChrominanceSymbols, 162};

void BuildHuffmanCodes(const FHuffmanTableBytes& Table, FHuffmanCodes& Out)
{
    std::fill(std::begin(Out.Code), std::end(Out.Code), uint16{0});
    std::fill(std::begin(Out.Length), std::end(Out.Length), uint8{0});
    uint32 Code = 0;
    int32 SymbolIndex = 0;
    for (int32 Length = 1; Length <= 16; ++Length)
    {
        for (int32 Count = 0; Count < Table.Counts[Length - 1]; ++Count)
        {
            const uint8 Symbol = Table.Symbols[SymbolIndex++];
            Out.Code[Symbol] = static_cast<uint16>(Code);
            Out.Length[Symbol] = static_cast<uint8>(Length);
            ++Code;
        }
        Code <<= 1;
    }
}

int32 QualityScalePercent(int32 EffectiveQuality)
{
    return EffectiveQuality < 50 ? 5000 / EffectiveQuality : 200 - 2 * EffectiveQuality;
}

void ScaleQuantTableScalar(int32 EffectiveQuality, uint8* Out)
{
    const int32 Scale = QualityScalePercent(EffectiveQuality);
    for (int32 Index = 0; Index < BlockSamples; ++Index)
    {
        const int32 Step = (BaseQuantTable[Index] * Scale + 50) / 100;
        Out[Index] = static_cast<uint8>(std::clamp(Step, 1, 255));
    }
}

#if QUORVEX_JPEG_X86
bool CpuHasSse41()
{
    static const bool bHasSse41 = __builtin_cpu_supports("sse4.1");
    return bHasSse41;
}

__attribute__((target("sse4.1"))) void ScaleQuantTableSse41(int32 EffectiveQuality, uint8* Out)
{
    const __m128i Scale = _mm_set1_epi32(QualityScalePercent(EffectiveQuality));
    const __m128i Rounding = _mm_set1_epi32(50);
    const __m128 Hundred = _mm_set1_ps(100.0f);
    const __m128i One = _mm_set1_epi32(1);
    const __m128i Max = _mm_set1_epi32(255);
    for (int32 Index = 0; Index < BlockSamples; Index += 16)
    {
        __m128i Steps[4];
        for (int32 Part = 0; Part < 4; ++Part)
        {
            const __m128i Base = _mm_cvtepi16_epi32(_mm_loadl_epi64(
                reinterpret_cast<const __m128i*>(BaseQuantTable + Index + Part * 4)));
            const __m128i Numerator = _mm_add_epi32(_mm_mullo_epi32(Base, Scale), Rounding);
            // Numerators stay below 2^24, so the float quotient is exact enough that
            // truncating it equals the integer division.
            const __m128i Quotient =
                _mm_cvttps_epi32(_mm_div_ps(_mm_cvtepi32_ps(Numerator), Hundred));
            Steps[Part] = _mm_min_epi32(_mm_max_epi32(Quotient, One), Max);
        }
        const __m128i Low = _mm_packus_epi32(Steps[0], Steps[1]);
        const __m128i High = _mm_packus_epi32(Steps[2], Steps[3]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(Out + Index), _mm_packus_epi16(Low, High));
    }
}
#else
bool CpuHasSse41()
{
    return false;
}

void ScaleQuantTableSse41(int32 EffectiveQuality, uint8* Out)
{
    ScaleQuantTableScalar(EffectiveQuality, Out);
}
#endif
} // namespace QuorvexJpeg
