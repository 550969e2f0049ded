// Session start, stop, pause and resume: the gates of the public calls and what
// each call does once its gate lets it through, including the stop flush that the
// tick advances one step per frame.
#include "QuorvexSubsystem.h"

#include "CoreDelegates.h"
#include "QuorvexApiClient.h"
#include "QuorvexCapturePipeline.h"
#include "QuorvexEngineAbi.h"
#include "QuorvexInputTracker.h"
#include "QuorvexLog.h"
#include "QuorvexOfflineStore.h"
#include "QuorvexUploadOrchestrator.h"
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

// One completion that answers both callers, first the earlier one.
FQuorvexLifecycleCompleteNative CombineCompletions(FQuorvexLifecycleCompleteNative First,
                                                   FQuorvexLifecycleCompleteNative Second)
{
    if (!First || !Second)
    {
        return First ? std::move(First) : std::move(Second);
    }
    return [First = std::move(First), Second = std::move(Second)](EQuorvexSdkResponse Response,
                                                                  const FString& Message)
    {
        First(Response, Message);
        Second(Response, Message);
    };
}

// Sends the end-session request of SessionId; its answer is only logged. False when
// there is no endpoint to send it to.
bool SendEndSessionRequest(FQuorvexApiClient& ApiClient, const FString& SessionId,
                           int32 TotalFramesCaptured, int32 TotalEventsRecorded)
{
    if (ApiClient.BuildEndSessionEndpoint(SessionId).empty())
    {
        return false;
    }
    QUORVEX_LOG(Log, "QuorvexSDK: EndSession sessionId=%s", SessionId.c_str());
    FQuorvexEndSessionRequest Request;
    Request.Reason = "UserStopped";
    Request.TotalFramesCaptured = TotalFramesCaptured;
    Request.TotalEventsRecorded = TotalEventsRecorded;
    ApiClient.SendEndSessionAsync(
        SessionId, Request,
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
    return true;
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
    FLifecycleOperation Operation(*this);
    QUORVEX_LOG(Log, "QuorvexSDK: Starting capture (SDK v%s)", SdkVersion().c_str());
    if (GIsEditor)
    {
        QUORVEX_LOG(Warning, "QuorvexSDK: StartSession is not supported in the editor.");
        InvokeLifecycleCallback(
            std::move(OnComplete), EQuorvexSdkResponse::QUORVEX_ERROR_NOT_SUPPORTED,
            BuildGateRejectionMessage(EQuorvexSdkResponse::QUORVEX_ERROR_NOT_SUPPORTED));
        return;
    }
    if (IsStopFlushing())
    {
        // A later queued start supersedes an earlier one; its caller still hears back.
        InvokeLifecycleCallback(
            std::exchange(Lifecycle.PendingStartCompletion, std::move(OnComplete)),
            EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_IDLE,
            BuildGateRejectionMessage(EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_IDLE));
        QueuePendingRestart(InGameIdArg, DeveloperPayloadArg);
        return;
    }
    if (Lifecycle.PublicState != EQuorvexSdkState::SDK_STATE_IDLE)
    {
        QUORVEX_LOG(Warning, "QuorvexSDK: StartSession rejected: state is %s, not idle.",
                    GetSdkStatusString().c_str());
        InvokeLifecycleCallback(
            std::move(OnComplete), EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_IDLE,
            BuildGateRejectionMessage(EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_IDLE));
        return;
    }
    Lifecycle.PendingStartCompletion = std::move(OnComplete);
    Lifecycle.LastSessionFailureMessage.clear();
    StartCaptureInternal(InGameIdArg, DeveloperPayloadArg);
}

void UQuorvexSubsystem::StopSessionNative(FQuorvexLifecycleCompleteNative OnComplete)
{
    FLifecycleOperation Operation(*this);
    if (!IsCaptureRunning() && !IsCapturePaused())
    {
        QUORVEX_LOG(Warning, "QuorvexSDK: StopSession rejected: state is %s.",
                    GetSdkStatusString().c_str());
        InvokeLifecycleCallback(
            std::move(OnComplete), EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_CAPTURING,
            BuildGateRejectionMessage(EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_CAPTURING));
        return;
    }
    Lifecycle.PendingStopCompletion = std::move(OnComplete);
    StopCaptureInternal("ManualOrExternal");
}

EQuorvexSdkResponse UQuorvexSubsystem::PauseSession()
{
    FLifecycleOperation Operation(*this);
    if (!IsCaptureRunning())
    {
        QUORVEX_LOG(Warning, "QuorvexSDK: PauseSession rejected: state is %s, not capturing.",
                    GetSdkStatusString().c_str());
        return EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_CAPTURING;
    }
    MoveTrackedInputToLiveBatch();
    ReleaseCaptureResources();
    SetSdkStatus(EQuorvexInternalState::Paused, "PauseSession");
    QUORVEX_LOG(Log, "QuorvexSDK: Capture paused. sessionId=%s", GetCurrentSessionId().c_str());
    return EQuorvexSdkResponse::QUORVEX_SUCCESS;
}

void UQuorvexSubsystem::ResumeSessionNative(FQuorvexLifecycleCompleteNative OnComplete)
{
    FLifecycleOperation Operation(*this);
    const FString Rejection =
        BuildGateRejectionMessage(EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_PAUSED);
    if (!IsCapturePaused())
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
        SetSdkStatus(EQuorvexInternalState::Idle, "ResumeLostSession");
        InvokeLifecycleCallback(std::move(OnComplete),
                                EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_PAUSED, Rejection);
        return;
    }
    // A pause during the session create leaves the start's completion waiting: the
    // resume that begins capture answers both.
    Lifecycle.PendingStartCompletion =
        CombineCompletions(std::move(Lifecycle.PendingStartCompletion), std::move(OnComplete));
    Lifecycle.LastSessionFailureMessage.clear();
    Cadences.bRealignCaptureSchedule = true;
    Cadences.CaptureAccumulatorSeconds = 0.f;
    Cadences.SendAccumulatorSeconds = 0.f;
    SetSdkStatus(EQuorvexInternalState::Capturing, "ResumeSession");
    SeedCachedMetadata();
    QUORVEX_LOG(Log, "QuorvexSDK: Capture resumed on the same session. sessionId=%s",
                GetCurrentSessionId().c_str());
    ValidateSessionAfterResumeIfStale();
}

void UQuorvexSubsystem::QueuePendingRestart(const FString& InGameIdArg,
                                            const FString& DeveloperPayloadArg)
{
    QueuedStart = {true, InGameIdArg, DeveloperPayloadArg};
    QUORVEX_LOG(Log, "QuorvexSDK: Queued StartSession until stop flush completes");
    SetSdkStatus(EQuorvexInternalState::Stopping, "StartSessionQueued");
}

void UQuorvexSubsystem::StartCaptureInternal(const FString& InGameIdArg,
                                             const FString& DeveloperPayloadArg)
{
    PrepareFreshStart();
    SessionContext.InGameId = FStringUtils::TrimStartAndEnd(InGameIdArg);
    SessionContext.DeveloperPayload = DeveloperPayloadArg;
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
    Cadences.CaptureAccumulatorSeconds = 0.f;
    Cadences.SendAccumulatorSeconds = 0.f;
    // The in-flight count is not zeroed: an upload of the previous session still
    // releases its own slot, and the count never goes below zero.
    EnsureConfigRequested();
}

void UQuorvexSubsystem::PrepareFreshStart()
{
    ClearBufferedEvents(true);
    ReleaseCaptureResources();
    Capture.Pipeline->ResetSessionState();
    InputTracker->Reset();
    Cadences.bRealignCaptureSchedule = false;
    Session.reset();
    ApiClient->ResetSessionState();
    const bool bNoUploadInFlight = Uploads->GetInFlightUploadCount() == 0;
    if (bNoUploadInFlight)
    {
        OfflineStore->ForgetBufferedState();
    }
    DispatchStartupReclamationAsync(bNoUploadInFlight);
    bScreenshotSweepDeferred = false;
    Uploads->ResetForSessionStart();
    SlowNetwork = {};
    StorageStops.Reset();
    Heartbeat = {};
    SessionContext = {};
    // Nothing of the previous session may answer into this one.
    DisownSessionWork();
}

void UQuorvexSubsystem::DisownSessionWork()
{
    CancelEventUploads();
}

bool UQuorvexSubsystem::IsStopFlushing() const
{
    return Uploads->IsStopFlushing();
}

void UQuorvexSubsystem::EnsureConfigRequested()
{
    if (SessionContext.bConfigRequested)
    {
        return;
    }
    SessionContext.bConfigRequested = true;
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
            if (!Self->IsCurrentGeneration(Generation))
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
    FLifecycleOperation Operation(*this);
    if (!IsCurrentGeneration(Generation))
    {
        QUORVEX_LOG_DEBUG("QuorvexSDK: session config response ignored (generation drift)");
        EndSessionOfAbandonedCreate(Result);
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
        SetSessionFailureMessage(Result.ResponseBody.empty() ? Result.Error : Result.ResponseBody);
        if (IsCaptureRunning())
        {
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
        SetSessionFailureMessage(Result.ResponseBody);
        FailSessionStart(ParseError.c_str());
        return;
    }
    if (NewSession->UploadCredentials.UploadUrl.empty())
    {
        QUORVEX_LOG(Error, "QuorvexSDK: Session response carried no usable uploadCredentials; "
                           "capture cannot start.");
        SetSessionFailureMessage(Result.ResponseBody);
        FailSessionStart("session-response-missing-upload-credentials");
        return;
    }
    OnSessionCreated(std::move(NewSession));
}

void UQuorvexSubsystem::EndSessionOfAbandonedCreate(const FQuorvexHttpResult& Result)
{
    FQuorvexSessionData Created;
    FString ParseError;
    if (Result.bSuccess &&
        FQuorvexApiClient::ParseSessionResponse(Result.ResponseBody, Created, ParseError))
    {
        EndAbandonedSession(Created, "its start was stopped before the session was created");
    }
}

void UQuorvexSubsystem::SetSessionFailureMessage(const FString& ServerText)
{
    // The host may show or log it: never hand it a credential or an unbounded text.
    Lifecycle.LastSessionFailureMessage = FQuorvexApiClient::RedactForLog(ServerText);
}

void UQuorvexSubsystem::FailSessionStart(const char* Reason)
{
    DisownSessionWork();
    ClearBufferedEvents(false);
    SetSdkStatus(EQuorvexInternalState::Failed, Reason);
}

void UQuorvexSubsystem::OnSessionCreated(std::shared_ptr<FQuorvexSessionData> NewSession)
{
    Session = std::move(NewSession);
    Uploads->ResetRefreshAttempts();
    Heartbeat.LastOkMs = NowMs();
    Heartbeat.AccumulatorSeconds = 0.f;
    QUORVEX_LOG(Log, "QuorvexSDK: Session created. sessionId=%s provider=%s heartbeat=%ds",
                Session->SessionId.c_str(), Session->StorageProvider.c_str(),
                Session->CaptureConfig.HeartbeatIntervalSeconds);
    SetSdkStatus(EQuorvexInternalState::SessionReady, "session-response-success");
    if (SessionContext.bInGameIdUpdatePending && !SessionContext.bInGameIdUpdateStarted &&
        IsCaptureRunning() && !Session->SessionId.empty())
    {
        TryStartPendingInGameIdUpdate();
    }
    ApplyServerCaptureInterval();
    if (IsCaptureRunning())
    {
        BeginCaptureLoops();
    }
}

void UQuorvexSubsystem::ApplyServerCaptureInterval()
{
    const float Interval = Session->CaptureConfig.CaptureIntervalSeconds;
    if (Interval <= 0.f)
    {
        return;
    }
    CaptureIntervalSeconds.SetUnclamped(Interval);
    // A batch goes out every send interval; a capture interval past any plausible
    // session length means no frame is ever taken, which the host should hear about.
    if (Interval >= MaxUsefulCaptureIntervalSeconds)
    {
        QUORVEX_LOG(Warning,
                    "QuorvexSDK: Server capture interval %.0fs is so long that no screenshot "
                    "will be captured in practice.",
                    static_cast<double>(Interval));
    }
}

void UQuorvexSubsystem::BeginCaptureLoops()
{
    SetSdkStatus(EQuorvexInternalState::Capturing, "BeginCaptureLoops");
    SeedCachedMetadata();
    Cadences.MetadataRefreshAccumulatorSeconds = 0.f;
    QUORVEX_LOG(Log, "QuorvexSDK: Capture started");
}

void UQuorvexSubsystem::StopCaptureInternal(const char* Reason, bool bAbort)
{
    FLifecycleOperation Operation(*this);
    const FString ReasonText = Reason ? Reason : "";
    if (!IsCaptureRunning() && !IsCapturePaused())
    {
        QUORVEX_LOG_DEBUG("QuorvexSDK: Capture already stopped (reason=%s)", ReasonText.c_str());
        return;
    }
    QUORVEX_LOG(Log, "QuorvexSDK: Capture stopped. reason=%s sessionId=%s", ReasonText.c_str(),
                Session ? Session->SessionId.c_str() : "unknown");
    if (const int32 Busy = Capture.Pipeline->GetReadbackBusySkipCount(); Busy > 0)
    {
        QUORVEX_LOG(Log, "QuorvexSDK: Frames skipped due to readback-busy this session: %d", Busy);
    }
    if (const int32 Dropped = Capture.Pipeline->GetReadbackTimeoutCount(); Dropped > 0)
    {
        QUORVEX_LOG(Log, "QuorvexSDK: Frames dropped by the readback watchdog this session: %d",
                    Dropped);
    }
    SetSdkStatus(EQuorvexInternalState::Stopping, Reason);
    ReleaseCaptureResources();
    MoveTrackedInputToLiveBatch();
    if (!Session)
    {
        // The pending session create is abandoned.
        DisownSessionWork();
    }
    StopFlush = {ReasonText, bAbort};
    Uploads->BeginStopFlush();
}

void UQuorvexSubsystem::TickStopFlush(float DeltaTime)
{
    FLifecycleOperation Operation(*this);
    if (Uploads->TickStopFlush(DeltaTime))
    {
        FinalizeStopFlush();
    }
}

bool UQuorvexSubsystem::HasEndableSession() const
{
    return Session && !Session->SessionId.empty() &&
           !FStringUtils::EqualsIgnoreCase(Session->SessionId, "unknown");
}

void UQuorvexSubsystem::SendEndSessionAsync(const FString& SessionId)
{
    if (SendEndSessionRequest(*ApiClient, SessionId, SessionContext.TotalFramesCaptured,
                              SessionContext.TotalEventsRecorded))
    {
        SessionContext.bEndSessionSent = true;
    }
}

void UQuorvexSubsystem::EndAbandonedSession(const FQuorvexSessionData& Abandoned, const char* Why)
{
    if (Abandoned.SessionId.empty())
    {
        return;
    }
    QUORVEX_LOG(Warning, "QuorvexSDK: Ending session %s: %s", Abandoned.SessionId.c_str(), Why);
    SendEndSessionRequest(*ApiClient, Abandoned.SessionId, 0, 0);
}

void UQuorvexSubsystem::FinalizeStopFlush()
{
    ClearBufferedEvents(false);
    // The final batch and the end-session request are out: whatever else the
    // session still has pending must not answer into what comes next.
    DisownSessionWork();
    // A start queued behind this stop keeps its completion until that start reaches
    // capture or fails; the terminal move of the stop must not fail it.
    FQuorvexLifecycleCompleteNative QueuedStartCompletion;
    if (QueuedStart.bQueued)
    {
        QueuedStartCompletion = std::exchange(Lifecycle.PendingStartCompletion, nullptr);
    }
    const FStopFlushState Finished = std::exchange(StopFlush, FStopFlushState{});
    SetSdkStatus(Finished.bAbort ? EQuorvexInternalState::Aborted : EQuorvexInternalState::Stopped,
                 Finished.Reason.empty() ? "StopFlushComplete" : Finished.Reason.c_str());
    if (QueuedStart.bQueued)
    {
        const FQueuedStart Queued = std::exchange(QueuedStart, FQueuedStart{});
        QUORVEX_LOG(Log, "QuorvexSDK: Stop flush complete; starting queued capture");
        Lifecycle.PendingStartCompletion = std::move(QueuedStartCompletion);
        Lifecycle.LastSessionFailureMessage.clear();
        StartCaptureInternal(Queued.InGameId, Queued.DeveloperPayload);
    }
}

void UQuorvexSubsystem::MoveTrackedInputToLiveBatch()
{
    FQuorvexGestures& Live = LiveBatch.Gestures;
    Live.Append({InputTracker->FlushTaps(), InputTracker->FlushSwipes(),
                 InputTracker->FlushLongPresses(), InputTracker->FlushKeyEvents(),
                 InputTracker->FlushMouseButtonEvents(), InputTracker->FlushScrollEvents()});
    InputTracker->Reset();
    QUORVEX_LOG_DEBUG("QuorvexSDK: input moved to the live batch: taps=%zu swipes=%zu "
                      "longPresses=%zu keys=%zu mouseButtons=%zu scrolls=%zu",
                      Live.Taps.size(), Live.Swipes.size(), Live.LongPresses.size(),
                      Live.KeyEvents.size(), Live.MouseButtons.size(), Live.Scrolls.size());
}

void UQuorvexSubsystem::ClearBufferedEvents(bool bPreservePendingBatches)
{
    if (!bPreservePendingBatches)
    {
        OfflineStore->DeleteAllPendingEventBatchFiles();
    }
    if (const int32 Discarded = OfflineStore->DeleteBufferedScreenshotFiles(LiveBatch.Screenshots);
        Discarded > 0)
    {
        QUORVEX_LOG(Log,
                    "QuorvexSDK: discarded %d frame(s) of the live batch that were never uploaded.",
                    Discarded);
    }
    LiveBatch = {};
    InputTracker->Reset();
    if (bPreservePendingBatches)
    {
        return;
    }
    if (Uploads->GetInFlightUploadCount() > 0)
    {
        // An upload in flight may still read these files.
        bScreenshotSweepDeferred = true;
        QUORVEX_LOG_DEBUG(
            "QuorvexSDK: buffered screenshot sweep deferred: %d upload(s) still in flight",
            Uploads->GetInFlightUploadCount());
        return;
    }
    DiscardAllBufferedScreenshots("the session ended before they were uploaded");
    bScreenshotSweepDeferred = false;
}

void UQuorvexSubsystem::DiscardAllBufferedScreenshots(const char* Why)
{
    if (const int32 Discarded = OfflineStore->DeleteAllBufferedScreenshotFiles(); Discarded > 0)
    {
        QUORVEX_LOG(Log, "QuorvexSDK: discarded %d buffered screenshot(s): %s", Discarded, Why);
    }
}
