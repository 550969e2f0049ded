// The screenshot step: on the game thread it decides whether a frame may be taken
// and requests it; on the pipeline's worker it resamples, encodes and stores the
// frame, and hands the record back to the game thread.
#include "QuorvexCaptureStep.h"
#include "QuorvexSubsystem.h"

#include "PlatformTime.h"
#include "QuorvexCapturePipeline.h"
#include "QuorvexJpegEncoder.h"
#include "QuorvexLog.h"
#include "QuorvexOfflineStore.h"
#include "Tasks.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

std::vector<uint8> FQuorvexJpegBufferPool::Take()
{
    std::lock_guard Lock(Mutex);
    if (!bHasFree)
    {
        return {};
    }
    bHasFree = false;
    return std::move(FreeBuffer);
}

void FQuorvexJpegBufferPool::Give(std::vector<uint8>&& Buffer)
{
    std::lock_guard Lock(Mutex);
    if (bEnabled && !bHasFree)
    {
        Buffer.clear();
        FreeBuffer = std::move(Buffer);
        bHasFree = true;
    }
}

void FQuorvexJpegBufferPool::Enable()
{
    std::lock_guard Lock(Mutex);
    bEnabled = true;
}

void FQuorvexJpegBufferPool::Disable()
{
    std::vector<uint8> Freed; // released outside the lock
    std::lock_guard Lock(Mutex);
    bEnabled = false;
    Freed = std::move(FreeBuffer);
    bHasFree = false;
}

namespace
{
// Counts a request as pending from its creation until its frame callback is gone,
// whether the callback ran or the pipeline dropped the frame.
class FPendingEncodeGuard
{
public:
    explicit FPendingEncodeGuard(std::shared_ptr<std::atomic<int32>> InCount)
        : Count(std::move(InCount))
    {
        Count->fetch_add(1);
    }
    ~FPendingEncodeGuard() { Count->fetch_sub(1); }
    FPendingEncodeGuard(const FPendingEncodeGuard&) = delete;
    FPendingEncodeGuard& operator=(const FPendingEncodeGuard&) = delete;

private:
    std::shared_ptr<std::atomic<int32>> Count;
};

int32 RoundHalfUp(double Value)
{
    return static_cast<int32>(std::floor(Value + 0.5));
}

// What one request fixed on the game thread.
struct FFrameJob
{
    int32 TargetWidth = 0;
    int32 TargetHeight = 0;
    int64 CaptureTimestampMs = 0;
    int32 Quality = 75;
    int64 LimitBytes = 0;
    std::shared_ptr<std::atomic<int32>> MainThreadMs;
};

// Nearest-neighbour rows at the target size, pulled from the delivered rows.
class FResampledRows
{
public:
    FResampledRows(FQuorvexRowSource InSource, int32 InWidth, int32 InHeight, int32 InOutWidth,
                   int32 InOutHeight, std::vector<uint8>& InRow)
        : Source(InSource), Width(InWidth), Height(InHeight), OutWidth(InOutWidth),
          ScaleX(static_cast<float>(InWidth) / static_cast<float>(InOutWidth)),
          ScaleY(static_cast<float>(InHeight) / static_cast<float>(InOutHeight)), Row(InRow)
    {
        Row.resize(static_cast<size_t>(OutWidth) * 3);
    }

    const uint8* operator()(int32 OutRow) const
    {
        const int32 SourceRow = std::clamp(RoundHalfUp(OutRow * ScaleY), 0, Height - 1);
        const uint8* In = Source(SourceRow);
        if (!In)
        {
            return nullptr;
        }
        for (int32 X = 0; X < OutWidth; ++X)
        {
            const int32 SourceX = std::clamp(RoundHalfUp(X * ScaleX), 0, Width - 1);
            std::memcpy(Row.data() + X * 3, In + SourceX * 3, 3);
        }
        return Row.data();
    }

private:
    FQuorvexRowSource Source;
    int32 Width, Height, OutWidth;
    float ScaleX, ScaleY;
    std::vector<uint8>& Row;
};

// A storage callback that asks the subsystem for a stop on the game thread, where
// the subsystem lives; nothing happens when it is gone by then.
std::function<void()> StopOnGameThread(TWeakObjectPtr<UQuorvexSubsystem> WeakThis,
                                       void (UQuorvexSubsystem::*Request)())
{
    return [WeakThis, Request]
    {
        AsyncTask(ENamedThreads::GameThread,
                  [WeakThis, Request]
                  {
                      if (UQuorvexSubsystem* Self = WeakThis.Get())
                      {
                          (Self->*Request)();
                      }
                  });
    };
}
} // namespace

int32 UQuorvexSubsystem::GetCurrentJpegQuality() const
{
    if (Session && Session->CaptureConfig.ImageQuality >= 1)
    {
        return std::clamp(Session->CaptureConfig.ImageQuality, 1, 100);
    }
    return std::clamp(JpegQuality.Get(), 1, 100);
}

void UQuorvexSubsystem::CaptureScreenshot()
{
    if (!IsCaptureRunning())
    {
        return;
    }
    const int32 Pending = Capture.PendingEncodeCount->load();
    if (Pending >= MaxPendingEncodes)
    {
        QUORVEX_LOG_DEBUG("QuorvexSDK: Frame skipped: encode backlog (%d pending)", Pending);
        return;
    }
    const FQuorvexCaptureConfig* Config = Session ? &Session->CaptureConfig : nullptr;
    const int32 CpuPercent = SystemSample.CpuUsagePercent;
    if (Config && Config->StopCaptureCpuUsagePercent >= 1 && CpuPercent >= 0 &&
        CpuPercent > Config->StopCaptureCpuUsagePercent)
    {
        QUORVEX_LOG(Warning, "QuorvexSDK: Frame skipped: cpu=%d%% threshold=%d%%", CpuPercent,
                    Config->StopCaptureCpuUsagePercent);
        return;
    }
    FFrameJob Job;
    if (Config && Config->Resolution.Width >= 1 && Config->Resolution.Height >= 1)
    {
        Job.TargetWidth = Config->Resolution.Width;
        Job.TargetHeight = Config->Resolution.Height;
        // Server values: never larger than what there is to capture.
        Capture.Pipeline->ClampTargetSize(Job.TargetWidth, Job.TargetHeight);
    }
    Job.CaptureTimestampMs = NowMs();
    Job.Quality = GetCurrentJpegQuality();
    Job.LimitBytes = GetCurrentMaxStorageSizeBytes();
    Job.MainThreadMs = std::make_shared<std::atomic<int32>>(0);
    Capture.JpegPool->Enable();

    auto Guard = std::make_shared<FPendingEncodeGuard>(Capture.PendingEncodeCount);
    const TWeakObjectPtr<UQuorvexSubsystem> WeakThis = Lifetime.MakeWeak(this);
    FQuorvexFrameCallback Callback =
        [WeakThis, Job, Guard, Abort = Capture.Pipeline->GetEncodeAbortFlag(), Store = OfflineStore,
         Pool = Capture.JpegPool, Scratch = Capture.EncodeScratch,
         Generation = SessionGeneration.load()](FQuorvexRowSource RowSource, int32 Width,
                                                int32 Height, int32 CaptureDurationMs)
    {
        if (Abort->load())
        {
            return;
        }
        const int32 OutW = Job.TargetWidth >= 1 ? Job.TargetWidth : Width;
        const int32 OutH = Job.TargetHeight >= 1 ? Job.TargetHeight : Height;
        std::optional<FResampledRows> Resampled;
        if (OutW != Width || OutH != Height)
        {
            Resampled.emplace(RowSource, Width, Height, OutW, OutH, Scratch->ResampleRow);
        }
        auto Rows = [&](int32 Row) -> const uint8*
        {
            if (Abort->load())
            {
                return nullptr;
            }
            return Resampled ? (*Resampled)(Row) : RowSource(Row);
        };
        std::vector<uint8> Jpeg = Pool->Take();
        const int64 Last = Scratch->LastJpegSize;
        Jpeg.reserve(Last > 0 ? static_cast<size_t>(Last + Last / 4) : 65536);
        if (FQuorvexJpegEncoder::Encode(Rows, OutW, OutH, Job.Quality, Jpeg) && !Jpeg.empty() &&
            !Abort->load())
        {
            Scratch->LastJpegSize = static_cast<int64>(Jpeg.size());
            std::optional<FQuorvexScreenshotRecord> Record = Store->CreateScreenshotRecord(
                Job.CaptureTimestampMs, CaptureDurationMs, Job.MainThreadMs->load(), OutW, OutH,
                Jpeg, true, Job.LimitBytes,
                StopOnGameThread(WeakThis, &UQuorvexSubsystem::RequestStopCaptureDueToStorageLimit),
                StopOnGameThread(
                    WeakThis, &UQuorvexSubsystem::RequestStopCaptureDueToPersistentStorageFailure));
            if (Record)
            {
                // One line per frame kept: what a frame-by-frame audit of the
                // recording starts from.
                QUORVEX_LOG_DEBUG("QuorvexSDK: screenshot stored ts=%lld bytes=%lld",
                                  static_cast<long long>(Record->Timestamp),
                                  static_cast<long long>(Record->ByteSize));
                AsyncTask(ENamedThreads::GameThread,
                          [WeakThis, Store, Generation, Record = std::move(*Record)]() mutable
                          {
                              UQuorvexSubsystem* Self = WeakThis.Get();
                              if (!Self || !Self->IsCurrentGeneration(Generation))
                              {
                                  // Its session is over: leave no orphan file.
                                  if (Store->DeleteBufferedScreenshotFile(Record))
                                  {
                                      QUORVEX_LOG(Log, "QuorvexSDK: discarded 1 buffered "
                                                       "screenshot(s): its session ended while it "
                                                       "was being stored");
                                  }
                                  return;
                              }
                              Self->LiveBatch.Screenshots.push_back(std::move(Record));
                          });
            }
        }
        Pool->Give(std::move(Jpeg));
    };

    const double Start = FPlatformTime::Seconds();
    Capture.Pipeline->RequestFrame(Job.TargetWidth, Job.TargetHeight, std::move(Callback));
    Job.MainThreadMs->store(RoundHalfUp((FPlatformTime::Seconds() - Start) * 1000.0));
}

void UQuorvexSubsystem::WaitForPendingEncodes()
{
    const std::shared_ptr<std::atomic<int32>>& PendingEncodeCount = Capture.PendingEncodeCount;
    if (PendingEncodeCount->load() == 0)
    {
        return;
    }
    // Wall time, not the engine clock: a frozen clock must not make teardown hang.
    const auto Deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(EncodeDrainTimeoutSeconds);
    while (PendingEncodeCount->load() >= 1)
    {
        if (std::chrono::steady_clock::now() >= Deadline)
        {
            QUORVEX_LOG(Error,
                        "QuorvexSDK: Teardown: %d JPEG encode(s) still in flight after %.1fs; "
                        "proceeding without waiting.",
                        PendingEncodeCount->load(), static_cast<double>(EncodeDrainTimeoutSeconds));
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    QUORVEX_LOG_DEBUG("QuorvexSDK: Teardown: background JPEG encodes drained");
}

void UQuorvexSubsystem::ReleaseCaptureResources()
{
    Capture.Pipeline->Release();
    Capture.JpegPool->Disable();
}
