// The subsystem's side of the offline store: the storage limit it enforces and the
// reclamation of what an earlier session or run left on disk.
#include "QuorvexSubsystem.h"

#include "Files.h"
#include "QuorvexLog.h"
#include "QuorvexOfflineStore.h"
#include "Tasks.h"

#include <algorithm>
#include <optional>

namespace
{
constexpr int64 BytesPerMb = 1024 * 1024;

struct FReclaimed
{
    int32 Files = 0;
    int64 Bytes = 0;
};

// Deletes the matching files of Directory that Keep does not hold on to, counting
// only the ones whose delete really happened.
template <typename TKeep>
void DeleteMatching(const FString& Directory, const FString& Wildcard, TKeep Keep,
                    FReclaimed& Reclaimed)
{
    IFileManager& FileManager = IFileManager::Get();
    for (const FString& Name : FileManager.FindFiles(Directory, Wildcard))
    {
        if (Keep(Name))
        {
            continue;
        }
        const FString Path = FPaths::Combine(Directory, Name);
        const int64 Size = FileManager.FileSize(Path);
        if (FileManager.Delete(Path, /*bRequireExists=*/true))
        {
            ++Reclaimed.Files;
            Reclaimed.Bytes += std::max<int64>(0, Size);
        }
    }
}
} // namespace

FString UQuorvexSubsystem::GetMediaZipDirectory() const
{
    return FQuorvexOfflineStore::GetMediaArchiveDirectory();
}

int64 UQuorvexSubsystem::GetCurrentMaxStorageSizeBytes() const
{
    if (Session && Session->CaptureConfig.MaxStorageSizeMb >= 1)
    {
        return static_cast<int64>(Session->CaptureConfig.MaxStorageSizeMb) * BytesPerMb;
    }
    return static_cast<int64>(DefaultMaxStorageSizeMb) * BytesPerMb;
}

void UQuorvexSubsystem::DispatchStartupReclamationAsync(bool bIncludeScreenshots)
{
    const FString PendingDirectory = FQuorvexOfflineStore::GetPendingEventBatchDirectory();
    const FString ScreenshotDirectory = FQuorvexOfflineStore::GetBufferedScreenshotDirectory();
    const FString MediaDirectory = FQuorvexOfflineStore::GetMediaArchiveDirectory();
    // Screenshots numbered after this one belong to the session that is starting:
    // the task may run late, after the new session wrote its first frames.
    std::optional<int64> NewestOldScreenshot;
    if (bIncludeScreenshots)
    {
        NewestOldScreenshot = OfflineStore->GetLastScreenshotSequence();
    }
    // Likewise for pending batches the new session parks before the task runs.
    OfflineStore->MarkPendingBatchReclamation();
    // Archives and form bodies are only stranded when no upload of this process can
    // still be using them; the new session's first ones are spared by their age (a
    // second of slack covers file systems whose clocks are coarse).
    std::optional<FDateTime> SweepOlderThan;
    if (bIncludeScreenshots)
    {
        SweepOlderThan =
            FDateTime::FromUnixMicroseconds(FDateTime::UtcNow().ToUnixMicroseconds() - 1000 * 1000);
    }
    AsyncTask(
        ENamedThreads::AnyBackgroundThreadNormalTask,
        [PendingDirectory, ScreenshotDirectory, MediaDirectory, NewestOldScreenshot, SweepOlderThan,
         Store = OfflineStore]
        {
            FReclaimed Reclaimed;
            DeleteMatching(
                PendingDirectory, "batch_*.json",
                [&Store](const FString& Name)
                { return Store->WasPendingBatchSavedSinceMark(Name); },
                Reclaimed);
            const int32 PendingFiles = Reclaimed.Files;
            if (NewestOldScreenshot)
            {
                const auto IsNewer = [Bound = *NewestOldScreenshot](const FString& Name)
                {
                    int64 Sequence = 0;
                    return FQuorvexOfflineStore::TryParseScreenshotFileSequence(Name, Sequence) &&
                           Sequence > Bound;
                };
                DeleteMatching(ScreenshotDirectory, "frame_*.jpg", IsNewer, Reclaimed);
            }
            if (SweepOlderThan)
            {
                FQuorvexOfflineStore::SweepStrandedUploadArtifacts(MediaDirectory, SweepOlderThan);
            }
            if (const int32 Screenshots = Reclaimed.Files - PendingFiles; Screenshots > 0)
            {
                QUORVEX_LOG(Log, "QuorvexSDK: discarded %d buffered screenshot(s): %s", Screenshots,
                            "an earlier session left them behind");
            }
            if (Reclaimed.Files > 0)
            {
                QUORVEX_LOG(Log,
                            "QuorvexSDK: OfflineStore: reclaimed %d file(s) (%lld bytes) from a "
                            "previous run.",
                            Reclaimed.Files, static_cast<long long>(Reclaimed.Bytes));
            }
        });
}
