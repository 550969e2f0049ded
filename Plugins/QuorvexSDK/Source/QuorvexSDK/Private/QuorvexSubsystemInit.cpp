// Wiring the subsystem to the engine at Initialize and bringing a running session
// to an orderly end at Deinitialize.
#include "QuorvexSubsystem.h"

#include "HttpModule.h"
#include "QuorvexApiClient.h"
#include "QuorvexCapturePipeline.h"
#include "QuorvexEngineAbi.h"
#include "QuorvexLog.h"
#include "QuorvexOfflineStore.h"

void UQuorvexSubsystem::Initialize(FSubsystemCollectionBase& Collection)
{
    (void)Collection;
    LoadPersistedPreferences();

    const TWeakObjectPtr<UQuorvexSubsystem> WeakThis = Lifetime.MakeWeak(this);
    ApiClient->SetBaseHostUrlProvider(
        [WeakThis]
        {
            const UQuorvexSubsystem* Self = WeakThis.Get();
            return Self ? Self->ResolveBaseHostUrl() : FString();
        });
    ApiClient->SetRetryScheduler(
        [WeakThis](float DelaySeconds, std::function<void()> Retry)
        {
            if (UQuorvexSubsystem* Self = WeakThis.Get())
            {
                Self->ScheduleSdkCallback(DelaySeconds, std::move(Retry));
            }
        });

    FQuorvexEngineAbi::SetBackBufferReadyHandler(
        [Pipeline = CapturePipeline.get()](SWindow* Window, FRHITexture* BackBuffer)
        { Pipeline->OnBackBufferReadyToPresent_RenderThread(Window, BackBuffer); });
    FQuorvexEngineAbi::SetViewportRenderedHandler(
        [Pipeline = CapturePipeline.get()](FViewport* Viewport)
        { Pipeline->OnViewportRendered(Viewport); });
    FQuorvexEngineAbi::Activate();

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
    // The hooks reach the pipeline from the render thread: detach them before the
    // pipeline is released.
    FQuorvexEngineAbi::Deactivate();
    FQuorvexEngineAbi::SetBackBufferReadyHandler(nullptr);
    FQuorvexEngineAbi::SetViewportRenderedHandler(nullptr);

    if (bIsCapturing || bIsPaused)
    {
        StopCaptureInternal("Deinitialize");
    }
    FHttpManager& Http = FHttpModule::Get().GetHttpManager();
    if (bStopFlushPending || bFinalFlushDispatched)
    {
        Http.Flush(EHttpFlushReason::Default);
        if (!bFinalFlushDispatched)
        {
            bStopFlushPending = false;
            bFinalFlushDispatched = true;
            bFinalFlushInline = true;
            DispatchFinalFlush();
            bFinalFlushInline = false;
        }
        Http.Flush(EHttpFlushReason::Default);
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
    if (!bEndSessionSent && Session && !Session->SessionId.empty())
    {
        SendEndSessionAsync();
        Http.Flush(EHttpFlushReason::Default);
    }
    ReleaseCaptureResources();
    WaitForPendingEncodes();
    Http.Flush(EHttpFlushReason::Default);
    OfflineStore->DeleteAllBufferedScreenshotFiles();
    bScreenshotSweepDeferred = false;
}
