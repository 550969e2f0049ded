// Builds the replay page's session summaries and details from the server's state.
#include "DevBackendReplay.h"

#include "DateTime.h"
#include "DevBackendReplayBatch.h"
#include "DevBackendServer.h"
#include "UrlEncoding.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <vector>

namespace
{
using FJson = nlohmann::json;
namespace Limits = DevBackendReplayLimits;

// A tap, swipe or long press made with the left mouse button is recorded in viewport
// pixels; the SDK leaves a left-button release within this many ms of it.
constexpr std::int64_t MouseMadeWindowMs = 50;
// The parse cache forgets everything past this many archives (a dev session has tens).
constexpr std::size_t MaxCachedBatches = 4096;

struct FLoadedBatch
{
    FDevBackendObject Object;
    std::shared_ptr<const FDevBackendReplayBatch> Batch;
};

std::int64_t NowMs()
{
    return FDateTime::UtcNow().ToUnixMicroseconds() / 1000;
}

const char* StateName(EDevBackendSessionState State)
{
    switch (State)
    {
    case EDevBackendSessionState::Active:
        return "Active";
    case EDevBackendSessionState::Inactive:
        return "Inactive";
    case EDevBackendSessionState::Ended:
        return "Ended";
    }
    return "Active";
}

FJson Member(const FJson& Object, const char* Key)
{
    if (!Object.is_object())
    {
        return nullptr;
    }
    const auto It = Object.find(Key);
    return It == Object.end() ? FJson(nullptr) : *It;
}

std::string TextMember(const FJson& Object, const char* Key, std::size_t MaxBytes)
{
    const FJson Value = Member(Object, Key);
    return Value.is_string() ? DevBackendBoundedText(Value.get<std::string>(), MaxBytes) : "";
}

FJson PickTexts(const FJson& Object, std::initializer_list<const char*> Keys)
{
    FJson Out = FJson::object();
    for (const char* Key : Keys)
    {
        Out[Key] = TextMember(Object, Key, Limits::MaxString);
    }
    return Out;
}

// The create body's object under Key, bounded; an empty object when absent.
FJson BoundedObject(const FJson& Body, const char* Key)
{
    const FJson Value = Member(Body, Key);
    return Value.is_object() ? DevBackendBoundedJson(Value) : FJson::object();
}

// app.resolution as {"width", "height"}; null when it is not two positive numbers.
FJson Viewport(const FJson& CreateBody)
{
    const FJson Resolution = Member(Member(CreateBody, "app"), "resolution");
    const FJson Width = Member(Resolution, "width");
    const FJson Height = Member(Resolution, "height");
    if (!Width.is_number() || !Height.is_number() || Width.get<double>() <= 0 ||
        Height.get<double>() <= 0)
    {
        return nullptr;
    }
    return {{"width", Width.get<double>()}, {"height", Height.get<double>()}};
}

// {"x", "y"} from a developer payload holding JSON with a "viewportOrigin" key.
FJson ViewportOriginOf(const std::string& DeveloperPayload)
{
    const FJson Payload = FJson::parse(DeveloperPayload, nullptr, false);
    const FJson Origin = Member(Payload, "viewportOrigin");
    const FJson X = Member(Origin, "x");
    const FJson Y = Member(Origin, "y");
    if (!X.is_number() || !Y.is_number() || !std::isfinite(X.get<double>()) ||
        !std::isfinite(Y.get<double>()))
    {
        return nullptr;
    }
    return {{"x", X.get<double>()}, {"y", Y.get<double>()}};
}

std::string FrameUrl(const std::string& SessionId, std::size_t ObjectIndex,
                     const std::string& AttachmentId, EDevBackendFrameUrls Urls)
{
    const std::string Tail = "frames/" + std::to_string(ObjectIndex) + "/" + AttachmentId + ".jpeg";
    return Urls == EDevBackendFrameUrls::Exported
               ? Tail
               : "api/sessions/" + FGenericPlatformHttp::UrlEncode(SessionId) + "/" + Tail;
}

std::int64_t DurationMs(const FDevBackendSession& Session)
{
    const std::int64_t End = Session.EndedAtMs > 0 ? Session.EndedAtMs : NowMs();
    return std::max<std::int64_t>(0, End - Session.CreatedAtMs);
}

FJson SummaryOf(const FDevBackendSession& Session, const std::vector<FLoadedBatch>& Batches)
{
    std::size_t Frames = 0;
    for (const FLoadedBatch& Loaded : Batches)
    {
        Frames += Loaded.Batch->Frames.size();
    }
    const FJson& Body = Session.CreateRequest;
    return {{"id", DevBackendBoundedText(Session.Id, Limits::MaxString)},
            {"startedAtMs", Session.CreatedAtMs},
            {"durationMs", DurationMs(Session)},
            {"state", StateName(Session.State)},
            {"batches", Batches.size()},
            {"frames", Frames},
            {"device", PickTexts(Member(Body, "device"), {"name", "model", "osName", "platform"})},
            {"app", PickTexts(Member(Body, "app"), {"name", "version"})}};
}

FJson BatchEntry(const FLoadedBatch& Loaded, std::size_t ObjectIndex)
{
    const FDevBackendReplayBatch& Batch = *Loaded.Batch;
    FJson First = nullptr;
    FJson Last = nullptr;
    if (!Batch.Frames.empty())
    {
        const auto [Min, Max] =
            std::minmax_element(Batch.Frames.begin(), Batch.Frames.end(),
                                [](const FDevBackendReplayFrame& A, const FDevBackendReplayFrame& B)
                                { return A.T < B.T; });
        First = Min->T;
        Last = Max->T;
    }
    return {{"objectIndex", ObjectIndex},
            {"object", DevBackendBoundedText(Loaded.Object.Name, Limits::MaxString)},
            {"bytes", Loaded.Object.Size},
            {"store", DevBackendStoreName(Loaded.Object.Store)},
            {"sequenceNumber", Batch.SequenceNumber},
            {"timestamp", Batch.Timestamp},
            {"inGameId", Batch.InGameId},
            {"firstFrameMs", First},
            {"lastFrameMs", Last},
            {"frames", Batch.Frames.size()},
            {"metadata", Batch.Metadata},
            {"problem", Batch.Problem}};
}

// Release times of the left mouse button, sorted.
std::vector<std::int64_t> LeftButtonUps(const std::vector<FJson>& Gestures)
{
    std::vector<std::int64_t> Ups;
    for (const FJson& Gesture : Gestures)
    {
        if (Gesture["kind"] == "mouseButton" && Gesture["button"] == 0 && Gesture["action"] == "Up")
        {
            Ups.push_back(Gesture["t"].get<std::int64_t>());
        }
    }
    std::sort(Ups.begin(), Ups.end());
    return Ups;
}

bool NearAny(const std::vector<std::int64_t>& Sorted, std::int64_t T)
{
    const auto It = std::lower_bound(Sorted.begin(), Sorted.end(), T - MouseMadeWindowMs);
    return It != Sorted.end() && *It <= T + MouseMadeWindowMs;
}

// Adds each gesture's coordinate space: how the SDK recorded it.
void AssignSpaces(std::vector<FJson>& Gestures)
{
    const std::vector<std::int64_t> Ups = LeftButtonUps(Gestures);
    for (FJson& Gesture : Gestures)
    {
        const std::string Kind = Gesture["kind"];
        if (Kind == "mouseButton")
        {
            Gesture["space"] = "viewport";
        }
        else if (Kind == "scroll")
        {
            Gesture["space"] = "desktop";
        }
        else if (Kind != "key")
        {
            Gesture["space"] =
                NearAny(Ups, Gesture["t"].get<std::int64_t>()) ? "viewport" : "desktop";
        }
    }
}

bool ByTime(const FJson& A, const FJson& B)
{
    return A["t"].get<std::int64_t>() < B["t"].get<std::int64_t>();
}

FJson GameEventsOf(const FDevBackendServer& Server, const std::string& SessionId)
{
    std::vector<FJson> Events;
    for (const FDevBackendRecordedRequest& Record :
         Server.Requests().ForEndpoint(EDevBackendEndpoint::GameEvent))
    {
        if (Events.size() >= Limits::MaxGameEvents)
        {
            break;
        }
        const FJson Body = Record.Status == 200 ? Record.JsonBody() : FJson();
        if (!Body.is_object() || Member(Body, "sessionId") != SessionId)
        {
            continue;
        }
        const FJson T = Member(Body, "timestamp");
        Events.push_back({{"t", T.is_number() ? T.get<std::int64_t>() : 0},
                          {"name", TextMember(Body, "eventName", Limits::MaxString)},
                          {"data", TextMember(Body, "eventDataJson", Limits::MaxPayloadString)}});
    }
    std::stable_sort(Events.begin(), Events.end(), ByTime);
    return Events;
}

// The first viewport origin found: the create body's payload, then each batch's.
FJson FindViewportOrigin(const std::string& CreatePayload, const std::vector<FLoadedBatch>& Batches)
{
    FJson Origin = ViewportOriginOf(CreatePayload);
    for (std::size_t I = 0; I < Batches.size() && Origin.is_null(); ++I)
    {
        Origin = ViewportOriginOf(Batches[I].Batch->DeveloperPayload);
    }
    return Origin;
}

struct FDetailLists
{
    FJson Batches = FJson::array();
    std::vector<FJson> Frames;
    std::vector<FJson> Gestures;
    FJson Problems = FJson::array();
};

FDetailLists CollectLists(const std::string& SessionId, const std::vector<FLoadedBatch>& Batches,
                          EDevBackendFrameUrls Urls)
{
    FDetailLists Lists;
    for (std::size_t I = 0; I < Batches.size(); ++I)
    {
        const FDevBackendReplayBatch& Batch = *Batches[I].Batch;
        const std::string Name = DevBackendBoundedText(Batches[I].Object.Name, 256);
        Lists.Batches.push_back(BatchEntry(Batches[I], I));
        if (!Batch.Problem.empty())
        {
            Lists.Problems.push_back("batch " + Name + ": " + Batch.Problem);
        }
        for (const std::string& Note : Batch.Notes)
        {
            Lists.Problems.push_back("batch " + Name + ": " + Note);
        }
        for (const FDevBackendReplayFrame& Frame : Batch.Frames)
        {
            Lists.Frames.push_back({{"t", Frame.T},
                                    {"objectIndex", I},
                                    {"attachmentId", Frame.AttachmentId},
                                    {"width", Frame.Width},
                                    {"height", Frame.Height},
                                    {"captureDurationMs", Frame.CaptureDurationMs},
                                    {"mainThreadCaptureMs", Frame.MainThreadCaptureMs},
                                    {"url", FrameUrl(SessionId, I, Frame.AttachmentId, Urls)}});
        }
        for (FJson Gesture : Batch.Gestures)
        {
            Gesture["objectIndex"] = I;
            Lists.Gestures.push_back(std::move(Gesture));
        }
    }
    AssignSpaces(Lists.Gestures);
    std::stable_sort(Lists.Frames.begin(), Lists.Frames.end(), ByTime);
    std::stable_sort(Lists.Gestures.begin(), Lists.Gestures.end(), ByTime);
    return Lists;
}

FJson DetailOf(const FDevBackendServer& Server, const FDevBackendSession& Session,
               const std::vector<FLoadedBatch>& Batches, EDevBackendFrameUrls Urls)
{
    const FJson& Body = Session.CreateRequest;
    const std::string Payload = TextMember(Body, "developerPayload", Limits::MaxPayloadString);
    FDetailLists Lists = CollectLists(Session.Id, Batches, Urls);
    return {{"id", DevBackendBoundedText(Session.Id, Limits::MaxString)},
            {"startedAtMs", Session.CreatedAtMs},
            {"endedAtMs", Session.EndedAtMs > 0 ? FJson(Session.EndedAtMs) : FJson(nullptr)},
            {"state", StateName(Session.State)},
            {"endReason", DevBackendBoundedText(Session.EndReason, Limits::MaxString)},
            {"device", BoundedObject(Body, "device")},
            {"app", BoundedObject(Body, "app")},
            {"sdk", BoundedObject(Body, "sdk")},
            {"inGameId", DevBackendBoundedText(Session.InGameId.value_or(""), Limits::MaxString)},
            {"developerPayload", Payload},
            {"viewport", Viewport(Body)},
            {"viewportOrigin", FindViewportOrigin(Payload, Batches)},
            {"batches", std::move(Lists.Batches)},
            {"frames", std::move(Lists.Frames)},
            {"gestures", std::move(Lists.Gestures)},
            {"gameEvents", GameEventsOf(Server, Session.Id)},
            {"problems", std::move(Lists.Problems)}};
}
} // namespace

FDevBackendReplayCatalogue::FDevBackendReplayCatalogue() = default;
FDevBackendReplayCatalogue::~FDevBackendReplayCatalogue() = default;

bool FDevBackendReplayCatalogue::IsSafeAttachmentId(const std::string& AttachmentId)
{
    return !AttachmentId.empty() && AttachmentId.size() <= 128 &&
           std::all_of(AttachmentId.begin(), AttachmentId.end(),
                       [](char C) {
                           return std::isalnum(static_cast<unsigned char>(C)) || C == '_' ||
                                  C == '-';
                       });
}

std::shared_ptr<const FDevBackendReplayBatch>
FDevBackendReplayCatalogue::Batch(const FDevBackendObject& Object)
{
    {
        std::lock_guard Lock(Mutex);
        const auto It = Cache.find(Object.Path);
        if (It != Cache.end())
        {
            return It->second;
        }
    }
    // Parsed outside the lock: two requests may parse the same archive at once, and
    // both results are equal.
    auto Parsed =
        std::make_shared<const FDevBackendReplayBatch>(ReadDevBackendReplayBatch(Object.Path));
    std::lock_guard Lock(Mutex);
    if (Cache.size() >= MaxCachedBatches)
    {
        Cache.clear();
    }
    return Cache.emplace(Object.Path, std::move(Parsed)).first->second;
}

namespace
{
template <typename FBatchFn>
std::vector<FLoadedBatch> LoadBatches(const FDevBackendServer& Server, const std::string& Id,
                                      FBatchFn&& BatchOf)
{
    std::vector<FDevBackendObject> Objects = Server.Objects(Id);
    if (Objects.size() > Limits::MaxObjectsPerSession)
    {
        Objects.resize(Limits::MaxObjectsPerSession);
    }
    std::vector<FLoadedBatch> Loaded;
    Loaded.reserve(Objects.size());
    for (FDevBackendObject& Object : Objects)
    {
        auto Parsed = BatchOf(Object);
        Loaded.push_back({std::move(Object), std::move(Parsed)});
    }
    return Loaded;
}
} // namespace

nlohmann::json FDevBackendReplayCatalogue::SessionList(const FDevBackendServer& Server)
{
    FJson Sessions = FJson::array();
    for (const FDevBackendSession& Session : Server.Sessions().All())
    {
        const std::vector<FLoadedBatch> Batches = LoadBatches(
            Server, Session.Id, [this](const FDevBackendObject& O) { return Batch(O); });
        Sessions.push_back(SummaryOf(Session, Batches));
    }
    return {{"sessions", std::move(Sessions)}};
}

std::optional<nlohmann::json> FDevBackendReplayCatalogue::Summary(const FDevBackendServer& Server,
                                                                  const std::string& SessionId)
{
    const std::optional<FDevBackendSession> Session = Server.Sessions().Find(SessionId);
    if (!Session)
    {
        return std::nullopt;
    }
    return SummaryOf(
        *Session,
        LoadBatches(Server, SessionId, [this](const FDevBackendObject& O) { return Batch(O); }));
}

std::optional<nlohmann::json> FDevBackendReplayCatalogue::Detail(const FDevBackendServer& Server,
                                                                 const std::string& SessionId,
                                                                 EDevBackendFrameUrls Urls)
{
    const std::optional<FDevBackendSession> Session = Server.Sessions().Find(SessionId);
    if (!Session)
    {
        return std::nullopt;
    }
    const std::vector<FLoadedBatch> Batches =
        LoadBatches(Server, SessionId, [this](const FDevBackendObject& O) { return Batch(O); });
    return DetailOf(Server, *Session, Batches, Urls);
}

bool FDevBackendReplayCatalogue::FrameBytes(const FDevBackendServer& Server,
                                            const std::string& SessionId, std::size_t ObjectIndex,
                                            const std::string& AttachmentId, std::string& OutBytes,
                                            std::string& OutError)
{
    const std::vector<FDevBackendObject> Objects = Server.Objects(SessionId);
    if (ObjectIndex >= Objects.size() || !IsSafeAttachmentId(AttachmentId))
    {
        OutError = "no such frame";
        return false;
    }
    const std::shared_ptr<const FDevBackendReplayBatch> Parsed = Batch(Objects[ObjectIndex]);
    const bool bListed = std::any_of(Parsed->Frames.begin(), Parsed->Frames.end(),
                                     [&](const FDevBackendReplayFrame& F)
                                     { return F.AttachmentId == AttachmentId; });
    const FDevBackendZipEntry* Entry =
        bListed ? Parsed->Reader.Find("frames/" + AttachmentId + ".jpeg") : nullptr;
    if (!Parsed->Problem.empty() || !Entry)
    {
        OutError = "no such frame";
        return false;
    }
    return Parsed->Reader.Read(*Entry, OutBytes, OutError);
}

std::string DevBackendReplayDataScript(const nlohmann::json& Json)
{
    const std::string Text = Json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::string Out = "window.QUORVEX_REPLAY_DATA = ";
    Out.reserve(Out.size() + Text.size() + 64);
    for (std::size_t I = 0; I < Text.size(); ++I)
    {
        if (Text.compare(I, 2, "</") == 0)
        {
            Out += "<\\/";
            ++I;
        }
        else if (Text.compare(I, 4, "<!--") == 0)
        {
            Out += "\\u003c!--";
            I += 3;
        }
        else if (Text.compare(I, 3, "\xE2\x80\xA8") == 0 || Text.compare(I, 3, "\xE2\x80\xA9") == 0)
        {
            Out += Text[I + 2] == '\xA8' ? "\\u2028" : "\\u2029";
            I += 2;
        }
        else
        {
            Out += Text[I];
        }
    }
    return Out + ";\n";
}
