#include "DevBackendReplayBatch.h"

#include "DevBackendReplay.h"

#include <initializer_list>

namespace
{
using FJson = nlohmann::json;

constexpr std::size_t MaxArrayItems = 256; // in outside JSON kept as it is
constexpr std::size_t MaxObjectKeys = 256;
constexpr int MaxDepth = 8;
constexpr int MaxParseDepth = 16;

// How one of the six input arrays of events.json becomes gestures.
struct FGestureKind
{
    const char* Array;
    const char* Kind;
    std::initializer_list<const char*> Numbers;
    std::initializer_list<const char*> Strings;
};

const FGestureKind GestureKinds[] = {
    {"taps", "tap", {"x", "y", "pressure"}, {}},
    {"swipes", "swipe", {"startX", "startY", "endX", "endY", "durationMs"}, {}},
    {"longPresses", "longPress", {"x", "y", "durationMs"}, {}},
    {"keyEvents", "key", {"keyCode"}, {"key", "action"}},
    {"mouseButtons", "mouseButton", {"button", "x", "y"}, {"action"}},
    {"scrolls", "scroll", {"deltaX", "deltaY", "x", "y"}, {}},
};

// Numbers outside JSON's safe range or not numbers at all read as 0.
double Number(const FJson& Object, const char* Key)
{
    const auto It = Object.find(Key);
    return It != Object.end() && It->is_number() ? It->get<double>() : 0.0;
}

std::int64_t Integer(const FJson& Object, const char* Key)
{
    const double Value = Number(Object, Key);
    constexpr double Limit = 9007199254740991.0; // 2^53 - 1
    return Value > Limit || Value < -Limit ? 0 : static_cast<std::int64_t>(Value);
}

FJson NumberOrNull(const FJson& Object, const char* Key)
{
    const auto It = Object.find(Key);
    return It != Object.end() && It->is_number() ? FJson(Integer(Object, Key)) : FJson(nullptr);
}

std::string Text(const FJson& Object, const char* Key, std::size_t MaxBytes)
{
    const auto It = Object.find(Key);
    return It != Object.end() && It->is_string()
               ? DevBackendBoundedText(It->get_ref<const std::string&>(), MaxBytes)
               : std::string();
}

// Outside JSON parsed without exceptions and with nesting limited.
FJson ParseBounded(const std::string& Text)
{
    const FJson::parser_callback_t Limit = [](int Depth, FJson::parse_event_t, FJson&)
    { return Depth <= MaxParseDepth; };
    return FJson::parse(Text, Limit, /*allow_exceptions=*/false);
}

bool ReadJsonEntry(const FDevBackendZipReader& Reader, const char* Name, FJson& Out,
                   std::string& OutProblem)
{
    const FDevBackendZipEntry* Entry = Reader.Find(Name);
    std::string Bytes;
    if (!Entry)
    {
        OutProblem = std::string("the archive has no ") + Name;
        return false;
    }
    if (!Reader.Read(*Entry, Bytes, OutProblem))
    {
        return false;
    }
    Out = ParseBounded(Bytes);
    if (!Out.is_object())
    {
        OutProblem = std::string(Name) + " is not a JSON object";
        return false;
    }
    return true;
}

void ReadFrames(const FJson& Manifest, FDevBackendReplayBatch& Batch)
{
    const auto Frames = Manifest.find("frames");
    if (Frames == Manifest.end() || !Frames->is_array())
    {
        Batch.Notes.push_back("manifest.json has no frames array");
        return;
    }
    for (const FJson& Frame : *Frames)
    {
        if (Batch.Frames.size() >= DevBackendReplayLimits::MaxFramesPerBatch)
        {
            Batch.Notes.push_back("frames beyond the first " +
                                  std::to_string(DevBackendReplayLimits::MaxFramesPerBatch) +
                                  " were left out");
            return;
        }
        const std::string Id = Frame.is_object() ? Text(Frame, "attachmentId", 256) : "";
        if (!FDevBackendReplayCatalogue::IsSafeAttachmentId(Id) ||
            !Batch.Reader.Find("frames/" + Id + ".jpeg"))
        {
            Batch.Notes.push_back("frame \"" + DevBackendBoundedText(Id, 64) +
                                  "\" has no frames/<id>.jpeg entry (or an unusable id)");
            continue;
        }
        Batch.Frames.push_back({Integer(Frame, "timestamp"), Id, Integer(Frame, "width"),
                                Integer(Frame, "height"), Number(Frame, "captureDurationMs"),
                                Number(Frame, "mainThreadCaptureMs")});
    }
}

void ReadGestures(const FJson& Events, FDevBackendReplayBatch& Batch)
{
    const auto Input = Events.find("inputEvents");
    if (Input == Events.end() || !Input->is_object())
    {
        Batch.Notes.push_back("events.json has no inputEvents object");
        return;
    }
    for (const FGestureKind& Kind : GestureKinds)
    {
        const auto Array = Input->find(Kind.Array);
        if (Array == Input->end() || !Array->is_array())
        {
            continue;
        }
        for (const FJson& Item : *Array)
        {
            if (Batch.Gestures.size() >= DevBackendReplayLimits::MaxGesturesPerBatch)
            {
                Batch.Notes.push_back("gestures beyond the cap were left out");
                return;
            }
            if (!Item.is_object())
            {
                continue;
            }
            FJson Gesture = {{"kind", Kind.Kind}, {"t", Integer(Item, "timestamp")}};
            for (const char* Key : Kind.Numbers)
            {
                Gesture[Key] = Number(Item, Key);
            }
            for (const char* Key : Kind.Strings)
            {
                Gesture[Key] = Text(Item, Key, 64);
            }
            Batch.Gestures.push_back(std::move(Gesture));
        }
    }
}

FJson ReadMetadata(const FJson& Events)
{
    const auto Metadata = Events.find("metadata");
    if (Metadata == Events.end() || !Metadata->is_object())
    {
        return nullptr;
    }
    return {{"memoryUsageMb", Number(*Metadata, "memoryUsageMb")},
            {"cpuUsagePercent", Number(*Metadata, "cpuUsagePercent")},
            {"batteryLevel", Number(*Metadata, "batteryLevel")},
            {"screenOrientation", Text(*Metadata, "screenOrientation", 64)}};
}
} // namespace

std::string DevBackendBoundedText(const std::string& Text, std::size_t MaxBytes)
{
    if (Text.size() <= MaxBytes)
    {
        return Text;
    }
    std::size_t Cut = MaxBytes;
    // Step back over continuation bytes so no character is split.
    while (Cut > 0 && (static_cast<unsigned char>(Text[Cut]) & 0xC0) == 0x80)
    {
        --Cut;
    }
    return Text.substr(0, Cut);
}

nlohmann::json DevBackendBoundedJson(const nlohmann::json& Value, int Depth)
{
    if (Value.is_string())
    {
        return DevBackendBoundedText(Value.get_ref<const std::string&>(),
                                     DevBackendReplayLimits::MaxString);
    }
    if (!Value.is_structured())
    {
        return Value;
    }
    if (Depth >= MaxDepth)
    {
        return nullptr;
    }
    FJson Copy = Value.is_array() ? FJson::array() : FJson::object();
    std::size_t Count = 0;
    for (auto It = Value.begin(); It != Value.end(); ++It)
    {
        if (++Count > (Value.is_array() ? MaxArrayItems : MaxObjectKeys))
        {
            break;
        }
        FJson Item = DevBackendBoundedJson(*It, Depth + 1);
        if (Value.is_array())
        {
            Copy.push_back(std::move(Item));
        }
        else
        {
            Copy[DevBackendBoundedText(It.key(), 128)] = std::move(Item);
        }
    }
    return Copy;
}

FDevBackendReplayBatch ReadDevBackendReplayBatch(const std::string& Path)
{
    FDevBackendReplayBatch Batch;
    if (!Batch.Reader.Open(Path, DevBackendReplayLimits::MaxArchiveBytes, Batch.Problem))
    {
        return Batch;
    }
    FJson Manifest;
    FJson Events;
    if (!ReadJsonEntry(Batch.Reader, "manifest.json", Manifest, Batch.Problem) ||
        !ReadJsonEntry(Batch.Reader, "events.json", Events, Batch.Problem))
    {
        return Batch;
    }
    Batch.SequenceNumber = NumberOrNull(Events, "sequenceNumber");
    Batch.Timestamp = NumberOrNull(Events, "timestamp");
    Batch.InGameId = Text(Events, "inGameId", DevBackendReplayLimits::MaxString);
    Batch.DeveloperPayload =
        Text(Events, "developerPayload", DevBackendReplayLimits::MaxPayloadString);
    Batch.Metadata = ReadMetadata(Events);
    ReadFrames(Manifest, Batch);
    ReadGestures(Events, Batch);
    return Batch;
}
