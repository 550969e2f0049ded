// Stops that the storage guards trigger: the buffered data outgrew its limit, or
// screenshots can no longer be written. They may be reported from any thread.
#include "QuorvexSubsystem.h"

#include "QuorvexApiClient.h"
#include "QuorvexLog.h"
#include "StringUtils.h"
#include "Tasks.h"

namespace
{
// Runs Stop on the game thread: at once when already there, else in a posted task
// that does nothing if the subsystem is gone by then.
void OnGameThread(TWeakObjectPtr<UQuorvexSubsystem> WeakThis, void (UQuorvexSubsystem::*Stop)())
{
    if (IsInGameThread())
    {
        if (UQuorvexSubsystem* Self = WeakThis.Get())
        {
            (Self->*Stop)();
        }
        return;
    }
    AsyncTask(ENamedThreads::GameThread,
              [WeakThis, Stop]
              {
                  if (UQuorvexSubsystem* Self = WeakThis.Get())
                  {
                      (Self->*Stop)();
                  }
              });
}
} // namespace

void UQuorvexSubsystem::RequestStopCaptureDueToStorageLimit()
{
    if (StorageStops.bLimitRequested.exchange(1) != 0)
    {
        return;
    }
    OnGameThread(Lifetime.MakeWeak(this), &UQuorvexSubsystem::StopCaptureDueToStorageLimit);
}

void UQuorvexSubsystem::RequestStopCaptureDueToPersistentStorageFailure()
{
    if (StorageStops.bFailureRequested.exchange(1) != 0)
    {
        return;
    }
    QUORVEX_LOG(Warning,
                "QuorvexSDK: Persistent screenshot storage failed. Requesting session stop.");
    OnGameThread(Lifetime.MakeWeak(this),
                 &UQuorvexSubsystem::StopCaptureDueToPersistentStorageFailure);
}

void UQuorvexSubsystem::StopCaptureDueToStorageLimit()
{
    const int64 LimitMb = Session && Session->CaptureConfig.MaxStorageSizeMb > 0
                              ? Session->CaptureConfig.MaxStorageSizeMb
                              : DefaultMaxStorageSizeMb;
    StopCaptureForStorage(
        StorageStops.bLimitRequested,
        FStringUtils::Printf("StorageLimit(%lldMB)", static_cast<long long>(LimitMb)),
        "BufferedStorageSizeLimit");
}

void UQuorvexSubsystem::StopCaptureDueToPersistentStorageFailure()
{
    StopCaptureForStorage(StorageStops.bFailureRequested, "PersistentStorageFailure",
                          "PersistentStorageFailure");
}

void UQuorvexSubsystem::StopCaptureForStorage(std::atomic<int32>& OnceFlag,
                                              const FString& LogReason, const char* StateReason)
{
    FLifecycleOperation Operation(*this);
    if (!IsCaptureRunning())
    {
        OnceFlag.store(0);
        return;
    }
    QUORVEX_LOG(Warning, "QuorvexSDK: Capture stopped. reason=%s sessionId=%s", LogReason.c_str(),
                Session ? Session->SessionId.c_str() : "unknown");
    ReleaseCaptureResources();
    ClearBufferedEvents(false);
    DisownSessionWork();
    OnceFlag.store(0);
    SetSdkStatus(EQuorvexInternalState::Stopping, StateReason);
    SetSdkStatus(EQuorvexInternalState::Stopped, StateReason);
}
