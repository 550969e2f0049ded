// Batch uploads: at every send tick and at the final flush it decides which batch
// goes out (the oldest pending batch on disk first, else the live one), keeps at most
// one batch upload in flight (parking the live batch on disk behind a busy one), and
// drives one upload from archive to completion: the archive built on a worker,
// credentials renewed before they expire and refreshed when the store rejects them,
// the session rolled over when the store's backend says it is gone, and a failed live
// batch saved to disk for a later try. It also runs the upload half of a stop flush:
// the wait for the upload in flight, the final flush that drains what is left, and
// the end-session request once its last upload is over.
//
// Threads: the game thread, except the archive build and the body preparation,
// which run on background workers and touch only the batch, the offline store and
// files. What a worker hands back is posted to the game thread holding a weak
// reference to the orchestrator, and every continuation checks the session
// generation its upload was dispatched under: that is the only staleness rule.
#pragma once

#include "CoreTypes.h"
#include "WeakObjectPtr.h"

#include <memory>

class UQuorvexSubsystem;
class FHttpManager;
struct FQuorvexDetachedBatchData;
struct FQuorvexHttpResult;
struct FQuorvexPreparedUpload;
struct FQuorvexSessionData;
struct FQuorvexUploadTarget;

// One batch upload, from dispatch to completion.
struct FQuorvexBatchUpload
{
    std::shared_ptr<FQuorvexDetachedBatchData> Batch;
    FString ZipPath;             // the archive, once built
    FString PendingBatchPath;    // the pending batch file it came from; empty for the live batch
    bool bAfterRollover = false; // re-sent under the session that replaced an inactive one
    int32 Generation = 0;        // the session generation it was dispatched under

    bool IsPending() const { return !PendingBatchPath.empty(); }
    const char* SourceWord() const { return IsPending() ? "pending" : "live"; }
};

class FQuorvexUploadOrchestrator
{
public:
    explicit FQuorvexUploadOrchestrator(UQuorvexSubsystem& InOwner);
    FQuorvexUploadOrchestrator(const FQuorvexUploadOrchestrator&) = delete;
    FQuorvexUploadOrchestrator& operator=(const FQuorvexUploadOrchestrator&) = delete;

    // ---- Sending ----

    // One send decision: the send tick (false, false), the final flush (true, false),
    // the continuation after a successful pending upload (false, true).
    void SendDataPayload(bool bFinalFlush, bool bDrainOnly);
    // Takes the in-flight slot and builds the archive (on a worker; inline at teardown).
    void UploadBatchAsync(FQuorvexBatchUpload Upload);
    // Hands a built archive to the object store, renewing credentials first when they
    // are about to expire. Game thread.
    void UploadZipWithRefreshRetry(FQuorvexBatchUpload Upload, bool bCredentialsJustRefreshed);
    // Gives the in-flight slot back; never drives the count below zero.
    void ReleaseInFlightUpload();
    int32 GetInFlightUploadCount() const { return InFlightUploadCount; }

    // ---- Cancellation and session boundaries ----

    // Disowns every upload so far and cancels the client's cancelable requests.
    void CancelEventUploads();
    // A fresh start: the refresh budget of the last session goes.
    void ResetForSessionStart();
    // A rolled-over session starts with the whole refresh budget.
    void ResetRefreshAttempts() { UploadUrlRefreshAttempts = 0; }

    // ---- Stop flush ----

    // A stop was taken: the final flush waits for the upload in flight.
    void BeginStopFlush();
    bool IsStopFlushing() const { return Phase != EStopFlushPhase::None; }
    // One frame of the stop flush: waits (bounded) for the upload in flight, then sends
    // what is left one batch at a time, oldest first, while uploads succeed and the
    // flush's time lasts; then ends the session. True once the flush is over.
    bool TickStopFlush(float DeltaTime);
    // Teardown: sends the final batch on this thread (trimmed) when it has not gone out
    // yet, flushes HTTP so that it completes now, and ends the flush.
    void FinishStopFlushInline(FHttpManager& Http);
    // True while teardown sends the final batch on the calling thread.
    bool IsFinalFlushInline() const { return bFinalFlushInline; }

private:
    friend class FQuorvexSubsystemTestPeer;

    enum class EStopFlushPhase : uint8
    {
        None,              // no stop is being flushed
        WaitingForUploads, // a stop was taken; the final flush waits for the upload in flight
        Draining,          // the final flush sends what is left, one batch at a time
    };

    // Send decisions.
    bool DispatchPendingBatch();
    bool DispatchLiveBatch();
    // Detaches the live batch into OutBatch and saves it as a pending batch file behind
    // what is queued; false when there is no live batch.
    bool ParkLiveBatch(FQuorvexDetachedBatchData& OutBatch, bool& bOutSaved);
    // The offline store's total, for the logs.
    long long BufferedBytes() const;
    // Sends the next batch of the final flush; false when there was nothing to send.
    bool DispatchFinalFlush();
    // The last step of a stop flush: the session's end, unless it went out already.
    void EndSessionOnce();
    // Teardown: runs the uploads in flight to their end on this thread, within a bound.
    void WaitForUploadsInline(FHttpManager& Http);
    // Saves a batch as a pending file under the storage limit; false when not saved.
    bool SaveAsPendingBatch(FQuorvexDetachedBatchData& Batch);

    // The upload's stages, each on the game thread.
    void OnArchiveBuilt(FQuorvexBatchUpload Upload);
    // Asks the backend for fresh credentials, then sends the archive again. A renewal
    // before expiry goes on with the old credentials when that fails; a refresh after a
    // refusal stops capture.
    void RequestFreshCredentials(FQuorvexBatchUpload Upload, bool bRenewal);
    void PrepareAndSend(FQuorvexBatchUpload Upload, const FQuorvexUploadTarget& Target);
    void SendPrepared(FQuorvexBatchUpload Upload, const FQuorvexUploadTarget& Target,
                      FQuorvexPreparedUpload Prepared);
    void OnUploadComplete(FQuorvexBatchUpload Upload, const FQuorvexHttpResult& Result);
    void RefreshCredentialsAndRetry(FQuorvexBatchUpload Upload, int32 Status);
    void RollOverAndResend(FQuorvexBatchUpload Upload);
    void OnUploadRolledOver(FQuorvexBatchUpload Upload,
                            std::shared_ptr<FQuorvexSessionData> NewSession);
    // The common end of a success or an ordinary failure.
    void FinishUpload(const FQuorvexBatchUpload& Upload, const FQuorvexHttpResult& Result);
    // An upload that ends without reaching the common path (disowned, or capture stopped
    // because of it): its archive goes and its slot is given back.
    void AbandonUpload(const FQuorvexBatchUpload& Upload);
    bool IsCurrent(const FQuorvexBatchUpload& Upload) const;
    static void DeleteArchive(const FQuorvexBatchUpload& Upload);

    UQuorvexSubsystem& Owner;

    // ---- Uploads in flight (game thread) ----
    int32 InFlightUploadCount = 0;
    // Credential refreshes spent on rejected uploads; 0 after a success or a rollover.
    int32 UploadUrlRefreshAttempts = 0;
    // Uploads that reached the common path with success, ever; the drain of a stop
    // flush goes on only while each of its uploads adds one.
    int64 SucceededUploads = 0;

    // ---- Stop flush (game thread) ----
    EStopFlushPhase Phase = EStopFlushPhase::None;
    float StopFlushWaitSeconds = 0.f; // waiting for the upload in flight
    float DrainSeconds = 0.f;         // sending what is left
    int64 SucceededAtLastDrainDispatch = 0;
    // Teardown sends the final batch on this thread, trimmed to fit its budget.
    bool bFinalFlushInline = false;

    // Posted work holds weak references made from this token; declared last so it
    // expires first.
    FLifetimeToken Lifetime;
};
