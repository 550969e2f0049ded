// What the SDK keeps on disk between capture and upload: one JPEG file per captured
// screenshot, one JSON file per batch not uploaded yet (the pending batch file), and
// the byte accounting that enforces the storage limit over those files and over the
// upload archives in the media folder.
//
// Layout under FPaths::ProjectSavedDir()/QuorvexSDK:
//   PendingEventBatches/batch_<seq, 20 digits>_<guid, 32 lowercase hex>.json
//   BufferedScreenshots/frame_<store-wide seq, 20 digits>.jpg
//   MediaZips/*.zip (batch archives) and multipart_*.bin (upload bodies)
//
// Threads: every method may be called from any thread. One recursive lock guards
// the counters and flags; screenshot writes and screenshot deletes run outside it,
// pending-batch file work runs inside it. Callbacks run with the lock released. The
// static helpers touch no state.
#pragma once

#include "CoreTypes.h"
#include "DateTime.h"
#include "QuorvexModels.h"

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

class FJsonObject;
struct FQuorvexDetachedBatchData;

// One captured screenshot. The image lives in exactly one place, looked at in this
// order wherever it is read: JpegBytes when non-empty, else Base64Jpeg when
// non-empty, else the file at FilePath when non-empty.
struct FQuorvexScreenshotRecord
{
    int64 Timestamp = 0; // capture time, ms since the Unix epoch
    int32 CaptureDurationMs = 0;
    int32 MainThreadCaptureMs = 0; // the part of the capture spent on the game thread
    std::vector<uint8> JpegBytes;  // empty once the JPEG lives in a file
    FString Base64Jpeg;            // only filled from a pending batch file that carried it
    int32 Width = 0;
    int32 Height = 0;
    FString FilePath; // full path of the JPEG file; empty when not on disk
    int64 ByteSize = 0;
};

// One screenshot prepared to become a ZIP entry: in-memory bytes or a file.
struct FQuorvexScreenshotAttachment
{
    FString AttachmentId; // "frame_<record index>"
    FString EntryName;    // "frames/<AttachmentId>.jpeg"
    int32 RecordIndex = -1;
    std::vector<uint8> Bytes; // the JPEG, when it is in memory
    FString FilePath;         // the JPEG file, when on disk (Bytes is then empty)
};

// A buffered screenshot file and the bytes the store accounts for it.
using FQuorvexBufferedFile = std::pair<FString, int64>;

class FQuorvexOfflineStore
{
public:
    using FStoreCallback = std::function<void()>;

    FQuorvexOfflineStore() = default;
    FQuorvexOfflineStore(const FQuorvexOfflineStore&) = delete;
    FQuorvexOfflineStore& operator=(const FQuorvexOfflineStore&) = delete;

    // ---- Screenshots ----

    // Stores a JPEG as the next "frame_" file. Reserves its bytes under the lock
    // (re-measuring the folder before dropping over the limit) and writes outside
    // it. Unset when the JPEG is empty, dropped (OnLimitDrop runs) or the write
    // failed (OnWriteFailure runs). A total landing exactly on the limit is admitted.
    std::optional<FQuorvexScreenshotRecord>
    CreateScreenshotRecord(int64 Timestamp, int32 CaptureDurationMs, int32 MainThreadCaptureMs,
                           int32 Width, int32 Height, std::span<const uint8> Jpeg,
                           bool bEnforceLimit, int64 LimitBytes, const FStoreCallback& OnLimitDrop,
                           const FStoreCallback& OnWriteFailure);
    // Releases the record's bytes and deletes its file (when it has one); true when
    // this call deleted a file.
    bool DeleteBufferedScreenshotFile(const FQuorvexScreenshotRecord& Record);
    // The same for each record; returns how many files this call deleted.
    int32 DeleteBufferedScreenshotFiles(const std::vector<FQuorvexScreenshotRecord>& Records);
    // Deletes every "frame_*.jpg" and zeroes the screenshot bytes; returns how many
    // went. Screenshots being written at that moment are left alone and stay counted.
    int32 DeleteAllBufferedScreenshotFiles();
    // Releases each file's bytes, then deletes it; a file that will not go is
    // warned about and its bytes stay released.
    void PurgeUnreadableBufferedScreenshots(const std::vector<FQuorvexBufferedFile>& Files);

    // ---- Pending batches ----

    // Writes the batch as a pending batch file. In-memory JPEGs are spilled to
    // "frame_" files first and the records point at them afterwards. UsedBytes is the
    // store total the caller measured just before the call. On any failure every
    // file this call created is deleted and the records are as they were.
    bool SavePendingEventBatch(FQuorvexDetachedBatchData& Batch, bool bEnforceLimit,
                               int64 LimitBytes, int64 UsedBytes,
                               const FStoreCallback& OnLimitDrop);
    // Reads the oldest readable pending batch into Batch (the file stays on disk;
    // OutPath names it). Files that cannot be read or parsed are deleted on the way.
    bool TryLoadPendingEventBatch(FQuorvexDetachedBatchData& Batch, FString& OutPath);
    bool HasPendingBatches();
    void DeletePendingEventBatchFile(const FString& Path);
    void DeleteAllPendingEventBatchFiles();
    // Pending batch files saved from now on belong to the session that is starting,
    // so a reclamation of an earlier run's files dispatched now must spare them.
    void MarkPendingBatchReclamation();
    // True when the pending batch file FileName (no folder) was saved since the mark.
    bool WasPendingBatchSavedSinceMark(const FString& FileName);

    // ---- Accounting ----

    // Pending batches + buffered screenshots + media archives (re-measured), in bytes.
    int64 GetTotalBufferedStorageBytes();
    // Marks the store initialised with zero counters (screenshots being written stay
    // counted), so a fresh start never rescans. The screenshot sequence carries on.
    void ForgetBufferedState();
    // The highest screenshot sequence number used or found on disk so far.
    int64 GetLastScreenshotSequence();

    // ---- Batch assembly (no state) ----

    // One attachment per record that has an image, ids following record indices: a
    // record without an image (or with undecodable Base64) leaves a gap.
    static std::vector<FQuorvexScreenshotAttachment>
    BuildScreenshotAttachments(const std::vector<FQuorvexScreenshotRecord>& Records);
    // One frame per record, in order.
    static std::vector<FQuorvexMediaFrame>
    BuildScreenshotFrames(const std::vector<FQuorvexScreenshotRecord>& Records);
    // One frame per attachment whose RecordIndex lies inside Records, in attachment order.
    static std::vector<FQuorvexMediaFrame>
    BuildFramesForAttachments(const std::vector<FQuorvexScreenshotRecord>& Records,
                              const std::vector<FQuorvexScreenshotAttachment>& Attachments);
    // "frame_<Index>"; the record does not influence it.
    static FString BuildFrameAttachmentId(const FQuorvexScreenshotRecord& Record, int32 Index);

    // ---- Disk layout (paths only; nothing is created) ----

    static FString GetPendingEventBatchDirectory();
    static FString GetBufferedScreenshotDirectory();
    static FString GetMediaArchiveDirectory();
    // Deletes every "*.zip" and "multipart_*.bin" in Directory last written before
    // OlderThan (all of them when unset); logs what went.
    static void SweepStrandedUploadArtifacts(const FString& Directory,
                                             std::optional<FDateTime> OlderThan = {});
    // Accepts "frame_<decimal digits>.jpg" (suffix case-blind) within the int64 range.
    static bool TryParseScreenshotFileSequence(std::string_view FileName, int64& OutSequence);
    // Sum of the sizes of the files matching Wildcard; 0 when Directory is missing.
    static int64 GetDiskUsage(const FString& Directory, const FString& Wildcard);
    // The highest sequence number among the "frame_" files on disk; 0 when none.
    static int64 FindHighestScreenshotSequence();

private:
    // A record whose in-memory JPEG a save moved to disk, kept until the save ends
    // so a failure can delete the file and give the record its bytes back.
    struct FSpilledFrame
    {
        size_t RecordIndex = 0;
        std::vector<uint8> Bytes; // the JPEG the record held in memory
        FString PreviousFilePath;
        int64 PreviousByteSize = 0;
        bool bCreatedFile = false; // false: the record already had its file
    };

    void EnsureStateInitializedLocked();
    void DiscardPendingBatchesOfEarlierRunLocked();
    void CountBufferedScreenshotsLocked();
    // Creates the screenshot folder once; retried on the next call when it failed.
    void EnsureScreenshotDirectoryLocked();
    FString NextScreenshotPathLocked();
    // Re-measures the screenshot folder when the cached count has drifted.
    void ReconcileScreenshotBytesLocked();
    // The save itself; bOutLimitDropped tells the caller to run its limit callback.
    bool SavePendingEventBatchLocked(FQuorvexDetachedBatchData& Batch, bool bEnforceLimit,
                                     int64 LimitBytes, int64 UsedBytes, bool& bOutLimitDropped);
    bool EnsureScreenshotFiles(std::vector<FQuorvexScreenshotRecord>& Records,
                               std::vector<FSpilledFrame>& Spilled);
    // Deletes the files Spilled created, releases their bytes, restores the records.
    void UndoSpilledFrames(std::vector<FQuorvexScreenshotRecord>& Records,
                           std::vector<FSpilledFrame>& Spilled);
    void RefreshMediaArchiveBytesLocked();
    int64 GetTotalBufferedStorageBytesLocked() const;
    void SubtractScreenshotBytesLocked(int64 Bytes);
    int64 ScreenshotWriteBytesInFlightLocked() const;
    static int64
    GetPendingBatchScreenshotByteCount(const std::vector<FQuorvexScreenshotRecord>& Records);

    // ---- Pending batch file format ----

    static FString SerializePendingBatch(const FQuorvexDetachedBatchData& Batch);
    static void ReadPendingBatch(const FJsonObject& Object, FQuorvexDetachedBatchData& Batch);

    // ---- State, all guarded by Mutex ----

    // Recursive: a load deletes bad files through a locking method while holding it.
    mutable std::recursive_mutex Mutex;
    bool bStateInitialized = false;
    bool bScreenshotDirectoryReady = false;
    bool bHasPendingBatches = false;
    int64 PendingBatchBytes = 0;
    int64 BufferedScreenshotBytes = 0;
    int64 MediaArchiveBytes = 0;
    int64 LastScreenshotSequence = 0;
    // Screenshot files being written outside the lock, with their reserved bytes.
    std::map<FString, int64> ScreenshotWritesInFlight;
    // Names of the pending batch files saved since the last reclamation mark; bounded
    // by the files on disk, as deletes through the store forget them.
    std::set<FString> PendingBatchesSinceMark;
};
