// The server core: start and stop, and the path of every request through the log,
// the scripts and the handlers.
#include "DevBackendServer.h"

#include "DevBackendConnectionFaults.h"
#include "DevBackendCredentialBook.h"
#include "DevBackendHandlers.h"
#include "DevBackendHttpHost.h"
#include "DevBackendRedaction.h"
#include "DevBackendReplay.h"
#include "DevBackendReplayRoutes.h"
#include "DevBackendReplies.h"
#include "DevBackendRouter.h"
#include "DevBackendScriptBook.h"
#include "DevBackendStores.h"
#include "Guid.h"
#include "StringUtils.h"

#include <utility>

namespace
{
std::string MakeSecret()
{
    return FStringUtils::ToLower(FGuid::NewGuid().ToString(EGuidFormats::Digits) +
                                 FGuid::NewGuid().ToString(EGuidFormats::Digits));
}

std::string MakeBaseUrl(const std::string& Host, int Port)
{
    const bool bIpv6 = Host.find(':') != std::string::npos;
    return "http://" + (bIpv6 ? "[" + Host + "]" : Host) + ":" + std::to_string(Port);
}

FDevBackendReply UnknownRoute(const FDevBackendRequest& Request, bool bPathKnown)
{
    const std::string What = Request.Method + " " + Request.Path;
    if (bPathKnown)
    {
        return DevBackendError(405, DevBackendCodes::MethodNotAllowed,
                               "Method not allowed: " + What);
    }
    return DevBackendError(404, DevBackendCodes::NotFound, "No route for " + What);
}
} // namespace

nlohmann::json FDevBackendOptions::DefaultCaptureConfig()
{
    return {
        {"uploadIntervalMs", 60000},
        {"imageQuality", 75},
        {"maxStorageSizeMb", 100},
        {"useMobileDataForUploads", false},
        {"captureMode", "screenshot"},
        {"captureIntervalSeconds", 1.0},
        {"imageFormat", "jpeg"},
        {"minUploadBitsPerSecond", 1000000},
        {"stopCaptureCpuUsagePercent", 80},
        {"heartbeatIntervalSeconds", 30},
        {"resolution", {{"width", 0}, {"height", 0}}},
    };
}

FDevBackendServer::FDevBackendServer(FDevBackendOptions InOptions)
    : Scripts(std::make_unique<FDevBackendScriptBook>()),
      CredentialBook(std::make_unique<FDevBackendCredentialBook>()),
      ObjectStore(InOptions.DataFolder), Replay(std::make_unique<FDevBackendReplayCatalogue>()),
      Secret(MakeSecret()), Options(std::move(InOptions))
{
}

FDevBackendServer::~FDevBackendServer()
{
    Stop();
}

bool FDevBackendServer::Start(std::string& OutError)
{
    if (Host)
    {
        OutError = "the dev backend is already running at " + BaseUrl();
        return false;
    }
    std::string HostName;
    int RequestedPort = 0;
    int Workers = 0;
    {
        std::lock_guard Lock(OptionsMutex);
        HostName = Options.Host;
        RequestedPort = Options.Port;
        Workers = Options.WorkerThreads;
    }
    if (!ObjectStore.Open(OutError))
    {
        return false;
    }
    Scripts->Reopen();
    Host = std::make_unique<FDevBackendHttpHost>(
        [this](const FDevBackendRequest& Request) { return Dispatch(Request); },
        [](const std::string& Method, const std::string& Target)
        { return IsDevBackendStoreUpload(RouteDevBackendRequest(Method, Target).Endpoint); },
        Workers);
    int Bound = 0;
    if (!Host->Start(HostName, RequestedPort, Bound, OutError))
    {
        Host.reset();
        return false;
    }
    {
        std::lock_guard Lock(OptionsMutex);
        Base = MakeBaseUrl(HostName, Bound);
    }
    BoundPort = Bound;
    bRunning = true;
    return true;
}

void FDevBackendServer::Stop()
{
    if (!Host)
    {
        return;
    }
    // Held and delayed requests are dropped first, so that no worker is left waiting
    // for a release that will never come and the host can join its workers.
    Scripts->Shutdown();
    Host->Stop();
    Host.reset();
    bRunning = false;
    BoundPort = 0;
    std::lock_guard Lock(OptionsMutex);
    Base.clear();
}

std::string FDevBackendServer::BaseUrl() const
{
    std::lock_guard Lock(OptionsMutex);
    return Base;
}

void FDevBackendServer::Script(EDevBackendEndpoint Endpoint, std::vector<FDevBackendAnswer> Answers)
{
    Scripts->Queue(Endpoint, std::move(Answers));
}

void FDevBackendServer::ScriptAlways(EDevBackendEndpoint Endpoint, FDevBackendAnswer Answer)
{
    Scripts->SetStanding(Endpoint, std::move(Answer));
}

void FDevBackendServer::ClearScripts()
{
    Scripts->Clear();
}

void FDevBackendServer::ReleaseStalled()
{
    Scripts->ReleaseStalled();
}

int FDevBackendServer::StalledCount() const
{
    return Scripts->StalledCount();
}

bool FDevBackendServer::WaitForStalled(int Count, std::chrono::milliseconds Timeout)
{
    return Scripts->WaitForStalled(Count, Timeout);
}

void FDevBackendServer::SetStore(EDevBackendStore Style)
{
    std::lock_guard Lock(OptionsMutex);
    Options.Store.Style = Style;
}

FDevBackendStoreOptions FDevBackendServer::StoreOptions() const
{
    std::lock_guard Lock(OptionsMutex);
    return Options.Store;
}

void FDevBackendServer::SetStoreOptions(const FDevBackendStoreOptions& Store)
{
    std::lock_guard Lock(OptionsMutex);
    Options.Store = Store;
}

void FDevBackendServer::SetCaptureConfig(const nlohmann::json& CaptureConfig)
{
    std::lock_guard Lock(OptionsMutex);
    Options.CaptureConfig = CaptureConfig;
}

void FDevBackendServer::SetDeadSessionHeartbeatStatus(int Status)
{
    std::lock_guard Lock(OptionsMutex);
    Options.DeadSessionHeartbeatStatus = Status;
}

FDevBackendReply FDevBackendServer::Dispatch(const FDevBackendRequest& Incoming)
{
    const FDevBackendRoute Route = RouteDevBackendRequest(Incoming.Method, Incoming.Target);
    FDevBackendRequest Request = Incoming;
    Request.Path = Route.DecodedPath;
    Request.PathSessionId = Route.PathSessionId;
    const std::size_t Index = Log.Append(RedactDevBackendRequest(Request), Route.Endpoint);

    FDevBackendReply Reply;
    const FDevBackendAnswer Answer = Scripts->Take(Route.Endpoint);
    if (Answer.bWithholdContinue && Request.Connection)
    {
        Request.Connection->WithholdContinue();
    }
    if (!Scripts->Wait(Answer))
    {
        Reply.bDrop = true; // the server is stopping
    }
    else if (Route.Endpoint == EDevBackendEndpoint::Unknown &&
             Answer.Action == EDevBackendAction::Handle)
    {
        Reply = UnknownRoute(Request, Route.bPathKnown);
    }
    else
    {
        Reply = Act(Answer, Route.Endpoint, Request);
    }
    FDevBackendReply Logged = Reply;
    Logged.Body = RedactDevBackendAnswerBody(Reply.Body);
    Log.Complete(Index, Logged);

    std::function<void(const FDevBackendRecordedRequest&)> Observer;
    {
        std::lock_guard Lock(OptionsMutex);
        Observer = Options.OnAnswered;
    }
    if (Observer)
    {
        if (const std::optional<FDevBackendRecordedRequest> Record = Log.At(Index))
        {
            Observer(*Record);
        }
    }
    return Reply;
}

FDevBackendReply FDevBackendServer::Act(const FDevBackendAnswer& Answer,
                                        EDevBackendEndpoint Endpoint,
                                        const FDevBackendRequest& Request)
{
    FDevBackendReply Reply;
    switch (Answer.Action)
    {
    case EDevBackendAction::Handle:
        if (Answer.DripBytesPerSecond > 0 && Request.Connection)
        {
            FDevBackendDripConnection Drip(*Request.Connection, Answer.DripBytesPerSecond,
                                           [this](std::chrono::microseconds Duration)
                                           { return Scripts->Pause(Duration); });
            FDevBackendRequest Dripped = Request;
            Dripped.Connection = &Drip;
            return Handle(Endpoint, Dripped);
        }
        return Handle(Endpoint, Request);
    case EDevBackendAction::Respond:
        Reply.Status = Answer.Status;
        Reply.Body = Answer.Body;
        Reply.ContentType = Answer.ContentType;
        Reply.Headers = Answer.Headers;
        return Reply;
    case EDevBackendAction::Drop:
        Reply.bDrop = true;
        return Reply;
    case EDevBackendAction::Reset:
        if (Request.Connection)
        {
            return DevBackendResetMidBody(*Request.Connection, Answer.ResetAfterBytes);
        }
        Reply.bDrop = true;
        return Reply;
    }
    return Reply;
}

FDevBackendReply FDevBackendServer::Handle(EDevBackendEndpoint Endpoint,
                                           const FDevBackendRequest& Request)
{
    FDevBackendOptions Snapshot;
    std::string SnapshotBase;
    {
        std::lock_guard Lock(OptionsMutex);
        Snapshot = Options;
        SnapshotBase = Base;
    }
    FDevBackendHandlerContext Context{SessionStore, *CredentialBook, Snapshot, SnapshotBase,
                                      Secret};
    switch (Endpoint)
    {
    case EDevBackendEndpoint::SessionCreate:
        return HandleSessionCreate(Request, Context);
    case EDevBackendEndpoint::SessionUpdate:
        return HandleSessionUpdate(Request, Context);
    case EDevBackendEndpoint::Heartbeat:
        return HandleHeartbeat(Request, Context);
    case EDevBackendEndpoint::EndSession:
        return HandleEndSession(Request, Context);
    case EDevBackendEndpoint::RefreshUploadUrl:
        return HandleRefreshUploadUrl(Request, Context);
    case EDevBackendEndpoint::GameEvent:
        return HandleGameEvent(Request, Context);
    case EDevBackendEndpoint::StoreGcs:
    case EDevBackendEndpoint::StoreB2:
    case EDevBackendEndpoint::StoreSignedPut:
    case EDevBackendEndpoint::ObjectList:
    case EDevBackendEndpoint::ObjectDownload:
        return HandleStore(Endpoint, Request, Snapshot);
    case EDevBackendEndpoint::ReplayAsset:
    case EDevBackendEndpoint::ReplaySessionList:
    case EDevBackendEndpoint::ReplaySessionDetail:
    case EDevBackendEndpoint::ReplayFrame:
        return HandleReplayRequest(Endpoint, Request, *this, *Replay);
    case EDevBackendEndpoint::Unknown:
        break;
    }
    return UnknownRoute(Request, false);
}

FDevBackendReply FDevBackendServer::HandleStore(EDevBackendEndpoint Endpoint,
                                                const FDevBackendRequest& Request,
                                                const FDevBackendOptions& Snapshot)
{
    FDevBackendStoreContext Context{ObjectStore, *CredentialBook, Snapshot.Store, Secret};
    switch (Endpoint)
    {
    case EDevBackendEndpoint::StoreGcs:
        return HandleGcsUpload(Request, Context);
    case EDevBackendEndpoint::StoreB2:
        return HandleB2Upload(Request, Context);
    case EDevBackendEndpoint::StoreSignedPut:
        return HandleSignedPutUpload(Request, Context);
    case EDevBackendEndpoint::ObjectList:
        return HandleObjectList(Request, Context);
    case EDevBackendEndpoint::ObjectDownload:
        return HandleObjectDownload(Request, Context);
    default:
        break;
    }
    return UnknownRoute(Request, false);
}

std::vector<FDevBackendObject> FDevBackendServer::Objects(const std::string& SessionId) const
{
    return ObjectStore.Objects(SessionId);
}
