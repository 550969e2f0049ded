// Files and paths, and the fault hook that makes the file layer fail for real.
#include "FileFaults.h"
#include "Files.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

class FilesTest : public FEngineTestBase
{
};

TEST_F(FilesTest, SaveLoadSizeFindAndDelete)
{
    auto& Files = IFileManager::Get();
    const FString Folder = Saved.File("a/b");
    ASSERT_TRUE(Files.MakeDirectory(Folder, true));
    ASSERT_TRUE(FFileHelper::SaveStringToFile("hello", FPaths::Combine(Folder, "one.bin")));
    ASSERT_TRUE(FFileHelper::SaveStringToFile("hi", FPaths::Combine(Folder, "two.bin")));
    ASSERT_TRUE(FFileHelper::SaveStringToFile("x", FPaths::Combine(Folder, "note.txt")));
    EXPECT_EQ(Files.FileSize(FPaths::Combine(Folder, "one.bin")), 5);
    EXPECT_EQ(Files.FileSize(FPaths::Combine(Folder, "missing")), -1);
    EXPECT_EQ(Files.FindFiles(Folder, "*.bin"), (std::vector<FString>{"one.bin", "two.bin"}));
    FString Text;
    ASSERT_TRUE(FFileHelper::LoadFileToString(Text, FPaths::Combine(Folder, "two.bin")));
    EXPECT_EQ(Text, "hi");
    EXPECT_TRUE(Files.Delete(FPaths::Combine(Folder, "two.bin")));
    EXPECT_TRUE(Files.Delete(FPaths::Combine(Folder, "two.bin")));
    EXPECT_FALSE(Files.Delete(FPaths::Combine(Folder, "two.bin"), true));
    EXPECT_TRUE(
        Files.Move(FPaths::Combine(Folder, "moved.bin"), FPaths::Combine(Folder, "one.bin")));
    EXPECT_TRUE(Files.FileExists(FPaths::Combine(Folder, "moved.bin")));
}

TEST_F(FilesTest, PathHelpers)
{
    EXPECT_EQ(FPaths::Combine("a/", "/b"), "a/b");
    EXPECT_EQ(FPaths::Combine("a", "b", "c.txt"), "a/b/c.txt");
    EXPECT_EQ(FPaths::GetCleanFilename("a/b/c.txt"), "c.txt");
    EXPECT_EQ(FPaths::GetBaseFilename("a/b/c.tar.gz"), "c.tar");
    EXPECT_EQ(FPaths::GetExtension("a/b/c.JPEG"), "JPEG");
    EXPECT_EQ(FPaths::GetPath("a/b/c.txt"), "a/b");
    EXPECT_TRUE(FPaths::MatchesWildcard("batch_0001.json", "batch_*.json"));
    EXPECT_FALSE(FPaths::MatchesWildcard("batch_0001.jsonx", "batch_*.json"));
    EXPECT_TRUE(FPaths::MatchesWildcard("frame_7.jpeg", "frame_?.jpeg"));
}

TEST_F(FilesTest, FailedWriteLeavesNoPartialFile)
{
    const FString Path = Saved.File("full-disk.bin");
    FScopedFileFault Fault(EFileFault::FailWrite, "full-disk", 3);
    EXPECT_FALSE(FFileHelper::SaveStringToFile("more than three bytes", Path));
    EXPECT_FALSE(IFileManager::Get().FileExists(Path));
}

TEST_F(FilesTest, WriterReportsFullDiskAfterThreshold)
{
    const FString Path = Saved.File("stream.bin");
    FScopedFileFault Fault(EFileFault::FailWrite, "stream.bin", 10);
    std::unique_ptr<FArchive> Writer = IFileManager::Get().CreateFileWriter(Path);
    ASSERT_TRUE(Writer);
    char Chunk[6] = {'a', 'b', 'c', 'd', 'e', 'f'};
    Writer->Serialize(Chunk, 6);
    EXPECT_FALSE(Writer->IsError());
    Writer->Serialize(Chunk, 6);
    EXPECT_TRUE(Writer->IsError());
    EXPECT_FALSE(Writer->Close());
    EXPECT_EQ(IFileManager::Get().FileSize(Path), 10);
}

TEST_F(FilesTest, OpenAndDeleteAndDirectoryFaults)
{
    const FString Path = Saved.File("victim.txt");
    ASSERT_TRUE(FFileHelper::SaveStringToFile("data", Path));
    {
        FScopedFileFault Fault(EFileFault::FailOpenForRead, "victim");
        FString Text;
        EXPECT_FALSE(FFileHelper::LoadFileToString(Text, Path));
    }
    {
        FScopedFileFault Fault(EFileFault::FailDelete, "victim");
        EXPECT_FALSE(IFileManager::Get().Delete(Path));
        EXPECT_TRUE(IFileManager::Get().FileExists(Path));
    }
    {
        FScopedFileFault Fault(EFileFault::FailOpenForWrite, "victim");
        EXPECT_FALSE(FFileHelper::SaveStringToFile("new", Path));
    }
    {
        FScopedFileFault Fault(EFileFault::FailMakeDirectory, "nested");
        EXPECT_FALSE(IFileManager::Get().MakeDirectory(Saved.File("nested/deeper"), true));
    }
    FString Text;
    ASSERT_TRUE(FFileHelper::LoadFileToString(Text, Path));
    EXPECT_EQ(Text, "data");
}

TEST_F(FilesTest, FileVanishesOrShrinksMidRead)
{
    const FString Path = Saved.File("moving.bin");
    const std::vector<uint8> Bytes(100, 7);
    ASSERT_TRUE(FFileHelper::SaveArrayToFile(Bytes, Path));
    std::vector<uint8> Buffer(40);
    {
        FScopedFileFault Fault(EFileFault::ShrinkDuringRead, "moving.bin", 50);
        std::unique_ptr<FArchive> Reader = IFileManager::Get().CreateFileReader(Path);
        ASSERT_TRUE(Reader);
        Reader->Serialize(Buffer.data(), 40);
        EXPECT_FALSE(Reader->IsError());
        Reader->Serialize(Buffer.data(), 40); // crosses the new end of file
        EXPECT_TRUE(Reader->IsError());
        EXPECT_EQ(IFileManager::Get().FileSize(Path), 50);
    }
    {
        FScopedFileFault Fault(EFileFault::VanishDuringRead, "moving.bin", 20);
        std::unique_ptr<FArchive> Reader = IFileManager::Get().CreateFileReader(Path);
        ASSERT_TRUE(Reader);
        Reader->Serialize(Buffer.data(), 20);
        EXPECT_FALSE(Reader->IsError());
        Reader->Serialize(Buffer.data(), 10);
        EXPECT_TRUE(Reader->IsError());
        EXPECT_FALSE(IFileManager::Get().FileExists(Path));
    }
}

TEST_F(FilesTest, RuleWithLimitedHitsStopsFiring)
{
    FFileFaultRule Rule;
    Rule.Fault = EFileFault::FailOpenForWrite;
    Rule.PathContains = "once";
    Rule.RemainingHits = 1;
    FScopedFileFault Fault(Rule);
    EXPECT_FALSE(FFileHelper::SaveStringToFile("a", Saved.File("once.txt")));
    EXPECT_TRUE(FFileHelper::SaveStringToFile("a", Saved.File("once.txt")));
}
