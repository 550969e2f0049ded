#include "DemoBackend.h"

#include "DevBackendReplay.h"
#include "UrlEncoding.h"

#include <cstdio>
#include <filesystem>

namespace
{
bool IsRecorderRequest(EDevBackendEndpoint Endpoint)
{
    switch (Endpoint)
    {
    case EDevBackendEndpoint::ObjectList:
    case EDevBackendEndpoint::ObjectDownload:
    case EDevBackendEndpoint::ReplayAsset:
    case EDevBackendEndpoint::ReplaySessionList:
    case EDevBackendEndpoint::ReplaySessionDetail:
    case EDevBackendEndpoint::ReplayFrame:
    case EDevBackendEndpoint::Unknown:
        return false;
    default:
        return true;
    }
}

// The marker that says a folder holds a replay this program wrote, so that it may be
// replaced on the next run; any other non-empty folder is left alone.
constexpr const char* ReplayMarker = ".quorvex-demo-replay";

bool PrepareReplayFolder(const std::filesystem::path& Folder, std::string& OutError)
{
    std::error_code Error;
    if (std::filesystem::exists(Folder, Error))
    {
        const bool bOurs = std::filesystem::exists(Folder / ReplayMarker, Error);
        if (!bOurs && !std::filesystem::is_empty(Folder, Error))
        {
            OutError = "the replay folder " + Folder.string() +
                       " exists and was not written by this program; choose another with --out";
            return false;
        }
        std::filesystem::remove_all(Folder, Error);
    }
    std::filesystem::create_directories(Folder, Error);
    if (Error)
    {
        OutError = "cannot make the replay folder " + Folder.string() + ": " + Error.message();
        return false;
    }
    std::FILE* Marker = std::fopen((Folder / ReplayMarker).c_str(), "w");
    if (Marker)
    {
        std::fclose(Marker);
    }
    return true;
}
} // namespace

FDemoBackend::FDemoBackend(const FDemoOptions& Options)
    : Faults(Options.Faults.empty() ? nullptr : [&]
             {
                 std::string Error;
                 return FDevBackendFaultScript::Make(Options.Faults, Error);
             }()),
      Server(MakeOptions(Options, *this))
{
}

FDevBackendOptions FDemoBackend::MakeOptions(const FDemoOptions& Options, FDemoBackend& Self)
{
    FDevBackendOptions Backend;
    Backend.Port = Options.Port;
    Backend.Store.Style = Options.Store;
    Backend.CaptureConfig["uploadIntervalMs"] =
        static_cast<int64>(Options.IntervalSeconds * 1000.0 + 0.5);
    Backend.CaptureConfig["heartbeatIntervalSeconds"] = 10;
    if (Options.Quality)
    {
        Backend.CaptureConfig["imageQuality"] = *Options.Quality;
    }
    Backend.OnAnswered = [&Self](const FDevBackendRecordedRequest& Record)
    { Self.OnAnswered(Record); };
    return Backend;
}

bool FDemoBackend::Start(std::string& OutError)
{
    if (!Server.Start(OutError))
    {
        OutError = "could not start the dev backend: " + OutError;
        return false;
    }
    if (Faults)
    {
        Faults->Apply(Server);
        std::printf("[fault] script %s: %s\n", Faults->Info().Name, Faults->Info().Description);
    }
    return true;
}

void FDemoBackend::OnAnswered(const FDevBackendRecordedRequest& Record)
{
    // Only what the recorder asked is news: the replay page, the dev listing and stray
    // requests (a browser's favicon) are not.
    if (!IsRecorderRequest(Record.Endpoint))
    {
        return;
    }
    const std::string Injected = Faults ? Faults->OnAnswered(Server, Record)
                                        : FDevBackendFaultScript::DescribeFailure(Record);
    if (!Injected.empty())
    {
        std::printf("[fault] %s\n", Injected.c_str());
    }
    if (IsDevBackendStoreUpload(Record.Endpoint) && Record.Status >= 200 && Record.Status <= 299)
    {
        PrintNewObjects();
    }
}

// One line per batch the store accepted, read back from the archive it holds.
void FDemoBackend::PrintNewObjects()
{
    std::lock_guard Lock(PrintedMutex);
    for (const FDevBackendSession& Session : Server.Sessions().All())
    {
        const nlohmann::json Detail = SessionDetail(Session.Id);
        if (!Detail.is_object() || !Detail["batches"].is_array())
        {
            continue;
        }
        for (const nlohmann::json& Batch : Detail["batches"])
        {
            const std::string Object = Batch.value("object", "");
            if (!PrintedObjects.insert(Session.Id + "/" + Object).second)
            {
                continue;
            }
            int32 Events = 0;
            for (const nlohmann::json& Gesture : Detail["gestures"])
            {
                Events += Gesture.value("objectIndex", -1) == Batch.value("objectIndex", -2);
            }
            std::printf("[upload] batch seq=%lld: %d frame(s), %d input event(s), %lld bytes -> "
                        "%s store (%s)\n",
                        Batch.value("sequenceNumber", 0LL), Batch.value("frames", 0), Events,
                        Batch.value("bytes", 0LL), Batch.value("store", "").c_str(),
                        Object.c_str());
        }
    }
}

nlohmann::json FDemoBackend::SessionDetail(const std::string& SessionId)
{
    const std::optional<nlohmann::json> Found =
        Server.ReplayCatalogue().Detail(Server, SessionId, EDevBackendFrameUrls::Served);
    return Found ? *Found : nlohmann::json();
}

FDemoStoreBooks FDemoBackend::ReadBooks()
{
    FDemoStoreBooks Books;
    for (const FDevBackendSession& Session : Server.Sessions().All())
    {
        Books.SessionIds.push_back(Session.Id);
        const nlohmann::json Detail = SessionDetail(Session.Id);
        if (!Detail.is_object())
        {
            Books.Problems.push_back("the backend could not describe session " + Session.Id);
            continue;
        }
        for (const nlohmann::json& Batch : Detail.value("batches", nlohmann::json::array()))
        {
            ++Books.Batches;
            Books.Bytes += Batch.value("bytes", 0LL);
        }
        Books.Frames += static_cast<int32>(Detail.value("frames", nlohmann::json::array()).size());
        for (const nlohmann::json& Gesture : Detail.value("gestures", nlohmann::json::array()))
        {
            ++Books.GesturesByKind[Gesture.value("kind", "?")];
        }
        Books.GameEvents +=
            static_cast<int32>(Detail.value("gameEvents", nlohmann::json::array()).size());
        for (const nlohmann::json& Problem : Detail.value("problems", nlohmann::json::array()))
        {
            Books.Problems.push_back(Problem.is_string() ? Problem.get<std::string>() : "?");
        }
    }
    return Books;
}

std::string FDemoBackend::ReplayUrl(const std::string& SessionId) const
{
    return Server.ReplayUrl(SessionId);
}

bool FDemoBackend::ExportReplay(const std::string& Folder, std::vector<std::string>& OutPages,
                                std::string& OutError)
{
    const std::filesystem::path Root = std::filesystem::absolute(Folder);
    if (!PrepareReplayFolder(Root, OutError))
    {
        return false;
    }
    const std::vector<FDevBackendSession> Sessions = Server.Sessions().All();
    for (size_t I = 0; I < Sessions.size(); ++I)
    {
        const std::filesystem::path Into =
            Sessions.size() == 1 ? Root : Root / ("session-" + std::to_string(I + 1));
        if (!Server.ExportReplay(Sessions[I].Id, Into.string(), OutError))
        {
            return false;
        }
        OutPages.push_back("file://" + (Into / "index.html").string() +
                           "?session=" + FGenericPlatformHttp::UrlEncode(Sessions[I].Id));
    }
    return true;
}
