// The stages of one batch upload: the archive built on a worker, the credentials
// renewed or refreshed, the body prepared on a worker and sent, and the completion
// that decides what becomes of the batch. Every stage but the two worker steps runs
// on the game thread, and each checks the session generation its upload was
// dispatched under before it touches anything.
#include "QuorvexUploadOrchestrator.h"

#include "Files.h"
#include "QuorvexApiClient.h"
#include "QuorvexDetachedBatchData.h"
#include "QuorvexLog.h"
#include "QuorvexOfflineStore.h"
#include "QuorvexSubsystem.h"
#include "Tasks.h"

namespace
{
using FWeakOrchestrator = TWeakObjectPtr<FQuorvexUploadOrchestrator>;

// Runs Stage on the game thread with the orchestrator: at once when already there,
// else in a posted task. When the orchestrator is gone by then, only the upload's
// archive is deleted.
template <typename TStage>
void OnGameThread(FWeakOrchestrator WeakThis, FQuorvexBatchUpload Upload, TStage Stage)
{
    auto Run = [WeakThis, Upload = std::move(Upload), Stage = std::move(Stage)]() mutable
    {
        if (FQuorvexUploadOrchestrator* Self = WeakThis.Get())
        {
            Stage(*Self, std::move(Upload));
        }
        else if (!Upload.ZipPath.empty())
        {
            IFileManager::Get().Delete(Upload.ZipPath);
        }
    };
    if (IsInGameThread())
    {
        Run();
        return;
    }
    AsyncTask(ENamedThreads::GameThread, std::move(Run));
}

int32 FrameCount(const FQuorvexBatchUpload& Upload)
{
    return static_cast<int32>(Upload.Batch->ScreenshotRecords.size());
}

long long Sequence(const FQuorvexBatchUpload& Upload)
{
    return static_cast<long long>(Upload.Batch->SequenceNumber);
}
} // namespace

bool FQuorvexUploadOrchestrator::IsCurrent(const FQuorvexBatchUpload& Upload) const
{
    return Owner.IsCurrentGeneration(Upload.Generation);
}

void FQuorvexUploadOrchestrator::DeleteArchive(const FQuorvexBatchUpload& Upload)
{
    if (!Upload.ZipPath.empty())
    {
        IFileManager::Get().Delete(Upload.ZipPath);
    }
}

void FQuorvexUploadOrchestrator::AbandonUpload(const FQuorvexBatchUpload& Upload)
{
    DeleteArchive(Upload);
    ReleaseInFlightUpload();
}

// ---- Archive ----

void FQuorvexUploadOrchestrator::UploadBatchAsync(FQuorvexBatchUpload Upload)
{
    ++InFlightUploadCount;
    Upload.Generation = Owner.SessionGeneration.load();
    QUORVEX_LOG_DEBUG("QuorvexSDK: uploading batch source=%s sessionId=%s seq=%lld frames=%d "
                      "path=%s",
                      Upload.SourceWord(), Upload.Batch->SessionId.c_str(), Sequence(Upload),
                      FrameCount(Upload),
                      Upload.IsPending() ? Upload.PendingBatchPath.c_str() : "(in-memory)");
    auto Build = [WeakThis = Lifetime.MakeWeak(this), Store = Owner.OfflineStore,
                  Upload = std::move(Upload)]() mutable
    {
        std::vector<FQuorvexMediaFrame> Frames;
        int64 ZipBytes = 0;
        if (!UQuorvexSubsystem::BuildBatchZip(*Upload.Batch, *Store, Frames, Upload.ZipPath,
                                              ZipBytes))
        {
            QUORVEX_LOG(Error,
                        "QuorvexSDK: Could not assemble the batch ZIP; dropping upload. "
                        "seq=%lld",
                        Sequence(Upload));
            OnGameThread(WeakThis, std::move(Upload),
                         [](FQuorvexUploadOrchestrator& Self, FQuorvexBatchUpload)
                         { Self.ReleaseInFlightUpload(); });
            return;
        }
        QUORVEX_LOG_DEBUG("QuorvexSDK: batch zip built seq=%lld frames=%d bytes=%lld",
                          Sequence(Upload), static_cast<int32>(Frames.size()),
                          static_cast<long long>(ZipBytes));
        OnGameThread(WeakThis, std::move(Upload),
                     [](FQuorvexUploadOrchestrator& Self, FQuorvexBatchUpload Built)
                     { Self.OnArchiveBuilt(std::move(Built)); });
    };
    if (bFinalFlushInline)
    {
        Build();
        return;
    }
    AsyncTask(ENamedThreads::AnyBackgroundThreadNormalTask, std::move(Build));
}

void FQuorvexUploadOrchestrator::OnArchiveBuilt(FQuorvexBatchUpload Upload)
{
    if (!IsCurrent(Upload))
    {
        // Its session was stopped or replaced while the archive was being built.
        QUORVEX_LOG_DEBUG("QuorvexSDK: event upload canceled (generation drift or HTTP cancel)");
        AbandonUpload(Upload);
        return;
    }
    UploadZipWithRefreshRetry(std::move(Upload), false);
}

// ---- Credentials and sending ----

void FQuorvexUploadOrchestrator::UploadZipWithRefreshRetry(FQuorvexBatchUpload Upload,
                                                           bool bCredentialsJustRefreshed)
{
    const std::shared_ptr<FQuorvexSessionData> Session = Owner.Session;
    if (!Session)
    {
        AbandonUpload(Upload);
        return;
    }
    const FQuorvexUploadCredentials& Credentials = Session->UploadCredentials;
    if (!bCredentialsJustRefreshed &&
        FQuorvexApiClient::ShouldRefreshCredentialsBeforeExpiry(Credentials))
    {
        QUORVEX_LOG_DEBUG("QuorvexSDK: renewing upload credentials before expiry. expiresAt=%s "
                          "ttl=%d",
                          Credentials.ExpiresAt.c_str(), Credentials.TtlSeconds);
        RequestFreshCredentials(std::move(Upload), /*bRenewal=*/true);
        return;
    }
    FQuorvexUploadTarget Target;
    const FQuorvexDetachedBatchData& Batch = *Upload.Batch;
    if (!FQuorvexApiClient::TryBuildUploadTarget(Credentials, Batch.SessionId, Batch.SequenceNumber,
                                                 Batch.Timestamp, Upload.ZipPath, Target))
    {
        QUORVEX_LOG(Error, "QuorvexSDK: Could not build an upload target; the session has no "
                           "usable credentials.");
        AbandonUpload(Upload);
        return;
    }
    PrepareAndSend(std::move(Upload), Target);
}

void FQuorvexUploadOrchestrator::RequestFreshCredentials(FQuorvexBatchUpload Upload, bool bRenewal)
{
    const FString SessionId = Owner.Session ? Owner.Session->SessionId : FString();
    Owner.ApiClient->RefreshUploadUrlAsync(
        SessionId,
        [WeakThis = Lifetime.MakeWeak(this), Upload = std::move(Upload),
         bRenewal](bool bOk, const FQuorvexUploadCredentials& Fresh) mutable
        {
            FQuorvexUploadOrchestrator* Self = WeakThis.Get();
            if (!Self)
            {
                DeleteArchive(Upload);
                return;
            }
            if (!Self->IsCurrent(Upload))
            {
                Self->AbandonUpload(Upload);
                return;
            }
            const bool bFresh = bOk && Self->Owner.Session;
            if (bFresh)
            {
                Self->Owner.Session->UploadCredentials = Fresh;
            }
            // A failed renewal still tries the credentials the session has; after the
            // store refused those, there is nothing left to try.
            if (bFresh || bRenewal)
            {
                Self->UploadZipWithRefreshRetry(std::move(Upload), true);
                return;
            }
            QUORVEX_LOG(Error,
                        "QuorvexSDK: Could not obtain fresh upload credentials; stopping capture.");
            Self->AbandonUpload(Upload);
            Self->Owner.StopCaptureInternal("RefreshUploadUrlFailed");
        });
}

void FQuorvexUploadOrchestrator::PrepareAndSend(FQuorvexBatchUpload Upload,
                                                const FQuorvexUploadTarget& Target)
{
    if (bFinalFlushInline)
    {
        FQuorvexPreparedUpload Prepared;
        FQuorvexApiClient::PrepareUploadBody(Target, Upload.ZipPath, Prepared);
        SendPrepared(std::move(Upload), Target, std::move(Prepared));
        return;
    }
    // Hashing or copying the archive into a form body is file work: off the game thread.
    AsyncTask(ENamedThreads::AnyBackgroundThreadNormalTask,
              [WeakThis = Lifetime.MakeWeak(this), Target, Upload = std::move(Upload)]() mutable
              {
                  auto Prepared = std::make_shared<FQuorvexPreparedUpload>();
                  FQuorvexApiClient::PrepareUploadBody(Target, Upload.ZipPath, *Prepared);
                  OnGameThread(WeakThis, std::move(Upload),
                               [Target, Prepared](FQuorvexUploadOrchestrator& Self,
                                                  FQuorvexBatchUpload Ready)
                               { Self.SendPrepared(std::move(Ready), Target, *Prepared); });
              });
}

void FQuorvexUploadOrchestrator::SendPrepared(FQuorvexBatchUpload Upload,
                                              const FQuorvexUploadTarget& Target,
                                              FQuorvexPreparedUpload Prepared)
{
    if (!IsCurrent(Upload))
    {
        QUORVEX_LOG_DEBUG("QuorvexSDK: event upload canceled (generation drift or HTTP cancel)");
        AbandonUpload(Upload);
        return;
    }
    Owner.ApiClient->SendPreparedUploadAsync(
        Target, std::move(Prepared),
        [WeakThis = Lifetime.MakeWeak(this), Upload](const FQuorvexHttpResult& Result)
        {
            if (FQuorvexUploadOrchestrator* Self = WeakThis.Get())
            {
                Self->OnUploadComplete(Upload, Result);
            }
            else
            {
                DeleteArchive(Upload);
            }
        });
}

// ---- Completion ----

void FQuorvexUploadOrchestrator::OnUploadComplete(FQuorvexBatchUpload Upload,
                                                  const FQuorvexHttpResult& Result)
{
    if (!IsCurrent(Upload) || Result.bCanceled)
    {
        QUORVEX_LOG_DEBUG("QuorvexSDK: event upload canceled (generation drift or HTTP cancel)");
        AbandonUpload(Upload);
        return;
    }
    Owner.UpdateUploadSpeedState(Result.RequestBytes, Result.ElapsedSeconds, Result);
    if (!IsCurrent(Upload))
    {
        // That upload was the third slow one: capture stopped and dropped its buffers.
        // The store has this batch all the same, so its files go as after any success;
        // left behind, the stop's sweep would report uploaded frames as discarded.
        if (Result.bSuccess)
        {
            if (Upload.IsPending())
            {
                Owner.OfflineStore->DeletePendingEventBatchFile(Upload.PendingBatchPath);
            }
            Owner.OfflineStore->DeleteBufferedScreenshotFiles(Upload.Batch->ScreenshotRecords);
        }
        AbandonUpload(Upload);
        return;
    }
    if (!Result.bSuccess)
    {
        switch (FQuorvexApiClient::ClassifyUploadFailure(Result))
        {
        case EQuorvexUploadFailureKind::CredentialsRejected:
            RefreshCredentialsAndRetry(std::move(Upload), Result.StatusCode);
            return;
        case EQuorvexUploadFailureKind::SessionInactive:
            if (!Upload.bAfterRollover)
            {
                RollOverAndResend(std::move(Upload));
                return;
            }
            break; // a second inactive answer is an ordinary failure
        case EQuorvexUploadFailureKind::RequestRejected:
            QUORVEX_LOG(Error,
                        "QuorvexSDK: Upload rejected terminally (status=%d); stopping capture.",
                        Result.StatusCode);
            AbandonUpload(Upload);
            Owner.StopCaptureInternal("EventZipClientError");
            return;
        case EQuorvexUploadFailureKind::Other:
            break;
        }
    }
    FinishUpload(Upload, Result);
}

void FQuorvexUploadOrchestrator::RefreshCredentialsAndRetry(FQuorvexBatchUpload Upload,
                                                            int32 Status)
{
    const int32 Limit = UQuorvexSubsystem::UploadUrlRefreshRetryLimit;
    if (UploadUrlRefreshAttempts >= Limit)
    {
        QUORVEX_LOG(Error,
                    "QuorvexSDK: Upload still rejected after %d credential refreshes; stopping "
                    "capture.",
                    Limit);
        AbandonUpload(Upload);
        Owner.StopCaptureInternal("EventZipRefreshUploadUrlRetryLimitExceeded");
        return;
    }
    ++UploadUrlRefreshAttempts;
    QUORVEX_LOG(Log,
                "QuorvexSDK: Upload rejected (status=%d); refreshing upload URL and retrying "
                "(%d/%d).",
                Status, UploadUrlRefreshAttempts, Limit);
    // The same archive goes out again with the fresh credentials.
    RequestFreshCredentials(std::move(Upload), /*bRenewal=*/false);
}

void FQuorvexUploadOrchestrator::RollOverAndResend(FQuorvexBatchUpload Upload)
{
    QUORVEX_LOG(Log, "QuorvexSDK: Upload reports an inactive session; rolling the session over.");
    DeleteArchive(Upload);
    Upload.ZipPath.clear();
    Owner.ApiClient->RefreshSessionAsync(
        [WeakThis = Lifetime.MakeWeak(this),
         Upload = std::move(Upload)](std::shared_ptr<FQuorvexSessionData> NewSession) mutable
        {
            if (FQuorvexUploadOrchestrator* Self = WeakThis.Get())
            {
                Self->OnUploadRolledOver(std::move(Upload), std::move(NewSession));
            }
        });
}

void FQuorvexUploadOrchestrator::OnUploadRolledOver(FQuorvexBatchUpload Upload,
                                                    std::shared_ptr<FQuorvexSessionData> NewSession)
{
    const bool bUsable = NewSession && !NewSession->SessionId.empty() &&
                         !NewSession->UploadCredentials.UploadUrl.empty();
    if (!IsCurrent(Upload))
    {
        ReleaseInFlightUpload();
        // Nothing adopts the replacement: end it rather than leave it open.
        if (NewSession && !NewSession->SessionId.empty())
        {
            Owner.EndAbandonedSession(*NewSession, "its rollover completed after the stop");
        }
        return;
    }
    if (!bUsable)
    {
        QUORVEX_LOG(Error, "QuorvexSDK: Session rollover failed during upload.");
        ReleaseInFlightUpload();
        return;
    }
    Owner.AdoptRolledOverSession(std::move(NewSession));
    Owner.TryStartPendingInGameIdUpdate();
    // A stop flush in progress ends the new session once its last upload is over.
    Upload.Batch->SessionId = Owner.Session->SessionId;
    ReleaseInFlightUpload();
    Upload.bAfterRollover = true;
    UploadBatchAsync(std::move(Upload));
}

void FQuorvexUploadOrchestrator::FinishUpload(const FQuorvexBatchUpload& Upload,
                                              const FQuorvexHttpResult& Result)
{
    DeleteArchive(Upload);
    FQuorvexOfflineStore& Store = *Owner.OfflineStore;
    if (!Result.bSuccess)
    {
        const char* SavedFallback = "retained";
        if (!Upload.IsPending())
        {
            // The upload ends here: its batch itself is what waits on disk.
            SavedFallback = SaveAsPendingBatch(*Upload.Batch) ? "true" : "false";
        }
        QUORVEX_LOG(Error,
                    "QuorvexSDK: Event upload failed seq=%lld frames=%d source=%s "
                    "savedFallback=%s status=%d error=%s",
                    Sequence(Upload), FrameCount(Upload), Upload.SourceWord(), SavedFallback,
                    Result.StatusCode, FQuorvexApiClient::RedactForLog(Result.Error).c_str());
    }
    else
    {
        if (Upload.IsPending())
        {
            Store.DeletePendingEventBatchFile(Upload.PendingBatchPath);
        }
        Store.DeleteBufferedScreenshotFiles(Upload.Batch->ScreenshotRecords);
        ++Owner.SessionContext.TotalEventsRecorded;
        ++SucceededUploads;
        UploadUrlRefreshAttempts = 0;
        QUORVEX_LOG_DEBUG("QuorvexSDK: event upload success seq=%lld frames=%d source=%s",
                          Sequence(Upload), FrameCount(Upload), Upload.SourceWord());
    }
    ReleaseInFlightUpload();
    if (Owner.IsCaptureRunning())
    {
        if (Owner.SlowNetwork.bSlowNetworkMode)
        {
            Owner.SetSdkStatus(EQuorvexInternalState::SlowNetwork, "upload-complete-slow-network");
        }
        else
        {
            Owner.SetSdkStatus(EQuorvexInternalState::Capturing, "upload-complete");
        }
    }
    if (Result.bSuccess && Upload.IsPending() && Owner.IsCaptureRunning())
    {
        // The backlog drains one batch after another, without waiting for the send tick.
        AsyncTask(ENamedThreads::GameThread,
                  [WeakThis = Lifetime.MakeWeak(this)]
                  {
                      if (FQuorvexUploadOrchestrator* Self = WeakThis.Get())
                      {
                          Self->SendDataPayload(false, true);
                      }
                  });
    }
}
