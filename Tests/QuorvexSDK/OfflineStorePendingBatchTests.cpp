// Pending batch files: a batch written and read back is the same batch; the file's
// layout is checked with a second JSON parser; failures anywhere in a save leave no
// file behind and the batch as it was; loads go oldest first past damaged files.
#include "OfflineStoreTestSupport.h"

#include "OrderedJsonTestSupport.h"

#include "FileFaults.h"
#include "Hashing.h"
#include "QuorvexDetachedBatchData.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <nlohmann/json.hpp>
#include <regex>
#include <tuple>

namespace
{
auto Tie(const FQuorvexTapEvent& E)
{
    return std::tie(E.X, E.Y, E.Pressure, E.Timestamp);
}
auto Tie(const FQuorvexSwipeEvent& E)
{
    return std::tie(E.StartX, E.StartY, E.EndX, E.EndY, E.DurationMs, E.Timestamp);
}
auto Tie(const FQuorvexLongPressEvent& E)
{
    return std::tie(E.X, E.Y, E.DurationMs, E.Timestamp);
}
auto Tie(const FQuorvexKeyEventData& E)
{
    return std::tie(E.KeyCode, E.Key, E.Action, E.Timestamp);
}
auto Tie(const FQuorvexMouseButtonEvent& E)
{
    return std::tie(E.Button, E.Action, E.X, E.Y, E.Timestamp);
}
auto Tie(const FQuorvexScrollEvent& E)
{
    return std::tie(E.DeltaX, E.DeltaY, E.X, E.Y, E.Timestamp);
}
auto Tie(const FQuorvexScreenshotRecord& E)
{
    return std::tie(E.Timestamp, E.CaptureDurationMs, E.MainThreadCaptureMs, E.JpegBytes,
                    E.Base64Jpeg, E.Width, E.Height, E.FilePath, E.ByteSize);
}

template <typename T> void ExpectSameItems(const std::vector<T>& A, const std::vector<T>& B)
{
    ASSERT_EQ(A.size(), B.size());
    for (size_t Index = 0; Index < A.size(); ++Index)
    {
        EXPECT_TRUE(Tie(A[Index]) == Tie(B[Index])) << "item " << Index;
    }
}

void ExpectSameBatch(const FQuorvexDetachedBatchData& A, const FQuorvexDetachedBatchData& B)
{
    EXPECT_EQ(A.SessionId, B.SessionId);
    EXPECT_EQ(A.Timestamp, B.Timestamp);
    EXPECT_EQ(A.SequenceNumber, B.SequenceNumber);
    EXPECT_EQ(A.InGameId, B.InGameId);
    EXPECT_EQ(A.DeveloperPayload, B.DeveloperPayload);
    ExpectSameItems(A.Taps, B.Taps);
    ExpectSameItems(A.Swipes, B.Swipes);
    ExpectSameItems(A.LongPresses, B.LongPresses);
    ExpectSameItems(A.KeyEvents, B.KeyEvents);
    ExpectSameItems(A.MouseButtons, B.MouseButtons);
    ExpectSameItems(A.Scrolls, B.Scrolls);
    EXPECT_EQ(A.Metadata.MemoryUsageMb, B.Metadata.MemoryUsageMb);
    EXPECT_EQ(A.Metadata.CpuUsagePercent, B.Metadata.CpuUsagePercent);
    EXPECT_EQ(A.Metadata.BatteryLevel, B.Metadata.BatteryLevel);
    EXPECT_EQ(A.Metadata.ScreenOrientation, B.Metadata.ScreenOrientation);
    ExpectSameItems(A.ScreenshotRecords, B.ScreenshotRecords);
    EXPECT_EQ(A.CaptureMode, B.CaptureMode);
    EXPECT_EQ(A.ImageFormat, B.ImageFormat);
}

FQuorvexScreenshotRecord InMemoryRecord(size_t Num, uint8 Seed)
{
    FQuorvexScreenshotRecord Record;
    Record.Timestamp = 1700000000000 + Seed;
    Record.CaptureDurationMs = 30 + Seed;
    Record.MainThreadCaptureMs = Seed;
    Record.JpegBytes = PatternBytes(Num, Seed);
    Record.Width = 1920;
    Record.Height = 1080;
    Record.ByteSize = static_cast<int64>(Num);
    return Record;
}

// Every event kind, awkward text and numbers that must survive the trip exactly.
FQuorvexDetachedBatchData MakeEventfulBatch(int64 Sequence)
{
    FQuorvexDetachedBatchData Batch;
    Batch.SessionId = "sess-\"quoted\"\\slash";
    Batch.Timestamp = 1712345678901;
    Batch.SequenceNumber = Sequence;
    Batch.InGameId = "player \xC3\xA9\xF0\x9F\x8E\xAE"; // é and a game controller
    Batch.DeveloperPayload = "{\"level\":3}\nline\ttab\x01";
    Batch.Taps = {{0.1f, 0.5f, 1.f, 1712345678000}, {-3.25f, 1e-7f, 0.f, 1}};
    Batch.Swipes = {{1.5f, 2.5f, 300.75f, -4.f, 250, 1712345678100}};
    Batch.LongPresses = {{10.f, 20.f, 900, 1712345678200}};
    Batch.KeyEvents = {{32, "SpaceBar", "down", 1712345678300}, {0, "", "up", 0}};
    Batch.MouseButtons = {{2, "up", 640.5f, 360.25f, 1712345678400}};
    Batch.Scrolls = {{0.f, -120.f, 5.f, 6.f, 1712345678500}};
    Batch.Metadata = {512, -1, 87, "landscape"};
    Batch.CaptureMode = "Screenshots";
    Batch.ImageFormat = "Jpeg";
    return Batch;
}

FString FixturePath(const char* Name)
{
    return (std::filesystem::path(__FILE__).parent_path() / "Fixtures" / Name).string();
}

class OfflineStorePendingBatchTest : public FOfflineStoreTestBase
{
protected:
    void SetUp() override
    {
        FOfflineStoreTestBase::SetUp();
        PendingDir = FQuorvexOfflineStore::GetPendingEventBatchDirectory();
        FramesDir = FQuorvexOfflineStore::GetBufferedScreenshotDirectory();
    }

    FString PendingDir; // the folders under this test's saved folder
    FString FramesDir;

    bool Save(FQuorvexDetachedBatchData& Batch, bool bEnforce = false, int64 Limit = 0,
              int64 Used = 0)
    {
        return Store.SavePendingEventBatch(Batch, bEnforce, Limit, Used,
                                           [this] { ++Calls.LimitDrops; });
    }

    FString OnlyPendingFile() const
    {
        const std::vector<FString> Files = FilesIn(PendingDir);
        EXPECT_EQ(Files.size(), 1u);
        return Files.empty() ? FString() : FPaths::Combine(PendingDir, Files[0]);
    }
};

TEST_F(OfflineStorePendingBatchTest, SavedBatchReadsBackExactlyAndSpillsInMemoryJpegs)
{
    const auto OnDisk = Capture(300, false, 0, 50); // frame 1, already a file
    ASSERT_TRUE(OnDisk);
    FQuorvexDetachedBatchData Batch = MakeEventfulBatch(7);
    Batch.ScreenshotRecords.push_back(InMemoryRecord(1000, 1)); // spilled to frame 2
    Batch.ScreenshotRecords.push_back(*OnDisk);
    FQuorvexScreenshotRecord Encoded = InMemoryRecord(0, 3); // only Base64 text
    Encoded.Base64Jpeg = "AAECAwQF";
    Batch.ScreenshotRecords.push_back(Encoded);
    Batch.ScreenshotRecords.push_back(InMemoryRecord(0, 4)); // no image at all
    FQuorvexScreenshotRecord Both = *OnDisk;                 // file and in-memory copy
    Both.JpegBytes = PatternBytes(300, 50);
    Batch.ScreenshotRecords.push_back(Both);
    const FBytes Spilled = Batch.ScreenshotRecords[0].JpegBytes;
    const int64 TotalBefore = Store.GetTotalBufferedStorageBytes();

    ASSERT_TRUE(Save(Batch));
    EXPECT_TRUE(Store.HasPendingBatches());
    // In-memory JPEGs now live in files; nothing else was written.
    EXPECT_EQ(Batch.ScreenshotRecords[0].FilePath, ScreenshotPath(2));
    EXPECT_TRUE(Batch.ScreenshotRecords[0].JpegBytes.empty());
    EXPECT_EQ(Batch.ScreenshotRecords[0].ByteSize, 1000);
    EXPECT_EQ(ReadFileBytes(ScreenshotPath(2)), Spilled);
    EXPECT_EQ(Batch.ScreenshotRecords[4].FilePath, OnDisk->FilePath);
    EXPECT_TRUE(Batch.ScreenshotRecords[4].JpegBytes.empty());
    EXPECT_EQ(FilesIn(FramesDir).size(), 2u);

    const FString Path = OnlyPendingFile();
    EXPECT_TRUE(std::regex_match(FPaths::GetCleanFilename(Path),
                                 std::regex("batch_00000000000000000007_[0-9a-f]{32}\\.json")));
    EXPECT_EQ(Store.GetTotalBufferedStorageBytes(),
              TotalBefore + 1000 + IFileManager::Get().FileSize(Path));

    FQuorvexDetachedBatchData Loaded;
    FString LoadedPath;
    ASSERT_TRUE(Store.TryLoadPendingEventBatch(Loaded, LoadedPath));
    EXPECT_EQ(LoadedPath, Path);
    ExpectSameBatch(Loaded, Batch);
    EXPECT_TRUE(IFileManager::Get().FileExists(Path)); // the uploader deletes it
}

TEST_F(OfflineStorePendingBatchTest, FileLayoutSeenByASecondParser)
{
    FQuorvexDetachedBatchData Batch = MakeEventfulBatch(3);
    Batch.ScreenshotRecords.push_back(InMemoryRecord(10, 1));
    FQuorvexScreenshotRecord Encoded = InMemoryRecord(0, 2);
    Encoded.Base64Jpeg = "AAEC";
    Batch.ScreenshotRecords.push_back(Encoded);
    Batch.ScreenshotRecords.push_back(InMemoryRecord(0, 3));
    ASSERT_TRUE(Save(Batch));

    const FOrderedJson Json = ParseJsonFile(OnlyPendingFile());
    EXPECT_EQ(Keys(Json),
              (std::vector<FString>{"sessionId", "timestamp", "sequenceNumber", "inGameId",
                                    "developerPayload", "captureMode", "imageFormat", "taps",
                                    "swipes", "longPresses", "keyEvents", "mouseButtons", "scrolls",
                                    "metadata", "frameRecords"}));
    EXPECT_EQ(Json["timestamp"].get<int64>(), 1712345678901);
    EXPECT_EQ(Json["inGameId"], Batch.InGameId);
    EXPECT_EQ(Json["taps"][0]["x"].get<double>(), static_cast<double>(0.1f));
    EXPECT_EQ(Keys(Json["swipes"][0]), (std::vector<FString>{"startX", "startY", "endX", "endY",
                                                             "durationMs", "timestamp"}));
    EXPECT_EQ(Keys(Json["mouseButtons"][0]),
              (std::vector<FString>{"button", "action", "x", "y", "timestamp"}));
    EXPECT_EQ(Keys(Json["metadata"]), (std::vector<FString>{"memoryUsageMb", "cpuUsagePercent",
                                                            "batteryLevel", "screenOrientation"}));
    const FOrderedJson& Frames = Json["frameRecords"];
    ASSERT_EQ(Frames.size(), 3u);
    const std::vector<FString> Common = {
        "timestamp", "captureDurationMs", "mainThreadCaptureMs", "width", "height", "byteSize"};
    auto With = [&](const char* Key)
    {
        std::vector<FString> Names = Common;
        Names.push_back(Key);
        return Names;
    };
    EXPECT_EQ(Keys(Frames[0]), With("filePath")); // spilled: a file, never base64
    EXPECT_EQ(Frames[0]["filePath"], ScreenshotPath(1));
    EXPECT_EQ(Keys(Frames[1]), With("base64"));
    EXPECT_EQ(Frames[1]["base64"], "AAEC");
    EXPECT_EQ(Keys(Frames[2]), Common);
}

TEST_F(OfflineStorePendingBatchTest, BatchWithoutRecordsOrEventsRoundTrips)
{
    FQuorvexDetachedBatchData Batch;
    Batch.SequenceNumber = 1;
    ASSERT_TRUE(Save(Batch));
    EXPECT_TRUE(FilesIn(FramesDir).empty());
    FQuorvexDetachedBatchData Loaded;
    FString Path;
    ASSERT_TRUE(Store.TryLoadPendingEventBatch(Loaded, Path));
    ExpectSameBatch(Loaded, Batch);
}

// A failure at any step deletes what the save created and hands the batch back as
// it came: in-memory JPEGs in memory, no record naming a deleted file.
TEST_F(OfflineStorePendingBatchTest, FailedSaveUndoesSpilledFramesAndRestoresRecords)
{
    struct FCase
    {
        const char* Label;
        FString FailingPath;
        std::function<FString()> ExpectedError;
    };
    const FCase Cases[] = {
        {"second spilled frame", "frame_00000000000000000003.jpg",
         []
         {
             return "QuorvexSDK: OfflineStore: screenshot spill write failed path=" +
                    ScreenshotPath(3) + " bytes=200";
         }},
        {"batch file", "batch_",
         [] { return FString("QuorvexSDK: OfflineStore: write failed path="); }},
    };
    for (const FCase& Case : Cases)
    {
        SCOPED_TRACE(Case.Label);
        FTempDir Folder;
        FPaths::SetProjectSavedDir(Folder.Path());
        FQuorvexOfflineStore Fresh;
        const FBytes Kept = PatternBytes(50, 9);
        const auto Existing = Fresh.CreateScreenshotRecord(1, 1, 1, 1, 1, Kept, false, 0, nullptr,
                                                           nullptr); // frame 1
        ASSERT_TRUE(Existing);
        FQuorvexDetachedBatchData Batch = MakeEventfulBatch(4);
        Batch.ScreenshotRecords = {InMemoryRecord(100, 1), *Existing, InMemoryRecord(200, 2),
                                   InMemoryRecord(300, 3)};
        const FQuorvexDetachedBatchData Original = Batch;
        const int64 TotalBefore = Fresh.GetTotalBufferedStorageBytes();
        Log.Clear();

        int32 Drops = 0;
        {
            FScopedFileFault Fault(EFileFault::FailOpenForWrite, Case.FailingPath);
            EXPECT_FALSE(
                Fresh.SavePendingEventBatch(Batch, true, 1 << 30, TotalBefore, [&] { ++Drops; }));
        }
        EXPECT_EQ(Drops, 0);
        ExpectSameBatch(Batch, Original);
        EXPECT_EQ(FilesIn(FQuorvexOfflineStore::GetBufferedScreenshotDirectory()),
                  std::vector<FString>{FPaths::GetCleanFilename(Existing->FilePath)});
        EXPECT_TRUE(FilesIn(FQuorvexOfflineStore::GetPendingEventBatchDirectory()).empty());
        EXPECT_EQ(Fresh.GetTotalBufferedStorageBytes(), TotalBefore);
        EXPECT_FALSE(Fresh.HasPendingBatches());
        EXPECT_EQ(Log.Count(Case.ExpectedError()), 1);
        // The same batch saves once the fault is gone.
        EXPECT_TRUE(Fresh.SavePendingEventBatch(Batch, false, 0, 0, nullptr));
    }
    FPaths::SetProjectSavedDir(Saved.Path());
}

TEST_F(OfflineStorePendingBatchTest, LimitChecksDropBeforeAndAfterMeasuringTheText)
{
    // Measure the text once: 2 bytes a character is what the second check charges.
    auto MakeBatch = []
    {
        FQuorvexDetachedBatchData Batch = MakeEventfulBatch(5);
        Batch.ScreenshotRecords = {InMemoryRecord(100, 1), InMemoryRecord(100, 2)};
        return Batch;
    };
    FQuorvexDetachedBatchData Probe = MakeBatch();
    ASSERT_TRUE(Save(Probe));
    const int64 TextCharge = 2 * IFileManager::Get().FileSize(OnlyPendingFile());
    Store.DeleteAllPendingEventBatchFiles();
    Store.DeleteAllBufferedScreenshotFiles();
    Store.ForgetBufferedState();
    constexpr int64 Used = 500;
    constexpr int64 Screenshots = 200;

    struct FCase
    {
        int64 Limit;
        bool bEnforce;
        bool bSaved;
        FString Warning;
    };
    const FCase Cases[] = {
        {Screenshots + Used - 1, true, false,
         "QuorvexSDK: OfflineStore: storage limit exceeded; dropping batch seq=5 usedBytes=500 "
         "limitBytes=699 incomingScreenshotBytes=200"},
        {Screenshots + TextCharge + Used - 1, true, false,
         FStringUtils::Printf("QuorvexSDK: OfflineStore: storage limit exceeded; dropping batch "
                              "seq=5 usedBytes=500 limitBytes=%lld incomingBytes=%lld",
                              static_cast<long long>(Screenshots + TextCharge + Used - 1),
                              static_cast<long long>(Screenshots + TextCharge))},
        {Screenshots + TextCharge + Used, true, true, ""},
        {1, false, true, ""},
    };
    for (const FCase& Case : Cases)
    {
        SCOPED_TRACE(Case.Limit);
        Log.Clear();
        Calls = {};
        FQuorvexDetachedBatchData Batch = MakeBatch();
        const int64 TotalBefore = Store.GetTotalBufferedStorageBytes();
        EXPECT_EQ(Save(Batch, Case.bEnforce, Case.Limit, Used), Case.bSaved);
        EXPECT_EQ(Calls.LimitDrops, Case.bSaved ? 0 : 1);
        if (Case.bSaved)
        {
            EXPECT_FALSE(Batch.ScreenshotRecords[0].FilePath.empty());
            EXPECT_GT(Store.GetTotalBufferedStorageBytes(), TotalBefore + Screenshots);
        }
        else
        {
            EXPECT_TRUE(Log.Has(ELogVerbosity::Warning, Case.Warning)) << Case.Warning;
            EXPECT_EQ(Batch.ScreenshotRecords[0].JpegBytes.size(), 100u);
            EXPECT_TRUE(Batch.ScreenshotRecords[0].FilePath.empty());
            EXPECT_EQ(Store.GetTotalBufferedStorageBytes(), TotalBefore);
            EXPECT_EQ(FilesIn(FramesDir).size(), static_cast<size_t>(TotalBefore / 100));
        }
    }
}

// The limit callback stops capture, which clears the store, possibly from another
// thread: it must not run while the store's lock is held.
TEST_F(OfflineStorePendingBatchTest, LimitCallbacksRunWithTheLockReleased)
{
    std::future<bool> Probe;
    std::vector<bool> LockFree;
    auto CheckFromAnotherThread = [&]
    {
        Probe = std::async(std::launch::async, [this] { return Store.HasPendingBatches(); });
        LockFree.push_back(Probe.wait_for(TestDeadline) == std::future_status::ready);
    };
    FQuorvexDetachedBatchData Batch = MakeEventfulBatch(1);
    Batch.ScreenshotRecords = {InMemoryRecord(100, 1)};
    EXPECT_FALSE(Store.SavePendingEventBatch(Batch, true, 10, 0, CheckFromAnotherThread));
    Probe = {};
    EXPECT_FALSE(Store.SavePendingEventBatch(Batch, true, 110, 0, CheckFromAnotherThread));
    Probe = {};
    const FBytes Jpeg = PatternBytes(100, 1);
    EXPECT_FALSE(Store.CreateScreenshotRecord(1, 1, 1, 1, 1, Jpeg, true, 10, CheckFromAnotherThread,
                                              nullptr));
    Probe = {};
    EXPECT_EQ(LockFree, (std::vector<bool>{true, true, true}));
}

TEST_F(OfflineStorePendingBatchTest, LoadsOldestFirstAndDeletesDamagedFilesOnTheWay)
{
    FQuorvexDetachedBatchData Ten = MakeEventfulBatch(10);
    FQuorvexDetachedBatchData Nine = MakeEventfulBatch(9);
    ASSERT_TRUE(Save(Ten));
    ASSERT_TRUE(Save(Nine));
    const FString NotJson = FPaths::Combine(PendingDir, "batch_00000000000000000008_a.json");
    const FString Array = FPaths::Combine(PendingDir, "batch_00000000000000000008_b.json");
    const FString Unreadable = FPaths::Combine(PendingDir, "batch_00000000000000000007_c.json");
    ASSERT_TRUE(FFileHelper::SaveStringToFile("{\"sessionId\": ", NotJson));
    ASSERT_TRUE(FFileHelper::SaveStringToFile("[1, 2]", Array));
    ASSERT_TRUE(FFileHelper::SaveStringToFile("{}", Unreadable));
    FScopedFileFault Fault(EFileFault::FailOpenForRead, "_c.json");

    FQuorvexDetachedBatchData Loaded;
    FString Path;
    ASSERT_TRUE(Store.TryLoadPendingEventBatch(Loaded, Path));
    EXPECT_EQ(Loaded.SequenceNumber, 9);
    EXPECT_TRUE(Log.Has(ELogVerbosity::Error,
                        "QuorvexSDK: OfflineStore: load failed, deleting path=" + Unreadable));
    EXPECT_TRUE(Log.Has(ELogVerbosity::Error,
                        "QuorvexSDK: OfflineStore: JSON parse failed, deleting path=" + NotJson));
    EXPECT_TRUE(Log.Has(ELogVerbosity::Error,
                        "QuorvexSDK: OfflineStore: JSON parse failed, deleting path=" + Array));
    EXPECT_EQ(FilesIn(PendingDir).size(), 2u);

    Store.DeletePendingEventBatchFile(Path);
    EXPECT_TRUE(Store.HasPendingBatches()); // deleting one file says nothing about the rest
    FQuorvexDetachedBatchData Next;
    ASSERT_TRUE(Store.TryLoadPendingEventBatch(Next, Path));
    EXPECT_EQ(Next.SequenceNumber, 10);
    Store.DeletePendingEventBatchFile(Path);

    FQuorvexDetachedBatchData None;
    EXPECT_FALSE(Store.TryLoadPendingEventBatch(None, Path));
    EXPECT_TRUE(Path.empty());
    EXPECT_FALSE(Store.HasPendingBatches());
}

TEST_F(OfflineStorePendingBatchTest, IndentedFileWithGapsIsReadLeniently)
{
    EXPECT_FALSE(Store.HasPendingBatches()); // initialise first: earlier runs' files go
    IFileManager::Get().MakeDirectory(PendingDir, true);
    FString Text;
    ASSERT_TRUE(FFileHelper::LoadFileToString(Text, FixturePath("PendingBatchIndented.json")));
    ASSERT_TRUE(FFileHelper::SaveStringToFile(
        Text, FPaths::Combine(PendingDir, "batch_00000000000000000001_fixture.json")));

    FQuorvexDetachedBatchData Batch;
    Batch.InGameId = "preset-id";
    Batch.SequenceNumber = 99;
    Batch.Taps = {{9.f, 9.f, 9.f, 9}};
    Batch.Metadata.CpuUsagePercent = 42;
    FString Path;
    ASSERT_TRUE(Store.TryLoadPendingEventBatch(Batch, Path));

    EXPECT_EQ(Batch.SessionId, "session-from-disk");
    EXPECT_EQ(Batch.Timestamp, 1700000000123); // truncated
    EXPECT_EQ(Batch.SequenceNumber, 0);        // absent numbers read as 0
    EXPECT_EQ(Batch.InGameId, "preset-id");    // absent strings stay as they were
    EXPECT_EQ(Batch.DeveloperPayload, "payload");
    ASSERT_EQ(Batch.Taps.size(), 3u); // appended; non-object items skipped
    EXPECT_EQ(Batch.Taps[1].X, 0.5f);
    EXPECT_EQ(Batch.Taps[1].Pressure, 1.f);
    EXPECT_EQ(Batch.Taps[2].X, -3.f);
    EXPECT_EQ(Batch.Taps[2].Y, 0.f);
    EXPECT_TRUE(Batch.Swipes.empty());
    ASSERT_EQ(Batch.LongPresses.size(), 1u);
    EXPECT_EQ(Batch.LongPresses[0].DurationMs, -2);
    ASSERT_EQ(Batch.KeyEvents.size(), 1u);
    EXPECT_EQ(Batch.KeyEvents[0].KeyCode, INT32_MAX); // held inside the range
    EXPECT_EQ(Batch.KeyEvents[0].Timestamp, INT64_MIN);
    EXPECT_EQ(Batch.Metadata.CpuUsagePercent, 42); // not an object: left alone
    ASSERT_EQ(Batch.ScreenshotRecords.size(), 2u);
    EXPECT_EQ(Batch.ScreenshotRecords[0].FilePath, "/somewhere/frame_00000000000000000001.jpg");
    EXPECT_EQ(Batch.ScreenshotRecords[0].ByteSize, 2048);
    EXPECT_EQ(Batch.ScreenshotRecords[0].Width, 640);
    EXPECT_TRUE(Batch.ScreenshotRecords[1].FilePath.empty());
    EXPECT_EQ(Batch.ScreenshotRecords[1].Base64Jpeg, "AAEC");
    EXPECT_TRUE(Batch.ScreenshotRecords[1].JpegBytes.empty());
}

TEST_F(OfflineStorePendingBatchTest, DeletingPendingFilesReleasesTheirBytes)
{
    FQuorvexDetachedBatchData A = MakeEventfulBatch(1);
    FQuorvexDetachedBatchData B = MakeEventfulBatch(2);
    ASSERT_TRUE(Save(A));
    const FString First = OnlyPendingFile();
    ASSERT_TRUE(Save(B));
    const int64 Both = Store.GetTotalBufferedStorageBytes();
    const int64 FirstSize = IFileManager::Get().FileSize(First);

    Store.DeletePendingEventBatchFile("");
    Store.DeletePendingEventBatchFile(First);
    EXPECT_FALSE(IFileManager::Get().FileExists(First));
    EXPECT_EQ(Store.GetTotalBufferedStorageBytes(), Both - FirstSize);
    Store.DeletePendingEventBatchFile(First); // gone already: nothing more to release
    EXPECT_EQ(Store.GetTotalBufferedStorageBytes(), Both - FirstSize);
    EXPECT_EQ(FilesIn(PendingDir).size(), 1u);
    EXPECT_TRUE(Store.HasPendingBatches());

    WriteFileOfSize(FPaths::Combine(PendingDir, "keep.txt"), 3);
    Store.DeleteAllPendingEventBatchFiles();
    EXPECT_EQ(FilesIn(PendingDir), std::vector<FString>{"keep.txt"});
    EXPECT_FALSE(Store.HasPendingBatches());
    EXPECT_EQ(Store.GetTotalBufferedStorageBytes(), 0);
}

// Files removed behind the store's back (a start-up reclamation racing an upload)
// must not keep eating into the storage limit once a load finds nothing.
TEST_F(OfflineStorePendingBatchTest, LoadFindingNothingForgetsBytesOfVanishedFiles)
{
    FQuorvexDetachedBatchData Batch = MakeEventfulBatch(1);
    ASSERT_TRUE(Save(Batch));
    ASSERT_GT(Store.GetTotalBufferedStorageBytes(), 0);
    ASSERT_TRUE(IFileManager::Get().DeleteDirectory(PendingDir, false, true));

    FQuorvexDetachedBatchData Loaded;
    FString Path;
    EXPECT_FALSE(Store.TryLoadPendingEventBatch(Loaded, Path));
    EXPECT_FALSE(Store.HasPendingBatches());
    EXPECT_EQ(Store.GetTotalBufferedStorageBytes(), 0);
}
} // namespace
