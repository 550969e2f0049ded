// Shared by the archive reader and replay tests: real batch archives, made the way the
// SDK makes them (its document builders and its stored ZIP writer), and byte-level
// edits of an archive for the hostile cases.
#pragma once

#include "QuorvexApiClient.h"
#include "QuorvexDetachedBatchData.h"
#include "QuorvexStoredZipWriter.h"
#include "TestSupport.h"

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

using FZipEntries = std::vector<std::pair<std::string, std::string>>;

inline std::string ReadFileBytes(const std::string& Path)
{
    std::ifstream File(Path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::string& Path, const std::string& Bytes)
{
    std::ofstream File(Path, std::ios::binary | std::ios::trunc);
    File.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
}

// An archive written by the SDK's own writer, in entry order.
inline std::string WriterArchive(const FTempDir& Dir, const FZipEntries& Entries)
{
    FQuorvexStoredZipWriter Writer;
    for (const auto& [Name, Bytes] : Entries)
    {
        Writer.AddBytes(Name, std::vector<uint8>(Bytes.begin(), Bytes.end()));
    }
    const std::string Path = Dir.File("writer.zip");
    if (Writer.WriteToFile(Path) < 0)
    {
        ADD_FAILURE() << "the writer could not write " << Path;
        return {};
    }
    return ReadFileBytes(Path);
}

// Bytes that stand in for a JPEG: its markers around a payload unique to Seed.
inline std::string FakeJpeg(unsigned Seed, std::size_t Size = 600)
{
    std::string Bytes = "\xFF\xD8\xFF\xE0";
    unsigned State = Seed * 2246822519u + 7;
    while (Bytes.size() + 2 < Size)
    {
        State = State * 1103515245u + 12345u;
        Bytes += static_cast<char>(State >> 23);
    }
    return Bytes + "\xFF\xD9";
}

// Little-endian fields of an archive held in memory.
inline std::uint32_t ZipU16(const std::string& Bytes, std::size_t At)
{
    return static_cast<unsigned char>(Bytes[At]) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(Bytes[At + 1])) << 8;
}

inline std::uint32_t ZipU32(const std::string& Bytes, std::size_t At)
{
    return ZipU16(Bytes, At) | ZipU16(Bytes, At + 2) << 16;
}

inline void PutU16(std::string& Bytes, std::size_t At, std::uint32_t Value)
{
    Bytes[At] = static_cast<char>(Value & 0xFF);
    Bytes[At + 1] = static_cast<char>((Value >> 8) & 0xFF);
}

inline void PutU32(std::string& Bytes, std::size_t At, std::uint32_t Value)
{
    PutU16(Bytes, At, Value & 0xFFFF);
    PutU16(Bytes, At + 2, Value >> 16);
}

// Where the end record and the central directory records of a writer archive are.
inline std::size_t EndRecordAt(const std::string& Bytes)
{
    return Bytes.size() - 22;
}

inline std::size_t CentralRecordAt(const std::string& Bytes, std::size_t Index)
{
    std::size_t At = ZipU32(Bytes, EndRecordAt(Bytes) + 16);
    for (std::size_t I = 0; I < Index; ++I)
    {
        At += 46 + ZipU16(Bytes, At + 28) + ZipU16(Bytes, At + 30) + ZipU16(Bytes, At + 32);
    }
    return At;
}

// One batch as the SDK records it.
struct FBatchPlan
{
    long long Sequence = 1;
    long long Timestamp = 1765000000000;
    std::string InGameId = "player-7";
    std::string DeveloperPayload;
    std::vector<long long> FrameTimes; // one frame per time, ids frame_0, frame_1...
    FQuorvexGestures Gestures;
    int Width = 640;
    int Height = 360;
};

inline FQuorvexDetachedBatchData BatchDataOf(const std::string& SessionId, const FBatchPlan& Plan)
{
    FQuorvexDetachedBatchData Batch;
    Batch.SessionId = SessionId;
    Batch.Timestamp = Plan.Timestamp;
    Batch.SequenceNumber = Plan.Sequence;
    Batch.InGameId = Plan.InGameId;
    Batch.DeveloperPayload = Plan.DeveloperPayload;
    Batch.Taps = Plan.Gestures.Taps;
    Batch.Swipes = Plan.Gestures.Swipes;
    Batch.LongPresses = Plan.Gestures.LongPresses;
    Batch.KeyEvents = Plan.Gestures.KeyEvents;
    Batch.MouseButtons = Plan.Gestures.MouseButtons;
    Batch.Scrolls = Plan.Gestures.Scrolls;
    Batch.Metadata.MemoryUsageMb = 512;
    Batch.Metadata.CpuUsagePercent = 37;
    Batch.Metadata.BatteryLevel = 88;
    Batch.Metadata.ScreenOrientation = "landscape";
    Batch.CaptureMode = "Screenshots";
    Batch.ImageFormat = "Jpeg";
    return Batch;
}

// The JPEG stand-in of frame Index of batch Sequence.
inline std::string FrameBytesOf(long long Sequence, std::size_t Index)
{
    return FakeJpeg(static_cast<unsigned>(Sequence * 1000 + static_cast<long long>(Index)));
}

// events.json, manifest.json and the frames, laid out as the SDK lays out a batch.
inline std::string BatchArchive(const FTempDir& Dir, const std::string& SessionId,
                                const FBatchPlan& Plan)
{
    std::vector<FQuorvexMediaFrame> Frames;
    FZipEntries Entries;
    for (std::size_t I = 0; I < Plan.FrameTimes.size(); ++I)
    {
        FQuorvexMediaFrame Frame;
        Frame.Timestamp = Plan.FrameTimes[I];
        Frame.CaptureDurationMs = 4;
        Frame.MainThreadCaptureMs = 1;
        Frame.AttachmentId = "frame_" + std::to_string(I);
        Frame.Width = Plan.Width;
        Frame.Height = Plan.Height;
        Frames.push_back(Frame);
    }
    const FQuorvexDetachedBatchData Batch = BatchDataOf(SessionId, Plan);
    Entries.emplace_back("events.json", FQuorvexApiClient::BuildEventJson(Batch, Frames));
    Entries.emplace_back("manifest.json", FQuorvexApiClient::BuildManifestJson(Batch, Frames));
    for (std::size_t I = 0; I < Frames.size(); ++I)
    {
        Entries.emplace_back("frames/" + Frames[I].AttachmentId + ".jpeg",
                             FrameBytesOf(Plan.Sequence, I));
    }
    return WriterArchive(Dir, Entries);
}
