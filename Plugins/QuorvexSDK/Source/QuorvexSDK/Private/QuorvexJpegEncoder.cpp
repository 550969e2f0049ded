// The JPEG encoder's driver: argument checks, the file headers, the 16-line buffer
// and the walk over MCUs. The per-pixel work lives in QuorvexJpegEncoderKernels.cpp
// (scalar), QuorvexJpegEncoderSse41.cpp and QuorvexJpegEncoderAvx2.cpp; the entropy
// coding in QuorvexJpegEncoderHuffman.cpp.
#include "QuorvexJpegEncoder.h"

#include "QuorvexJpegEncoderInternal.h"
#include "QuorvexLog.h"

#include <algorithm>
#include <atomic>
#include <new>

using namespace QuorvexJpeg;

namespace
{
// Read by every encode at its start, written by tests and benchmarks; any thread.
std::atomic<EQuorvexJpegPath> GWidestPath{EQuorvexJpegPath::Avx2};

// Appends to a caller-owned array; an allocation failure becomes a failed write.
class FByteArraySink final : public IQuorvexJpegSink
{
public:
    explicit FByteArraySink(std::vector<uint8>& InBytes) : Bytes(InBytes) {}

    bool Write(const uint8* Data, int64 Count) override
    {
        try
        {
            Bytes.insert(Bytes.end(), Data, Data + Count);
            return true;
        }
        catch (const std::bad_alloc&)
        {
            return false;
        }
    }

private:
    std::vector<uint8>& Bytes;
};

// Marker segments are assembled here before they go to the bit writer.
class FSegmentBytes
{
public:
    void Put8(int32 Value) { Bytes[Count++] = static_cast<uint8>(Value); }
    void Put16(int32 Value)
    {
        Put8(Value >> 8);
        Put8(Value & 0xFF);
    }
    void PutBytes(const uint8* Data, int32 Size)
    {
        std::memcpy(Bytes + Count, Data, static_cast<size_t>(Size));
        Count += Size;
    }
    const uint8* Data() const { return Bytes; }
    int32 Size() const { return Count; }

private:
    uint8 Bytes[1024] = {};
    int32 Count = 0;
};

enum EComponent : int32
{
    ComponentY = 0,
    ComponentCb = 1,
    ComponentCr = 2,
};

// The working state of one encode; it lives on the stack of the encoding thread.
class FEncodeSession
{
public:
    FEncodeSession(int32 InWidth, int32 InHeight, int32 InQuality, IQuorvexJpegSink& Sink)
        : Width(InWidth), Height(InHeight), Quality(InQuality),
          PaddedWidth((InWidth + McuPixels - 1) / McuPixels * McuPixels),
          LineStride(PaddedWidth * 3), Path(FQuorvexJpegEncoder::GetActivePath()), Writer(Sink)
    {
    }

    // Finds room for the 16-line buffer; false when memory is short. Each thread keeps
    // its buffer between encodes, growing it only for a wider frame than any before:
    // a recording encodes a frame every second on the same workers, and must not
    // allocate a block of the frame's width each time.
    bool AllocateLineBuffer()
    {
        thread_local std::unique_ptr<uint8[]> Kept;
        thread_local size_t KeptBytes = 0;
        const size_t Bytes = static_cast<size_t>(LineStride) * LineBufferLines;
        if (KeptBytes < Bytes)
        {
            Kept.reset(new (std::nothrow) uint8[Bytes]);
            KeptBytes = Kept ? Bytes : 0;
        }
        LineBuffer = Kept.get();
        return LineBuffer != nullptr;
    }
    void Initialise();
    void AddRow(const uint8* Rgb);
    void Finish();
    bool Succeeded() const { return Writer.Succeeded(); }
    int64 BytesWritten() const { return Writer.BytesWritten(); }

private:
    void WriteHeaders();
    void EncodeMcuRow();
    void EncodeMcu(int32 Left);
    void EncodeMcuAvx2(int32 Left);
    void CodeBlock(int32* Samples, EComponent Component);
    void CodeNaturalBlock(const int16* Natural, uint64 Mask, EComponent Component);
    uint8* Line(int32 Index) const { return LineBuffer + Index * LineStride; }

    const int32 Width;
    const int32 Height;
    const int32 Quality;
    const int32 PaddedWidth;
    const int32 LineStride; // Y, Cb, Cr planes of one line, PaddedWidth bytes each
    const EQuorvexJpegPath Path;
    uint8 QuantTable[BlockSamples] = {}; // zigzag order, as written to the file
    FQuantDivisors Divisors = {};
    FHuffmanCodes DcCodes[2] = {}; // [0] luminance, [1] chrominance
    FHuffmanCodes AcCodes[2] = {};
    uint8* LineBuffer = nullptr; // the calling thread's, see AllocateLineBuffer
    int32 LinesInBuffer = 0;
    int32 LastDc[3] = {};
    FBitWriter Writer;
};

void FEncodeSession::Initialise()
{
    if (Path != EQuorvexJpegPath::Scalar)
    {
        ScaleQuantTableSse41(Quality, QuantTable);
    }
    else
    {
        ScaleQuantTableScalar(Quality, QuantTable);
    }
    BuildQuantDivisors(QuantTable, Divisors);
    BuildHuffmanCodes(DcLuminanceTable, DcCodes[0]);
    BuildHuffmanCodes(AcLuminanceTable, AcCodes[0]);
    BuildHuffmanCodes(DcChrominanceTable, DcCodes[1]);
    BuildHuffmanCodes(AcChrominanceTable, AcCodes[1]);
    WriteHeaders();
}

void PutHuffmanTable(FSegmentBytes& Segment, int32 ClassAndId, const FHuffmanTableBytes& Table)
{
    Segment.Put16(0xFFC4);
    Segment.Put16(2 + 1 + 16 + Table.NumSymbols);
    Segment.Put8(ClassAndId);
    Segment.PutBytes(Table.Counts, 16);
    Segment.PutBytes(Table.Symbols, Table.NumSymbols);
}

void FEncodeSession::WriteHeaders()
{
    FSegmentBytes Segment;
    Segment.Put16(0xFFD8); // SOI
    static const uint8 JfifApp0[] = {0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0,
                                     1,    1,    0, 0,  1,   0,   1,   0,   0};
    Segment.PutBytes(JfifApp0, sizeof(JfifApp0));
    for (int32 TableId = 0; TableId < 2; ++TableId)
    {
        Segment.Put16(0xFFDB); // DQT, 8-bit entries
        Segment.Put16(67);
        Segment.Put8(TableId);
        Segment.PutBytes(QuantTable, BlockSamples);
    }
    Segment.Put16(0xFFC0); // SOF0
    Segment.Put16(17);
    Segment.Put8(8);
    Segment.Put16(Height);
    Segment.Put16(Width);
    static const uint8 Components[] = {3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1};
    Segment.PutBytes(Components, sizeof(Components));
    PutHuffmanTable(Segment, 0x00, DcLuminanceTable);
    PutHuffmanTable(Segment, 0x10, AcLuminanceTable);
    PutHuffmanTable(Segment, 0x01, DcChrominanceTable);
    PutHuffmanTable(Segment, 0x11, AcChrominanceTable);
    static const uint8 StartOfScan[] = {0xFF, 0xDA, 0, 12, 3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0};
    Segment.PutBytes(StartOfScan, sizeof(StartOfScan));
    Writer.WriteRaw(Segment.Data(), Segment.Size());
}

void FEncodeSession::AddRow(const uint8* Rgb)
{
    uint8* Target = Line(LinesInBuffer);
    if (Path == EQuorvexJpegPath::Avx2)
    {
        ConvertRowToYCbCrAvx2(Rgb, Width, PaddedWidth, Target, Target + PaddedWidth,
                              Target + PaddedWidth * 2);
    }
    else if (Path == EQuorvexJpegPath::Sse41)
    {
        ConvertRowToYCbCrSse41(Rgb, Width, PaddedWidth, Target, Target + PaddedWidth,
                               Target + PaddedWidth * 2);
    }
    else
    {
        ConvertRowToYCbCr(Rgb, Width, PaddedWidth, Target, Target + PaddedWidth,
                          Target + PaddedWidth * 2);
    }
    if (++LinesInBuffer == LineBufferLines)
    {
        EncodeMcuRow();
        LinesInBuffer = 0;
    }
}

void FEncodeSession::Finish()
{
    if (LinesInBuffer > 0)
    {
        // The last MCU row repeats the last real line downwards.
        for (int32 Index = LinesInBuffer; Index < LineBufferLines; ++Index)
        {
            std::memcpy(Line(Index), Line(LinesInBuffer - 1), static_cast<size_t>(LineStride));
        }
        EncodeMcuRow();
        LinesInBuffer = 0;
    }
    Writer.FinishEntropyData();
    static const uint8 EndOfImage[] = {0xFF, 0xD9};
    Writer.WriteRaw(EndOfImage, sizeof(EndOfImage));
    Writer.Flush();
}

void FEncodeSession::EncodeMcuRow()
{
    for (int32 Left = 0; Left < PaddedWidth && Writer.Succeeded(); Left += McuPixels)
    {
        if (Path == EQuorvexJpegPath::Avx2)
        {
            EncodeMcuAvx2(Left);
        }
        else
        {
            EncodeMcu(Left);
        }
    }
}

void FEncodeSession::EncodeMcuAvx2(int32 Left)
{
    // Blocks in coding order: the four luminance blocks, then Cb and Cr.
    alignas(32) int16 Blocks[6][BlockSamples];
    uint64 Masks[6];
    TransformLumaPairAvx2(Line(0) + Left, LineStride, Divisors, Blocks[0], Blocks[1], Masks);
    TransformLumaPairAvx2(Line(8) + Left, LineStride, Divisors, Blocks[2], Blocks[3], Masks + 2);
    TransformChromaPairAvx2(Line(0) + PaddedWidth * ComponentCb + Left,
                            Line(0) + PaddedWidth * ComponentCr + Left, LineStride, Divisors,
                            Blocks[4], Blocks[5], Masks + 4);
    for (int32 Index = 0; Index < 6; ++Index)
    {
        const EComponent Component = Index < 4 ? ComponentY : static_cast<EComponent>(Index - 3);
        CodeNaturalBlock(Blocks[Index], Masks[Index], Component);
    }
}

void FEncodeSession::EncodeMcu(int32 Left)
{
    alignas(16) int32 Samples[BlockSamples];
    for (int32 BlockIndex = 0; BlockIndex < 4; ++BlockIndex)
    {
        const uint8* Top = Line((BlockIndex / 2) * 8) + Left + (BlockIndex % 2) * 8;
        if (Path == EQuorvexJpegPath::Sse41)
        {
            LoadLumaBlockSse41(Top, LineStride, Samples);
        }
        else
        {
            LoadLumaBlock(Top, LineStride, Samples);
        }
        CodeBlock(Samples, ComponentY);
    }
    for (const EComponent Component : {ComponentCb, ComponentCr})
    {
        const uint8* Top = Line(0) + PaddedWidth * Component + Left;
        if (Path == EQuorvexJpegPath::Sse41)
        {
            LoadChromaBlockSse41(Top, LineStride, Samples);
        }
        else
        {
            LoadChromaBlock(Top, LineStride, Samples);
        }
        CodeBlock(Samples, Component);
    }
}

void FEncodeSession::CodeBlock(int32* Samples, EComponent Component)
{
    alignas(16) int16 Quantised[BlockSamples];
    uint64 Mask = 0;
    if (Path == EQuorvexJpegPath::Sse41)
    {
        ForwardDctSse41(Samples);
        Mask = QuantiseToZigzagSse41(Samples, Divisors, Quantised);
    }
    else
    {
        ForwardDct(Samples);
        Mask = QuantiseToZigzag(Samples, Divisors, Quantised);
    }
    const int32 Table = Component == ComponentY ? 0 : 1;
    EncodeBlock(Writer, Quantised, Mask, LastDc[Component], DcCodes[Table], AcCodes[Table]);
    Writer.CommitFullChunks();
}

void FEncodeSession::CodeNaturalBlock(const int16* Natural, uint64 Mask, EComponent Component)
{
    const int32 Table = Component == ComponentY ? 0 : 1;
    EncodeNaturalBlock(Writer, Natural, Mask, LastDc[Component], DcCodes[Table], AcCodes[Table]);
    Writer.CommitFullChunks();
}

// Checks the dimensions and logs why they are refused.
bool AreDimensionsAccepted(int32 Width, int32 Height, int32 EffectiveQuality)
{
    if (Width < 1 || Height < 1)
    {
        QUORVEX_LOG(Error, "QuorvexSDK: JPEG encode failed: bad dimensions %dx%d", Width, Height);
        return false;
    }
    if (Width >= MaxDimensionExclusive || Height >= MaxDimensionExclusive)
    {
        QUORVEX_LOG(Error, "QuorvexSDK: JPEG encode failed: encoder init rejected %dx%d q=%d",
                    Width, Height, EffectiveQuality);
        return false;
    }
    return true;
}

// One encode of already checked dimensions.
bool RunEncode(FQuorvexJpegRowSource RowSource, int32 Width, int32 Height, int32 EffectiveQuality,
               IQuorvexJpegSink& Sink)
{
    FEncodeSession Session(Width, Height, EffectiveQuality, Sink);
    if (!Session.AllocateLineBuffer())
    {
        QUORVEX_LOG(Error, "QuorvexSDK: JPEG encode failed: encoder init rejected %dx%d q=%d",
                    Width, Height, EffectiveQuality);
        return false;
    }
    Session.Initialise();
    for (int32 Row = 0; Row < Height && Session.Succeeded(); ++Row)
    {
        const uint8* Rgb = RowSource(Row);
        if (Rgb == nullptr)
        {
            QUORVEX_LOG(Error, "QuorvexSDK: JPEG encode failed: row source aborted at row %d of %d",
                        Row, Height);
            return false;
        }
        Session.AddRow(Rgb);
    }
    if (Session.Succeeded())
    {
        Session.Finish();
    }
    return Session.Succeeded() && Session.BytesWritten() > 0;
}
} // namespace

bool FQuorvexJpegEncoder::Encode(FQuorvexJpegRowSource RowSource, int32 Width, int32 Height,
                                 int32 Quality, std::vector<uint8>& OutBytes)
{
    OutBytes.clear();
    const int32 EffectiveQuality = GetEffectiveQuality(Quality);
    if (!AreDimensionsAccepted(Width, Height, EffectiveQuality))
    {
        return false;
    }
    if (OutBytes.capacity() == 0)
    {
        const int64 Expected = static_cast<int64>(Width) * Height / 16;
        try
        {
            OutBytes.reserve(static_cast<size_t>(std::max<int64>(Expected, 65536)));
        }
        catch (const std::bad_alloc&)
        {
            // Only a hint: the output grows as needed, and a failed append fails the encode.
        }
    }
    FByteArraySink Sink(OutBytes);
    if (!RunEncode(RowSource, Width, Height, EffectiveQuality, Sink) || OutBytes.empty())
    {
        OutBytes.clear();
        return false;
    }
    return true;
}

bool FQuorvexJpegEncoder::EncodeToSink(FQuorvexJpegRowSource RowSource, int32 Width, int32 Height,
                                       int32 Quality, IQuorvexJpegSink& Sink)
{
    const int32 EffectiveQuality = GetEffectiveQuality(Quality);
    return AreDimensionsAccepted(Width, Height, EffectiveQuality) &&
           RunEncode(RowSource, Width, Height, EffectiveQuality, Sink);
}

int32 FQuorvexJpegEncoder::GetEffectiveQuality(int32 Quality)
{
    return Quality == 0 ? 85 : std::clamp(Quality, 40, 100);
}

void FQuorvexJpegEncoder::SetWidestPath(EQuorvexJpegPath Widest)
{
    GWidestPath.store(Widest, std::memory_order_relaxed);
}

EQuorvexJpegPath FQuorvexJpegEncoder::GetActivePath()
{
    const EQuorvexJpegPath Widest = GWidestPath.load(std::memory_order_relaxed);
    for (EQuorvexJpegPath Path : {EQuorvexJpegPath::Avx2, EQuorvexJpegPath::Sse41})
    {
        if (Path <= Widest && CanRunPath(Path))
        {
            return Path;
        }
    }
    return EQuorvexJpegPath::Scalar;
}

bool FQuorvexJpegEncoder::CanRunPath(EQuorvexJpegPath Path)
{
    switch (Path)
    {
    case EQuorvexJpegPath::Avx2:
        // The AVX2 path relies on the SSE4.1 table scaling too.
        return CpuHasAvx2() && CpuHasSse41();
    case EQuorvexJpegPath::Sse41:
        return CpuHasSse41();
    case EQuorvexJpegPath::Scalar:
        return true;
    }
    return false;
}

void FQuorvexJpegEncoder::SetVectorPathsEnabled(bool bEnabled)
{
    SetWidestPath(bEnabled ? EQuorvexJpegPath::Avx2 : EQuorvexJpegPath::Scalar);
}

bool FQuorvexJpegEncoder::AreVectorPathsActive()
{
    return GetActivePath() != EQuorvexJpegPath::Scalar;
}
