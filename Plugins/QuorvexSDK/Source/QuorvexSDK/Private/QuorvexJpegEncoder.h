// The SDK's own baseline JPEG encoder.
//
// Pulls an RGB image one row at a time from a row source and writes a complete JFIF
// file in one pass: fixed 4:2:0 chroma subsampling, one quantisation table derived
// from the quality (shared by luminance and chrominance), and the typical Huffman
// tables. Only 16 lines of YCbCr are held at a time, so an encode needs about
// Width x 48 bytes besides its output.
//
// Re-entrant: every piece of working state belongs to one call, so encodes may run
// on several threads at once. The only process-wide state is the vector-path limit,
// which never changes the bytes produced.
#pragma once

#include "CoreTypes.h"

#include <memory>
#include <type_traits>
#include <vector>

// A non-owning reference to a callable `const uint8* (int32 RowIndex)`.
//
// RowIndex counts from 0 at the top. The callable returns Width x 3 bytes (R, G, B)
// that stay valid until its next call, or null to abort the encode. The referenced
// callable must outlive the call it is passed to (a lambda written in the argument
// list does).
class FQuorvexJpegRowSource
{
public:
    template <typename CallableType>
    requires(!std::is_same_v<std::remove_cvref_t<CallableType>, FQuorvexJpegRowSource> &&
             std::is_object_v<std::remove_reference_t<CallableType>> &&
             std::is_invocable_r_v<const uint8*, CallableType&, int32>)
        FQuorvexJpegRowSource(CallableType&& Callable) // NOLINT: implicit by design
        : Object(const_cast<void*>(static_cast<const void*>(std::addressof(Callable)))),
          Thunk(&Invoke<std::remove_reference_t<CallableType>>)
    {
    }

    const uint8* operator()(int32 RowIndex) const { return Thunk(Object, RowIndex); }

private:
    template <typename CallableType> static const uint8* Invoke(void* InObject, int32 RowIndex)
    {
        return (*static_cast<CallableType*>(InObject))(RowIndex);
    }

    void* Object;
    const uint8* (*Thunk)(void*, int32);
};

// Where the encoder hands its output, in chunks of up to 2048 bytes, in file order.
class IQuorvexJpegSink
{
public:
    virtual ~IQuorvexJpegSink() = default;
    // Appends Count bytes. Returning false fails the encode and stops all further output.
    virtual bool Write(const uint8* Data, int64 Count) = 0;
};

// The kernel sets an encode can use, narrowest first. Each gives the same bytes.
enum class EQuorvexJpegPath : uint8
{
    Scalar,
    Sse41,
    Avx2,
};

class FQuorvexJpegEncoder
{
public:
    // Encodes Width x Height pixels pulled from RowSource into OutBytes as a complete
    // JPEG. Calls RowSource exactly once per row, in order, until it returns null.
    // OutBytes keeps its allocation (callers pool it); when it has none yet, room for
    // max(Width x Height / 16, 65536) bytes is reserved. Returns false, with OutBytes
    // empty and the reason logged, on bad dimensions, an aborted row source or a
    // failed allocation.
    static bool Encode(FQuorvexJpegRowSource RowSource, int32 Width, int32 Height, int32 Quality,
                       std::vector<uint8>& OutBytes);

    // As Encode, but hands the output to Sink. On failure the sink may hold a partial
    // file; it is the caller's to discard.
    static bool EncodeToSink(FQuorvexJpegRowSource RowSource, int32 Width, int32 Height,
                             int32 Quality, IQuorvexJpegSink& Sink);

    // The quality actually used: 0 means 85; anything else is clamped to 40 ... 100.
    static int32 GetEffectiveQuality(int32 Quality);

    // Encodes started from now on use the widest path the processor can run, up to
    // Widest (Avx2 by default). Tests and benchmarks lower it to compare the paths.
    static void SetWidestPath(EQuorvexJpegPath Widest);
    // The path an encode started now takes.
    static EQuorvexJpegPath GetActivePath();
    // True when the processor can run Path.
    static bool CanRunPath(EQuorvexJpegPath Path);

    // SetWidestPath(Avx2) when enabled, SetWidestPath(Scalar) when not.
    static void SetVectorPathsEnabled(bool bEnabled);
    // True when the active path is not the scalar one.
    static bool AreVectorPathsActive();
};
