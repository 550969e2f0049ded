// Wiring the subsystem to the engine at Initialize and bringing a running session
// to an orderly end at Deinitialize.
#include "QuorvexSubsystem.h"

#include "HttpModule.h"
#include "QuorvexApiClient.h"
#include "QuorvexCapturePipeline.h"
#include "QuorvexEngineAbi.h"
#include "QuorvexInputTracker.h"
#include "QuorvexLog.h"
#include "QuorvexOfflineStore.h"
#include "QuorvexUploadOrchestrator.h"
#include "Tasks.h"

void UQuorvexSubsystem::Initialize(FSubsystemCollectionBase& Collection)
{
    (void)Collection;
    LoadPersistedPreferences();
    // Off the game thread, so the first session create finds it done.
    AsyncTask(ENamedThreads::AnyNormalThreadHiPriTask, [] { ProbeDeviceGraphicsOnce(); });

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
        [Pipeline = Capture.Pipeline.get()](SWindow* Window, FRHITexture* BackBuffer)
        { Pipeline->OnBackBufferReadyToPresent_RenderThread(Window, BackBuffer); });
    FQuorvexEngineAbi::SetViewportRenderedHandler(
        [Pipeline = Capture.Pipeline.get()](FViewport* Viewport)
        { Pipeline->OnViewportRendered(Viewport); });
    FQuorvexEngineAbi::Activate();

    auto& Delegates = FCoreDelegates::ApplicationWillEnterBackgroundDelegate();
    EngineBindings.Background = Delegates.Add([this] { HandleApplicationBackgrounding(); });
    EngineBindings.Deactivate = FCoreDelegates::ApplicationWillDeactivateDelegate().Add(
        [this] { HandleApplicationBackgrounding(); });
    EngineBindings.Temperature = FCoreDelegates::OnTemperatureChange().Add(
        [this](FCoreDelegates::ETemperatureSeverity Severity)
        { HandleTemperatureChanged(Severity); });
    EngineBindings.LowPower = FCoreDelegates::OnLowPowerMode().Add(
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
    Unbind(FCoreDelegates::ApplicationWillEnterBackgroundDelegate(), EngineBindings.Background);
    Unbind(FCoreDelegates::ApplicationWillDeactivateDelegate(), EngineBindings.Deactivate);
    Unbind(FCoreDelegates::OnTemperatureChange(), EngineBindings.Temperature);
    Unbind(FCoreDelegates::OnLowPowerMode(), EngineBindings.LowPower);
    // The hooks reach the pipeline from the render thread: detach them before the
    // pipeline is released.
    FQuorvexEngineAbi::Deactivate();
    FQuorvexEngineAbi::SetBackBufferReadyHandler(nullptr);
    FQuorvexEngineAbi::SetViewportRenderedHandler(nullptr);

    FLifecycleOperation Operation(*this);
    if (IsCaptureRunning() || IsCapturePaused())
    {
        StopCaptureInternal("Deinitialize", /*bAbort=*/true);
    }
    FHttpManager& Http = FHttpModule::Get().GetHttpManager();
    if (IsStopFlushing())
    {
        FinishStopFlushInline(Http);
    }
    if (!SessionContext.bEndSessionSent && Session && !Session->SessionId.empty())
    {
        SendEndSessionAsync(Session->SessionId);
        Http.Flush(EHttpFlushReason::Default);
    }
    ReleaseCaptureResources();
    WaitForPendingEncodes();
    Http.Flush(EHttpFlushReason::Default);
    // Whatever of the session is still under way (an archive a worker is still
    // building, a request past the flush's limit) must not act after teardown.
    CancelEventUploads();
    DiscardAllBufferedScreenshots("the game shut down before they were uploaded");
    bScreenshotSweepDeferred = false;
    InputTracker->Reset();
}

void UQuorvexSubsystem::FinishStopFlushInline(FHttpManager& Http)
{
    Uploads->FinishStopFlushInline(Http);
    // A queued restart never starts during teardown.
    QueuedStart = {};
    ClearBufferedEvents(false);
    const FStopFlushState Finished = std::exchange(StopFlush, FStopFlushState{});
    SetSdkStatus(Finished.bAbort ? EQuorvexInternalState::Aborted : EQuorvexInternalState::Stopped,
                 Finished.Reason.empty() ? "StopFlushComplete" : Finished.Reason.c_str());
}
