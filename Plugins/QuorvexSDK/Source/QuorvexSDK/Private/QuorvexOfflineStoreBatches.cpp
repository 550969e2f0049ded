// Pending batch files: saving a batch that could not be uploaded (spilling its
// in-memory JPEGs to screenshot files first), loading the oldest one back, and
// deleting them. All file work here runs with the store's lock held.
#include "QuorvexDetachedBatchData.h"
#include "QuorvexOfflineStore.h"

#include "Files.h"
#include "Guid.h"
#include "JsonSerializer.h"
#include "QuorvexLog.h"
#include "StringUtils.h"

#include <algorithm>
#include <limits>

namespace
{
constexpr const char* PendingBatchWildcard = "batch_*.json";

int32 ClampToInt32(int64 Value)
{
    return static_cast<int32>(std::clamp<int64>(Value, std::numeric_limits<int32>::min(),
                                                std::numeric_limits<int32>::max()));
}

FString NewPendingBatchFileName(int64 SequenceNumber)
{
    const FString Guid = FStringUtils::ToLower(FGuid::NewGuid().ToString(EGuidFormats::Digits));
    return FStringUtils::Printf("batch_%020lld_%s.json", static_cast<long long>(SequenceNumber),
                                Guid.c_str());
}
} // namespace

int64 FQuorvexOfflineStore::GetPendingBatchScreenshotByteCount(
    const std::vector<FQuorvexScreenshotRecord>& Records)
{
    int64 Total = 0;
    for (const FQuorvexScreenshotRecord& Record : Records)
    {
        Total += static_cast<int64>(Record.JpegBytes.size());
    }
    return Total;
}

bool FQuorvexOfflineStore::EnsureScreenshotFiles(std::vector<FQuorvexScreenshotRecord>& Records,
                                                 std::vector<FSpilledFrame>& Spilled)
{
    if (Records.empty())
    {
        return true;
    }
    IFileManager::Get().MakeDirectory(GetBufferedScreenshotDirectory(), /*bTree=*/true);
    for (size_t Index = 0; Index < Records.size(); ++Index)
    {
        FQuorvexScreenshotRecord& Record = Records[Index];
        if (Record.JpegBytes.empty())
        {
            continue;
        }
        FSpilledFrame Frame;
        Frame.RecordIndex = Index;
        Frame.PreviousFilePath = Record.FilePath;
        Frame.PreviousByteSize = Record.ByteSize;
        if (Record.FilePath.empty() || !IFileManager::Get().FileExists(Record.FilePath))
        {
            const FString Path = NextScreenshotPathLocked();
            const int64 Bytes = static_cast<int64>(Record.JpegBytes.size());
            if (!FFileHelper::SaveArrayToFile(Record.JpegBytes, Path))
            {
                QUORVEX_LOG(Error,
                            "QuorvexSDK: OfflineStore: screenshot spill write failed path=%s "
                            "bytes=%d",
                            Path.c_str(), ClampToInt32(Bytes));
                return false;
            }
            Record.FilePath = Path;
            Record.ByteSize = Bytes;
            BufferedScreenshotBytes += Bytes;
            Frame.bCreatedFile = true;
        }
        Frame.Bytes = std::move(Record.JpegBytes);
        Record.JpegBytes.clear();
        Spilled.push_back(std::move(Frame));
    }
    return true;
}

void FQuorvexOfflineStore::UndoSpilledFrames(std::vector<FQuorvexScreenshotRecord>& Records,
                                             std::vector<FSpilledFrame>& Spilled)
{
    for (FSpilledFrame& Frame : Spilled)
    {
        FQuorvexScreenshotRecord& Record = Records[Frame.RecordIndex];
        if (Frame.bCreatedFile)
        {
            IFileManager::Get().Delete(Record.FilePath);
            SubtractScreenshotBytesLocked(Record.ByteSize);
        }
        // The caller gets its batch back as it was, not records naming deleted files.
        Record.JpegBytes = std::move(Frame.Bytes);
        Record.FilePath = Frame.PreviousFilePath;
        Record.ByteSize = Frame.PreviousByteSize;
    }
    Spilled.clear();
}

bool FQuorvexOfflineStore::SavePendingEventBatch(FQuorvexDetachedBatchData& Batch,
                                                 bool bEnforceLimit, int64 LimitBytes,
                                                 int64 UsedBytes, const FStoreCallback& OnLimitDrop)
{
    bool bLimitDropped = false;
    bool bSaved = false;
    {
        std::lock_guard Lock(Mutex);
        EnsureStateInitializedLocked();
        bSaved =
            SavePendingEventBatchLocked(Batch, bEnforceLimit, LimitBytes, UsedBytes, bLimitDropped);
    }
    // Outside the lock: the callback may stop capture, which clears the store.
    if (bLimitDropped && OnLimitDrop)
    {
        OnLimitDrop();
    }
    return bSaved;
}

bool FQuorvexOfflineStore::SavePendingEventBatchLocked(FQuorvexDetachedBatchData& Batch,
                                                       bool bEnforceLimit, int64 LimitBytes,
                                                       int64 UsedBytes, bool& bOutLimitDropped)
{
    const long long Sequence = static_cast<long long>(Batch.SequenceNumber);
    const int64 ScreenshotBytes = GetPendingBatchScreenshotByteCount(Batch.ScreenshotRecords);
    if (bEnforceLimit && ScreenshotBytes + UsedBytes > LimitBytes)
    {
        QUORVEX_LOG(Warning,
                    "QuorvexSDK: OfflineStore: storage limit exceeded; dropping batch seq=%lld "
                    "usedBytes=%lld limitBytes=%lld incomingScreenshotBytes=%lld",
                    Sequence, static_cast<long long>(UsedBytes), static_cast<long long>(LimitBytes),
                    static_cast<long long>(ScreenshotBytes));
        bOutLimitDropped = true;
        return false;
    }
    std::vector<FSpilledFrame> Spilled;
    if (!EnsureScreenshotFiles(Batch.ScreenshotRecords, Spilled))
    {
        UndoSpilledFrames(Batch.ScreenshotRecords, Spilled);
        return false;
    }
    const FString Text = SerializePendingBatch(Batch);
    // Twice the text length bounds the file's size whatever encoding it is saved in.
    const int64 TextBytes = static_cast<int64>(Text.size()) * 2;
    if (bEnforceLimit && ScreenshotBytes + TextBytes + UsedBytes > LimitBytes)
    {
        QUORVEX_LOG(Warning,
                    "QuorvexSDK: OfflineStore: storage limit exceeded; dropping batch seq=%lld "
                    "usedBytes=%lld limitBytes=%lld incomingBytes=%lld",
                    Sequence, static_cast<long long>(UsedBytes), static_cast<long long>(LimitBytes),
                    static_cast<long long>(ScreenshotBytes + TextBytes));
        bOutLimitDropped = true;
        UndoSpilledFrames(Batch.ScreenshotRecords, Spilled);
        return false;
    }
    const FString Directory = GetPendingEventBatchDirectory();
    IFileManager::Get().MakeDirectory(Directory, /*bTree=*/true);
    const FString Path = FPaths::Combine(Directory, NewPendingBatchFileName(Batch.SequenceNumber));
    if (!FFileHelper::SaveStringToFile(Text, Path))
    {
        QUORVEX_LOG(Error, "QuorvexSDK: OfflineStore: write failed path=%s seq=%lld bytes=%lld",
                    Path.c_str(), Sequence, static_cast<long long>(TextBytes));
        UndoSpilledFrames(Batch.ScreenshotRecords, Spilled);
        return false;
    }
    bHasPendingBatches = true;
    PendingBatchesSinceMark.insert(FPaths::GetCleanFilename(Path));
    const int64 FileBytes = IFileManager::Get().FileSize(Path);
    if (FileBytes >= 1)
    {
        PendingBatchBytes += FileBytes;
    }
    return true;
}

bool FQuorvexOfflineStore::TryLoadPendingEventBatch(FQuorvexDetachedBatchData& Batch,
                                                    FString& OutPath)
{
    std::lock_guard Lock(Mutex);
    EnsureStateInitializedLocked();
    OutPath.clear();
    const FString Directory = GetPendingEventBatchDirectory();
    std::vector<FString> Names;
    if (IFileManager::Get().DirectoryExists(Directory))
    {
        Names = IFileManager::Get().FindFiles(Directory, PendingBatchWildcard);
    }
    // The zero-padded sequence number in the name makes this oldest first.
    std::sort(Names.begin(), Names.end(),
              [](const FString& A, const FString& B)
              { return FStringUtils::CompareIgnoreCase(A, B) < 0; });
    for (const FString& Name : Names)
    {
        const FString Path = FPaths::Combine(Directory, Name);
        FString Text;
        if (!FFileHelper::LoadFileToString(Text, Path))
        {
            QUORVEX_LOG(Error, "QuorvexSDK: OfflineStore: load failed, deleting path=%s",
                        Path.c_str());
            DeletePendingEventBatchFile(Path);
            continue;
        }
        FJsonObjectPtr Object;
        if (!FJsonSerializer::Deserialize(Text, Object) || !Object)
        {
            QUORVEX_LOG(Error, "QuorvexSDK: OfflineStore: JSON parse failed, deleting path=%s",
                        Path.c_str());
            DeletePendingEventBatchFile(Path);
            continue;
        }
        ReadPendingBatch(*Object, Batch);
        OutPath = Path;
        return true;
    }
    // Nothing usable is left: whatever the counter still holds (files removed behind
    // our back, say by a start-up reclamation) would only eat into the storage limit.
    bHasPendingBatches = false;
    PendingBatchBytes = GetDiskUsage(Directory, PendingBatchWildcard);
    return false;
}

void FQuorvexOfflineStore::DeletePendingEventBatchFile(const FString& Path)
{
    std::lock_guard Lock(Mutex);
    EnsureStateInitializedLocked();
    if (Path.empty())
    {
        return;
    }
    const int64 Size = IFileManager::Get().FileSize(Path);
    IFileManager::Get().Delete(Path);
    PendingBatchesSinceMark.erase(FPaths::GetCleanFilename(Path));
    if (Size > 0)
    {
        PendingBatchBytes = std::max<int64>(0, PendingBatchBytes - Size);
    }
}

void FQuorvexOfflineStore::DeleteAllPendingEventBatchFiles()
{
    std::lock_guard Lock(Mutex);
    EnsureStateInitializedLocked();
    const FString Directory = GetPendingEventBatchDirectory();
    if (IFileManager::Get().DirectoryExists(Directory))
    {
        for (const FString& Name : IFileManager::Get().FindFiles(Directory, PendingBatchWildcard))
        {
            IFileManager::Get().Delete(FPaths::Combine(Directory, Name));
        }
    }
    bHasPendingBatches = false;
    PendingBatchBytes = 0;
    PendingBatchesSinceMark.clear();
}

void FQuorvexOfflineStore::MarkPendingBatchReclamation()
{
    std::lock_guard Lock(Mutex);
    PendingBatchesSinceMark.clear();
}

bool FQuorvexOfflineStore::WasPendingBatchSavedSinceMark(const FString& FileName)
{
    std::lock_guard Lock(Mutex);
    return PendingBatchesSinceMark.count(FileName) > 0;
}
