// Wiring the subsystem to the engine at Initialize and bringing a running session
// to an orderly end at Deinitialize.
#include "QuorvexSubsystem.h"

#include "QuorvexLog.h"

void UQuorvexSubsystem::Initialize(FSubsystemCollectionBase& Collection)
{
    (void)Collection;
    LoadPersistedPreferences();

    auto& Delegates = FCoreDelegates::ApplicationWillEnterBackgroundDelegate();
    BackgroundHandle = Delegates.Add([this] { HandleApplicationBackgrounding(); });
    DeactivateHandle = FCoreDelegates::ApplicationWillDeactivateDelegate().Add(
        [this] { HandleApplicationBackgrounding(); });
    TemperatureHandle = FCoreDelegates::OnTemperatureChange().Add(
        [this](FCoreDelegates::ETemperatureSeverity Severity)
        { HandleTemperatureChanged(Severity); });
    LowPowerHandle = FCoreDelegates::OnLowPowerMode().Add(
        [this](bool bLowPower) { HandleLowPowerModeChanged(bLowPower); });
}

void UQuorvexSubsystem::Deinitialize()
{
    auto Unbind = [](auto& Delegate, FDelegateHandle& Handle)
    {
        if (Handle.IsValid())
        {
            Delegate.Remove(Handle);
            Handle.Reset();
        }
    };
    Unbind(FCoreDelegates::ApplicationWillEnterBackgroundDelegate(), BackgroundHandle);
    Unbind(FCoreDelegates::ApplicationWillDeactivateDelegate(), DeactivateHandle);
    Unbind(FCoreDelegates::OnTemperatureChange(), TemperatureHandle);
    Unbind(FCoreDelegates::OnLowPowerMode(), LowPowerHandle);

    if (bIsCapturing || bIsPaused)
    {
        StopCaptureInternal("Deinitialize");
    }
    if (bStopFlushPending || bFinalFlushDispatched)
    {
        if (!bFinalFlushDispatched)
        {
            bStopFlushPending = false;
            bFinalFlushDispatched = true;
            bFinalFlushInline = true;
            DispatchFinalFlush();
            bFinalFlushInline = false;
        }
        bRestartQueued = false;
        QueuedInGameId.clear();
        QueuedDeveloperPayload.clear();
        bStopFlushPending = false;
        bFinalFlushDispatched = false;
        ClearBufferedEvents(false);
        SetSdkStatus(bStopIsAbort ? EQuorvexInternalState::Aborted : EQuorvexInternalState::Stopped,
                     StopReason.empty() ? "StopFlushComplete" : StopReason.c_str());
        StopReason.clear();
        bStopIsAbort = false;
    }
    ReleaseCaptureResources();
    bScreenshotSweepDeferred = false;
}
