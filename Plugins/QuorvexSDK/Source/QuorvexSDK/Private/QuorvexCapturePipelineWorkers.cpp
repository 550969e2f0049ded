// Reading a finished copy: the fallback readback's lock on the render thread, and
// the background workers that convert rows and hand them to the frame callback.
// Nothing here touches the pipeline object itself except through the game-thread
// task that returns it to Idle, so a worker may outlive a Release that timed out.
#include "QuorvexCapturePipeline.h"

#include "D3D12Resource.h"
#include "PlatformTime.h"
#include "QuorvexCapturePipelineRows.h"
#include "QuorvexLog.h"
#include "Tasks.h"

#include <algorithm>

int32 FQuorvexCapturePipeline::DeliverRows(FWorkerJob& Job, const uint8* Pixels, int64 PitchBytes,
                                           FRowScratch& Scratch, int32& OutCaptureMs)
{
    std::lock_guard Lock(Scratch.Mutex);
    Scratch.Bytes.resize(static_cast<size_t>(Job.Width) * 3);
    OutCaptureMs = RoundToMs(FPlatformTime::Seconds() - Job.StartSeconds);
    int32 RowsServed = 0;
    auto RowSource = [&](int32 Row) -> const uint8*
    {
        if (Row < 0 || Row >= Job.Height)
        {
            return nullptr;
        }
        ConvertCaptureRow(Job.Format, Pixels + PitchBytes * Row, Scratch.Bytes.data(), Job.Width);
        ++RowsServed;
        return Scratch.Bytes.data();
    };
    if (Job.Callback && Job.Width >= 1 && Job.Height >= 1)
    {
        Job.Callback(FQuorvexRowSource(RowSource), Job.Width, Job.Height, OutCaptureMs);
    }
    return RowsServed;
}

void FQuorvexCapturePipeline::RunFallbackLock_RenderThread(
    FReadbackRef Readback, FWorkerJob Job, std::shared_ptr<FReadbackCache> Cache,
    std::shared_ptr<FRowScratch> Scratch, std::shared_ptr<std::atomic<int32>> Workers,
    FIdleTicket Ticket)
{
    const double Start = FPlatformTime::Seconds();
    int32 PitchPixels = 0;
    const uint8* Data = static_cast<const uint8*>(Readback->Lock(PitchPixels));
    const double LockMs = (FPlatformTime::Seconds() - Start) * 1000.0;
    const int32 Width = Job.Width;
    const int32 Height = Job.Height;
    if (!Data || PitchPixels <= 0)
    {
        QUORVEX_LOG(Error, "QuorvexSDK: Frame skipped: Readback->Lock returned null Lock=%.1fms",
                    LockMs);
        Readback->Unlock();
        ReturnFallbackReadback(Cache, std::move(Readback));
        Job.Callback = nullptr;
        Workers->fetch_sub(1);
        PostReturnToIdle(std::move(Ticket));
        return;
    }
    QUORVEX_LOG_TIMING("QuorvexSDK: [ReadbackLock] [RT] Lock=%.1fms res=%dx%d pitch=%d", LockMs,
                       Width, Height, PitchPixels);
    AsyncTask(
        ENamedThreads::AnyBackgroundHiPriTask,
        [Data, PitchBytes = static_cast<int64>(PitchPixels) * 4, Job = std::move(Job),
         Readback = std::move(Readback), Cache = std::move(Cache), Scratch = std::move(Scratch),
         Workers = std::move(Workers), Ticket = std::move(Ticket)]() mutable
        {
            const double WorkStart = FPlatformTime::Seconds();
            if (!IsHandledCaptureFormat(Job.Format))
            {
                QUORVEX_LOG(Error, "QuorvexSDK: Frame skipped: unhandled backbuffer format %d",
                            static_cast<int32>(Job.Format));
            }
            else
            {
                int32 CaptureMs = 0;
                const int32 Rows = DeliverRows(Job, Data, PitchBytes, *Scratch, CaptureMs);
                QUORVEX_LOG_TIMING("QuorvexSDK: [ReadbackLock] [BG] Total=%.1fms res=%dx%d "
                                   "fmt=%d rows=%d captureDuration=%dms",
                                   (FPlatformTime::Seconds() - WorkStart) * 1000.0, Job.Width,
                                   Job.Height, static_cast<int32>(Job.Format), Rows, CaptureMs);
            }
            Job.Callback = nullptr; // the consumer's state goes with it, before the count drops
            // The hand-back to Idle follows the unlock, so the next request finds the
            // readback back in the cache instead of making another.
            EnqueueRenderCommand("QuorvexReadbackUnlock",
                                 [Readback = std::move(Readback), Cache = std::move(Cache),
                                  Ticket = std::move(Ticket)]() mutable
                                 {
                                     Readback->Unlock();
                                     ReturnFallbackReadback(Cache, std::move(Readback));
                                     PostReturnToIdle(std::move(Ticket));
                                 });
            Workers->fetch_sub(1);
        });
}

void FQuorvexCapturePipeline::RunNativeWorker(FWorkerJob Job, int32 RowPitch,
                                              ID3D12Resource* Resource, FTextureRHIRef Staging,
                                              std::shared_ptr<FRowScratch> Scratch)
{
    const double Start = FPlatformTime::Seconds();
    if (!IsHandledCaptureFormat(Job.Format))
    {
        QUORVEX_LOG(Error, "QuorvexSDK: Frame skipped: unhandled backbuffer format %d",
                    static_cast<int32>(Job.Format));
        return;
    }
    if (!Staging || !Resource)
    {
        QUORVEX_LOG(Error, "QuorvexSDK: Frame skipped: staging resource released before readback");
        return;
    }
    D3D12_RANGE ReadRange{0, static_cast<uint64>(RowPitch) * static_cast<uint64>(Job.Height)};
    const D3D12_RESOURCE_DESC Desc = Resource->GetDesc();
    if (Desc.Dimension == D3D12_RESOURCE_DIMENSION_BUFFER)
    {
        ReadRange.End = std::min(ReadRange.End, Desc.Width);
    }
    // The last row only needs its pixels, not its padding.
    const uint64 Needed = Job.Height < 1 ? 0
                                         : static_cast<uint64>(RowPitch) * (Job.Height - 1) +
                                               static_cast<uint64>(Job.Width) * 4;
    void* Mapped = nullptr;
    const HRESULT Result =
        ReadRange.End < Needed ? E_INVALIDARG : Resource->Map(0, &ReadRange, &Mapped);
    if (FAILED(Result) || !Mapped)
    {
        QUORVEX_LOG(Error, "QuorvexSDK: Frame skipped: DX12 Map failed HR=0x%08X ptr=%p",
                    static_cast<uint32>(Result), Mapped);
        return;
    }
    const double ReadStart = FPlatformTime::Seconds();
    int32 CaptureMs = 0;
    const int32 Rows =
        DeliverRows(Job, static_cast<const uint8*>(Mapped), RowPitch, *Scratch, CaptureMs);
    const double ReadMs = (FPlatformTime::Seconds() - ReadStart) * 1000.0;
    const D3D12_RANGE Written{0, 0};
    Resource->Unmap(0, &Written);
    Job.Callback = nullptr;
    QUORVEX_LOG_TIMING("QuorvexSDK: [NativeReadback] [BG] Read=%.1fms Total=%.1fms res=%dx%d "
                       "fmt=%d rows=%d",
                       ReadMs, (FPlatformTime::Seconds() - Start) * 1000.0, Job.Width, Job.Height,
                       static_cast<int32>(Job.Format), Rows);
}
