// The state machine of the subsystem: internal and public states, completions,
// gate rejections and the getters.
#include "QuorvexSubsystem.h"

#include "PluginManager.h"
#include "QuorvexApiClient.h"
#include "QuorvexCapturePipeline.h"
#include "QuorvexCaptureStep.h"
#include "QuorvexInputTracker.h"
#include "QuorvexLog.h"
#include "QuorvexOfflineStore.h"
#include "QuorvexUploadOrchestrator.h"
#include "StringUtils.h"
#include "Tasks.h"

const char* GetQuorvexSdkResponseDisplayName(EQuorvexSdkResponse Response)
{
    switch (Response)
    {
    case EQuorvexSdkResponse::QUORVEX_SUCCESS:
        return "Success";
    case EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_IDLE:
        return "Error State Not Idle";
    case EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_CAPTURING:
        return "Error State Not Capturing";
    case EQuorvexSdkResponse::QUORVEX_ERROR_NOT_SUPPORTED:
        return "Error Not Supported";
    case EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_PAUSED:
        return "Error State Not Paused";
    case EQuorvexSdkResponse::QUORVEX_ERROR_SESSION_FAILED:
        return "Error Session Failed";
    }
    return "Unknown";
}

UQuorvexSubsystem::UQuorvexSubsystem()
    : ApiClient(std::make_unique<FQuorvexApiClient>()),
      OfflineStore(std::make_shared<FQuorvexOfflineStore>()),
      Capture{std::make_unique<FQuorvexCapturePipeline>(), std::make_shared<std::atomic<int32>>(0),
              std::make_shared<FQuorvexJpegBufferPool>(),
              std::make_shared<FQuorvexEncodeScratch>()},
      InputTracker(std::make_unique<FQuorvexInputTracker>()),
      Uploads(std::make_unique<FQuorvexUploadOrchestrator>(*this))
{
}

UQuorvexSubsystem::~UQuorvexSubsystem() = default;

int32 UQuorvexSubsystem::GetSdkResponseCode(EQuorvexSdkResponse Response)
{
    switch (Response)
    {
    case EQuorvexSdkResponse::QUORVEX_SUCCESS:
        return 0;
    case EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_IDLE:
        return 1000;
    case EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_CAPTURING:
        return 1001;
    case EQuorvexSdkResponse::QUORVEX_ERROR_NOT_SUPPORTED:
        return 1002;
    case EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_PAUSED:
        return 1003;
    case EQuorvexSdkResponse::QUORVEX_ERROR_SESSION_FAILED:
        return 1004;
    }
    return -1;
}

const char* GetQuorvexSdkStateName(EQuorvexSdkState State)
{
    switch (State)
    {
    case EQuorvexSdkState::SDK_STATE_IDLE:
        return "idle";
    case EQuorvexSdkState::SDK_STATE_CAPTURING:
        return "capturing";
    case EQuorvexSdkState::SDK_STATE_STOPPING:
        return "stopping";
    case EQuorvexSdkState::SDK_STATE_PAUSED:
        return "paused";
    default:
        return "unknown";
    }
}

FString UQuorvexSubsystem::GetSdkStatusString() const
{
    return GetQuorvexSdkStateName(Lifecycle.PublicState);
}

const char* UQuorvexSubsystem::InternalStateWord(EQuorvexInternalState State)
{
    switch (State)
    {
    case EQuorvexInternalState::Idle:
        return "idle";
    case EQuorvexInternalState::Initializing:
        return "initializing";
    case EQuorvexInternalState::RequestingSession:
        return "requesting-session";
    case EQuorvexInternalState::SessionReady:
        return "session-ready";
    case EQuorvexInternalState::Capturing:
        return "capturing";
    case EQuorvexInternalState::Uploading:
        return "uploading";
    case EQuorvexInternalState::WaitingForNetwork:
        return "waiting-for-network";
    case EQuorvexInternalState::BufferingOffline:
        return "buffering-offline";
    case EQuorvexInternalState::SlowNetwork:
        return "slow-network";
    case EQuorvexInternalState::Stopping:
        return "stopping";
    case EQuorvexInternalState::Stopped:
        return "stopped";
    case EQuorvexInternalState::Paused:
        return "paused";
    case EQuorvexInternalState::Failed:
        return "failed";
    case EQuorvexInternalState::Aborted:
        return "aborted";
    }
    return "unknown";
}

FString UQuorvexSubsystem::SdkVersion()
{
    // The descriptor does not change while the process runs.
    static const FString Version = []
    {
        const std::shared_ptr<IPlugin> Plugin = IPluginManager::Get().FindPlugin("QuorvexSDK");
        if (!Plugin || Plugin->GetDescriptor().VersionName.empty())
        {
            return FString("unknown");
        }
        return Plugin->GetDescriptor().VersionName;
    }();
    return Version;
}

FString UQuorvexSubsystem::GetSdkVersion() const
{
    return SdkVersion();
}

FString UQuorvexSubsystem::GetCurrentSessionId() const
{
    return Session ? Session->SessionId : FString();
}

EQuorvexSdkState UQuorvexSubsystem::ResolvePublicState(EQuorvexInternalState Internal,
                                                       EQuorvexSdkState Current)
{
    switch (Internal)
    {
    case EQuorvexInternalState::Idle:
    case EQuorvexInternalState::Stopped:
    case EQuorvexInternalState::Failed:
    case EQuorvexInternalState::Aborted:
        return EQuorvexSdkState::SDK_STATE_IDLE;
    case EQuorvexInternalState::Capturing:
        return EQuorvexSdkState::SDK_STATE_CAPTURING;
    case EQuorvexInternalState::Stopping:
        return EQuorvexSdkState::SDK_STATE_STOPPING;
    case EQuorvexInternalState::Paused:
        return EQuorvexSdkState::SDK_STATE_PAUSED;
    default:
        // Session creation and per-upload churn never move the public state, and
        // never overwrite a stop or pause in progress.
        if (Current == EQuorvexSdkState::SDK_STATE_STOPPING ||
            Current == EQuorvexSdkState::SDK_STATE_PAUSED)
        {
            return Current;
        }
        return EQuorvexSdkState::SDK_STATE_CAPTURING;
    }
}

void UQuorvexSubsystem::SetSdkStatus(EQuorvexInternalState NewState, const char* Reason)
{
    if (NewState == Lifecycle.InternalState)
    {
        return;
    }
    const EQuorvexInternalState OldInternal = Lifecycle.InternalState;
    Lifecycle.InternalState = NewState;
    const FString ReasonText = Reason ? Reason : "";
    QUORVEX_LOG(Log, "QuorvexSDK: SDK status %s -> %s%s%s", InternalStateWord(OldInternal),
                InternalStateWord(NewState),
                ReasonText.empty() ? "" : " reason=", ReasonText.c_str());

    const EQuorvexSdkState OldPublic = Lifecycle.PublicState;
    Lifecycle.PublicState = ResolvePublicState(NewState, OldPublic);
    if (Lifecycle.PublicState != OldPublic)
    {
        const EQuorvexSdkState NewPublic = Lifecycle.PublicState;
        if (IsInGameThread())
        {
            StateChanges.Held.push_back({OldPublic, NewPublic, ReasonText});
        }
        else
        {
            AsyncTask(ENamedThreads::GameThread,
                      [WeakThis = Lifetime.MakeWeak(this), OldPublic, NewPublic, ReasonText]
                      {
                          if (UQuorvexSubsystem* Self = WeakThis.Get())
                          {
                              Self->OnSdkStateChanged.Broadcast(OldPublic, NewPublic, ReasonText);
                          }
                      });
        }
    }
    FireLifecycleCompletions(NewState);
    DeliverHeldStateChanges();
}

UQuorvexSubsystem::FLifecycleOperation::FLifecycleOperation(UQuorvexSubsystem& InOwner)
    : Owner(InOwner)
{
    ++Owner.StateChanges.OperationDepth;
}

UQuorvexSubsystem::FLifecycleOperation::~FLifecycleOperation()
{
    --Owner.StateChanges.OperationDepth;
    Owner.DeliverHeldStateChanges();
}

void UQuorvexSubsystem::DeliverHeldStateChanges()
{
    // A handler may start another operation; its events join the queue and go out
    // from this loop, in order, rather than from inside the handler.
    if (StateChanges.OperationDepth > 0 || StateChanges.bDelivering)
    {
        return;
    }
    StateChanges.bDelivering = true;
    for (size_t Index = 0; Index < StateChanges.Held.size(); ++Index)
    {
        const FHeldStateChange Change = StateChanges.Held[Index];
        OnSdkStateChanged.Broadcast(Change.Old, Change.New, Change.Reason);
    }
    StateChanges.Held.clear();
    StateChanges.bDelivering = false;
}

void UQuorvexSubsystem::FireLifecycleCompletions(EQuorvexInternalState NewState)
{
    FQuorvexLifecycleCompleteNative& PendingStart = Lifecycle.PendingStartCompletion;
    FQuorvexLifecycleCompleteNative& PendingStop = Lifecycle.PendingStopCompletion;
    switch (NewState)
    {
    case EQuorvexInternalState::Capturing:
        if (PendingStart)
        {
            InvokeLifecycleCallback(std::exchange(PendingStart, nullptr),
                                    EQuorvexSdkResponse::QUORVEX_SUCCESS, FString());
        }
        break;
    case EQuorvexInternalState::Idle:
    case EQuorvexInternalState::Stopped:
    case EQuorvexInternalState::Failed:
    case EQuorvexInternalState::Aborted:
        if (PendingStart)
        {
            InvokeLifecycleCallback(std::exchange(PendingStart, nullptr),
                                    EQuorvexSdkResponse::QUORVEX_ERROR_SESSION_FAILED,
                                    Lifecycle.LastSessionFailureMessage);
        }
        if (PendingStop)
        {
            InvokeLifecycleCallback(std::exchange(PendingStop, nullptr),
                                    EQuorvexSdkResponse::QUORVEX_SUCCESS, FString());
        }
        break;
    default:
        break;
    }
}

void UQuorvexSubsystem::InvokeLifecycleCallback(FQuorvexLifecycleCompleteNative Callback,
                                                EQuorvexSdkResponse Response,
                                                const FString& Message)
{
    if (!Callback)
    {
        return;
    }
    // Always a later task, so a completion never runs inside the call that produced it.
    AsyncTask(ENamedThreads::GameThread,
              [Callback = std::move(Callback), Response, Message] { Callback(Response, Message); });
}

FString UQuorvexSubsystem::BuildGateRejectionMessage(EQuorvexSdkResponse Response)
{
    const char* Code = "Unknown";
    const char* Message = "The SDK rejected the call.";
    switch (Response)
    {
    case EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_IDLE:
        Code = "StateNotIdle";
        Message = "Start requires the SDK to be idle.";
        break;
    case EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_CAPTURING:
        Code = "StateNotCapturing";
        Message = "The SDK is not capturing.";
        break;
    case EQuorvexSdkResponse::QUORVEX_ERROR_NOT_SUPPORTED:
        Code = "NotSupported";
        Message = "Capture is not supported in the editor.";
        break;
    case EQuorvexSdkResponse::QUORVEX_ERROR_STATE_NOT_PAUSED:
        Code = "StateNotPaused";
        Message = "Resume requires a paused session.";
        break;
    default:
        break;
    }
    return FStringUtils::Printf("{\"success\":false,\"data\":{\"code\":\"%s\",\"message\":\"%s\"}}",
                                Code, Message);
}
