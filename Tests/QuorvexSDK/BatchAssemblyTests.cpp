// Batches: detaching the live buffers, building the archive (read back by unzip,
// 7z and Python's zipfile), leaving out frames whose files went missing, and the
// trim of the inline final flush.
#include "Files.h"
#include "JsonSerializer.h"
#include "QuorvexSubsystemTestBase.h"
#include "StringUtils.h"
#include "Tasks.h"

#include <gtest/gtest.h>
#include <regex>
#include <sstream>

namespace
{
class BatchAssembly : public FQuorvexSubsystemTestBase
{
protected:
    // Starts a session and lets the start's background sweep of stranded archives
    // finish, so it cannot take the archives these tests build.
    void Start()
    {
        StartCapturing(MakeSession());
        FTaskGraph::WaitForBackgroundIdle();
    }

    // A screenshot record whose JPEG (Size bytes of a pattern) is a file in the
    // buffered screenshot folder.
    FQuorvexScreenshotRecord Frame(int32 Index, int64 Size = 3000)
    {
        const FString Folder = FQuorvexOfflineStore::GetBufferedScreenshotDirectory();
        IFileManager::Get().MakeDirectory(Folder, true);
        FQuorvexScreenshotRecord Record;
        Record.FilePath = FPaths::Combine(Folder, "frame_" + std::to_string(100 + Index) + ".jpg");
        std::vector<uint8> Bytes(static_cast<size_t>(Size), static_cast<uint8>(Index + 1));
        EXPECT_TRUE(FFileHelper::SaveArrayToFile(Bytes, Record.FilePath));
        Record.ByteSize = Size;
        Record.Width = 64;
        Record.Height = 48;
        Record.Timestamp = 1700000000000 + Index;
        return Record;
    }

    // Entry names and sizes as Python's zipfile reads them, one "name size" a line.
    static FString ReadWithPython(const FString& ZipPath)
    {
        FString Output;
        EXPECT_EQ(RunCommand("python3 -c \"import sys,zipfile\n"
                             "for i in zipfile.ZipFile(sys.argv[1]).infolist(): print(i.filename, "
                             "i.file_size)\" '" +
                                 ZipPath + "'",
                             Output),
                  0)
            << Output;
        return Output;
    }

    static FJsonObjectPtr ReadJsonEntry(const FString& ZipPath, const FString& Entry)
    {
        FString Text;
        EXPECT_EQ(RunCommand("unzip -p '" + ZipPath + "' " + Entry, Text), 0);
        FJsonObjectPtr Object;
        EXPECT_TRUE(FJsonSerializer::Deserialize(Text, Object)) << Text.substr(0, 200);
        return Object;
    }
};
} // namespace

TEST_F(BatchAssembly, DetachTakesEverythingGatheredOrNothing)
{
    Start();
    FQuorvexDetachedBatchData Batch;
    EXPECT_FALSE(Peer->TryDetachCurrentBatch(Batch)) << "nothing gathered";

    Peer->LiveGestures().Taps.push_back({1.f, 2.f, 1.f, 5});
    Peer->LiveGestures().KeyEvents.push_back({'W', "W", "pressed", 6});
    Peer->LiveScreenshots().push_back(Frame(0));
    ASSERT_TRUE(Peer->TryDetachCurrentBatch(Batch));
    EXPECT_EQ(Batch.SessionId, "session-1");
    EXPECT_EQ(Batch.SequenceNumber, 1) << "the empty detach used no number";
    EXPECT_EQ(Batch.InGameId, "player");
    EXPECT_EQ(Batch.DeveloperPayload, "payload");
    EXPECT_EQ(Batch.Taps.size(), 1u);
    EXPECT_EQ(Batch.KeyEvents.size(), 1u);
    EXPECT_EQ(Batch.ScreenshotRecords.size(), 1u);
    EXPECT_GT(Batch.Timestamp, 1700000000000);
    EXPECT_TRUE(Peer->LiveBatch().Screenshots.empty());
    EXPECT_TRUE(Peer->LiveBatch().Gestures.IsEmpty());

    Peer->LiveGestures().Scrolls.push_back({0.f, 1.f, 3.f, 4.f, 7});
    ASSERT_TRUE(Peer->TryDetachCurrentBatch(Batch));
    EXPECT_EQ(Batch.SequenceNumber, 2);
    EXPECT_TRUE(Batch.ScreenshotRecords.empty());
}

TEST_F(BatchAssembly, ArchiveHoldsTheDocumentsAndEveryReadableFrame)
{
    Start();
    for (int32 I = 0; I < 3; ++I)
    {
        Peer->LiveScreenshots().push_back(Frame(I, 3000 + I));
    }
    Peer->LiveGestures().Taps.push_back({1.f, 2.f, 1.f, 5});
    FQuorvexDetachedBatchData Batch;
    ASSERT_TRUE(Peer->TryDetachCurrentBatch(Batch));
    // A frame file goes missing between the detach and the assembly.
    const FString Lost = Batch.ScreenshotRecords[1].FilePath;
    ASSERT_TRUE(IFileManager::Get().Delete(Lost));

    std::vector<FQuorvexMediaFrame> Frames;
    FString ZipPath;
    int64 ZipSize = 0;
    ASSERT_TRUE(Peer->BuildBatchZip(Batch, Frames, ZipPath, ZipSize));
    EXPECT_EQ(ZipSize, IFileManager::Get().FileSize(ZipPath));
    EXPECT_EQ(FPaths::GetPath(ZipPath), FQuorvexOfflineStore::GetMediaArchiveDirectory());
    EXPECT_TRUE(
        std::regex_match(FPaths::GetCleanFilename(ZipPath),
                         std::regex("session-1_00000000000000000001_[0-9]+_[0-9A-F]{32}\\.zip")));
    EXPECT_TRUE(
        Log.Contains("QuorvexSDK: batch zip: 1 frame(s) were unreadable and left out (and out "
                     "of events.json). seq=1"));
    EXPECT_TRUE(
        Log.Contains("QuorvexSDK: purging 1 unreadable buffered screenshot(s) after building "
                     "the upload archive. firstPath=" +
                     Lost));

    FString Output;
    EXPECT_EQ(RunCommand("unzip -t '" + ZipPath + "'", Output), 0) << Output;
    EXPECT_EQ(RunCommand("7z t '" + ZipPath + "'", Output), 0) << Output;
    const FString Entries = ReadWithPython(ZipPath);
    EXPECT_TRUE(std::regex_match(
        Entries, std::regex("events\\.json [0-9]+\nmanifest\\.json [0-9]+\n"
                            "frames/frame_0\\.jpeg 3000\nframes/frame_2\\.jpeg 3002\n")))
        << Entries;

    // Both documents list exactly the frames in the archive.
    ASSERT_EQ(Frames.size(), 2u);
    EXPECT_EQ(Frames[0].AttachmentId, "frame_0");
    EXPECT_EQ(Frames[1].AttachmentId, "frame_2");
    const FJsonObjectPtr Events = ReadJsonEntry(ZipPath, "events.json");
    ASSERT_TRUE(Events);
    FJsonObjectPtr Media;
    ASSERT_TRUE(Events->TryGetObjectField("media", Media));
    const FJsonArray* EventFrames = nullptr;
    ASSERT_TRUE(Media->TryGetArrayField("frames", EventFrames));
    EXPECT_EQ(EventFrames->size(), 2u);
    const FJsonObjectPtr Manifest = ReadJsonEntry(ZipPath, "manifest.json");
    ASSERT_TRUE(Manifest);
    const FString ManifestText = FJsonSerializer::Serialize(*Manifest);
    EXPECT_NE(ManifestText.find("frame_2"), FString::npos);
    EXPECT_EQ(ManifestText.find("frame_1"), FString::npos);
}

TEST_F(BatchAssembly, ABatchOfInputAloneIsAnArchiveOfTheTwoDocuments)
{
    Start();
    Peer->LiveGestures().Swipes.push_back({0.f, 0.f, 100.f, 0.f, 300, 9});
    FQuorvexDetachedBatchData Batch;
    ASSERT_TRUE(Peer->TryDetachCurrentBatch(Batch));
    std::vector<FQuorvexMediaFrame> Frames;
    FString ZipPath;
    int64 ZipSize = 0;
    ASSERT_TRUE(Peer->BuildBatchZip(Batch, Frames, ZipPath, ZipSize));
    EXPECT_TRUE(Frames.empty());
    EXPECT_TRUE(std::regex_match(ReadWithPython(ZipPath),
                                 std::regex("events\\.json [0-9]+\nmanifest\\.json [0-9]+\n")));
    const FJsonObjectPtr Events = ReadJsonEntry(ZipPath, "events.json");
    ASSERT_TRUE(Events);
    FJsonObjectPtr Input;
    ASSERT_TRUE(Events->TryGetObjectField("inputEvents", Input));
    EXPECT_NE(FJsonSerializer::Serialize(*Input).find("\"durationMs\": 300"), FString::npos);
}

TEST_F(BatchAssembly, TheInlineFinalFlushKeepsTheOldestFramesOnly)
{
    Start();
    const int32 Count = UQuorvexSubsystem::MaxFramesInSynchronousFinalFlush + 5;
    for (int32 I = 0; I < Count; ++I)
    {
        Peer->LiveScreenshots().push_back(Frame(I, 10));
    }
    FQuorvexDetachedBatchData Batch;
    ASSERT_TRUE(Peer->TryDetachCurrentBatch(Batch));
    Peer->TrimBatchForSynchronousFlush(Batch);
    EXPECT_EQ(static_cast<int32>(Batch.ScreenshotRecords.size()), Count) << "only while inline";

    Peer->SetFinalFlushInline(true);
    const FString Dropped = Batch.ScreenshotRecords.back().FilePath;
    Peer->TrimBatchForSynchronousFlush(Batch);
    Peer->SetFinalFlushInline(false);
    ASSERT_EQ(static_cast<int32>(Batch.ScreenshotRecords.size()),
              UQuorvexSubsystem::MaxFramesInSynchronousFinalFlush);
    EXPECT_EQ(Batch.ScreenshotRecords.back().Timestamp, 1700000000000 + 119) << "the oldest stay";
    EXPECT_FALSE(IFileManager::Get().FileExists(Dropped));
    EXPECT_TRUE(IFileManager::Get().FileExists(Batch.ScreenshotRecords.back().FilePath));
    EXPECT_TRUE(Log.Contains("QuorvexSDK: Final flush is inline at teardown; dropping 5 of 125 "
                             "frame(s) to stay inside the OS shutdown budget. seq=1"));
}
