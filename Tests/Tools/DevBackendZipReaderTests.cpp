// The archive reader against real archives (the SDK's writer, Python's zipfile) and a
// table of hostile ones made by editing a real archive's bytes: each is refused with a
// reason, never read out of bounds (the asan build runs the same table).
#include "DevBackendReplayTestSupport.h"
#include "DevBackendZipReader.h"

#include <functional>
#include <gtest/gtest.h>

namespace
{
constexpr std::int64_t AnySize = 1LL << 30;

FZipEntries GoodEntries()
{
    return {{"events.json", "{\"sessionId\":\"s\"}"},
            {"manifest.json", "{\"schemaVersion\":1}"},
            {"frames/frame_0.jpeg", FakeJpeg(1, 200 * 1024 + 3)},
            {"frames/frame_1.jpeg", FakeJpeg(2)}};
}

// Replaces every occurrence (the local header's and the directory's) of a name by
// another of the same length.
std::string Renamed(std::string Bytes, const std::string& From, const std::string& To)
{
    for (std::size_t At = Bytes.find(From); At != std::string::npos; At = Bytes.find(From, At + 1))
    {
        Bytes.replace(At, From.size(), To);
    }
    return Bytes;
}

struct FHostileCase
{
    const char* Name;
    std::function<std::string(std::string)> Edit;
    const char* Reason; // a piece of the expected refusal
};

const FHostileCase HostileCases[] = {
    {"EmptyFile", [](std::string) { return std::string(); }, "too short"},
    {"CutInHalf", [](std::string B) { return B.substr(0, B.size() / 2); }, "no end-of-central"},
    {"EndRecordCutShort", [](std::string B) { return B.substr(0, B.size() - 5); },
     "no end-of-central"},
    {"DirectoryOffsetLies",
     [](std::string B)
     {
         PutU32(B, EndRecordAt(B) + 16, ZipU32(B, EndRecordAt(B) + 16) + 1);
         return B;
     },
     "do not meet"},
    {"DirectoryStartsAtTheFirstLocalHeader",
     [](std::string B)
     {
         PutU32(B, EndRecordAt(B) + 12, static_cast<std::uint32_t>(EndRecordAt(B)));
         PutU32(B, EndRecordAt(B) + 16, 0);
         return B;
     },
     "central directory record is missing"},
    {"HugeEntryCount",
     [](std::string B)
     {
         PutU16(B, EndRecordAt(B) + 8, 0xFFFE);
         PutU16(B, EndRecordAt(B) + 10, 0xFFFE);
         return B;
     },
     "impossible"},
    {"EntryCountBelowTheDirectory",
     [](std::string B)
     {
         PutU16(B, EndRecordAt(B) + 8, 3);
         PutU16(B, EndRecordAt(B) + 10, 3);
         return B;
     },
     "more than its entry count"},
    {"Zip64CountMarker",
     [](std::string B)
     {
         PutU16(B, EndRecordAt(B) + 8, 0xFFFF);
         PutU16(B, EndRecordAt(B) + 10, 0xFFFF);
         return B;
     },
     "ZIP64"},
    {"Zip64OffsetMarker",
     [](std::string B)
     {
         PutU32(B, EndRecordAt(B) + 16, 0xFFFFFFFF);
         return B;
     },
     "ZIP64"},
    {"Zip64EntrySizeMarker",
     [](std::string B)
     {
         PutU32(B, CentralRecordAt(B, 2) + 20, 0xFFFFFFFF);
         PutU32(B, CentralRecordAt(B, 2) + 24, 0xFFFFFFFF);
         return B;
     },
     "ZIP64"},
    {"Zip64Locator",
     [](std::string B)
     {
         // A locator signature just before the end record, where a ZIP64 archive has one.
         PutU32(B, EndRecordAt(B) - 20, 0x07064B50);
         return B;
     },
     "ZIP64"},
    {"MultiDisk",
     [](std::string B)
     {
         PutU16(B, EndRecordAt(B) + 4, 1);
         return B;
     },
     "multi-disk"},
    {"EntrySizeRunsPastTheDirectory",
     [](std::string B)
     {
         PutU32(B, CentralRecordAt(B, 3) + 20, 0x7FFFFFF0);
         PutU32(B, CentralRecordAt(B, 3) + 24, 0x7FFFFFF0);
         return B;
     },
     "overruns"},
    {"LocalOffsetPastTheEnd",
     [](std::string B)
     {
         PutU32(B, CentralRecordAt(B, 1) + 42, 0x7FFFFF00);
         return B;
     },
     "no local header"},
    {"LocalOffsetIntoAPayload",
     [](std::string B)
     {
         PutU32(B, CentralRecordAt(B, 1) + 42, 100);
         return B;
     },
     "no local header"},
    {"LocalHeaderOfAnotherEntry",
     [](std::string B)
     {
         PutU32(B, CentralRecordAt(B, 3) + 42, ZipU32(B, CentralRecordAt(B, 2) + 42));
         return B;
     },
     "another name"},
    {"NameLengthRunsPastTheDirectory",
     [](std::string B)
     {
         PutU16(B, CentralRecordAt(B, 3) + 28, 0xFFFF);
         return B;
     },
     "runs past the directory"},
    {"DotDotSegment",
     [](std::string B) { return Renamed(B, "frames/frame_1.jpeg", "frames/../_1.jpeg.."); },
     "unsafe"},
    {"ParentEscape",
     [](std::string B) { return Renamed(B, "frames/frame_1.jpeg", "../../../etc/passwd"); },
     "unsafe"},
    {"AbsolutePath",
     [](std::string B) { return Renamed(B, "frames/frame_1.jpeg", "/rames/frame_1.jpeg"); },
     "unsafe"},
    {"DriveLetter",
     [](std::string B) { return Renamed(B, "frames/frame_1.jpeg", "C:ames/frame_1.jpeg"); },
     "unsafe"},
    {"Backslash",
     [](std::string B) { return Renamed(B, "frames/frame_1.jpeg", "frames\\frame_1.jpeg"); },
     "unsafe"},
    {"NulInName",
     [](std::string B)
     { return Renamed(B, "frames/frame_1.jpeg", std::string("frames/frame_1\0jpeg", 19)); },
     "unsafe"},
    {"EmptySegment",
     [](std::string B) { return Renamed(B, "frames/frame_1.jpeg", "frames//rame_1.jpeg"); },
     "unsafe"},
    {"SameNameTwice",
     [](std::string B) { return Renamed(B, "frames/frame_1.jpeg", "frames/frame_0.jpeg"); },
     "appears twice"},
    {"DeflatedEntry",
     [](std::string B)
     {
         PutU16(B, CentralRecordAt(B, 0) + 10, 8);
         return B;
     },
     "compressed"},
    {"PackedSizeDiffers",
     [](std::string B)
     {
         PutU32(B, CentralRecordAt(B, 0) + 20, ZipU32(B, CentralRecordAt(B, 0) + 20) - 1);
         return B;
     },
     "compressed"},
    {"Encrypted",
     [](std::string B)
     {
         PutU16(B, CentralRecordAt(B, 1) + 8, 0x0801);
         return B;
     },
     "encrypted"},
    {"PayloadByteFlipped",
     [](std::string B)
     {
         const std::size_t Local = ZipU32(B, CentralRecordAt(B, 3) + 42);
         B[Local + 30 + 19 + 10] ^= 0x40;
         return B;
     },
     "CRC-32"},
    {"CrcFieldLies",
     [](std::string B)
     {
         PutU32(B, CentralRecordAt(B, 0) + 16, 0x12345678);
         return B;
     },
     "CRC-32"},
    {"CommentLengthLongerThanTheComment",
     [](std::string B)
     {
         PutU16(B, EndRecordAt(B) + 20, 100);
         return B + "short";
     },
     "no end-of-central"},
    {"GarbageAfterTheEndRecord", [](std::string B) { return B + "trailing bytes"; },
     "no end-of-central"},
};

class DevBackendZipReader : public ::testing::Test
{
protected:
    std::string Write(const std::string& Bytes, const std::string& Name = "archive.zip") const
    {
        const std::string Path = Dir.File(Name);
        WriteFileBytes(Path, Bytes);
        return Path;
    }

    FTempDir Dir;
};
} // namespace

TEST_F(DevBackendZipReader, ReadsEveryEntryOfTheWritersArchiveByOffset)
{
    const FZipEntries Entries = GoodEntries();
    const std::string Path = Write(WriterArchive(Dir, Entries));
    FDevBackendZipReader Reader;
    std::string Error;
    ASSERT_TRUE(Reader.Open(Path, AnySize, Error)) << Error;
    ASSERT_EQ(Reader.Entries().size(), Entries.size());
    for (std::size_t I = 0; I < Entries.size(); ++I)
    {
        SCOPED_TRACE(Entries[I].first);
        EXPECT_EQ(Reader.Entries()[I].Name, Entries[I].first);
        EXPECT_EQ(Reader.Entries()[I].Size, static_cast<std::int64_t>(Entries[I].second.size()));
        const FDevBackendZipEntry* Entry = Reader.Find(Entries[I].first);
        ASSERT_NE(Entry, nullptr);
        std::string Bytes;
        ASSERT_TRUE(Reader.Read(*Entry, Bytes, Error)) << Error;
        EXPECT_TRUE(Bytes == Entries[I].second);
    }
    EXPECT_EQ(Reader.Find("frames/frame_2.jpeg"), nullptr);
}

TEST_F(DevBackendZipReader, ReadsPythonsStoredArchiveWithACommentHoldingAFakeEndSignature)
{
    // zipfile adds its own layout choices (version fields, a comment); the comment holds
    // an end-record signature whose comment length does not reach the end of the file.
    const std::string Path = Dir.File("python.zip");
    FString Output;
    ASSERT_EQ(RunCommand("python3 -c \"import sys,zipfile\n"
                         "z=zipfile.ZipFile(sys.argv[1],'w',zipfile.ZIP_STORED)\n"
                         "z.writestr('events.json','{}')\n"
                         "z.writestr('frames/frame_0.jpeg',bytes(range(256))*40)\n"
                         "z.comment=b'PK\\x05\\x06 not an end record'\n"
                         "z.close()\" " +
                             Path,
                         Output),
              0)
        << Output;
    FDevBackendZipReader Reader;
    std::string Error;
    ASSERT_TRUE(Reader.Open(Path, AnySize, Error)) << Error;
    ASSERT_EQ(Reader.Entries().size(), 2u);
    std::string Bytes;
    ASSERT_TRUE(Reader.Read(*Reader.Find("frames/frame_0.jpeg"), Bytes, Error)) << Error;
    ASSERT_EQ(Bytes.size(), 256u * 40u);
    EXPECT_EQ(static_cast<unsigned char>(Bytes[255 + 256]), 255u);
    ASSERT_TRUE(Reader.Read(*Reader.Find("events.json"), Bytes, Error)) << Error;
    EXPECT_EQ(Bytes, "{}");
}

TEST_F(DevBackendZipReader, EmptyArchiveHasNoEntries)
{
    const std::string Path = Write(WriterArchive(Dir, {}));
    FDevBackendZipReader Reader;
    std::string Error;
    ASSERT_TRUE(Reader.Open(Path, AnySize, Error)) << Error;
    EXPECT_TRUE(Reader.Entries().empty());
}

TEST_F(DevBackendZipReader, HostileArchivesAreRefusedWithAReason)
{
    const std::string Good = WriterArchive(Dir, GoodEntries());
    for (const FHostileCase& Case : HostileCases)
    {
        SCOPED_TRACE(Case.Name);
        const std::string Path = Write(Case.Edit(Good));
        FDevBackendZipReader Reader;
        std::string Error;
        EXPECT_FALSE(Reader.Open(Path, AnySize, Error));
        EXPECT_NE(Error.find(Case.Reason), std::string::npos) << Error;
        EXPECT_TRUE(Reader.Entries().empty());
    }
}

TEST_F(DevBackendZipReader, FileLargerThanTheLimitOrNotAFileIsRefused)
{
    const std::string Path = Write(WriterArchive(Dir, GoodEntries()));
    FDevBackendZipReader Reader;
    std::string Error;
    EXPECT_FALSE(Reader.Open(Path, 1000, Error));
    EXPECT_NE(Error.find("larger than 1000"), std::string::npos) << Error;
    EXPECT_FALSE(Reader.Open(Dir.Path(), AnySize, Error));
    EXPECT_NE(Error.find("cannot be opened"), std::string::npos) << Error;
    EXPECT_FALSE(Reader.Open(Dir.File("missing.zip"), AnySize, Error));
    EXPECT_NE(Error.find("cannot be opened"), std::string::npos) << Error;
}

TEST_F(DevBackendZipReader, ReadIsBoundedAndNoticesAChangedFile)
{
    const std::string Good = WriterArchive(Dir, GoodEntries());
    const std::string Path = Write(Good);
    FDevBackendZipReader Reader;
    std::string Error;
    ASSERT_TRUE(Reader.Open(Path, AnySize, Error)) << Error;
    const FDevBackendZipEntry& Big = *Reader.Find("frames/frame_0.jpeg");
    std::string Bytes;
    EXPECT_FALSE(Reader.Read(Big, Bytes, Error, 1024));
    EXPECT_NE(Error.find("too large"), std::string::npos) << Error;
    EXPECT_TRUE(Bytes.empty());

    // The same size with a flipped payload byte: the CRC catches it at read time.
    std::string Changed = Good;
    Changed[Big.DataOffset + 5] ^= 0x01;
    WriteFileBytes(Path, Changed);
    EXPECT_FALSE(Reader.Read(Big, Bytes, Error));
    EXPECT_NE(Error.find("CRC-32"), std::string::npos) << Error;

    WriteFileBytes(Path, Good.substr(0, Good.size() / 2));
    EXPECT_FALSE(Reader.Read(Big, Bytes, Error));
    EXPECT_NE(Error.find("changed or vanished"), std::string::npos) << Error;
}

TEST(DevBackendZipEntryName, OnlyPlainRelativeNamesAreSafe)
{
    const std::pair<std::string, bool> Cases[] = {
        {"events.json", true}, {"frames/frame_0.jpeg", true},
        {"a..b/c", true}, // dots inside a segment name nothing special
        {"", false},           {"/etc/passwd", false},
        {"..", false},         {"frames/../../x", false},
        {"frames/./x", false}, {"frames/", false},
        {"frames//x", false},  {"C:x", false},
        {"frames\\x", false},  {std::string("a\0b", 3), false},
    };
    for (const auto& [Name, bSafe] : Cases)
    {
        EXPECT_EQ(FDevBackendZipReader::IsSafeEntryName(Name), bSafe) << Name;
    }
}
