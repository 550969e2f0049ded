// Building blocks of the JPEG encoder: constant tables, quantisation, colour
// conversion, the forward DCT, Huffman codes and the bit writer. Everything here is
// either constant or owned by the single encode that uses it.
#pragma once

#include "QuorvexJpegEncoder.h"

#include <cstring>

namespace QuorvexJpeg
{
constexpr int32 BlockSamples = 64;
constexpr int32 McuPixels = 16;
constexpr int32 LineBufferLines = 16;
constexpr int32 StagingBytes = 2048;
// Dimensions must stay below this; the frame header stores them in 16 bits.
constexpr int32 MaxDimensionExclusive = 65536;

// Natural (row-major) index of each zigzag position.
extern const uint8 Zigzag[BlockSamples];
// Base quantisation table in zigzag order, before quality scaling.
extern const int16 BaseQuantTable[BlockSamples];

// A Huffman table as a JPEG stores it: 16 code-length counts, then the symbols.
struct FHuffmanTableBytes
{
    const uint8* Counts; // 16 entries: number of codes of length 1 ... 16
    const uint8* Symbols;
    int32 NumSymbols;
};
extern const FHuffmanTableBytes DcLuminanceTable;
extern const FHuffmanTableBytes AcLuminanceTable;
extern const FHuffmanTableBytes DcChrominanceTable;
extern const FHuffmanTableBytes AcChrominanceTable;

// Code and code length per symbol; length 0 marks a symbol the table lacks.
struct FHuffmanCodes
{
    uint16 Code[256];
    uint8 Length[256];
};
// Assigns canonical codes (shortest first, counting up) to the symbols of Table.
void BuildHuffmanCodes(const FHuffmanTableBytes& Table, FHuffmanCodes& Out);

// Scale factor percentage for an effective quality (40 ... 100).
int32 QualityScalePercent(int32 EffectiveQuality);
// Scales BaseQuantTable for EffectiveQuality into Out (zigzag order, 1 ... 255).
void ScaleQuantTableScalar(int32 EffectiveQuality, uint8* Out);
// Same result with SSE4.1; call only when CpuHasSse41() is true.
void ScaleQuantTableSse41(int32 EffectiveQuality, uint8* Out);
bool CpuHasSse41();

// 16.16 fixed-point colour conversion weights; the Cb and Cr terms listed as
// "subtracted" enter with a minus sign.
constexpr int32 YFromR = 19595;
constexpr int32 YFromG = 38470;
constexpr int32 YFromB = 7471;
constexpr int32 CbFromR = 11059;   // subtracted
constexpr int32 CbFromG = 21709;   // subtracted
constexpr int32 CFromSame = 32768; // Cb from B, Cr from R
constexpr int32 CrFromG = 27439;   // subtracted
constexpr int32 CrFromB = 5329;    // subtracted
constexpr int32 HalfUnit = 32768;

// Converts Count RGB pixels into the three planes.
void ConvertPixelsToYCbCr(const uint8* Rgb, int32 Count, uint8* OutY, uint8* OutCb, uint8* OutCr);
// Repeats each plane's pixel Width - 1 up to PaddedWidth.
void PadLinePlanes(int32 Width, int32 PaddedWidth, uint8* OutY, uint8* OutCb, uint8* OutCr);
// Converts Width RGB pixels to the Y, Cb and Cr planes of one buffered line and pads
// each plane to PaddedWidth by repeating the last pixel.
void ConvertRowToYCbCr(const uint8* Rgb, int32 Width, int32 PaddedWidth, uint8* OutY, uint8* OutCb,
                       uint8* OutCr);
// Same result with SSE4.1; call only when CpuHasSse41() is true.
void ConvertRowToYCbCrSse41(const uint8* Rgb, int32 Width, int32 PaddedWidth, uint8* OutY,
                            uint8* OutCb, uint8* OutCr);

// Level-shifted samples (value - 128) of the 8 x 8 luminance block whose top-left
// sample is at Top; lines are Stride bytes apart.
void LoadLumaBlock(const uint8* Top, int32 Stride, int32* OutBlock);
void LoadLumaBlockSse41(const uint8* Top, int32 Stride, int32* OutBlock);
// Level-shifted 2 x 2 means, (a + b + c + d + 2) >> 2, of the 16 x 16 chrominance
// samples at Top: one 8 x 8 block.
void LoadChromaBlock(const uint8* Top, int32 Stride, int32* OutBlock);
void LoadChromaBlockSse41(const uint8* Top, int32 Stride, int32* OutBlock);

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

// The accurate integer forward DCT, in place, on level-shifted samples (-128 ... 127).
// The results are the DCT coefficients in the usual JPEG scaling, natural order;
// their magnitudes stay below 1040.
void ForwardDct(int32* Block);
void ForwardDctSse41(int32* Block);

// Rounding division by the quantisation steps, done as a multiply and a fixed shift:
// with Multiplier = ceil(2^20 / Step), (N x Multiplier) >> 20 equals N / Step for
// every N below 2^12 and every step up to 255, and the product fits in 32 bits.
// Numerators (magnitude + Step / 2) are clamped to 4095, far above any the DCT makes.
// In 16-bit lanes the same quotient is ((N x High) + (N x Low) >> 16) >> 4 with
// Multiplier = High x 2^16 + Low: the sum is (N x Multiplier) >> 16, below 2^16.
struct FQuantDivisors
{
    alignas(16) uint32 Multiplier[BlockSamples]; // natural order
    alignas(16) uint32 Half[BlockSamples];       // Step / 2, natural order
    alignas(16) uint16 Half16[BlockSamples];     // the same in 16 bits
    alignas(16) uint16 MultiplierHigh[BlockSamples];
    alignas(16) uint16 MultiplierLow[BlockSamples];
};
constexpr uint32 QuantShift = 20;
constexpr uint32 MaxQuantNumerator = 4095;
// Divisors (natural order) for a table given in zigzag order.
void BuildQuantDivisors(const uint8* TableZigzag, FQuantDivisors& Out);
// The rounding quantisation by plain integer division; the reference for the above.
int32 QuantiseByDivision(int32 Coefficient, int32 Step);
// Quantises Coefficients (natural order) into Out (zigzag order) and returns the mask
// of non-zero zigzag positions (bit i = position i).
uint64 QuantiseToZigzag(const int32* Coefficients, const FQuantDivisors& Divisors, int16* Out);
uint64 QuantiseToZigzagSse41(const int32* Coefficients, const FQuantDivisors& Divisors, int16* Out);
// Same result with the AVX2 path's 16-bit quantisation; call only when CpuHasAvx2()
// is true. Coefficients must fit in 16 bits.
uint64 QuantiseToZigzagAvx2(const int32* Coefficients, const FQuantDivisors& Divisors, int16* Out);

// Loads, transforms and quantises one block (a luminance block at Top, or with
// bChroma the 2 x 2 means of the 16 x 16 samples at Top) into Out in natural order,
// and returns the mask of non-zero zigzag positions.
uint64 TransformBlock(const uint8* Top, int32 Stride, bool bChroma, const FQuantDivisors& Divisors,
                      int16* OutNatural);

// The AVX2 path works on two blocks at once and gives TransformBlock's results.
bool CpuHasAvx2();
// Same result as ConvertRowToYCbCr; call only when CpuHasAvx2() is true.
void ConvertRowToYCbCrAvx2(const uint8* Rgb, int32 Width, int32 PaddedWidth, uint8* OutY,
                           uint8* OutCb, uint8* OutCr);
// TransformBlock of the luminance blocks at Top and Top + 8 into OutFirst, OutSecond
// and OutMasks[0 ... 1].
void TransformLumaPairAvx2(const uint8* Top, int32 Stride, const FQuantDivisors& Divisors,
                           int16* OutFirst, int16* OutSecond, uint64* OutMasks);
// TransformBlock of the chrominance blocks at FirstTop and SecondTop.
void TransformChromaPairAvx2(const uint8* FirstTop, const uint8* SecondTop, int32 Stride,
                             const FQuantDivisors& Divisors, int16* OutFirst, int16* OutSecond,
                             uint64* OutMasks);

// Accumulates entropy-coded bits most significant first, stuffs a zero byte after
// every 0xFF, and hands the bytes to a sink in 2048-byte chunks. After a sink
// failure every later write is dropped. Bits gather in a 64-bit word that is written
// out whole, with one test for 0xFF bytes per word.
class FBitWriter
{
public:
    explicit FBitWriter(IQuorvexJpegSink& InSink) : Sink(InSink) {}

    // The bits not yet written out. A coder copies them into a local, appends to the
    // copy and hands it back, so they stay in registers across a block.
    struct FPendingBits
    {
        uint64 Accumulator = 0; // the low 64 - FreeBits bits are pending output
        int32 FreeBits = 64;    // 1 ... 64
    };
    FPendingBits TakePending() const { return Pending; }
    void ReturnPending(const FPendingBits& InPending) { Pending = InPending; }

    // Appends the low Count bits of Bits to State (Count <= 27; higher bits must be zero).
    void PutBits(FPendingBits& State, uint32 Bits, int32 Count)
    {
        if (Count < State.FreeBits)
        {
            State.Accumulator = (State.Accumulator << Count) | Bits;
            State.FreeBits -= Count;
            return;
        }
        // The word fills up: its last bits are the top of Bits, the rest of Bits
        // starts the next word (bits above them are shifted out before they are used).
        const int32 Overflow = Count - State.FreeBits;
        EmitWord((State.Accumulator << State.FreeBits) | (static_cast<uint64>(Bits) >> Overflow));
        State.Accumulator = Bits;
        State.FreeBits = 64 - Overflow;
    }
    void PutBits(uint32 Bits, int32 Count) { PutBits(Pending, Bits, Count); }
    // Writes bytes outside the entropy-coded data (markers, headers) unstuffed.
    void WriteRaw(const uint8* Data, int32 Count);
    // Pads the last entropy-coded byte with 1-bits and writes out every whole byte.
    void FinishEntropyData();
    // Hands full 2048-byte chunks to the sink; call between blocks.
    void CommitFullChunks()
    {
        if (StagingCount >= StagingBytes)
        {
            CommitChunk();
        }
    }
    // Hands everything staged to the sink.
    void Flush();
    bool Succeeded() const { return bWritesOk; }
    int64 BytesWritten() const { return BytesHandedToSink; }

private:
    void EmitWord(uint64 Word);
    void EmitByte(uint8 Byte);
    void CommitChunk();

    // All members belong to the thread running the encode.
    IQuorvexJpegSink& Sink;
    FPendingBits Pending;
    bool bWritesOk = true;
    int64 BytesHandedToSink = 0;
    int32 StagingCount = 0;
    // One coded block can add at most ~430 bytes after the last commit check.
    uint8 Staging[StagingBytes + 1024];
};

// Number of bits needed for |Value| (0 for 0).
inline int32 BitLength(uint32 Magnitude)
{
    // Without a branch: 2m + 1 is never zero and has one bit more than m (m < 2^31).
    return 31 - __builtin_clz(Magnitude * 2 + 1);
}

// Huffman-codes one quantised block (zigzag order, Mask of non-zero positions) and
// updates LastDc.
void EncodeBlock(FBitWriter& Writer, const int16* Quantised, uint64 Mask, int32& LastDc,
                 const FHuffmanCodes& DcCodes, const FHuffmanCodes& AcCodes);
// The same coding of a block whose values are in natural order; Mask still marks
// zigzag positions.
void EncodeNaturalBlock(FBitWriter& Writer, const int16* Natural, uint64 Mask, int32& LastDc,
                        const FHuffmanCodes& DcCodes, const FHuffmanCodes& AcCodes);
} // namespace QuorvexJpeg
