// Session start, stop, pause and resume: the gates of the public calls and what
// each call does once its gate lets it through, including the stop flush that the
// tick advances one step per frame.
#include "QuorvexSubsystem.h"

#include "CoreDelegates.h"
#include "QuorvexApiClient.h"
#include "QuorvexCapturePipeline.h"
#include "QuorvexEngineAbi.h"
#include "QuorvexLog.h"
#include "QuorvexOfflineStore.h"
#include "StringUtils.h"
#include "Tasks.h"

#include <mutex>

namespace
{
FQuorvexLifecycleCompleteNative WrapDynamic(const FQuorvexLifecycleComplete& OnComplete)
{
    return [OnComplete](EQuorvexSdkResponse Response, const FString& Message)
    { OnComplete.ExecuteIfBound(Response, Message); };
}
} // namespace

void UQuorvexSubsystem::StartSession(const FString& InGameIdArg, const FString& DeveloperPayloadArg,
                                     const FQuorvexLifecycleComplete& OnComplete)
{
    StartSessionNative(InGameIdArg, DeveloperPayloadArg, WrapDynamic(OnComplete));
}

void UQuorvexSubsystem::StopSession(const FQuorvexLifecycleComplete& OnComplete)
{
    StopSessionNative(WrapDynamic(OnComplete));
}

void UQuorvexSubsystem::ResumeSession(const FQuorvexLifecycleComplete& OnComplete)
{
    ResumeSessionNative(WrapDynamic(OnComplete));
}

void UQuorvexSubsystem::StartSessionNative(const FString& InGameIdArg,
                                           const FString& DeveloperPayloadArg,
                                           FQuorvexLifecycleCompleteNative OnComplete)
{
    QUORVEX_LOG(Log, "QuorvexSDK: Starting capture (SDK v%s)", SdkVersion().c_str());
    if (GIsEditor)
    {
        QUORVEX_LOG(Warning, "QuorvexSDK: StartSession is not supported in the editor.");
        InvokeLifecycleCallback(
            std::move(OnComplete), EQuorvexSdkResponse::QUORVEX_ERROR_NOT_SUPPORTED,
            BuildGateRejectionMessage(EQuorvexSdkResponse::QUORVEX_ERROR_NOT_SUPPORTED));
        return;
    }
    if (bStopFlushPending || bFinalFlushDispatched)
    {
        // A later queued start supersedes an earlier one; its caller still hears back.
        InvokeLifecycleCallback(
            std::exchange(PendingStartCompletion, std::move(OnComplete)),
            EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_IDLE,
            BuildGateRejectionMessage(EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_IDLE));
        QueuePendingRestart(InGameIdArg, DeveloperPayloadArg);
        return;
    }
    if (PublicState != EQuorvexSdkState::SDK_STATE_IDLE)
    {
        QUORVEX_LOG(Warning, "QuorvexSDK: StartSession rejected: state is %s, not idle.",
                    GetSdkStatusString().c_str());
        InvokeLifecycleCallback(
            std::move(OnComplete), EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_IDLE,
            BuildGateRejectionMessage(EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_IDLE));
        return;
    }
    PendingStartCompletion = std::move(OnComplete);
    LastSessionFailureMessage.clear();
    StartCaptureInternal(InGameIdArg, DeveloperPayloadArg);
}

void UQuorvexSubsystem::StopSessionNative(FQuorvexLifecycleCompleteNative OnComplete)
{
    if (PublicState != EQuorvexSdkState::SDK_STATE_CAPTURING &&
        PublicState != EQuorvexSdkState::SDK_STATE_PAUSED)
    {
        QUORVEX_LOG(Warning, "QuorvexSDK: StopSession rejected: state is %s.",
                    GetSdkStatusString().c_str());
        InvokeLifecycleCallback(
            std::move(OnComplete), EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_CAPTURING,
            BuildGateRejectionMessage(EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_CAPTURING));
        return;
    }
    PendingStopCompletion = std::move(OnComplete);
    StopCaptureInternal("ManualOrExternal");
}

EQuorvexSdkResponse UQuorvexSubsystem::PauseSession()
{
    if (PublicState != EQuorvexSdkState::SDK_STATE_CAPTURING)
    {
        QUORVEX_LOG(Warning, "QuorvexSDK: PauseSession rejected: state is %s, not capturing.",
                    GetSdkStatusString().c_str());
        return EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_CAPTURING;
    }
    bIsPaused = true;
    bIsCapturing = false;
    ReleaseCaptureResources();
    SetSdkStatus(EQuorvexInternalState::Paused, "PauseSession");
    QUORVEX_LOG(Log, "QuorvexSDK: Capture paused. sessionId=%s", GetCurrentSessionId().c_str());
    return EQuorvexSdkResponse::QUORVEX_SUCCESS;
}

void UQuorvexSubsystem::ResumeSessionNative(FQuorvexLifecycleCompleteNative OnComplete)
{
    const FString Rejection =
        BuildGateRejectionMessage(EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_PAUSED);
    if (PublicState != EQuorvexSdkState::SDK_STATE_PAUSED)
    {
        QUORVEX_LOG(Warning, "QuorvexSDK: ResumeSession rejected: state is %s, not paused.",
                    GetSdkStatusString().c_str());
        InvokeLifecycleCallback(std::move(OnComplete),
                                EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_PAUSED, Rejection);
        return;
    }
    if (!Session || Session->SessionId.empty())
    {
        QUORVEX_LOG(Warning, "QuorvexSDK: ResumeSession rejected: the paused session is gone.");
        bIsPaused = false;
        SetSdkStatus(EQuorvexInternalState::Idle, "ResumeLostSession");
        InvokeLifecycleCallback(std::move(OnComplete),
                                EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_PAUSED, Rejection);
        return;
    }
    PendingStartCompletion = std::move(OnComplete);
    LastSessionFailureMessage.clear();
    bIsPaused = false;
    bIsCapturing = true;
    bRealignCaptureSchedule = true;
    CaptureAccumulatorSeconds = 0.f;
    SendAccumulatorSeconds = 0.f;
    SetSdkStatus(EQuorvexInternalState::Capturing, "ResumeSession");
    QUORVEX_LOG(Log, "QuorvexSDK: Capture resumed on the same session. sessionId=%s",
                GetCurrentSessionId().c_str());
    ValidateSessionAfterResumeIfStale();
}

void UQuorvexSubsystem::QueuePendingRestart(const FString& InGameIdArg,
                                            const FString& DeveloperPayloadArg)
{
    bRestartQueued = true;
    QueuedInGameId = InGameIdArg;
    QueuedDeveloperPayload = DeveloperPayloadArg;
    QUORVEX_LOG(Log, "QuorvexSDK: Queued StartSession until stop flush completes");
    SetSdkStatus(EQuorvexInternalState::Stopping, "StartSessionQueued");
}

void UQuorvexSubsystem::StartCaptureInternal(const FString& InGameIdArg,
                                             const FString& DeveloperPayloadArg)
{
    PrepareFreshStart();
    InGameId = FStringUtils::TrimStartAndEnd(InGameIdArg);
    DeveloperPayload = DeveloperPayloadArg;
    bIsCapturing = true;
    static std::once_flag LayoutChecked;
    std::call_once(LayoutChecked,
                   []
                   {
                       FString Reason;
                       if (!FQuorvexEngineAbi::VerifyEngineLayout(Reason))
                       {
                           QUORVEX_LOG(Warning, "QuorvexSDK: %s", Reason.c_str());
                       }
                   });
    SetSdkStatus(EQuorvexInternalState::Initializing, "StartSession");
    bCaptureStopRequested = false;
    NextBatchSequence = 1;
    TotalFramesCaptured = 0;
    TotalEventsRecorded = 0;
    CaptureAccumulatorSeconds = 0.f;
    SendAccumulatorSeconds = 0.f;
    InFlightUploadCount = 0;
    bEndSessionSent = false;
    EnsureConfigRequested();
}

void UQuorvexSubsystem::PrepareFreshStart()
{
    ClearBufferedEvents(true);
    ReleaseCaptureResources();
    CapturePipeline->ResetSessionState();
    bConfigRequested = false;
    bRealignCaptureSchedule = false;
    Session.reset();
    ApiClient->ResetSessionState();
    if (InFlightUploadCount == 0)
    {
        OfflineStore->ForgetBufferedState();
    }
    DispatchStartupReclamationAsync(InFlightUploadCount == 0);
    bScreenshotSweepDeferred = false;
    StopFlushWaitSeconds = 0.f;
    bStorageLimitStopRequested.store(0);
    bStorageFailureStopRequested.store(0);
    bIsPaused = false;
    HeartbeatAccumulatorSeconds = 0.f;
    bHeartbeatInFlight = false;
    bRolloverInFlight = false;
    LastHeartbeatOkMs = 0;
    PendingInGameId.clear();
    bInGameIdUpdatePending = false;
    bInGameIdUpdateStarted = false;
    SessionGeneration.fetch_add(1);
}

void UQuorvexSubsystem::EnsureConfigRequested()
{
    if (bConfigRequested)
    {
        return;
    }
    bConfigRequested = true;
    if (ResolveBaseHostUrl().empty())
    {
        QUORVEX_LOG(Error, "QuorvexSDK: Config endpoint not set; skipping session init");
        return;
    }
    const int32 Generation = SessionGeneration.load();
    EnsureAttributionResolvedAsync(
        [WeakThis = Lifetime.MakeWeak(this), Generation]
        {
            UQuorvexSubsystem* Self = WeakThis.Get();
            if (!Self)
            {
                return;
            }
            if (Self->SessionGeneration.load() != Generation)
            {
                QUORVEX_LOG_DEBUG(
                    "QuorvexSDK: session create abandoned: stopped while resolving attribution");
                return;
            }
            const FQuorvexConfigRequest Payload = Self->BuildConfigPayload();
            QUORVEX_LOG_DEBUG("QuorvexSDK: POST %s",
                              Self->ApiClient->BuildSessionEndpoint().c_str());
            Self->SetSdkStatus(EQuorvexInternalState::RequestingSession, "EnsureConfigRequested");
            Self->ApiClient->CreateSessionAsync(
                Payload,
                [WeakThis, Generation](const FQuorvexHttpResult& Result)
                {
                    if (UQuorvexSubsystem* Owner = WeakThis.Get())
                    {
                        Owner->OnConfigResponse(Result, Generation);
                    }
                });
        });
}

void UQuorvexSubsystem::OnConfigResponse(const FQuorvexHttpResult& Result, int32 Generation)
{
    if (Generation != SessionGeneration.load())
    {
        QUORVEX_LOG_DEBUG("QuorvexSDK: session config response ignored (generation drift)");
        return;
    }
    if (!Result.bSuccess)
    {
        FString Code, Message;
        if (FQuorvexApiClient::IsTerminalSessionCreateResponse(Result, Code, Message))
        {
            QUORVEX_LOG(Error, "QuorvexSDK: Session init refused (terminal). code=%s message=%s",
                        Code.c_str(), Message.c_str());
        }
        else
        {
            QUORVEX_LOG(Error, "QuorvexSDK: Session init failed: %s",
                        FQuorvexApiClient::RedactForLog(Result.Error).c_str());
        }
        LastSessionFailureMessage =
            Result.ResponseBody.empty() ? Result.Error : Result.ResponseBody;
        if (bIsCapturing)
        {
            bIsCapturing = false;
            QUORVEX_LOG(Warning, "QuorvexSDK: Capture start aborted due to session failure");
        }
        FailSessionStart("session-request-failed");
        return;
    }
    auto NewSession = std::make_shared<FQuorvexSessionData>();
    FString ParseError;
    if (!FQuorvexApiClient::ParseSessionResponse(Result.ResponseBody, *NewSession, ParseError))
    {
        QUORVEX_LOG(Error, "QuorvexSDK: Session response unusable: %s", ParseError.c_str());
        LastSessionFailureMessage = Result.ResponseBody;
        bIsCapturing = false;
        FailSessionStart(ParseError.c_str());
        return;
    }
    if (NewSession->UploadCredentials.UploadUrl.empty())
    {
        QUORVEX_LOG(Error, "QuorvexSDK: Session response carried no usable uploadCredentials; "
                           "capture cannot start.");
        LastSessionFailureMessage = Result.ResponseBody;
        bIsCapturing = false;
        FailSessionStart("session-response-missing-upload-credentials");
        return;
    }
    OnSessionCreated(std::move(NewSession));
}

void UQuorvexSubsystem::FailSessionStart(const char* Reason)
{
    SessionGeneration.fetch_add(1);
    ApiClient->CancelInFlightRequests();
    ClearBufferedEvents(false);
    SetSdkStatus(EQuorvexInternalState::Failed, Reason);
}

void UQuorvexSubsystem::OnSessionCreated(std::shared_ptr<FQuorvexSessionData> NewSession)
{
    Session = std::move(NewSession);
    LastHeartbeatOkMs = NowMs();
    HeartbeatAccumulatorSeconds = 0.f;
    QUORVEX_LOG(Log, "QuorvexSDK: Session created. sessionId=%s provider=%s heartbeat=%ds",
                Session->SessionId.c_str(), Session->StorageProvider.c_str(),
                Session->CaptureConfig.HeartbeatIntervalSeconds);
    SetSdkStatus(EQuorvexInternalState::SessionReady, "session-response-success");
    if (bInGameIdUpdatePending && !bInGameIdUpdateStarted && bIsCapturing &&
        !Session->SessionId.empty())
    {
        TryStartPendingInGameIdUpdate();
    }
    if (Session->CaptureConfig.CaptureIntervalSeconds > 0.f)
    {
        CaptureIntervalSeconds.SetUnclamped(Session->CaptureConfig.CaptureIntervalSeconds);
    }
    if (bIsCapturing)
    {
        BeginCaptureLoops();
    }
}

void UQuorvexSubsystem::BeginCaptureLoops()
{
    SetSdkStatus(EQuorvexInternalState::Capturing, "BeginCaptureLoops");
    SeedCachedMetadata();
    MetadataRefreshAccumulatorSeconds = 0.f;
    QUORVEX_LOG(Log, "QuorvexSDK: Capture started");
}

void UQuorvexSubsystem::StopCaptureInternal(const char* Reason)
{
    const FString ReasonText = Reason ? Reason : "";
    if (!bIsCapturing && !bIsPaused)
    {
        QUORVEX_LOG_DEBUG("QuorvexSDK: Capture already stopped (reason=%s)", ReasonText.c_str());
        return;
    }
    bIsPaused = false;
    QUORVEX_LOG(Log, "QuorvexSDK: Capture stopped. reason=%s sessionId=%s", ReasonText.c_str(),
                Session ? Session->SessionId.c_str() : "unknown");
    if (const int32 Busy = CapturePipeline->GetReadbackBusySkipCount(); Busy > 0)
    {
        QUORVEX_LOG(Log, "QuorvexSDK: Frames skipped due to readback-busy this session: %d", Busy);
    }
    if (const int32 Dropped = CapturePipeline->GetReadbackTimeoutCount(); Dropped > 0)
    {
        QUORVEX_LOG(Log, "QuorvexSDK: Frames dropped by the readback watchdog this session: %d",
                    Dropped);
    }
    SetSdkStatus(EQuorvexInternalState::Stopping, Reason);
    bIsCapturing = false;
    bCaptureStopRequested = true;
    ReleaseCaptureResources();
    if (!Session)
    {
        // The pending session create is abandoned.
        SessionGeneration.fetch_add(1);
        ApiClient->CancelInFlightRequests();
    }
    StopFlushWaitSeconds = 0.f;
    bStopFlushPending = true;
    bFinalFlushDispatched = false;
    bStopIsAbort = FStringUtils::ContainsIgnoreCase(ReasonText, "Deinit");
    StopReason = ReasonText;
}

void UQuorvexSubsystem::TickStopFlush(float DeltaTime)
{
    if (bStopFlushPending)
    {
        if (InFlightUploadCount < 1)
        {
            StopFlushWaitSeconds = 0.f;
            bStopFlushPending = false;
            bFinalFlushDispatched = true;
            DispatchFinalFlush();
            return;
        }
        StopFlushWaitSeconds += DeltaTime;
        if (StopFlushWaitSeconds >= StopFlushUploadWaitTimeoutSeconds)
        {
            StopFlushWaitSeconds = 0.f;
            QUORVEX_LOG(Warning,
                        "QuorvexSDK: Stop flush has waited %.0fs for %d in-flight upload(s); "
                        "canceling so the stop can complete. Any batch still in flight is lost.",
                        static_cast<double>(StopFlushUploadWaitTimeoutSeconds),
                        InFlightUploadCount);
            SessionGeneration.fetch_add(1);
            ApiClient->CancelInFlightRequests();
        }
        return;
    }
    if (bFinalFlushDispatched && InFlightUploadCount < 1)
    {
        bFinalFlushDispatched = false;
        FinalizeStopFlush();
    }
}

void UQuorvexSubsystem::DispatchFinalFlush()
{
    SendDataPayload(true, false);
    if (InFlightUploadCount < 1 && HasEndableSession())
    {
        SendEndSessionAsync();
    }
}

bool UQuorvexSubsystem::HasEndableSession() const
{
    return Session && !Session->SessionId.empty() &&
           !FStringUtils::EqualsIgnoreCase(Session->SessionId, "unknown");
}

void UQuorvexSubsystem::SendEndSessionAsync()
{
    if (ApiClient->BuildEndSessionEndpoint(Session->SessionId).empty())
    {
        return;
    }
    bEndSessionSent = true;
    QUORVEX_LOG(Log, "QuorvexSDK: EndSession sessionId=%s", Session->SessionId.c_str());
    FQuorvexEndSessionRequest Request;
    Request.Reason = "UserStopped";
    Request.TotalFramesCaptured = TotalFramesCaptured;
    Request.TotalEventsRecorded = TotalEventsRecorded;
    ApiClient->SendEndSessionAsync(
        Session->SessionId, Request,
        [](const FQuorvexHttpResult& Result)
        {
            if (Result.bSuccess)
            {
                QUORVEX_LOG(Log, "QuorvexSDK: End-session success");
            }
            else if (Result.bCanceled)
            {
                QUORVEX_LOG(Warning,
                            "QuorvexSDK: End-session cancelled before its response arrived; "
                            "the request may already have been delivered.");
            }
            else
            {
                QUORVEX_LOG(Error, "QuorvexSDK: End-session failed: %s",
                            FQuorvexApiClient::RedactForLog(Result.Error).c_str());
            }
        });
}

void UQuorvexSubsystem::FinalizeStopFlush()
{
    ClearBufferedEvents(false);
    // A start queued behind this stop keeps its completion until that start reaches
    // capture or fails; the terminal move of the stop must not fail it.
    FQuorvexLifecycleCompleteNative QueuedStartCompletion;
    if (bRestartQueued)
    {
        QueuedStartCompletion = std::exchange(PendingStartCompletion, nullptr);
    }
    SetSdkStatus(bStopIsAbort ? EQuorvexInternalState::Aborted : EQuorvexInternalState::Stopped,
                 StopReason.empty() ? "StopFlushComplete" : StopReason.c_str());
    StopReason.clear();
    bStopIsAbort = false;
    if (bRestartQueued)
    {
        const FString QueuedId = std::exchange(QueuedInGameId, FString());
        const FString QueuedPayload = std::exchange(QueuedDeveloperPayload, FString());
        bRestartQueued = false;
        QUORVEX_LOG(Log, "QuorvexSDK: Stop flush complete; starting queued capture");
        PendingStartCompletion = std::move(QueuedStartCompletion);
        LastSessionFailureMessage.clear();
        StartCaptureInternal(QueuedId, QueuedPayload);
    }
}

void UQuorvexSubsystem::ClearBufferedEvents(bool bPreservePendingBatches)
{
    if (!bPreservePendingBatches)
    {
        OfflineStore->DeleteAllPendingEventBatchFiles();
    }
    OfflineStore->DeleteBufferedScreenshotFiles(PendingScreenshots);
    PendingScreenshots.clear();
    if (bPreservePendingBatches)
    {
        return;
    }
    if (InFlightUploadCount > 0)
    {
        // An upload in flight may still read these files.
        bScreenshotSweepDeferred = true;
        QUORVEX_LOG_DEBUG(
            "QuorvexSDK: buffered screenshot sweep deferred: %d upload(s) still in flight",
            InFlightUploadCount);
        return;
    }
    OfflineStore->DeleteAllBufferedScreenshotFiles();
    bScreenshotSweepDeferred = false;
}
