// Session start, stop, pause and resume: the gates of the public calls and what
// each call does once its gate lets it through, including the stop flush that the
// tick advances one step per frame.
#include "QuorvexSubsystem.h"

#include "CoreDelegates.h"
#include "QuorvexApiClient.h"
#include "QuorvexLog.h"
#include "StringUtils.h"

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
    bConfigRequested = false;
    bRealignCaptureSchedule = false;
    Session.reset();
    bScreenshotSweepDeferred = false;
    StopFlushWaitSeconds = 0.f;
    bStorageLimitStopRequested.store(0);
    bStorageFailureStopRequested.store(0);
    bIsPaused = false;
    HeartbeatAccumulatorSeconds = 0.f;
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
    const FString BaseUrl = ResolveBaseHostUrl();
    if (BaseUrl.empty())
    {
        QUORVEX_LOG(Error, "QuorvexSDK: Config endpoint not set; skipping session init");
        return;
    }
    // The session-create request goes out through the backend client; its response
    // lands in the session-response handler, which begins the capture loops.
}

void UQuorvexSubsystem::OnSessionCreated(std::shared_ptr<FQuorvexSessionData> NewSession)
{
    Session = std::move(NewSession);
    HeartbeatAccumulatorSeconds = 0.f;
    QUORVEX_LOG(Log, "QuorvexSDK: Session created. sessionId=%s provider=%s heartbeat=%ds",
                Session->SessionId.c_str(), Session->StorageProvider.c_str(),
                Session->CaptureConfig.HeartbeatIntervalSeconds);
    SetSdkStatus(EQuorvexInternalState::SessionReady, "session-response-success");
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
    SetSdkStatus(EQuorvexInternalState::Stopping, Reason);
    bIsCapturing = false;
    bCaptureStopRequested = true;
    ReleaseCaptureResources();
    if (!Session)
    {
        // The pending session create is abandoned.
        SessionGeneration.fetch_add(1);
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
    // The live batch buffers and the offline store join here as they are built.
    if (!bPreservePendingBatches && InFlightUploadCount > 0)
    {
        bScreenshotSweepDeferred = true;
    }
}

void UQuorvexSubsystem::ReleaseCaptureResources()
{
    // Frees the capture pipeline's pooled buffers once the pipeline is built.
}
