// The offline store's screenshot files and byte accounting, on real files in a
// fresh saved folder, with the file layer's fault hook breaking writes and deletes
// where they really happen.
#include "OfflineStoreTestSupport.h"

#include "FileFaults.h"
#include "Hashing.h"
#include "QuorvexDetachedBatchData.h"
#include "QuorvexSubsystemTestBase.h"
#include "Tasks.h"

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

namespace
{
class OfflineStoreTest : public FOfflineStoreTestBase
{
};

TEST_F(OfflineStoreTest, FoldersLieUnderTheSavedFolderAndAreNotCreatedByTheAccessors)
{
    const FString Root = FPaths::Combine(Saved.Path(), "QuorvexSDK");
    EXPECT_EQ(FQuorvexOfflineStore::GetPendingEventBatchDirectory(),
              FPaths::Combine(Root, "PendingEventBatches"));
    EXPECT_EQ(FQuorvexOfflineStore::GetBufferedScreenshotDirectory(),
              FPaths::Combine(Root, "BufferedScreenshots"));
    EXPECT_EQ(FQuorvexOfflineStore::GetMediaArchiveDirectory(), FPaths::Combine(Root, "MediaZips"));
    EXPECT_FALSE(IFileManager::Get().DirectoryExists(Root));
}

TEST(OfflineStoreNames, ScreenshotFileSequenceParsing)
{
    struct FCase
    {
        const char* Name;
        bool bAccepted;
        int64 Sequence;
    };
    const FCase Cases[] = {
        {"frame_00000000000000000042.jpg", true, 42},
        {"frame_7.JPG", true, 7},
        {"frame_0.jpg", true, 0},
        {"frame_9223372036854775807.jpg", true, INT64_MAX},
        {"frame_9223372036854775808.jpg", false, 0},
        {"frame_99999999999999999999.jpg", false, 0},
        {"frame_.jpg", false, 0},
        {"frame_12a4.jpg", false, 0},
        {"frame_-1.jpg", false, 0},
        {"frame_ 1.jpg", false, 0},
        {"Frame_1.jpg", false, 0},
        {"frame_1.jpeg", false, 0},
        {"frame_1.jpg.tmp", false, 0},
        {"batch_1.jpg", false, 0},
        {"", false, 0},
    };
    for (const FCase& Case : Cases)
    {
        int64 Sequence = -5;
        EXPECT_EQ(FQuorvexOfflineStore::TryParseScreenshotFileSequence(Case.Name, Sequence),
                  Case.bAccepted)
            << Case.Name;
        if (Case.bAccepted)
        {
            EXPECT_EQ(Sequence, Case.Sequence) << Case.Name;
        }
    }
}

TEST_F(OfflineStoreTest, ScreenshotBecomesANumberedFileAndIsCounted)
{
    const FBytes Jpeg = PatternBytes(1234, 9);
    const std::optional<FQuorvexScreenshotRecord> Record = Store.CreateScreenshotRecord(
        1700000000123, 41, 6, 1280, 720, Jpeg, false, 0, nullptr, nullptr);
    ASSERT_TRUE(Record);
    EXPECT_EQ(Record->Timestamp, 1700000000123);
    EXPECT_EQ(Record->CaptureDurationMs, 41);
    EXPECT_EQ(Record->MainThreadCaptureMs, 6);
    EXPECT_EQ(Record->Width, 1280);
    EXPECT_EQ(Record->Height, 720);
    EXPECT_TRUE(Record->JpegBytes.empty());
    EXPECT_TRUE(Record->Base64Jpeg.empty());
    EXPECT_EQ(Record->FilePath, ScreenshotPath(1));
    EXPECT_EQ(Record->ByteSize, 1234);
    EXPECT_EQ(ReadFileBytes(Record->FilePath), Jpeg);

    ASSERT_TRUE(Capture(100));
    EXPECT_EQ(Store.GetTotalBufferedStorageBytes(), 1334);
    EXPECT_EQ(Store.GetLastScreenshotSequence(), 2);
    EXPECT_TRUE(IFileManager::Get().FileExists(ScreenshotPath(2)));
}

TEST_F(OfflineStoreTest, EmptyScreenshotIsRefusedWithoutCallbacks)
{
    EXPECT_FALSE(Capture(0, true, 0));
    EXPECT_EQ(Calls.LimitDrops, 0);
    EXPECT_EQ(Calls.WriteFailures, 0);
    EXPECT_EQ(Store.GetLastScreenshotSequence(), 0);
}

// With 600 bytes stored and a limit of 1000, a total landing exactly on the limit is
// admitted and one byte more is dropped once the disk was measured again.
TEST_F(OfflineStoreTest, LimitAdmitsUpToTheLimitAndDropsBeyondIt)
{
    struct FCase
    {
        size_t Incoming;
        bool bAdmitted;
    };
    for (const FCase Case : {FCase{400, true}, FCase{401, false}})
    {
        SCOPED_TRACE(Case.Incoming);
        FTempDir Folder;
        FPaths::SetProjectSavedDir(Folder.Path());
        FQuorvexOfflineStore Fresh;
        FCalls FreshCalls;
        const FBytes First = PatternBytes(600, 1);
        ASSERT_TRUE(
            Fresh.CreateScreenshotRecord(1, 1, 1, 1, 1, First, true, 1000, nullptr, nullptr));
        Log.Clear();

        const FBytes Jpeg = PatternBytes(Case.Incoming, 2);
        const auto Record = Fresh.CreateScreenshotRecord(
            2, 1, 1, 1, 1, Jpeg, true, 1000, [&] { ++FreshCalls.LimitDrops; }, nullptr);
        EXPECT_EQ(Record.has_value(), Case.bAdmitted);
        EXPECT_EQ(FreshCalls.LimitDrops, Case.bAdmitted ? 0 : 1);
        EXPECT_EQ(Fresh.GetTotalBufferedStorageBytes(), Case.bAdmitted ? 1000 : 600);
        EXPECT_EQ(FilesIn(FQuorvexOfflineStore::GetBufferedScreenshotDirectory()).size(),
                  Case.bAdmitted ? 2u : 1u);
        EXPECT_EQ(Log.Has(ELogVerbosity::Warning,
                          "QuorvexSDK: OfflineStore: screenshot dropped, storage limit reached "
                          "usedBytes=600 limitBytes=1000 incomingBytes=401"),
                  !Case.bAdmitted);
        EXPECT_FALSE(Log.Contains("drifted"));
    }
    FPaths::SetProjectSavedDir(Saved.Path());
}

TEST_F(OfflineStoreTest, StaleCountIsReconciledBeforeDropping)
{
    const auto First = Capture(500, true, 1200, 1);
    ASSERT_TRUE(Capture(500, true, 1200, 2));
    ASSERT_TRUE(First);
    // Removed behind the store's back: the cached count still says 1000.
    ASSERT_TRUE(IFileManager::Get().Delete(First->FilePath));

    const auto Admitted = Capture(600, true, 1200, 3);
    EXPECT_TRUE(Admitted);
    EXPECT_EQ(Calls.LimitDrops, 0);
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning, "QuorvexSDK: OfflineStore: screenshot byte "
                                                "accounting drifted; reconciling cached=1000 "
                                                "measured=500"));
    EXPECT_EQ(Store.GetTotalBufferedStorageBytes(), 1100);
}

TEST_F(OfflineStoreTest, MediaArchivesCountTowardsTheLimit)
{
    const FString Media = FQuorvexOfflineStore::GetMediaArchiveDirectory();
    WriteFileOfSize(FPaths::Combine(Media, "s_1.zip"), 300);
    WriteFileOfSize(FPaths::Combine(Media, "multipart_abc.bin"), 200);
    WriteFileOfSize(FPaths::Combine(Media, "notes.txt"), 999); // not ours to count
    EXPECT_EQ(Store.GetTotalBufferedStorageBytes(), 500);

    EXPECT_TRUE(Capture(500, true, 1000));
    EXPECT_FALSE(Capture(1, true, 1000));
    EXPECT_TRUE(Log.Contains("usedBytes=1000 limitBytes=1000 incomingBytes=1"));
}

TEST_F(OfflineStoreTest, FailedWriteReleasesItsReservationAndReports)
{
    ASSERT_TRUE(Capture(100));
    const int64 Before = Store.GetTotalBufferedStorageBytes();
    {
        FScopedFileFault Fault(EFileFault::FailWrite, "frame_", 10);
        EXPECT_FALSE(Capture(250, true, 100000));
    }
    EXPECT_EQ(Calls.WriteFailures, 1);
    EXPECT_EQ(Calls.LimitDrops, 0);
    EXPECT_EQ(Store.GetTotalBufferedStorageBytes(), Before);
    EXPECT_FALSE(IFileManager::Get().FileExists(ScreenshotPath(2)));
    EXPECT_TRUE(
        Log.Has(ELogVerbosity::Error, "QuorvexSDK: OfflineStore: screenshot write failed path=" +
                                          ScreenshotPath(2) + " bytes=250"));
    // The next screenshot takes the next number; nothing is overwritten.
    const auto Next = Capture(50);
    ASSERT_TRUE(Next);
    EXPECT_EQ(Next->FilePath, ScreenshotPath(3));
}

TEST_F(OfflineStoreTest, FailedFolderCreationIsRetriedByTheNextScreenshot)
{
    FFileFaults::Add({EFileFault::FailMakeDirectory, "BufferedScreenshots", 0, 1});
    EXPECT_FALSE(Capture(100));
    EXPECT_EQ(Calls.WriteFailures, 1);
    EXPECT_TRUE(Capture(100));
    EXPECT_EQ(Store.GetTotalBufferedStorageBytes(), 100);
}

TEST_F(OfflineStoreTest, RestartCountsEarlierScreenshotsAndDiscardsEarlierBatches)
{
    WriteFileOfSize(ScreenshotPath(42), 100);
    WriteFileOfSize(ScreenshotPath(7), 50);
    WriteFileOfSize(FPaths::Combine(FQuorvexOfflineStore::GetBufferedScreenshotDirectory(),
                                    "frame_damaged.jpg"),
                    5);
    const FString Pending = FQuorvexOfflineStore::GetPendingEventBatchDirectory();
    WriteFileOfSize(FPaths::Combine(Pending, "batch_00000000000000000001_aa.json"), 30);
    WriteFileOfSize(FPaths::Combine(Pending, "batch_00000000000000000002_bb.json"), 40);

    EXPECT_EQ(Store.GetTotalBufferedStorageBytes(), 155);
    EXPECT_FALSE(Store.HasPendingBatches());
    EXPECT_TRUE(FilesIn(Pending).empty());
    EXPECT_TRUE(Log.Has(ELogVerbosity::Log,
                        "QuorvexSDK: OfflineStore: discarded 2 pending batch file(s) (70 bytes) "
                        "from a previous run; they belong to a session that no longer exists."));
    EXPECT_TRUE(Log.Has(ELogVerbosity::Log, "QuorvexSDK: OfflineStore: recovered persisted "
                                            "screenshots from previous run screenshotBytes=155 "
                                            "nextSequence=43"));
    const auto Next = Capture(10);
    ASSERT_TRUE(Next);
    EXPECT_EQ(Next->FilePath, ScreenshotPath(43));
    EXPECT_TRUE(IFileManager::Get().FileExists(ScreenshotPath(42)));
}

TEST_F(OfflineStoreTest, CleanStartLogsNothing)
{
    EXPECT_EQ(Store.GetTotalBufferedStorageBytes(), 0);
    EXPECT_TRUE(Log.Matching("OfflineStore").empty());
}

TEST_F(OfflineStoreTest, ForgetBufferedStateZeroesCountersButKeepsNumbering)
{
    ASSERT_TRUE(Capture(100, false, 0, 1));
    ASSERT_TRUE(Capture(100, false, 0, 2));
    Store.ForgetBufferedState();
    EXPECT_EQ(Store.GetTotalBufferedStorageBytes(), 0);
    EXPECT_EQ(FilesIn(FQuorvexOfflineStore::GetBufferedScreenshotDirectory()).size(), 2u);
    const auto Next = Capture(10);
    ASSERT_TRUE(Next);
    EXPECT_EQ(Next->FilePath, ScreenshotPath(3));
}

// Forgetting before anything looked at the disk must still number new screenshots
// after an earlier run's, or a new file would take an old name.
TEST_F(OfflineStoreTest, ForgetOnAnUntouchedStoreStillNumbersAfterEarlierFiles)
{
    WriteFileOfSize(ScreenshotPath(12), 64, 3);
    Store.ForgetBufferedState();
    const auto Next = Capture(10);
    ASSERT_TRUE(Next);
    EXPECT_EQ(Next->FilePath, ScreenshotPath(13));
    EXPECT_EQ(ReadFileBytes(ScreenshotPath(12)), PatternBytes(64, 3));
    EXPECT_EQ(Store.GetTotalBufferedStorageBytes(), 10);
}

TEST_F(OfflineStoreTest, DeletingScreenshotsReleasesTheirBytesAndNeverGoesBelowZero)
{
    const auto A = Capture(100, false, 0, 1);
    const auto B = Capture(200, false, 0, 2);
    const auto C = Capture(300, false, 0, 3);
    ASSERT_TRUE(A && B && C);

    Store.DeleteBufferedScreenshotFile(*A);
    EXPECT_FALSE(IFileManager::Get().FileExists(A->FilePath));
    EXPECT_EQ(Store.GetTotalBufferedStorageBytes(), 500);

    FQuorvexScreenshotRecord InMemory; // no file: nothing to release
    InMemory.JpegBytes = PatternBytes(50, 1);
    InMemory.ByteSize = 50;
    Store.DeleteBufferedScreenshotFiles({*B, InMemory});
    EXPECT_FALSE(IFileManager::Get().FileExists(B->FilePath));
    EXPECT_EQ(Store.GetTotalBufferedStorageBytes(), 300);

    FQuorvexScreenshotRecord Oversized = *C;
    Oversized.ByteSize = 10000;
    Store.DeleteBufferedScreenshotFile(Oversized);
    EXPECT_EQ(Store.GetTotalBufferedStorageBytes(), 0);
}

TEST_F(OfflineStoreTest, DeleteAllScreenshotsLeavesOtherFilesAndStartsCountingAgain)
{
    ASSERT_TRUE(Capture(100, false, 0, 1));
    ASSERT_TRUE(Capture(100, false, 0, 2));
    const FString Other =
        FPaths::Combine(FQuorvexOfflineStore::GetBufferedScreenshotDirectory(), "keep.txt");
    WriteFileOfSize(Other, 10);

    Store.DeleteAllBufferedScreenshotFiles();
    EXPECT_EQ(FilesIn(FQuorvexOfflineStore::GetBufferedScreenshotDirectory()),
              std::vector<FString>{"keep.txt"});
    EXPECT_EQ(Store.GetTotalBufferedStorageBytes(), 0);

    // The folder itself may be gone by the next screenshot; it is created again.
    IFileManager::Get().DeleteDirectory(FQuorvexOfflineStore::GetBufferedScreenshotDirectory(),
                                        false, true);
    const auto Next = Capture(70);
    ASSERT_TRUE(Next);
    EXPECT_EQ(Next->FilePath, ScreenshotPath(3));
    EXPECT_EQ(Store.GetTotalBufferedStorageBytes(), 70);
}

TEST_F(OfflineStoreTest, PurgeReleasesBytesEvenWhenADeleteFails)
{
    const auto A = Capture(100, false, 0, 1);
    const auto B = Capture(200, false, 0, 2);
    ASSERT_TRUE(A && B);
    Store.PurgeUnreadableBufferedScreenshots({});
    EXPECT_EQ(Store.GetTotalBufferedStorageBytes(), 300);

    FScopedFileFault Fault(EFileFault::FailDelete, FPaths::GetCleanFilename(B->FilePath));
    Store.PurgeUnreadableBufferedScreenshots(
        {{A->FilePath, A->ByteSize}, {B->FilePath, B->ByteSize}, {"", 1000}});
    EXPECT_FALSE(IFileManager::Get().FileExists(A->FilePath));
    EXPECT_TRUE(IFileManager::Get().FileExists(B->FilePath));
    EXPECT_EQ(Store.GetTotalBufferedStorageBytes(), 0);
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning,
                        "QuorvexSDK: OfflineStore: could not delete unreadable screenshot path=" +
                            B->FilePath + "; its 200 byte(s) were released anyway"));
    EXPECT_EQ(Log.Count("could not delete unreadable screenshot"), 1);
}

// Many encode workers storing at once: every admitted screenshot gets its own file,
// the count matches the disk, and the limit is never overrun.
TEST_F(OfflineStoreTest, ConcurrentScreenshotsGetDistinctFilesWithinTheLimit)
{
    constexpr int32 Threads = 4;
    constexpr int32 PerThread = 40;
    constexpr int64 Size = 100;
    constexpr int64 Limit = 5000; // room for 50 of the 160
    std::atomic<int32> Admitted{0};
    std::atomic<int32> Dropped{0};
    std::vector<std::thread> Workers;
    for (int32 Thread = 0; Thread < Threads; ++Thread)
    {
        Workers.emplace_back(
            [&, Thread]
            {
                const FBytes Jpeg = PatternBytes(Size, static_cast<uint8>(Thread));
                for (int32 Index = 0; Index < PerThread; ++Index)
                {
                    if (Store.CreateScreenshotRecord(
                            Index, 1, 1, 1, 1, Jpeg, true, Limit, [&] { ++Dropped; }, nullptr))
                    {
                        ++Admitted;
                    }
                }
            });
    }
    for (std::thread& Worker : Workers)
    {
        Worker.join();
    }
    EXPECT_EQ(Admitted.load(), 50);
    EXPECT_EQ(Dropped.load(), Threads * PerThread - 50);
    EXPECT_EQ(FilesIn(FQuorvexOfflineStore::GetBufferedScreenshotDirectory()).size(), 50u);
    EXPECT_EQ(Store.GetTotalBufferedStorageBytes(), 50 * Size);
}

// ---- Attachments and frames ----

TEST(OfflineStoreFrames, AttachmentsFollowRecordIndicesAndSkipRecordsWithoutAnImage)
{
    FLogCapture Log;
    const FBytes Memory = PatternBytes(20, 1);
    const FBytes Encoded = PatternBytes(33, 2);
    std::vector<FQuorvexScreenshotRecord> Records(6);
    Records[0].JpegBytes = Memory;
    Records[0].FilePath = "/ignored/when/bytes.jpg"; // bytes win over a file
    Records[1].Base64Jpeg = FBase64::Encode(Encoded.data(), Encoded.size());
    Records[2].Base64Jpeg = "not base64!";
    Records[3].FilePath = "/saved/frame_3.jpg";
    // Records[4] has no image at all.
    Records[5].Base64Jpeg = "AAEC";
    Records[5].FilePath = "/saved/frame_5.jpg"; // Base64 wins over a file

    const auto Attachments = FQuorvexOfflineStore::BuildScreenshotAttachments(Records);
    ASSERT_EQ(Attachments.size(), 4u);
    const std::pair<int32, const char*> Expected[] = {
        {0, "frame_0"}, {1, "frame_1"}, {3, "frame_3"}, {5, "frame_5"}};
    for (size_t Index = 0; Index < Attachments.size(); ++Index)
    {
        EXPECT_EQ(Attachments[Index].RecordIndex, Expected[Index].first);
        EXPECT_EQ(Attachments[Index].AttachmentId, Expected[Index].second);
        EXPECT_EQ(Attachments[Index].EntryName,
                  FString("frames/") + Expected[Index].second + ".jpeg");
    }
    EXPECT_EQ(Attachments[0].Bytes, Memory);
    EXPECT_TRUE(Attachments[0].FilePath.empty());
    EXPECT_EQ(Attachments[1].Bytes, Encoded);
    EXPECT_TRUE(Attachments[2].Bytes.empty());
    EXPECT_EQ(Attachments[2].FilePath, "/saved/frame_3.jpg");
    EXPECT_EQ(Attachments[3].Bytes, (FBytes{0, 1, 2}));
    EXPECT_TRUE(Attachments[3].FilePath.empty());
    EXPECT_TRUE(Log.Has(ELogVerbosity::Error, "QuorvexSDK: OfflineStore: screenshot base64 decode "
                                              "failed index=2; skipping attachment"));
}

TEST(OfflineStoreFrames, FramesCarryTheRecordsFieldsAndTheAttachmentIds)
{
    std::vector<FQuorvexScreenshotRecord> Records(3);
    for (int32 Index = 0; Index < 3; ++Index)
    {
        Records[Index].Timestamp = 1700000000000 + Index;
        Records[Index].CaptureDurationMs = 10 + Index;
        Records[Index].MainThreadCaptureMs = 20 + Index;
        Records[Index].Width = 100 + Index;
        Records[Index].Height = 200 + Index;
    }
    const auto All = FQuorvexOfflineStore::BuildScreenshotFrames(Records);
    ASSERT_EQ(All.size(), 3u);
    EXPECT_EQ(All[2].AttachmentId, "frame_2");
    EXPECT_EQ(All[2].Timestamp, 1700000000002);
    EXPECT_EQ(All[2].CaptureDurationMs, 12);
    EXPECT_EQ(All[2].MainThreadCaptureMs, 22);
    EXPECT_EQ(All[2].Width, 102);
    EXPECT_EQ(All[2].Height, 202);

    std::vector<FQuorvexScreenshotAttachment> Kept(4);
    Kept[0].RecordIndex = 2;
    Kept[0].AttachmentId = "frame_2";
    Kept[1].RecordIndex = 3; // outside the records: skipped
    Kept[2].RecordIndex = -1;
    Kept[3].RecordIndex = 0;
    Kept[3].AttachmentId = "frame_0";
    const auto Frames = FQuorvexOfflineStore::BuildFramesForAttachments(Records, Kept);
    ASSERT_EQ(Frames.size(), 2u);
    EXPECT_EQ(Frames[0].AttachmentId, "frame_2");
    EXPECT_EQ(Frames[0].Width, 102);
    EXPECT_EQ(Frames[1].AttachmentId, "frame_0");
    EXPECT_EQ(Frames[1].Timestamp, 1700000000000);
    EXPECT_EQ(FQuorvexOfflineStore::BuildFrameAttachmentId(Records[1], 17), "frame_17");
}

// ---- Sweeps ----

TEST_F(OfflineStoreTest, SweepDeletesStrandedArchivesAndBodiesAndCountsWhatWent)
{
    const FString Media = FQuorvexOfflineStore::GetMediaArchiveDirectory();
    WriteFileOfSize(FPaths::Combine(Media, "a.zip"), 100);
    WriteFileOfSize(FPaths::Combine(Media, "b.zip"), 1000);
    WriteFileOfSize(FPaths::Combine(Media, "multipart_x.bin"), 10);
    WriteFileOfSize(FPaths::Combine(Media, "other.bin"), 1);
    WriteFileOfSize(FPaths::Combine(Media, "keep.json"), 1);
    FScopedFileFault Fault(EFileFault::FailDelete, "b.zip");

    FQuorvexOfflineStore::SweepStrandedUploadArtifacts(Media);
    EXPECT_EQ(FilesIn(Media), (std::vector<FString>{"b.zip", "keep.json", "other.bin"}));
    EXPECT_TRUE(
        Log.Has(ELogVerbosity::Log,
                "QuorvexSDK: OfflineStore: swept 2 stranded upload artifact(s) (110 bytes)."));

    Log.Clear();
    FQuorvexOfflineStore::SweepStrandedUploadArtifacts(Media);
    FQuorvexOfflineStore::SweepStrandedUploadArtifacts(FPaths::Combine(Media, "missing"));
    EXPECT_FALSE(Log.Contains("swept"));
}

// ---- The subsystem's side ----

class OfflineStoreSubsystemTest : public FQuorvexSubsystemTestBase
{
};

TEST_F(OfflineStoreSubsystemTest, StorageLimitComesFromTheSessionOrDefaultsTo100MiB)
{
    EXPECT_TRUE(Peer->ShouldEnforceBufferedStorageLimit());
    EXPECT_EQ(Peer->MediaZipDirectory(), FQuorvexOfflineStore::GetMediaArchiveDirectory());
    EXPECT_EQ(Peer->CurrentMaxStorageSizeBytes(), 104857600);
    struct FCase
    {
        int32 SessionMb;
        int64 Bytes;
    };
    for (const FCase Case : {FCase{0, 104857600}, FCase{-3, 104857600}, FCase{1, 1048576},
                             FCase{5, 5242880}, FCase{4096, 4294967296LL}})
    {
        FQuorvexSessionData Data = MakeSession();
        Data.CaptureConfig.MaxStorageSizeMb = Case.SessionMb;
        Peer->CreateSession(Data);
        EXPECT_EQ(Peer->CurrentMaxStorageSizeBytes(), Case.Bytes) << Case.SessionMb;
    }
    Peer->DropSession();
    EXPECT_EQ(Peer->CurrentMaxStorageSizeBytes(), 104857600);
}

TEST_F(OfflineStoreSubsystemTest, StartupReclamationDeletesAnEarlierRunsFilesInTheBackground)
{
    FQuorvexOfflineStore& Store = Peer->OfflineStore();
    WriteFileOfSize(ScreenshotPath(3), 30);
    WriteFileOfSize(ScreenshotPath(4), 40);
    const FString Pending = FQuorvexOfflineStore::GetPendingEventBatchDirectory();
    const FString Media = FQuorvexOfflineStore::GetMediaArchiveDirectory();
    Store.ForgetBufferedState();
    WriteFileOfSize(FPaths::Combine(Pending, "batch_00000000000000000001_aa.json"), 50);
    WriteFileOfSize(FPaths::Combine(Pending, "notes.txt"), 1);
    // An earlier run's archive and form body, and one an upload of this run is writing.
    const FDateTime HourAgo =
        FDateTime::FromUnixMicroseconds(FDateTime::UtcNow().ToUnixMicroseconds() - 3600000000LL);
    for (const char* Name : {"s_1.zip", "multipart_1.bin"})
    {
        WriteFileOfSize(FPaths::Combine(Media, Name), Name[0] == 's' ? 200 : 20);
        ASSERT_TRUE(IFileManager::Get().SetTimeStamp(FPaths::Combine(Media, Name), HourAgo));
    }
    WriteFileOfSize(FPaths::Combine(Media, "s_2.zip"), 300);

    Peer->DispatchStartupReclamationAsync(true);
    // A frame the new session writes before the task gets to run is not reclaimed.
    WriteFileOfSize(ScreenshotPath(5), 55);
    FTaskGraph::WaitForBackgroundIdle();

    EXPECT_EQ(FilesIn(FQuorvexOfflineStore::GetBufferedScreenshotDirectory()),
              std::vector<FString>{FPaths::GetCleanFilename(ScreenshotPath(5))});
    EXPECT_EQ(FilesIn(Pending), std::vector<FString>{"notes.txt"});
    EXPECT_EQ(FilesIn(Media), std::vector<FString>{"s_2.zip"});
    EXPECT_TRUE(Log.Has(ELogVerbosity::Log, "QuorvexSDK: OfflineStore: reclaimed 3 file(s) (120 "
                                            "bytes) from a previous run."));
    EXPECT_TRUE(
        Log.Has(ELogVerbosity::Log,
                "QuorvexSDK: OfflineStore: swept 2 stranded upload artifact(s) (220 bytes)."));
}

TEST_F(OfflineStoreSubsystemTest, ReclamationSparesBatchesTheNewSessionParksBeforeItRuns)
{
    const FString Pending = FQuorvexOfflineStore::GetPendingEventBatchDirectory();
    Peer->OfflineStore().ForgetBufferedState(); // as a fresh start does
    WriteFileOfSize(FPaths::Combine(Pending, "batch_00000000000000000001_aa.json"), 50);
    // Hold every background worker so the reclamation runs only after the save.
    const unsigned Workers = std::max(2u, std::thread::hardware_concurrency());
    std::atomic<unsigned> Held{0};
    std::atomic<bool> bRelease{false};
    for (unsigned Index = 0; Index < Workers; ++Index)
    {
        AsyncTask(ENamedThreads::AnyBackgroundThreadNormalTask,
                  [&]
                  {
                      ++Held;
                      while (!bRelease.load())
                      {
                          std::this_thread::yield();
                      }
                  });
    }
    ASSERT_TRUE(PumpUntil([&] { return Held.load() == Workers; }));
    Peer->DispatchStartupReclamationAsync(false);

    FQuorvexDetachedBatchData Batch;
    Batch.SessionId = "new-session";
    Batch.SequenceNumber = 1;
    ASSERT_TRUE(Peer->OfflineStore().SavePendingEventBatch(Batch, false, 0, 0, [] {}));
    const std::vector<FString> Parked = FilesIn(Pending);
    ASSERT_EQ(Parked.size(), 2u);
    bRelease = true;
    FTaskGraph::WaitForBackgroundIdle();

    const std::vector<FString> Left = FilesIn(Pending);
    ASSERT_EQ(Left.size(), 1u);
    EXPECT_NE(Left[0], "batch_00000000000000000001_aa.json") << "the earlier run's batch went";
    FQuorvexDetachedBatchData Loaded;
    FString Path;
    ASSERT_TRUE(Peer->OfflineStore().TryLoadPendingEventBatch(Loaded, Path));
    EXPECT_EQ(Loaded.SessionId, "new-session");
}

TEST_F(OfflineStoreSubsystemTest, ReclamationWithUploadsInFlightKeepsScreenshots)
{
    WriteFileOfSize(ScreenshotPath(1), 30);
    WriteFileOfSize(FPaths::Combine(FQuorvexOfflineStore::GetPendingEventBatchDirectory(),
                                    "batch_00000000000000000001_aa.json"),
                    50);
    Peer->DispatchStartupReclamationAsync(false);
    FTaskGraph::WaitForBackgroundIdle();
    EXPECT_TRUE(IFileManager::Get().FileExists(ScreenshotPath(1)));
    EXPECT_TRUE(FilesIn(FQuorvexOfflineStore::GetPendingEventBatchDirectory()).empty());
    EXPECT_TRUE(Log.Has(ELogVerbosity::Log, "QuorvexSDK: OfflineStore: reclaimed 1 file(s) (50 "
                                            "bytes) from a previous run."));

    Log.Clear();
    Peer->DispatchStartupReclamationAsync(false);
    FTaskGraph::WaitForBackgroundIdle();
    EXPECT_FALSE(Log.Contains("reclaimed"));
}
} // namespace
