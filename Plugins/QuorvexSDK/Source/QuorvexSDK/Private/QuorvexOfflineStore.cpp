// The offline store's folders, its lazy start-up scan, the byte accounting and the
// buffered screenshot files.
#include "QuorvexOfflineStore.h"

#include "Files.h"
#include "QuorvexLog.h"
#include "StringUtils.h"

#include <algorithm>
#include <limits>

namespace
{
constexpr const char* PendingBatchWildcard = "batch_*.json";
constexpr const char* ScreenshotWildcard = "frame_*.jpg";

FString StoreRoot()
{
    return FPaths::Combine(FPaths::ProjectSavedDir(), "QuorvexSDK");
}

void SubtractClamped(int64& Counter, int64 Bytes)
{
    Counter = std::max<int64>(0, Counter - Bytes);
}
} // namespace

// ---- Disk layout ----

FString FQuorvexOfflineStore::GetPendingEventBatchDirectory()
{
    return FPaths::Combine(StoreRoot(), "PendingEventBatches");
}

FString FQuorvexOfflineStore::GetBufferedScreenshotDirectory()
{
    return FPaths::Combine(StoreRoot(), "BufferedScreenshots");
}

FString FQuorvexOfflineStore::GetMediaArchiveDirectory()
{
    return FPaths::Combine(StoreRoot(), "MediaZips");
}

int64 FQuorvexOfflineStore::GetDiskUsage(const FString& Directory, const FString& Wildcard)
{
    IFileManager& FileManager = IFileManager::Get();
    if (!FileManager.DirectoryExists(Directory))
    {
        return 0;
    }
    int64 Total = 0;
    for (const FString& Name : FileManager.FindFiles(Directory, Wildcard))
    {
        Total += std::max<int64>(0, FileManager.FileSize(FPaths::Combine(Directory, Name)));
    }
    return Total;
}

bool FQuorvexOfflineStore::TryParseScreenshotFileSequence(std::string_view FileName,
                                                          int64& OutSequence)
{
    constexpr std::string_view Prefix = "frame_";
    constexpr std::string_view Suffix = ".jpg";
    if (FileName.size() <= Prefix.size() + Suffix.size() || !FileName.starts_with(Prefix) ||
        !FStringUtils::EndsWithIgnoreCase(FileName, Suffix))
    {
        return false;
    }
    const std::string_view Digits =
        FileName.substr(Prefix.size(), FileName.size() - Prefix.size() - Suffix.size());
    int64 Value = 0;
    for (const char C : Digits)
    {
        if (C < '0' || C > '9')
        {
            return false;
        }
        const int64 Digit = C - '0';
        if (Value > (std::numeric_limits<int64>::max() - Digit) / 10)
        {
            return false;
        }
        Value = Value * 10 + Digit;
    }
    OutSequence = Value;
    return true;
}

void FQuorvexOfflineStore::SweepStrandedUploadArtifacts(const FString& Directory,
                                                        std::optional<FDateTime> OlderThan)
{
    IFileManager& FileManager = IFileManager::Get();
    int32 Deleted = 0;
    int64 DeletedBytes = 0;
    for (const char* Wildcard : {"*.zip", "multipart_*.bin"})
    {
        for (const FString& Name : FileManager.FindFiles(Directory, Wildcard))
        {
            const FString Path = FPaths::Combine(Directory, Name);
            if (OlderThan && FileManager.GetTimeStamp(Path) >= *OlderThan)
            {
                continue;
            }
            const int64 Size = FileManager.FileSize(Path);
            // Only what really went counts: a file someone else removed meanwhile does not.
            if (FileManager.Delete(Path, /*bRequireExists=*/true))
            {
                ++Deleted;
                DeletedBytes += std::max<int64>(0, Size);
            }
        }
    }
    if (Deleted > 0)
    {
        QUORVEX_LOG(Log,
                    "QuorvexSDK: OfflineStore: swept %d stranded upload artifact(s) (%lld bytes).",
                    Deleted, static_cast<long long>(DeletedBytes));
    }
}

// ---- Lazy initialisation ----

void FQuorvexOfflineStore::EnsureStateInitializedLocked()
{
    if (bStateInitialized)
    {
        return;
    }
    bStateInitialized = true;
    DiscardPendingBatchesOfEarlierRunLocked();
    CountBufferedScreenshotsLocked();
    PendingBatchBytes = 0;
    bHasPendingBatches = false;
    if (BufferedScreenshotBytes >= 1)
    {
        QUORVEX_LOG(Log,
                    "QuorvexSDK: OfflineStore: recovered persisted screenshots from previous run "
                    "screenshotBytes=%lld nextSequence=%lld",
                    static_cast<long long>(BufferedScreenshotBytes),
                    static_cast<long long>(LastScreenshotSequence + 1));
    }
}

void FQuorvexOfflineStore::DiscardPendingBatchesOfEarlierRunLocked()
{
    const FString Directory = GetPendingEventBatchDirectory();
    const int64 Bytes = GetDiskUsage(Directory, PendingBatchWildcard);
    if (Bytes < 1)
    {
        return;
    }
    // They name a session that no longer exists, so they can never be uploaded.
    const std::vector<FString> Names =
        IFileManager::Get().FindFiles(Directory, PendingBatchWildcard);
    for (const FString& Name : Names)
    {
        IFileManager::Get().Delete(FPaths::Combine(Directory, Name));
    }
    QUORVEX_LOG(Log,
                "QuorvexSDK: OfflineStore: discarded %d pending batch file(s) (%lld bytes) from a "
                "previous run; they belong to a session that no longer exists.",
                static_cast<int32>(Names.size()), static_cast<long long>(Bytes));
}

int64 FQuorvexOfflineStore::FindHighestScreenshotSequence()
{
    int64 Highest = 0;
    for (const FString& Name :
         IFileManager::Get().FindFiles(GetBufferedScreenshotDirectory(), ScreenshotWildcard))
    {
        int64 Sequence = 0;
        if (TryParseScreenshotFileSequence(Name, Sequence))
        {
            Highest = std::max(Highest, Sequence);
        }
    }
    return Highest;
}

void FQuorvexOfflineStore::CountBufferedScreenshotsLocked()
{
    // The files stay: they are reclaimed by the next fresh start or clear, and new
    // screenshots are numbered after the highest one found so none is overwritten.
    BufferedScreenshotBytes = 0;
    LastScreenshotSequence = 0;
    const FString Directory = GetBufferedScreenshotDirectory();
    for (const FString& Name : IFileManager::Get().FindFiles(Directory, ScreenshotWildcard))
    {
        const int64 Size = IFileManager::Get().FileSize(FPaths::Combine(Directory, Name));
        if (Size > 0)
        {
            BufferedScreenshotBytes += Size;
        }
        int64 Sequence = 0;
        if (TryParseScreenshotFileSequence(Name, Sequence))
        {
            LastScreenshotSequence = std::max(LastScreenshotSequence, Sequence);
        }
    }
}

// ---- Accounting ----

int64 FQuorvexOfflineStore::GetTotalBufferedStorageBytesLocked() const
{
    return PendingBatchBytes + BufferedScreenshotBytes + MediaArchiveBytes;
}

void FQuorvexOfflineStore::RefreshMediaArchiveBytesLocked()
{
    const FString Directory = GetMediaArchiveDirectory();
    MediaArchiveBytes =
        GetDiskUsage(Directory, "multipart_*.bin") + GetDiskUsage(Directory, "*.zip");
}

void FQuorvexOfflineStore::SubtractScreenshotBytesLocked(int64 Bytes)
{
    SubtractClamped(BufferedScreenshotBytes, Bytes);
}

int64 FQuorvexOfflineStore::GetTotalBufferedStorageBytes()
{
    std::lock_guard Lock(Mutex);
    EnsureStateInitializedLocked();
    RefreshMediaArchiveBytesLocked();
    return GetTotalBufferedStorageBytesLocked();
}

bool FQuorvexOfflineStore::HasPendingBatches()
{
    std::lock_guard Lock(Mutex);
    EnsureStateInitializedLocked();
    return bHasPendingBatches;
}

int64 FQuorvexOfflineStore::GetLastScreenshotSequence()
{
    std::lock_guard Lock(Mutex);
    EnsureStateInitializedLocked();
    return LastScreenshotSequence;
}

void FQuorvexOfflineStore::ForgetBufferedState()
{
    std::lock_guard Lock(Mutex);
    if (!bStateInitialized)
    {
        // Nothing has looked at the disk yet. The names an earlier run left are
        // still needed, so that new screenshots never take one of them (and the
        // start-up reclamation, which spares newer numbers, never deletes one).
        LastScreenshotSequence = std::max(LastScreenshotSequence, FindHighestScreenshotSequence());
    }
    bStateInitialized = true;
    PendingBatchBytes = 0;
    BufferedScreenshotBytes = ScreenshotWriteBytesInFlightLocked(); // they land after this
    MediaArchiveBytes = 0;
    bHasPendingBatches = false;
}

// ---- Screenshots ----

void FQuorvexOfflineStore::EnsureScreenshotDirectoryLocked()
{
    if (bScreenshotDirectoryReady)
    {
        return;
    }
    // Remembered only once the folder exists, so one failed attempt (a transient
    // error) does not make every later screenshot write fail.
    bScreenshotDirectoryReady =
        IFileManager::Get().MakeDirectory(GetBufferedScreenshotDirectory(), /*bTree=*/true);
}

FString FQuorvexOfflineStore::NextScreenshotPathLocked()
{
    ++LastScreenshotSequence;
    return FPaths::Combine(
        GetBufferedScreenshotDirectory(),
        FStringUtils::Printf("frame_%020lld.jpg", static_cast<long long>(LastScreenshotSequence)));
}

int64 FQuorvexOfflineStore::ScreenshotWriteBytesInFlightLocked() const
{
    int64 Total = 0;
    for (const auto& [Path, Bytes] : ScreenshotWritesInFlight)
    {
        Total += Bytes;
    }
    return Total;
}

void FQuorvexOfflineStore::ReconcileScreenshotBytesLocked()
{
    // A file still being written counts with its reserved size, not with whatever
    // part of it is on disk yet: other workers write outside the lock.
    const FString Directory = GetBufferedScreenshotDirectory();
    int64 Measured = ScreenshotWriteBytesInFlightLocked();
    for (const FString& Name : IFileManager::Get().FindFiles(Directory, ScreenshotWildcard))
    {
        const FString Path = FPaths::Combine(Directory, Name);
        if (!ScreenshotWritesInFlight.contains(Path))
        {
            Measured += std::max<int64>(0, IFileManager::Get().FileSize(Path));
        }
    }
    if (Measured != BufferedScreenshotBytes)
    {
        QUORVEX_LOG(Warning,
                    "QuorvexSDK: OfflineStore: screenshot byte accounting drifted; reconciling "
                    "cached=%lld measured=%lld",
                    static_cast<long long>(BufferedScreenshotBytes),
                    static_cast<long long>(Measured));
        BufferedScreenshotBytes = std::max<int64>(0, Measured);
    }
}

std::optional<FQuorvexScreenshotRecord> FQuorvexOfflineStore::CreateScreenshotRecord(
    int64 Timestamp, int32 CaptureDurationMs, int32 MainThreadCaptureMs, int32 Width, int32 Height,
    std::span<const uint8> Jpeg, bool bEnforceLimit, int64 LimitBytes,
    const FStoreCallback& OnLimitDrop, const FStoreCallback& OnWriteFailure)
{
    if (Jpeg.empty())
    {
        return std::nullopt;
    }
    const int64 Bytes = static_cast<int64>(Jpeg.size());
    FString Path;
    {
        std::lock_guard Lock(Mutex);
        EnsureStateInitializedLocked();
        bool bDropped = false;
        if (bEnforceLimit && GetTotalBufferedStorageBytesLocked() + Bytes > LimitBytes)
        {
            // The cached count may be stale (files removed behind our back): measure
            // before turning a screenshot away.
            ReconcileScreenshotBytesLocked();
            RefreshMediaArchiveBytesLocked();
            const int64 Used = GetTotalBufferedStorageBytesLocked();
            if (Used + Bytes > LimitBytes)
            {
                QUORVEX_LOG(Warning,
                            "QuorvexSDK: OfflineStore: screenshot dropped, storage limit reached "
                            "usedBytes=%lld limitBytes=%lld incomingBytes=%lld",
                            static_cast<long long>(Used), static_cast<long long>(LimitBytes),
                            static_cast<long long>(Bytes));
                bDropped = true;
            }
        }
        if (!bDropped)
        {
            EnsureScreenshotDirectoryLocked();
            Path = NextScreenshotPathLocked();
            BufferedScreenshotBytes += Bytes; // reserved before the write
            ScreenshotWritesInFlight.emplace(Path, Bytes);
        }
    }
    if (Path.empty())
    {
        if (OnLimitDrop)
        {
            OnLimitDrop();
        }
        return std::nullopt;
    }
    const bool bWritten = FFileHelper::SaveBytesToFile(Jpeg.data(), Bytes, Path);
    {
        std::lock_guard Lock(Mutex);
        ScreenshotWritesInFlight.erase(Path);
        if (!bWritten)
        {
            SubtractScreenshotBytesLocked(Bytes);
        }
    }
    if (!bWritten)
    {
        QUORVEX_LOG(Error, "QuorvexSDK: OfflineStore: screenshot write failed path=%s bytes=%lld",
                    Path.c_str(), static_cast<long long>(Bytes));
        if (OnWriteFailure)
        {
            OnWriteFailure();
        }
        return std::nullopt;
    }
    FQuorvexScreenshotRecord Record;
    Record.Timestamp = Timestamp;
    Record.CaptureDurationMs = CaptureDurationMs;
    Record.MainThreadCaptureMs = MainThreadCaptureMs;
    Record.Width = Width;
    Record.Height = Height;
    Record.FilePath = Path;
    Record.ByteSize = Bytes;
    return Record;
}

bool FQuorvexOfflineStore::DeleteBufferedScreenshotFile(const FQuorvexScreenshotRecord& Record)
{
    if (Record.FilePath.empty())
    {
        return false;
    }
    {
        std::lock_guard Lock(Mutex);
        EnsureStateInitializedLocked();
        SubtractScreenshotBytesLocked(Record.ByteSize);
    }
    return IFileManager::Get().Delete(Record.FilePath, /*bRequireExists=*/true);
}

int32 FQuorvexOfflineStore::DeleteBufferedScreenshotFiles(
    const std::vector<FQuorvexScreenshotRecord>& Records)
{
    std::vector<FString> Paths;
    {
        std::lock_guard Lock(Mutex);
        EnsureStateInitializedLocked();
        for (const FQuorvexScreenshotRecord& Record : Records)
        {
            if (!Record.FilePath.empty())
            {
                SubtractScreenshotBytesLocked(Record.ByteSize);
                Paths.push_back(Record.FilePath);
            }
        }
    }
    int32 Deleted = 0;
    for (const FString& Path : Paths)
    {
        Deleted += IFileManager::Get().Delete(Path, /*bRequireExists=*/true) ? 1 : 0;
    }
    return Deleted;
}

int32 FQuorvexOfflineStore::DeleteAllBufferedScreenshotFiles()
{
    std::lock_guard Lock(Mutex);
    EnsureStateInitializedLocked();
    int32 Deleted = 0;
    const FString Directory = GetBufferedScreenshotDirectory();
    if (IFileManager::Get().DirectoryExists(Directory))
    {
        for (const FString& Name : IFileManager::Get().FindFiles(Directory, ScreenshotWildcard))
        {
            const FString Path = FPaths::Combine(Directory, Name);
            if (!ScreenshotWritesInFlight.contains(Path) &&
                IFileManager::Get().Delete(Path, /*bRequireExists=*/true))
            {
                ++Deleted;
            }
        }
        bScreenshotDirectoryReady = false;
    }
    // Screenshots still being written land after the sweep and stay counted.
    BufferedScreenshotBytes = ScreenshotWriteBytesInFlightLocked();
    return Deleted;
}

void FQuorvexOfflineStore::PurgeUnreadableBufferedScreenshots(
    const std::vector<FQuorvexBufferedFile>& Files)
{
    if (Files.empty())
    {
        return;
    }
    {
        std::lock_guard Lock(Mutex);
        EnsureStateInitializedLocked();
        for (const auto& [Path, Bytes] : Files)
        {
            if (!Path.empty())
            {
                SubtractScreenshotBytesLocked(Bytes);
            }
        }
    }
    for (const auto& [Path, Bytes] : Files)
    {
        if (!Path.empty() && !IFileManager::Get().Delete(Path))
        {
            QUORVEX_LOG(Warning,
                        "QuorvexSDK: OfflineStore: could not delete unreadable screenshot "
                        "path=%s; its %lld byte(s) were released anyway",
                        Path.c_str(), static_cast<long long>(Bytes));
        }
    }
}
