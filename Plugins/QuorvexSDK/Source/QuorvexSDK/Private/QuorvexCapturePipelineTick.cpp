// The game thread's per-tick poll of the frame in flight, the watchdog, and release.
#include "QuorvexCapturePipeline.h"

#include "DynamicRhi.h"
#include "PlatformTime.h"
#include "QuorvexLog.h"
#include "Tasks.h"

#include <chrono>
#include <thread>
#include <utility>

void FQuorvexCapturePipeline::TickReadback()
{
    if (State != EState::InFlight)
    {
        return;
    }
    ++TicksInFlight;
    // "Now > start + timeout" rather than "now - start > timeout": the same test, but
    // exact at the boundary for a clock advanced by exactly the timeout.
    if (TicksInFlight >= ReadbackTimeoutTicks &&
        FPlatformTime::Seconds() > RequestStartSeconds + ReadbackTimeoutSeconds)
    {
        AbortInFlightReadback();
        return;
    }
    if (IsNativeReadbackPathActive())
    {
        TickNativeReadback();
        return;
    }
    TickFallbackReadback();
}

void FQuorvexCapturePipeline::TickFallbackReadback()
{
    // Never polled on the tick it was requested or the next.
    if (!ReadbackInFlight || TicksInFlight < 2)
    {
        return;
    }
    FWorkerJob Job;
    if (!ReadbackInFlight->IsReady() || !TakeRecordedCopy(Job))
    {
        return;
    }
    State = EState::Processing;
    FReadbackRef Readback = std::move(ReadbackInFlight);
    ReadbackInFlight = nullptr;
    Job.StartSeconds = RequestStartSeconds;
    Job.Callback = std::move(ActiveCallback);
    ActiveCallback = nullptr;
    TicksInFlight = 0;
    InFlightWorkers->fetch_add(1);
    EnqueueRenderCommand(
        "QuorvexCaptureReadbackLock",
        [Readback = std::move(Readback), Job = std::move(Job), Cache = ReadbackCache,
         Scratch = RowScratch, Workers = InFlightWorkers, Ticket = MakeIdleTicket()]() mutable
        {
            RunFallbackLock_RenderThread(std::move(Readback), std::move(Job), std::move(Cache),
                                         std::move(Scratch), std::move(Workers), std::move(Ticket));
        });
}

bool FQuorvexCapturePipeline::TakeRecordedCopy(FWorkerJob& Job)
{
    std::lock_guard Lock(RecordedCopyMutex);
    if (RecordedCopy.Serial != FrameSerial)
    {
        return false;
    }
    Job.Format = RecordedCopy.Format;
    Job.Width = RecordedCopy.Width;
    Job.Height = RecordedCopy.Height;
    return true;
}

void FQuorvexCapturePipeline::TickNativeReadback()
{
    FWorkerJob Job;
    if (!NativeFence || !NativeFence->Poll() || !TakeRecordedCopy(Job))
    {
        return;
    }
    const double Start = FPlatformTime::Seconds();
    State = EState::Processing;
    Job.StartSeconds = RequestStartSeconds;
    Job.Callback = std::move(ActiveCallback);
    ActiveCallback = nullptr;
    TicksInFlight = 0;
    QUORVEX_LOG_TIMING("QuorvexSDK: [NativeTick] [GT] FencePoll+Dispatch=%.2fms",
                       (FPlatformTime::Seconds() - Start) * 1000.0);
    InFlightWorkers->fetch_add(1);
    AsyncTask(ENamedThreads::AnyBackgroundHiPriTask,
              [Job = std::move(Job), RowPitch = StagingRowPitch, Resource = NativeResource,
               Staging = StagingTexture, Scratch = RowScratch, Workers = InFlightWorkers,
               Ticket = MakeIdleTicket()]() mutable
              {
                  RunNativeWorker(std::move(Job), RowPitch, Resource, std::move(Staging),
                                  std::move(Scratch));
                  PostReturnToIdle(std::move(Ticket));
                  Workers->fetch_sub(1);
              });
}

void FQuorvexCapturePipeline::AbortInFlightReadback()
{
    ++TimeoutCount;
    if (!bTimeoutLogged)
    {
        bTimeoutLogged = true;
        QUORVEX_LOG(Warning,
                    "QuorvexSDK: Frame dropped: readback did not complete within %.1fs / %d "
                    "ticks. Capture continues; subsequent occurrences will be aggregated and "
                    "reported on Stop.",
                    ReadbackTimeoutSeconds, TicksInFlight);
    }
    ActiveCallback = nullptr; // the consumer never hears of this frame
    PendingCallback = nullptr;
    PendingTargetWidth = PendingTargetHeight = 0;
    TicksInFlight = 0;
    State = EState::Processing;
    EnqueueRenderThreadCancel(true);
}

void FQuorvexCapturePipeline::EnqueueRenderThreadCancel(bool bResetState)
{
    FReadbackRef Readback = std::move(ReadbackInFlight);
    ReadbackInFlight = nullptr;
    EnqueueRenderCommand(
        "QuorvexCancelFrame",
        [this, Readback = std::move(Readback), bResetState, Ticket = MakeIdleTicket()]() mutable
        {
            bArmed.store(false);
            ArmedWindow = nullptr;
            ArmedReadback = nullptr;
            ArmedRect = {};
            ArmedTargetWidth = ArmedTargetHeight = 0;
            Readback.reset();
            if (bResetState)
            {
                PostReturnToIdle(std::move(Ticket));
            }
        });
}

void FQuorvexCapturePipeline::ReleaseNativeResources()
{
    if (State != EState::Idle)
    {
        FlushRenderingCommands();
    }
    StagingTexture = nullptr;
    NativeFence = nullptr;
    NativeResource = nullptr;
    StagingWidth = StagingHeight = 0;
    StagingFormat = PF_Unknown;
    StagingRowPitch = 0;
}

void FQuorvexCapturePipeline::Release()
{
    const bool bWasBusy = State != EState::Idle;
    const bool bCancel = bWasBusy || ReadbackInFlight != nullptr;
    if (bCancel)
    {
        EnqueueRenderThreadCancel(false);
    }
    ReleaseNativeResources(); // flushes when a frame is under way
    if (bCancel || State == EState::Processing)
    {
        FlushRenderingCommands();
    }
    bArmed.store(false);
    ScaleTarget = nullptr;
    ScaleTargetWidth = ScaleTargetHeight = 0;
    EncodeAbortFlag->store(true);
    EncodeAbortFlag->notify_all();

    const double DrainStart = FPlatformTime::Seconds();
    WaitForReadbackWorkers();
    const double DrainMs = (FPlatformTime::Seconds() - DrainStart) * 1000.0;
    if (DrainMs >= 1.0)
    {
        QUORVEX_LOG_TIMING("QuorvexSDK: [Release] [GT] readback drain=%.1fms", DrainMs);
    }
    if (bWasBusy)
    {
        // A worker enqueues its readback's unlock, which puts the readback back in the
        // cache, before its count drops; run that now so the cache is emptied after it.
        FlushRenderingCommands();
    }

    std::vector<std::vector<uint8>> Freed;
    {
        std::lock_guard Lock(BufferPool->Mutex);
        BufferPool->bEnabled = false;
        Freed.swap(BufferPool->FreeBuffers);
    }
    Freed.clear();

    DestroyCachedFallbackReadback();
    ActiveCallback = nullptr;
    PendingCallback = nullptr;
    PendingTargetWidth = PendingTargetHeight = 0;
    TicksInFlight = 0;
    ++FrameSerial; // hand-backs still on their way belong to the frame given up here
    State = EState::Idle;
}

void FQuorvexCapturePipeline::WaitForReadbackWorkers()
{
    if (InFlightWorkers->load() < 1)
    {
        return;
    }
    // Wall-clock deadline: a frozen engine clock must not make this wait forever.
    const auto Deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(ReadbackWorkerDrainTimeoutSeconds));
    while (InFlightWorkers->load() >= 1)
    {
        if (std::chrono::steady_clock::now() >= Deadline)
        {
            QUORVEX_LOG(Error,
                        "QuorvexSDK: Release: %d readback worker(s) still in flight after %.1fs; "
                        "proceeding without waiting.",
                        InFlightWorkers->load(), ReadbackWorkerDrainTimeoutSeconds);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
