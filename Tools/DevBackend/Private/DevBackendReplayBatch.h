// One batch archive read back for the replay catalogue: its identity, frames (from
// manifest.json, each checked to have its JPEG entry), gestures and metadata (from
// events.json). Everything kept is bounded; what could not be read is a problem.
#pragma once

#include "DevBackendStores.h"
#include "DevBackendZipReader.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

// Bounds on what one archive or one session may contribute.
namespace DevBackendReplayLimits
{
inline constexpr std::size_t MaxString = 1024;          // a kept string, in bytes
inline constexpr std::size_t MaxPayloadString = 8192;   // a developer payload or event data
inline constexpr std::size_t MaxFramesPerBatch = 20000; // beyond it frames are left out
inline constexpr std::size_t MaxGesturesPerBatch = 100000;
inline constexpr std::size_t MaxObjectsPerSession = 10000;
inline constexpr std::size_t MaxGameEvents = 20000;
inline constexpr std::int64_t MaxArchiveBytes = DevBackendMaxObjectBytes;
} // namespace DevBackendReplayLimits

struct FDevBackendReplayFrame
{
    std::int64_t T = 0; // capture time, ms since the epoch
    std::string AttachmentId;
    std::int64_t Width = 0;
    std::int64_t Height = 0;
    double CaptureDurationMs = 0;
    double MainThreadCaptureMs = 0;
};

struct FDevBackendReplayBatch
{
    // Why the archive could not be read; empty when it was.
    std::string Problem;
    // Smaller faults that left something out (a frame without its entry...).
    std::vector<std::string> Notes;
    FDevBackendZipReader Reader; // for reading frames later

    nlohmann::json SequenceNumber; // number, or null
    nlohmann::json Timestamp;      // number, or null
    std::string InGameId;
    std::string DeveloperPayload;
    nlohmann::json Metadata; // object with the four fields, or null
    std::vector<FDevBackendReplayFrame> Frames;
    // {"kind", "t", the kind's fields...}, in the archive's order, without space or objectIndex.
    std::vector<nlohmann::json> Gestures;
};

// Reads the archive at Path. Never fails as such: a batch that could not be read
// carries its Problem.
FDevBackendReplayBatch ReadDevBackendReplayBatch(const std::string& Path);

// Text cut to at most MaxBytes bytes, not inside a UTF-8 sequence.
std::string DevBackendBoundedText(const std::string& Text, std::size_t MaxBytes);
// A copy of outside JSON with strings cut, arrays and objects capped and depth limited.
nlohmann::json DevBackendBoundedJson(const nlohmann::json& Value, int Depth = 0);
