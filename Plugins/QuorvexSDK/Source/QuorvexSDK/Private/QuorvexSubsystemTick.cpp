// The per-frame tick and every cadence it drives. There are no timers or threads
// of the SDK's own: every interval is an accumulator of frame times.
#include "QuorvexSubsystem.h"

#include "DateTime.h"
#include "PlatformInfo.h"
#include "PlatformTime.h"
#include "QuorvexCapturePipeline.h"
#include "QuorvexInputTracker.h"
#include "QuorvexLog.h"
#include "QuorvexOfflineStore.h"
#include "QuorvexUploadOrchestrator.h"
#include "Tasks.h"
#include "World.h"

#include <algorithm>

namespace
{
struct FTakenSample
{
    int32 MemoryMb = 0;
    int32 CpuPercent = -1;
    int32 BatteryLevel = -1;
};

FTakenSample TakeSystemSample()
{
    FTakenSample Sample;
    Sample.MemoryMb = static_cast<int32>(FPlatformMemory::GetStats().UsedPhysical >> 20);
    Sample.CpuPercent = static_cast<int32>(FPlatformTime::GetCPUTime().CPUTimePct);
    Sample.BatteryLevel = FPlatformMisc::GetBatteryLevel();
    return Sample;
}
} // namespace

int64 UQuorvexSubsystem::NowMs()
{
    const FDateTime Now = FDateTime::UtcNow();
    return Now.ToUnixTimestamp() * 1000 + Now.GetMillisecond();
}

bool UQuorvexSubsystem::IsTickable() const
{
    // Uploads still in flight may wait on a retry of the tick's schedule.
    return IsCaptureRunning() || IsCapturePaused() || IsStopFlushing() ||
           bScreenshotSweepDeferred || Uploads->GetInFlightUploadCount() > 0;
}

void UQuorvexSubsystem::Tick(float DeltaTime)
{
    TickSdkSchedules();
    TickStopFlush(DeltaTime);

    RunDeferredScreenshotSweep();

    if (!IsCaptureRunning() && !IsCapturePaused())
    {
        return;
    }

    TickHeartbeat(DeltaTime);
    TickMetadataRefresh(DeltaTime);

    if (IsCaptureRunning())
    {
        TickCapture(DeltaTime);
    }

    Cadences.SendAccumulatorSeconds += DeltaTime;
    const float SendInterval = GetSendIntervalSeconds();
    if (Cadences.SendAccumulatorSeconds >= SendInterval)
    {
        Cadences.SendAccumulatorSeconds -= SendInterval;
        ++Cadences.Counters.Sends;
        SendDataPayload(false, false);
    }
}

void UQuorvexSubsystem::RunDeferredScreenshotSweep()
{
    if (bScreenshotSweepDeferred && !IsCaptureRunning() && !IsCapturePaused() &&
        Uploads->GetInFlightUploadCount() < 1)
    {
        bScreenshotSweepDeferred = false;
        DiscardAllBufferedScreenshots("the session ended before they were uploaded");
        QUORVEX_LOG_DEBUG("QuorvexSDK: deferred buffered screenshot sweep completed");
    }
}

void UQuorvexSubsystem::TickCapture(float DeltaTime)
{
    const UWorld* World = GetWorld();
    InputTracker->Tick(DeltaTime, World ? World->GetFirstPlayerController() : nullptr);
    Capture.Pipeline->TickReadback();
    float& Accumulator = Cadences.CaptureAccumulatorSeconds;
    if (Session && Cadences.bRealignCaptureSchedule)
    {
        Cadences.bRealignCaptureSchedule = false;
        Accumulator = 0.f;
        QUORVEX_LOG_DEBUG("QuorvexSDK: realigning capture schedule after mobile resume");
        return;
    }
    const float Interval = Session ? TickThermalBackoff() : 0.f;
    if (Interval <= 0.f)
    {
        Accumulator = 0.f;
        return;
    }
    Accumulator += DeltaTime;
    if (Accumulator >= Interval)
    {
        Accumulator -= Interval;
        ++Cadences.Counters.Captures;
        CaptureScreenshot();
    }
}

float UQuorvexSubsystem::GetSendIntervalSeconds() const
{
    const int32 IntervalMs = Session ? Session->CaptureConfig.UploadIntervalMs : 60000;
    return std::max(0.1f, static_cast<float>(IntervalMs) * 0.001f);
}

void UQuorvexSubsystem::ScheduleSdkCallback(float DelaySeconds, std::function<void()> Callback)
{
    const double Due = FPlatformTime::Seconds() + DelaySeconds;
    std::lock_guard Lock(ScheduleLock);
    Schedules.push_back({Due, std::move(Callback)});
}

void UQuorvexSubsystem::TickSdkSchedules()
{
    const double Now = FPlatformTime::Seconds();
    std::vector<std::function<void()>> Due;
    {
        std::lock_guard Lock(ScheduleLock);
        for (size_t Index = Schedules.size(); Index-- > 0;)
        {
            if (Schedules[Index].DueSeconds <= Now)
            {
                Due.push_back(std::move(Schedules[Index].Callback));
                Schedules[Index] = std::move(Schedules.back());
                Schedules.pop_back();
            }
        }
    }
    // Outside the lock: callbacks may schedule more, which wait for a later tick.
    for (std::function<void()>& Callback : Due)
    {
        if (Callback)
        {
            Callback();
        }
    }
}

void UQuorvexSubsystem::TickMetadataRefresh(float DeltaTime)
{
    float& Accumulator = Cadences.MetadataRefreshAccumulatorSeconds;
    Accumulator += DeltaTime;
    if (Accumulator < MetadataRefreshIntervalSeconds)
    {
        return;
    }
    Accumulator = 0.f;
    AsyncTask(ENamedThreads::AnyNormalThreadHiPriTask,
              [WeakThis = Lifetime.MakeWeak(this)]
              {
                  const FTakenSample Sample = TakeSystemSample();
                  AsyncTask(ENamedThreads::GameThread,
                            [WeakThis, Sample]
                            {
                                if (UQuorvexSubsystem* Self = WeakThis.Get())
                                {
                                    Self->StoreSystemSample(Sample.MemoryMb, Sample.CpuPercent,
                                                            Sample.BatteryLevel);
                                }
                            });
              });
}

void UQuorvexSubsystem::SeedCachedMetadata()
{
    const FTakenSample Sample = TakeSystemSample();
    StoreSystemSample(Sample.MemoryMb, Sample.CpuPercent, Sample.BatteryLevel);
}

void UQuorvexSubsystem::StoreSystemSample(int32 MemoryMb, int32 CpuPercent, int32 BatteryLevel)
{
    SystemSample = {MemoryMb, CpuPercent, BatteryLevel};
    QUORVEX_LOG_DEBUG("QuorvexSDK: CPU usage=%d%% memory=%dMB", CpuPercent, MemoryMb);
}

float UQuorvexSubsystem::TickThermalBackoff()
{
    using ESeverity = FCoreDelegates::ETemperatureSeverity;
    const ESeverity Severity = PlatformSignals.TemperatureSeverity.load();
    const bool bLowPower = PlatformSignals.bLowPowerMode.load();

    float Factor = 1.0f;
    switch (Severity)
    {
    case ESeverity::Bad:
        Factor = 2.0f;
        break;
    case ESeverity::Serious:
        Factor = 4.0f;
        break;
    case ESeverity::Critical:
        Factor = 0.0f;
        break;
    default:
        break;
    }
    // Low-power mode slows capture down but never lifts a thermal suspension.
    if (bLowPower && Factor != 0.0f)
    {
        Factor = std::max(Factor, 4.0f);
    }

    if (Factor != Cadences.ThermalIntervalFactor)
    {
        if (Factor == 0.0f)
        {
            QUORVEX_LOG(Warning, "QuorvexSDK: Capture suspended: device thermal state is Critical");
        }
        else if (Cadences.ThermalIntervalFactor == 0.0f)
        {
            QUORVEX_LOG(
                Log, "QuorvexSDK: Capture resumed after thermal suspension. intervalFactor=%.0fx",
                static_cast<double>(Factor));
        }
        else
        {
            QUORVEX_LOG(Log,
                        "QuorvexSDK: Capture interval backoff changed. severity=%u lowPower=%s "
                        "intervalFactor=%.0fx",
                        static_cast<unsigned>(Severity), bLowPower ? "true" : "false",
                        static_cast<double>(Factor));
        }
        Cadences.ThermalIntervalFactor = Factor;
    }
    return Factor > 0.0f ? Factor * CaptureIntervalSeconds.Get() : 0.0f;
}

void UQuorvexSubsystem::HandleTemperatureChanged(FCoreDelegates::ETemperatureSeverity Severity)
{
    PlatformSignals.TemperatureSeverity.store(Severity);
}

void UQuorvexSubsystem::HandleLowPowerModeChanged(bool bLowPower)
{
    PlatformSignals.bLowPowerMode.store(bLowPower);
}

void UQuorvexSubsystem::HandleApplicationBackgrounding()
{
    // Desktop platforms keep recording in the background; nothing to do.
}

void UQuorvexSubsystem::SendDataPayload(bool bFinalFlush, bool bDrainOnly)
{
    Uploads->SendDataPayload(bFinalFlush, bDrainOnly);
}

void UQuorvexSubsystem::UploadBatchAsync(FQuorvexBatchUpload Upload)
{
    Uploads->UploadBatchAsync(std::move(Upload));
}

void UQuorvexSubsystem::UploadZipWithRefreshRetry(FQuorvexBatchUpload Upload,
                                                  bool bCredentialsJustRefreshed)
{
    Uploads->UploadZipWithRefreshRetry(std::move(Upload), bCredentialsJustRefreshed);
}

void UQuorvexSubsystem::ReleaseInFlightUpload()
{
    Uploads->ReleaseInFlightUpload();
}

void UQuorvexSubsystem::CancelEventUploads()
{
    Uploads->CancelEventUploads();
}
