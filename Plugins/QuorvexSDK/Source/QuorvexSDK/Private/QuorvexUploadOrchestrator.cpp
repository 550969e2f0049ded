// Which batch goes out when, and the stop flush's wait for it. The stages of one
// upload, from archive to completion, are in QuorvexUploadOrchestratorStages.cpp.
#include "QuorvexUploadOrchestrator.h"

#include "HttpModule.h"
#include "QuorvexApiClient.h"
#include "QuorvexDetachedBatchData.h"
#include "QuorvexLog.h"
#include "QuorvexOfflineStore.h"
#include "QuorvexSubsystem.h"
#include "Tasks.h"

#include <chrono>

FQuorvexUploadOrchestrator::FQuorvexUploadOrchestrator(UQuorvexSubsystem& InOwner) : Owner(InOwner)
{
}

void FQuorvexUploadOrchestrator::SendDataPayload(bool bFinalFlush, bool bDrainOnly)
{
    const std::shared_ptr<FQuorvexSessionData>& Session = Owner.Session;
    if (!Session || Session->SessionId.empty() || (Owner.IsCaptureStopRequested() && !bFinalFlush))
    {
        return;
    }
    if (Session->UploadCredentials.UploadUrl.empty())
    {
        QUORVEX_LOG(Warning,
                    "QuorvexSDK: Upload skipped: the session has no usable upload credentials.");
        return;
    }
    // Teardown has no later frame: its final batch goes out even past an upload that
    // has not finished yet, rather than being thrown away.
    if (InFlightUploadCount < 1 || bFinalFlushInline)
    {
        if (DispatchPendingBatch())
        {
            if (!bFinalFlush && !bDrainOnly)
            {
                // Older batches always leave first.
                FQuorvexDetachedBatchData Live;
                bool bSaved = false;
                if (ParkLiveBatch(Live, bSaved))
                {
                    QUORVEX_LOG_DEBUG("QuorvexSDK: queued live batch while draining backlog "
                                      "seq=%lld frames=%d saved=%s dir=%s buffered=%lld bytes",
                                      static_cast<long long>(Live.SequenceNumber),
                                      static_cast<int32>(Live.ScreenshotRecords.size()),
                                      bSaved ? "true" : "false",
                                      FQuorvexOfflineStore::GetPendingEventBatchDirectory().c_str(),
                                      BufferedBytes());
                }
            }
            return;
        }
        DispatchLiveBatch();
        return;
    }
    if (Owner.HandleSlowNetworkTick(0.0, "upload-in-flight", false) || !Owner.IsCaptureRunning())
    {
        return;
    }
    FQuorvexDetachedBatchData Live;
    bool bSaved = false;
    if (ParkLiveBatch(Live, bSaved))
    {
        QUORVEX_LOG_DEBUG(
            "QuorvexSDK: buffered batch while previous upload still in flight buffered=%lld bytes",
            BufferedBytes());
    }
    else
    {
        QUORVEX_LOG_DEBUG("QuorvexSDK: upload still in flight, no live batch to buffer");
    }
}

long long FQuorvexUploadOrchestrator::BufferedBytes() const
{
    return static_cast<long long>(Owner.OfflineStore->GetTotalBufferedStorageBytes());
}

bool FQuorvexUploadOrchestrator::DispatchPendingBatch()
{
    FQuorvexOfflineStore& Store = *Owner.OfflineStore;
    if (!Store.HasPendingBatches())
    {
        return false;
    }
    auto Batch = std::make_shared<FQuorvexDetachedBatchData>();
    FString Path;
    if (!Store.TryLoadPendingEventBatch(*Batch, Path))
    {
        return false;
    }
    // A batch parked under an earlier session goes out under the current one.
    Batch->SessionId = Owner.Session->SessionId;
    Owner.TrimBatchForSynchronousFlush(*Batch);
    const int32 Frames = static_cast<int32>(Batch->ScreenshotRecords.size());
    Owner.SessionContext.TotalFramesCaptured += Frames;
    QUORVEX_LOG_DEBUG(
        "QuorvexSDK: loaded pending batch seq=%lld frames=%d path=%s buffered=%lld bytes",
        static_cast<long long>(Batch->SequenceNumber), Frames, Path.c_str(), BufferedBytes());
    Owner.SetSdkStatus(EQuorvexInternalState::Uploading, "dispatch-pending");
    FQuorvexBatchUpload Upload;
    Upload.Batch = std::move(Batch);
    Upload.PendingBatchPath = Path;
    UploadBatchAsync(std::move(Upload));
    return true;
}

bool FQuorvexUploadOrchestrator::DispatchLiveBatch()
{
    auto Batch = std::make_shared<FQuorvexDetachedBatchData>();
    if (!Owner.TryDetachCurrentBatch(*Batch))
    {
        return false;
    }
    Owner.TrimBatchForSynchronousFlush(*Batch);
    const int32 Frames = static_cast<int32>(Batch->ScreenshotRecords.size());
    Owner.SessionContext.TotalFramesCaptured += Frames;
    QUORVEX_LOG_DEBUG("QuorvexSDK: dispatching live batch seq=%lld frames=%d",
                      static_cast<long long>(Batch->SequenceNumber), Frames);
    Owner.SetSdkStatus(EQuorvexInternalState::Uploading, "dispatch-current");
    FQuorvexBatchUpload Upload;
    Upload.Batch = std::move(Batch);
    UploadBatchAsync(std::move(Upload));
    return true;
}

bool FQuorvexUploadOrchestrator::ParkLiveBatch(FQuorvexDetachedBatchData& OutBatch, bool& bOutSaved)
{
    if (!Owner.TryDetachCurrentBatch(OutBatch))
    {
        return false;
    }
    bOutSaved = SaveAsPendingBatch(OutBatch);
    return true;
}

bool FQuorvexUploadOrchestrator::SaveAsPendingBatch(FQuorvexDetachedBatchData& Batch)
{
    FQuorvexOfflineStore& Store = *Owner.OfflineStore;
    const int64 Used = Store.GetTotalBufferedStorageBytes();
    return Store.SavePendingEventBatch(Batch, true, Owner.GetCurrentMaxStorageSizeBytes(), Used,
                                       [WeakOwner = Owner.Lifetime.MakeWeak(&Owner)]
                                       {
                                           if (UQuorvexSubsystem* Self = WeakOwner.Get())
                                           {
                                               Self->RequestStopCaptureDueToStorageLimit();
                                           }
                                       });
}

void FQuorvexUploadOrchestrator::ReleaseInFlightUpload()
{
    if (InFlightUploadCount <= 0)
    {
        QUORVEX_LOG(Warning,
                    "QuorvexSDK: In-flight upload released while the count was already %d; "
                    "ignoring.",
                    InFlightUploadCount);
        InFlightUploadCount = 0;
        return;
    }
    --InFlightUploadCount;
    Owner.RunDeferredScreenshotSweep();
}

void FQuorvexUploadOrchestrator::CancelEventUploads()
{
    Owner.SessionGeneration.fetch_add(1);
    Owner.ApiClient->CancelInFlightRequests();
}

void FQuorvexUploadOrchestrator::ResetForSessionStart()
{
    UploadUrlRefreshAttempts = 0;
    StopFlushWaitSeconds = 0.f;
}

// ---- Stop flush ----

void FQuorvexUploadOrchestrator::BeginStopFlush()
{
    Phase = EStopFlushPhase::WaitingForUploads;
    StopFlushWaitSeconds = 0.f;
}

bool FQuorvexUploadOrchestrator::TickStopFlush(float DeltaTime)
{
    if (Phase == EStopFlushPhase::WaitingForUploads)
    {
        if (InFlightUploadCount >= 1)
        {
            StopFlushWaitSeconds += DeltaTime;
            if (StopFlushWaitSeconds >= UQuorvexSubsystem::StopFlushUploadWaitTimeoutSeconds)
            {
                StopFlushWaitSeconds = 0.f;
                QUORVEX_LOG(
                    Warning,
                    "QuorvexSDK: Stop flush has waited %.0fs for %d in-flight upload(s); "
                    "canceling so the stop can complete. Any batch still in flight is lost.",
                    static_cast<double>(UQuorvexSubsystem::StopFlushUploadWaitTimeoutSeconds),
                    InFlightUploadCount);
                CancelEventUploads();
            }
            return false;
        }
        StopFlushWaitSeconds = 0.f;
        Phase = EStopFlushPhase::Draining;
        DrainSeconds = 0.f;
        SucceededAtLastDrainDispatch = SucceededUploads;
        if (!DispatchFinalFlush())
        {
            // Nothing left to send: the session ends now, the flush in the next frame.
            EndSessionOnce();
        }
        return false;
    }
    if (Phase != EStopFlushPhase::Draining)
    {
        return false;
    }
    DrainSeconds += DeltaTime;
    if (InFlightUploadCount >= 1)
    {
        return false;
    }
    // A backlog left behind a slow upload goes out too, oldest first; a failed upload
    // or the end of the flush's time ends the drain, and what is left is discarded
    // with a log line.
    const bool bLastSucceeded = SucceededUploads > SucceededAtLastDrainDispatch;
    if (bLastSucceeded && DrainSeconds < UQuorvexSubsystem::StopFlushUploadWaitTimeoutSeconds)
    {
        SucceededAtLastDrainDispatch = SucceededUploads;
        if (DispatchFinalFlush())
        {
            return false;
        }
    }
    EndSessionOnce();
    Phase = EStopFlushPhase::None;
    return true;
}

bool FQuorvexUploadOrchestrator::DispatchFinalFlush()
{
    const int32 Before = InFlightUploadCount;
    SendDataPayload(true, false);
    return InFlightUploadCount > Before;
}

void FQuorvexUploadOrchestrator::EndSessionOnce()
{
    if (!Owner.SessionContext.bEndSessionSent && Owner.HasEndableSession())
    {
        Owner.SendEndSessionAsync(Owner.Session->SessionId);
    }
}

void FQuorvexUploadOrchestrator::FinishStopFlushInline(FHttpManager& Http)
{
    // Nothing queued to a later frame runs any more: the upload in flight completes or
    // fails now, and the final batch is built and sent on this thread.
    WaitForUploadsInline(Http);
    if (Phase == EStopFlushPhase::WaitingForUploads)
    {
        // One batch only: teardown has no time for a backlog.
        Phase = EStopFlushPhase::Draining;
        bFinalFlushInline = true;
        DispatchFinalFlush();
        bFinalFlushInline = false;
    }
    Http.Flush(EHttpFlushReason::Default);
    EndSessionOnce();
    Http.Flush(EHttpFlushReason::Default);
    Phase = EStopFlushPhase::None;
    StopFlushWaitSeconds = 0.f;
}

void FQuorvexUploadOrchestrator::WaitForUploadsInline(FHttpManager& Http)
{
    // An upload between stages on a worker (its archive being built, its body being
    // prepared) has no request an HTTP flush would wait for, and it would go out after
    // the session's end: wait for its next stage as well. Wall time, not the engine
    // clock, so that a frozen clock cannot make teardown hang.
    constexpr double WaitSeconds = 5.0;
    const auto Deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(WaitSeconds);
    while (true)
    {
        Http.Flush(EHttpFlushReason::Default);
        if (InFlightUploadCount <= 0)
        {
            return;
        }
        const double Left =
            std::chrono::duration<double>(Deadline - std::chrono::steady_clock::now()).count();
        if (Left <= 0.0)
        {
            QUORVEX_LOG(Warning,
                        "QuorvexSDK: Teardown has waited %.0fs for %d in-flight upload(s); "
                        "canceling them. Any batch still in flight is lost.",
                        WaitSeconds, InFlightUploadCount);
            CancelEventUploads();
            return;
        }
        FTaskGraph::WaitForGameThreadTask(Left);
    }
}
