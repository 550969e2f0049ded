// Batches: detaching what was gathered since the last batch, building its archive,
// and trimming it when teardown must send it inline.
#include "QuorvexSubsystem.h"

#include "DateTime.h"
#include "Files.h"
#include "Guid.h"
#include "QuorvexApiClient.h"
#include "QuorvexDetachedBatchData.h"
#include "QuorvexInputTracker.h"
#include "QuorvexLog.h"
#include "QuorvexOfflineStore.h"
#include "QuorvexStoredZipWriter.h"
#include "QuorvexUploadOrchestrator.h"
#include "StringUtils.h"

namespace
{
std::vector<uint8> Utf8Bytes(const FString& Text)
{
    return std::vector<uint8>(Text.begin(), Text.end());
}

// "<session>_<20-digit sequence>_<timestamp>_<GUID>.zip"
FString BatchArchiveName(const FQuorvexDetachedBatchData& Batch)
{
    const FString Session =
        FPaths::MakeValidFileName(Batch.SessionId.empty() ? FString("session") : Batch.SessionId);
    return FStringUtils::Printf("%s_%020lld_%lld_%s.zip", Session.c_str(),
                                static_cast<long long>(Batch.SequenceNumber),
                                static_cast<long long>(Batch.Timestamp),
                                FGuid::NewGuid().ToString(EGuidFormats::Digits).c_str());
}
} // namespace

bool UQuorvexSubsystem::TryDetachCurrentBatch(FQuorvexDetachedBatchData& Out)
{
    FQuorvexGestures Gestures{InputTracker->FlushTaps(),
                              InputTracker->FlushSwipes(),
                              InputTracker->FlushLongPresses(),
                              InputTracker->FlushKeyEvents(),
                              InputTracker->FlushMouseButtonEvents(),
                              InputTracker->FlushScrollEvents()};
    Gestures.Append(std::exchange(LiveBatch.Gestures, {}));
    std::vector<FQuorvexScreenshotRecord> Records = std::exchange(LiveBatch.Screenshots, {});
    if (Gestures.IsEmpty() && Records.empty())
    {
        return false;
    }
    Out = FQuorvexDetachedBatchData();
    Out.SessionId = Session ? Session->SessionId : FString();
    Out.Timestamp = NowMs();
    Out.SequenceNumber = SessionContext.NextBatchSequence++;
    Out.InGameId = SessionContext.InGameId;
    Out.DeveloperPayload = SessionContext.DeveloperPayload;
    Out.Taps = std::move(Gestures.Taps);
    Out.Swipes = std::move(Gestures.Swipes);
    Out.LongPresses = std::move(Gestures.LongPresses);
    Out.KeyEvents = std::move(Gestures.KeyEvents);
    Out.MouseButtons = std::move(Gestures.MouseButtons);
    Out.Scrolls = std::move(Gestures.Scrolls);
    Out.Metadata = BuildMetadataSnapshot();
    Out.ScreenshotRecords = std::move(Records);
    Out.CaptureMode = Session ? Session->CaptureConfig.CaptureMode : FString("Screenshots");
    Out.ImageFormat = Session ? Session->CaptureConfig.ImageFormat : FString("Jpeg");
    return true;
}

bool UQuorvexSubsystem::BuildBatchZip(const FQuorvexDetachedBatchData& Batch,
                                      FQuorvexOfflineStore& Store,
                                      std::vector<FQuorvexMediaFrame>& OutFrames,
                                      FString& OutZipPath, int64& OutZipSize)
{
    FQuorvexStoredZipWriter Zip;
    std::vector<FQuorvexScreenshotAttachment> Kept;
    std::vector<FQuorvexBufferedFile> Unreadable;
    int32 UnreadableCount = 0;
    for (FQuorvexScreenshotAttachment& Attachment :
         FQuorvexOfflineStore::BuildScreenshotAttachments(Batch.ScreenshotRecords))
    {
        if (!Attachment.FilePath.empty())
        {
            if (!Zip.AddFile(Attachment.EntryName, Attachment.FilePath))
            {
                ++UnreadableCount;
                const int32 Index = Attachment.RecordIndex;
                if (Index >= 0 && Index < static_cast<int32>(Batch.ScreenshotRecords.size()))
                {
                    Unreadable.emplace_back(Attachment.FilePath,
                                            Batch.ScreenshotRecords[Index].ByteSize);
                }
                continue;
            }
        }
        else
        {
            Zip.AddBytes(Attachment.EntryName, Attachment.Bytes);
        }
        Kept.push_back(std::move(Attachment));
    }
    OutFrames = FQuorvexOfflineStore::BuildFramesForAttachments(Batch.ScreenshotRecords, Kept);
    if (UnreadableCount > 0)
    {
        QUORVEX_LOG(Warning,
                    "QuorvexSDK: batch zip: %d frame(s) were unreadable and left out (and out of "
                    "events.json). seq=%lld",
                    UnreadableCount, static_cast<long long>(Batch.SequenceNumber));
    }
    if (!Unreadable.empty())
    {
        QUORVEX_LOG(Warning,
                    "QuorvexSDK: purging %d unreadable buffered screenshot(s) after building the "
                    "upload archive. firstPath=%s",
                    static_cast<int32>(Unreadable.size()), Unreadable.front().first.c_str());
        Store.PurgeUnreadableBufferedScreenshots(Unreadable);
    }
    // Inserted at the front, manifest first, so events.json ends up first.
    Zip.InsertBytesAtFront("manifest.json",
                           Utf8Bytes(FQuorvexApiClient::BuildManifestJson(Batch, OutFrames)));
    Zip.InsertBytesAtFront("events.json",
                           Utf8Bytes(FQuorvexApiClient::BuildEventJson(Batch, OutFrames)));
    OutZipPath =
        FPaths::Combine(FQuorvexOfflineStore::GetMediaArchiveDirectory(), BatchArchiveName(Batch));
    OutZipSize = Zip.WriteToFile(OutZipPath);
    if (OutZipSize < 0)
    {
        OutZipPath.clear();
        return false;
    }
    return true;
}

void UQuorvexSubsystem::TrimBatchForSynchronousFlush(FQuorvexDetachedBatchData& Batch)
{
    const int32 Count = static_cast<int32>(Batch.ScreenshotRecords.size());
    if (!Uploads->IsFinalFlushInline() || Count <= MaxFramesInSynchronousFinalFlush)
    {
        return;
    }
    std::vector<FQuorvexScreenshotRecord> Dropped(Batch.ScreenshotRecords.begin() +
                                                      MaxFramesInSynchronousFinalFlush,
                                                  Batch.ScreenshotRecords.end());
    Batch.ScreenshotRecords.resize(MaxFramesInSynchronousFinalFlush);
    QUORVEX_LOG(Warning,
                "QuorvexSDK: Final flush is inline at teardown; dropping %d of %d frame(s) to "
                "stay inside the OS shutdown budget. seq=%lld",
                static_cast<int32>(Dropped.size()), Count,
                static_cast<long long>(Batch.SequenceNumber));
    OfflineStore->DeleteBufferedScreenshotFiles(Dropped);
}
