// Entropy coding of the JPEG encoder: the bit writer with byte stuffing and the
// baseline Huffman coding of one quantised block.
#include "QuorvexJpegEncoderInternal.h"

namespace QuorvexJpeg
{
namespace
{
// True when any byte of Word is 0xFF.
inline bool HasFfByte(uint64 Word)
{
    const uint64 Inverted = ~Word;
    return ((Inverted - 0x0101010101010101u) & ~Inverted & 0x8080808080808080u) != 0;
}

constexpr uint8 ZeroRunSymbol = 0xF0;
constexpr uint8 EndOfBlockSymbol = 0x00;
} // namespace

void FBitWriter::EmitByte(uint8 Byte)
{
    Staging[StagingCount++] = Byte;
    if (Byte == 0xFF)
    {
        Staging[StagingCount++] = 0x00;
    }
}

void FBitWriter::EmitWord(uint64 Word)
{
    if (!HasFfByte(Word))
    {
        const uint64 BigEndian = __builtin_bswap64(Word);
        std::memcpy(Staging + StagingCount, &BigEndian, sizeof(BigEndian));
        StagingCount += 8;
        return;
    }
    for (int32 Shift = 56; Shift >= 0; Shift -= 8)
    {
        EmitByte(static_cast<uint8>(Word >> Shift));
    }
}

void FBitWriter::FinishEntropyData()
{
    PutBits(0x7F, 7);
    for (int32 Count = 64 - Pending.FreeBits; Count >= 8;)
    {
        Count -= 8;
        EmitByte(static_cast<uint8>(Pending.Accumulator >> Count));
    }
    // What is left (fewer than 8 bits) is padding only; the byte before the marker is complete.
    Pending = FPendingBits();
    CommitFullChunks();
}

void FBitWriter::WriteRaw(const uint8* Data, int32 Count)
{
    while (Count > 0)
    {
        const int32 Room = StagingBytes - StagingCount;
        const int32 Take = Count < Room ? Count : Room;
        std::memcpy(Staging + StagingCount, Data, static_cast<size_t>(Take));
        StagingCount += Take;
        Data += Take;
        Count -= Take;
        CommitFullChunks();
    }
}

void FBitWriter::CommitChunk()
{
    if (bWritesOk)
    {
        bWritesOk = Sink.Write(Staging, StagingBytes);
        BytesHandedToSink += StagingBytes;
    }
    StagingCount -= StagingBytes;
    std::memmove(Staging, Staging + StagingBytes, static_cast<size_t>(StagingCount));
    if (!bWritesOk)
    {
        StagingCount = 0;
    }
}

void FBitWriter::Flush()
{
    CommitFullChunks();
    if (bWritesOk && StagingCount > 0)
    {
        bWritesOk = Sink.Write(Staging, StagingCount);
        BytesHandedToSink += StagingCount;
    }
    StagingCount = 0;
}

namespace
{
// The coding of one block; ValueAt(Position) gives the value at a zigzag position.
template <typename ValueAtType>
inline void CodeBlock(FBitWriter& Writer, ValueAtType ValueAt, uint64 Mask, int32& LastDc,
                      const FHuffmanCodes& DcCodes, const FHuffmanCodes& AcCodes)
{
    FBitWriter::FPendingBits Bits = Writer.TakePending();
    const int32 Dc = ValueAt(0);
    const int32 Diff = Dc - LastDc;
    LastDc = Dc;
    const uint32 DiffMagnitude = static_cast<uint32>(Diff < 0 ? -Diff : Diff);
    const int32 DcSize = BitLength(DiffMagnitude);
    const uint32 DcBits = static_cast<uint32>(Diff < 0 ? Diff - 1 : Diff) & ((1u << DcSize) - 1u);
    Writer.PutBits(Bits, (static_cast<uint32>(DcCodes.Code[DcSize]) << DcSize) | DcBits,
                   DcCodes.Length[DcSize] + DcSize);

    Mask &= ~uint64{1};
    int32 LastPosition = 0;
    while (Mask != 0)
    {
        const int32 Position = __builtin_ctzll(Mask);
        Mask &= Mask - 1;
        int32 Run = Position - LastPosition - 1;
        LastPosition = Position;
        while (Run >= 16)
        {
            Writer.PutBits(Bits, AcCodes.Code[ZeroRunSymbol], AcCodes.Length[ZeroRunSymbol]);
            Run -= 16;
        }
        const int32 Value = ValueAt(Position);
        const uint32 Magnitude = static_cast<uint32>(Value < 0 ? -Value : Value);
        const int32 Size = BitLength(Magnitude);
        const uint32 ValueBits =
            static_cast<uint32>(Value < 0 ? Value - 1 : Value) & ((1u << Size) - 1u);
        const int32 Symbol = (Run << 4) | Size;
        Writer.PutBits(Bits, (static_cast<uint32>(AcCodes.Code[Symbol]) << Size) | ValueBits,
                       AcCodes.Length[Symbol] + Size);
    }
    if (LastPosition != BlockSamples - 1)
    {
        Writer.PutBits(Bits, AcCodes.Code[EndOfBlockSymbol], AcCodes.Length[EndOfBlockSymbol]);
    }
    Writer.ReturnPending(Bits);
}
} // namespace

void EncodeBlock(FBitWriter& Writer, const int16* Quantised, uint64 Mask, int32& LastDc,
                 const FHuffmanCodes& DcCodes, const FHuffmanCodes& AcCodes)
{
    CodeBlock(
        Writer, [Quantised](int32 Position) -> int32 { return Quantised[Position]; }, Mask, LastDc,
        DcCodes, AcCodes);
}

void EncodeNaturalBlock(FBitWriter& Writer, const int16* Natural, uint64 Mask, int32& LastDc,
                        const FHuffmanCodes& DcCodes, const FHuffmanCodes& AcCodes)
{
    CodeBlock(
        Writer, [Natural](int32 Position) -> int32 { return Natural[Zigzag[Position]]; }, Mask,
        LastDc, DcCodes, AcCodes);
}
} // namespace QuorvexJpeg
