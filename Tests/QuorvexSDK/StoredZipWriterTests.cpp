// The stored ZIP writer, checked against independent readers: unzip -t, 7z t and
// Python's zipfile read every archive back, zlib is the CRC oracle, and the file
// layer's fault hook breaks reads and writes where the real I/O happens.
#include "TestSupport.h"

#include "ByteTestData.h"

#include "Clock.h"
#include "FileFaults.h"
#include "Files.h"
#include "Hashing.h"
#include "Logging.h"
#include "QuorvexStoredZipWriter.h"
#include "StringUtils.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <sstream>
#include <sys/wait.h>
#include <zlib.h>

namespace
{
FBytes BytesOf(std::string_view Text)
{
    return FBytes(Text.begin(), Text.end());
}

FString Sha1Hex(const FBytes& Bytes)
{
    return FSHA1::ToHex(FSHA1::HashBuffer(Bytes.data(), Bytes.size()));
}

FString HexOf(std::string_view Text)
{
    FString Hex;
    for (const char C : Text)
    {
        char Pair[3];
        std::snprintf(Pair, sizeof(Pair), "%02x", static_cast<unsigned>(static_cast<uint8>(C)));
        Hex += Pair;
    }
    return Hex;
}

uint16 ReadU16(const FBytes& Bytes, size_t At)
{
    return static_cast<uint16>(Bytes[At] | (Bytes[At + 1] << 8));
}

uint32 ReadU32(const FBytes& Bytes, size_t At)
{
    return static_cast<uint32>(ReadU16(Bytes, At)) |
           (static_cast<uint32>(ReadU16(Bytes, At + 2)) << 16);
}

// Runs a shell command, returning its exit status and combined output.
// What Python's zipfile reports for one entry, after reading (and CRC-checking) it.
struct FPythonEntry
{
    FString NameHex;
    int64 FileSize = 0;
    int64 CompressSize = 0;
    uint32 Crc = 0;
    uint32 Flags = 0;
    uint32 Method = 0;
    int64 HeaderOffset = 0;
    FString DateTime; // "Y-M-D-h-m-s"
    uint32 DataCrc = 0;
    FString DataSha1;
};

constexpr const char* PythonReader = R"(import sys, zipfile, zlib, hashlib
with zipfile.ZipFile(sys.argv[1]) as z:
    for i in z.infolist():
        d = z.read(i)
        print(i.filename.encode('utf-8').hex(), i.file_size, i.compress_size, i.CRC,
              i.flag_bits, i.compress_type, i.header_offset,
              '-'.join(map(str, i.date_time)), zlib.crc32(d), hashlib.sha1(d).hexdigest())
)";

// Reads every entry with Python's zipfile; false (with the reason) when it refuses.
bool ReadWithPython(const FTempDir& Scratch, const FString& ZipPath,
                    std::vector<FPythonEntry>& OutEntries, FString& OutError)
{
    const FString Script = Scratch.File("read_zip.py");
    if (!FFileHelper::SaveStringToFile(PythonReader, Script))
    {
        OutError = "could not write the reader script";
        return false;
    }
    FString Output;
    if (RunCommand("python3 '" + Script + "' '" + ZipPath + "'", Output) != 0)
    {
        OutError = Output;
        return false;
    }
    std::istringstream Lines(Output);
    for (FString Line; std::getline(Lines, Line);)
    {
        std::istringstream Fields(Line);
        FPythonEntry Entry;
        Fields >> Entry.NameHex >> Entry.FileSize >> Entry.CompressSize >> Entry.Crc >>
            Entry.Flags >> Entry.Method >> Entry.HeaderOffset >> Entry.DateTime >> Entry.DataCrc >>
            Entry.DataSha1;
        OutEntries.push_back(Entry);
    }
    return true;
}

// An in-memory writer that also records the largest single write it was given.
class FMemoryWriter final : public FArchive
{
public:
    void Serialize(void* Data, int64 Num) override
    {
        LargestWrite = std::max(LargestWrite, Num);
        const auto* Source = static_cast<const uint8*>(Data);
        if (Position + Num > std::ssize(Bytes))
        {
            Bytes.resize(static_cast<size_t>(Position + Num));
        }
        std::copy(Source, Source + Num, Bytes.begin() + Position);
        Position += Num;
    }
    int64 Tell() const override { return Position; }
    int64 TotalSize() const override { return std::ssize(Bytes); }
    void Seek(int64 NewPosition) override { Position = NewPosition; }
    bool Close() override { return !bError; }

    FBytes Bytes;
    int64 LargestWrite = 0;

private:
    int64 Position = 0;
};

struct FExpectedEntry
{
    FString Name;
    FBytes Bytes;
};

class StoredZipWriter : public FEngineTestBase
{
protected:
    FString WriteFile(const FString& Name, const FBytes& Bytes)
    {
        const FString Path = Scratch.File(Name);
        std::filesystem::create_directories(std::filesystem::path(Path).parent_path());
        EXPECT_TRUE(FFileHelper::SaveArrayToFile(Bytes, Path));
        return Path;
    }

    FBytes ReadFile(const FString& Path)
    {
        FBytes Bytes;
        EXPECT_TRUE(FFileHelper::LoadFileToArray(Bytes, Path));
        return Bytes;
    }

    // unzip -t and 7z t both accept the archive.
    void ExpectToolsAccept(const FString& ZipPath)
    {
        FString Output;
        EXPECT_EQ(RunCommand("unzip -t '" + ZipPath + "'", Output), 0) << Output;
        EXPECT_EQ(RunCommand("7z t '" + ZipPath + "'", Output), 0) << Output;
    }

    // Python reads exactly these entries back, in order, with the right bytes.
    std::vector<FPythonEntry> ExpectPythonReads(const FString& ZipPath,
                                                const std::vector<FExpectedEntry>& Expected)
    {
        std::vector<FPythonEntry> Read;
        FString Error;
        EXPECT_TRUE(ReadWithPython(Scratch, ZipPath, Read, Error)) << Error;
        EXPECT_EQ(Read.size(), Expected.size());
        for (size_t I = 0; I < std::min(Read.size(), Expected.size()); ++I)
        {
            SCOPED_TRACE(Expected[I].Name);
            EXPECT_EQ(Read[I].NameHex, HexOf(Expected[I].Name));
            EXPECT_EQ(Read[I].FileSize, std::ssize(Expected[I].Bytes));
            EXPECT_EQ(Read[I].CompressSize, std::ssize(Expected[I].Bytes));
            EXPECT_EQ(Read[I].Crc, ZlibCrc(Expected[I].Bytes));
            EXPECT_EQ(Read[I].DataCrc, ZlibCrc(Expected[I].Bytes));
            EXPECT_EQ(Read[I].DataSha1, Sha1Hex(Expected[I].Bytes));
            EXPECT_EQ(Read[I].Flags, 0x0800u);
            EXPECT_EQ(Read[I].Method, 0u);
        }
        return Read;
    }

    FTempDir Scratch;
    FLogCapture Log;
};
} // namespace

TEST_F(StoredZipWriter, EmptyArchiveIsExactlyTheEndRecord)
{
    const FString ZipPath = Scratch.File("empty.zip");
    FQuorvexStoredZipWriter Writer;
    ASSERT_EQ(Writer.WriteToFile(ZipPath), 22);
    const FBytes Expected = {0x50, 0x4B, 0x05, 0x06, 0, 0, 0, 0, 0, 0, 0,
                             0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(ReadFile(ZipPath), Expected);
    ExpectPythonReads(ZipPath, {});
}

TEST_F(StoredZipWriter, HeadersFollowTheClassicLayout)
{
    FScopedFrozenClock Clock;
    FQuorvexStoredZipWriter Writer;
    Writer.AddBytes("a.txt", BytesOf("hello"));
    uint16 DosTime = 0, DosDate = 0;
    FQuorvexStoredZipWriter::ToDosDateTime(FDateTime::Now(), DosTime, DosDate);

    FMemoryWriter Memory;
    ASSERT_TRUE(Writer.WriteToArchive(Memory));
    const FBytes& Z = Memory.Bytes;
    ASSERT_EQ(Z.size(), 30u + 5 + 5 + 46 + 5 + 22);
    const uint32 Crc = ZlibCrc(BytesOf("hello"));

    // Local header, name, payload.
    EXPECT_EQ(ReadU32(Z, 0), 0x04034B50u);
    EXPECT_EQ(ReadU16(Z, 4), 20);
    EXPECT_EQ(ReadU16(Z, 6), 0x0800);
    EXPECT_EQ(ReadU16(Z, 8), 0);
    EXPECT_EQ(ReadU16(Z, 10), DosTime);
    EXPECT_EQ(ReadU16(Z, 12), DosDate);
    EXPECT_EQ(ReadU32(Z, 14), Crc);
    EXPECT_EQ(ReadU32(Z, 18), 5u);
    EXPECT_EQ(ReadU32(Z, 22), 5u);
    EXPECT_EQ(ReadU16(Z, 26), 5);
    EXPECT_EQ(ReadU16(Z, 28), 0);
    EXPECT_EQ(FString(Z.begin() + 30, Z.begin() + 40), "a.txthello");

    // Central directory header.
    const size_t C = 40;
    EXPECT_EQ(ReadU32(Z, C), 0x02014B50u);
    EXPECT_EQ(ReadU16(Z, C + 4), 20);
    EXPECT_EQ(ReadU16(Z, C + 6), 20);
    EXPECT_EQ(ReadU16(Z, C + 8), 0x0800);
    EXPECT_EQ(ReadU16(Z, C + 10), 0);
    EXPECT_EQ(ReadU16(Z, C + 12), DosTime);
    EXPECT_EQ(ReadU16(Z, C + 14), DosDate);
    EXPECT_EQ(ReadU32(Z, C + 16), Crc);
    EXPECT_EQ(ReadU32(Z, C + 20), 5u);
    EXPECT_EQ(ReadU32(Z, C + 24), 5u);
    EXPECT_EQ(ReadU16(Z, C + 28), 5);
    for (size_t Zero : {30, 32, 34, 36})
    {
        EXPECT_EQ(ReadU16(Z, C + Zero), 0) << Zero;
    }
    EXPECT_EQ(ReadU32(Z, C + 38), 0u);
    EXPECT_EQ(ReadU32(Z, C + 42), 0u);
    EXPECT_EQ(FString(Z.begin() + C + 46, Z.begin() + C + 51), "a.txt");

    // End record.
    const size_t E = C + 51;
    EXPECT_EQ(ReadU32(Z, E), 0x06054B50u);
    EXPECT_EQ(ReadU16(Z, E + 4), 0);
    EXPECT_EQ(ReadU16(Z, E + 6), 0);
    EXPECT_EQ(ReadU16(Z, E + 8), 1);
    EXPECT_EQ(ReadU16(Z, E + 10), 1);
    EXPECT_EQ(ReadU32(Z, E + 12), 51u);
    EXPECT_EQ(ReadU32(Z, E + 16), 40u);
    EXPECT_EQ(ReadU16(Z, E + 20), 0);
}

namespace
{
// What the archive must hold byte for byte, built here from the classic layout alone:
// each entry as local header, name, payload; then the central directory and the end
// record.
struct FClassicEntry
{
    FString Name;
    FBytes Bytes;
    FDateTime Time; // written as MS-DOS time and date
};

FBytes ClassicArchive(const std::vector<FClassicEntry>& Entries)
{
    FBytes Out;
    const auto U16 = [&](uint32 Value)
    {
        Out.push_back(static_cast<uint8>(Value));
        Out.push_back(static_cast<uint8>(Value >> 8));
    };
    const auto U32 = [&](uint32 Value)
    {
        U16(Value & 0xFFFFu);
        U16(Value >> 16);
    };
    const auto Common = [&](const FClassicEntry& Entry)
    {
        uint16 DosTime = 0, DosDate = 0;
        FQuorvexStoredZipWriter::ToDosDateTime(Entry.Time, DosTime, DosDate);
        for (const uint32 Field : {20u, 0x0800u, 0u, uint32{DosTime}, uint32{DosDate}})
        {
            U16(Field);
        }
        U32(ZlibCrc(Entry.Bytes));
        U32(static_cast<uint32>(Entry.Bytes.size()));
        U32(static_cast<uint32>(Entry.Bytes.size()));
        U16(static_cast<uint32>(Entry.Name.size()));
    };
    std::vector<uint32> Offsets;
    for (const FClassicEntry& Entry : Entries)
    {
        Offsets.push_back(static_cast<uint32>(Out.size()));
        U32(0x04034B50u);
        Common(Entry);
        U16(0);
        Out.insert(Out.end(), Entry.Name.begin(), Entry.Name.end());
        Out.insert(Out.end(), Entry.Bytes.begin(), Entry.Bytes.end());
    }
    const uint32 DirectoryOffset = static_cast<uint32>(Out.size());
    for (size_t I = 0; I < Entries.size(); ++I)
    {
        U32(0x02014B50u);
        U16(20);
        Common(Entries[I]);
        for (int32 Zero = 0; Zero < 4; ++Zero)
        {
            U16(0);
        }
        U32(0);
        U32(Offsets[I]);
        Out.insert(Out.end(), Entries[I].Name.begin(), Entries[I].Name.end());
    }
    const uint32 DirectoryBytes = static_cast<uint32>(Out.size()) - DirectoryOffset;
    U32(0x06054B50u);
    U32(0);
    U16(static_cast<uint32>(Entries.size()));
    U16(static_cast<uint32>(Entries.size()));
    U32(DirectoryBytes);
    U32(DirectoryOffset);
    U16(0);
    return Out;
}
} // namespace

TEST_F(StoredZipWriter, FileEntriesAreWrittenByteForByteInTheClassicLayout)
{
    // Sizes around the copy chunk and across several chunks, between in-memory entries.
    const int64 Chunk = 1 << 20;
    const std::vector<int64> FileSizes = {
        0, 1, 65535, 65536, 65537, Chunk - 1, Chunk, Chunk + 1, 2 * Chunk + 17, 5 * Chunk / 2 + 3};
    const FDateTime Stamp(2023, 6, 15, 13, 45, 30);
    FScopedFrozenClock Clock(Stamp.ToUnixMicroseconds());

    FQuorvexStoredZipWriter Writer;
    std::vector<FClassicEntry> Expected;
    Writer.AddBytes("head.json", BytesOf("{}"));
    Expected.push_back({"head.json", BytesOf("{}"), FDateTime::Now()});
    for (size_t I = 0; I < FileSizes.size(); ++I)
    {
        const FString Name = "frames/f" + std::to_string(FileSizes[I]) + ".jpeg";
        const FBytes Bytes = RandomBytes(static_cast<size_t>(FileSizes[I]), 60 + I);
        const FString Path = WriteFile("src/" + std::to_string(I), Bytes);
        ASSERT_TRUE(IFileManager::Get().SetTimeStamp(Path, Stamp));
        ASSERT_TRUE(Writer.AddFile(Name, Path));
        Expected.push_back({Name, Bytes, Stamp});
        if (I == FileSizes.size() / 2)
        {
            Writer.AddBytes("middle.txt", BytesOf("between files"));
            Expected.push_back({"middle.txt", BytesOf("between files"), FDateTime::Now()});
        }
    }
    const FBytes Classic = ClassicArchive(Expected);

    const FString ZipPath = Scratch.File("classic.zip");
    ASSERT_EQ(Writer.WriteToFile(ZipPath), std::ssize(Classic));
    const FBytes Written = ReadFile(ZipPath);
    ASSERT_EQ(Written.size(), Classic.size());
    const auto Mismatch = std::mismatch(Written.begin(), Written.end(), Classic.begin());
    EXPECT_TRUE(Mismatch.first == Written.end())
        << "first differing byte at " << (Mismatch.first - Written.begin());

    FMemoryWriter Memory;
    ASSERT_TRUE(Writer.WriteToArchive(Memory));
    EXPECT_TRUE(Memory.Bytes == Classic);
    ExpectToolsAccept(ZipPath);
    EXPECT_TRUE(Log.Lines().empty());
}

TEST_F(StoredZipWriter, NormalizesAndTrimsEntryNames)
{
    struct FCase
    {
        FString Given;
        FString Stored; // empty: no entry
    };
    const std::vector<FCase> Cases = {
        {"a\\b\\c.txt", "a/b/c.txt"},
        {"/lead.txt", "lead.txt"},
        {"///x/y", "x/y"},
        {"\\\\share\\f", "share/f"},
        {" \tspaced.txt\n ", "spaced.txt"},
        {"", ""},
        {"   ", ""},
        {"/", ""},
        {"\\", ""},
    };
    const FString FilePath = WriteFile("payload.bin", BytesOf("x"));
    for (const FCase& Case : Cases)
    {
        SCOPED_TRACE(Case.Given);
        FQuorvexStoredZipWriter Writer;
        Writer.AddBytes(Case.Given, BytesOf("x"));
        Writer.InsertBytesAtFront(Case.Given, BytesOf("x"));
        EXPECT_EQ(Writer.AddFile(Case.Given, FilePath), !Case.Stored.empty());
        ASSERT_EQ(Writer.GetEntries().size(), Case.Stored.empty() ? 0u : 3u);
        for (const FQuorvexZipEntry& Entry : Writer.GetEntries())
        {
            EXPECT_EQ(Entry.Name, Case.Stored);
        }
    }
    FQuorvexStoredZipWriter Writer;
    EXPECT_FALSE(Writer.AddFile("name.bin", ""));
    EXPECT_TRUE(Writer.GetEntries().empty());
    EXPECT_FALSE(Log.Contains("unreadable"));
}

TEST_F(StoredZipWriter, ArchiveReadsBackThroughIndependentTools)
{
    const FString Utf8Name = "frames/\xC3\xA9t\xC3\xA9_\xE7\x94\xBB\xE5\x83\x8F.jpeg"; // été_画像
    const FBytes Frame = RandomBytes(150001, 1);
    const FBytes Small = RandomBytes(4096, 2);
    const FString FramePath = WriteFile("src/frame.jpeg", Frame);
    const FString SmallPath = WriteFile("src/small.jpeg", Small);
    const FString EmptyPath = WriteFile("src/empty.bin", {});

    FQuorvexStoredZipWriter Writer;
    ASSERT_TRUE(Writer.AddFile("frames\\frame_0.jpeg", FramePath));
    ASSERT_TRUE(Writer.AddFile(Utf8Name, SmallPath));
    ASSERT_TRUE(Writer.AddFile("empty.bin", EmptyPath));
    Writer.AddBytes("note.txt", BytesOf("in memory"));
    Writer.AddBytes("nothing.txt", {});
    Writer.InsertBytesAtFront("manifest.json", BytesOf("{\"m\":1}"));
    Writer.InsertBytesAtFront("events.json", BytesOf("{\"e\":[]}"));

    const std::vector<FExpectedEntry> Expected = {
        {"events.json", BytesOf("{\"e\":[]}")},
        {"manifest.json", BytesOf("{\"m\":1}")},
        {"frames/frame_0.jpeg", Frame},
        {Utf8Name, Small},
        {"empty.bin", {}},
        {"note.txt", BytesOf("in memory")},
        {"nothing.txt", {}},
    };
    int64 ExpectedSize = 22;
    for (const FExpectedEntry& Entry : Expected)
    {
        ExpectedSize += 76 + 2 * std::ssize(Entry.Name) + std::ssize(Entry.Bytes);
    }

    const FString ZipPath = Scratch.File("out/nested/batch.zip");
    ASSERT_EQ(Writer.WriteToFile(ZipPath), ExpectedSize);
    EXPECT_EQ(IFileManager::Get().FileSize(ZipPath), ExpectedSize);
    ExpectToolsAccept(ZipPath);
    const std::vector<FPythonEntry> Read = ExpectPythonReads(ZipPath, Expected);
    int64 Offset = 0;
    for (size_t I = 0; I < Read.size(); ++I)
    {
        EXPECT_EQ(Read[I].HeaderOffset, Offset) << Expected[I].Name;
        Offset += 30 + std::ssize(Expected[I].Name) + std::ssize(Expected[I].Bytes);
    }
    EXPECT_TRUE(Log.Lines().empty());
}

TEST_F(StoredZipWriter, DosTimesAreClampedToTheRepresentableRange)
{
    struct FCase
    {
        FDateTime Time;
        uint16 DosTime;
        uint16 DosDate;
    };
    const std::vector<FCase> Cases = {
        {FDateTime(1970, 1, 1), 0, 0x0021},
        {FDateTime(1979, 12, 31, 23, 59, 59), 0, 0x0021},
        {FDateTime(1980, 1, 1), 0, 0x0021},
        {FDateTime(2023, 6, 15, 13, 45, 31), 13 * 2048 + 45 * 32 + 15, 43 * 512 + 6 * 32 + 15},
        {FDateTime(2107, 12, 31, 23, 59, 59), 23 * 2048 + 59 * 32 + 29, 127 * 512 + 12 * 32 + 31},
        {FDateTime(2108, 1, 1), 23 * 2048 + 59 * 32 + 29, 127 * 512 + 12 * 32 + 31},
        {FDateTime(2250, 7, 4, 12), 23 * 2048 + 59 * 32 + 29, 127 * 512 + 12 * 32 + 31},
    };
    for (const FCase& Case : Cases)
    {
        uint16 DosTime = 1, DosDate = 1;
        FQuorvexStoredZipWriter::ToDosDateTime(Case.Time, DosTime, DosDate);
        EXPECT_EQ(DosTime, Case.DosTime) << Case.Time.ToIso8601();
        EXPECT_EQ(DosDate, Case.DosDate) << Case.Time.ToIso8601();
    }

    // End to end: file entries carry their file's time stamp, in-memory entries the
    // (here frozen) clock; a reader sees the clamped values.
    const FString Recent = WriteFile("recent.bin", BytesOf("r"));
    const FString Future = WriteFile("future.bin", BytesOf("f"));
    ASSERT_TRUE(IFileManager::Get().SetTimeStamp(Recent, FDateTime(2023, 6, 15, 13, 45, 31)));
    ASSERT_TRUE(IFileManager::Get().SetTimeStamp(Future, FDateTime(2200, 1, 1)));
    FQuorvexStoredZipWriter Writer;
    ASSERT_TRUE(Writer.AddFile("recent.bin", Recent));
    ASSERT_TRUE(Writer.AddFile("future.bin", Future));
    {
        FScopedFrozenClock Clock(FDateTime(1970, 1, 2).ToUnixMicroseconds());
        Writer.AddBytes("epoch.txt", BytesOf("e"));
    }
    const FString ZipPath = Scratch.File("times.zip");
    ASSERT_GT(Writer.WriteToFile(ZipPath), 0);
    ExpectToolsAccept(ZipPath);
    const std::vector<FPythonEntry> Read = ExpectPythonReads(
        ZipPath,
        {{"recent.bin", BytesOf("r")}, {"future.bin", BytesOf("f")}, {"epoch.txt", BytesOf("e")}});
    ASSERT_EQ(Read.size(), 3u);
    EXPECT_EQ(Read[0].DateTime, "2023-6-15-13-45-30");
    EXPECT_EQ(Read[1].DateTime, "2107-12-31-23-59-58");
    EXPECT_EQ(Read[2].DateTime, "1980-1-1-0-0-0");
}

namespace
{
// How the victim file changes between AddFile measuring it and the archive being written.
enum class EChange
{
    TruncateTo, // the file is cut to Param bytes before writing
    Delete,     // the file is gone before writing
    GrowBy,     // Param bytes are appended before writing
    Rewrite,    // same size, different content
    Fault,      // the fault rule fires while the writer re-reads the file
};

struct FChangeCase
{
    const char* Label;
    int64 FileBytes;
    EChange Change;
    int64 Param;
    EFileFault Fault;     // used with EChange::Fault
    int64 ExpectedCopied; // -1: the whole entry was copied and no warning is expected
};
} // namespace

TEST_F(StoredZipWriter, FileChangingAfterAddKeepsOffsetsAndAValidArchive)
{
    // A file is read in chunks of FileChunkBytes: bytes read before a shrink are kept, a
    // read that fails gives nothing of its chunk.
    const int64 Chunk = FQuorvexStoredZipWriter::FileChunkBytes;
    const std::vector<FChangeCase> Cases = {
        {"truncated to 10 of 100", 100, EChange::TruncateTo, 10, {}, 10},
        {"deleted", 100, EChange::Delete, 0, {}, 0},
        {"fails to open", 1000, EChange::Fault, 0, EFileFault::FailOpenForRead, 0},
        {"shrinks mid-read", 200000, EChange::Fault, 131072, EFileFault::ShrinkDuringRead, 131072},
        {"vanishes mid-read", 200000, EChange::Fault, 65536, EFileFault::VanishDuringRead, 0},
        {"read error mid-read", 200000, EChange::Fault, 65536, EFileFault::FailRead, 0},
        {"shrinks in a later chunk", 2 * Chunk + 1000, EChange::Fault, Chunk + 65536,
         EFileFault::ShrinkDuringRead, Chunk + 65536},
        {"vanishes in a later chunk", 2 * Chunk + 1000, EChange::Fault, Chunk,
         EFileFault::VanishDuringRead, Chunk},
        {"read error in a later chunk", 2 * Chunk + 1000, EChange::Fault, Chunk + 65536,
         EFileFault::FailRead, Chunk},
        {"grows", 100000, EChange::GrowBy, 5000, {}, -1},
        {"rewritten, same size", 100000, EChange::Rewrite, 0, {}, -1},
    };
    for (const FChangeCase& Case : Cases)
    {
        SCOPED_TRACE(Case.Label);
        Log.Clear();
        const FBytes Original = RandomBytes(static_cast<size_t>(Case.FileBytes), 21);
        const FString Victim = WriteFile("victim.bin", Original);
        FQuorvexStoredZipWriter Writer;
        Writer.AddBytes("first.txt", BytesOf("first"));
        ASSERT_TRUE(Writer.AddFile("victim.bin", Victim));
        Writer.AddBytes("after.txt", BytesOf("after"));

        // What the archive must hold for the victim: the first Size bytes of whatever the
        // file is at write time, zero-padded to the size measured at AddFile.
        FBytes Now = Original;
        std::unique_ptr<FScopedFileFault> Fault;
        switch (Case.Change)
        {
        case EChange::TruncateTo:
            std::filesystem::resize_file(Victim, static_cast<uintmax_t>(Case.Param));
            break;
        case EChange::Delete:
            std::filesystem::remove(Victim);
            break;
        case EChange::GrowBy:
        {
            const FBytes Extra = RandomBytes(static_cast<size_t>(Case.Param), 22);
            Now.insert(Now.end(), Extra.begin(), Extra.end());
            WriteFile("victim.bin", Now);
            break;
        }
        case EChange::Rewrite:
            Now = RandomBytes(Original.size(), 23);
            WriteFile("victim.bin", Now);
            break;
        case EChange::Fault:
            Fault = std::make_unique<FScopedFileFault>(Case.Fault, "victim.bin", Case.Param);
            break;
        }
        FBytes Stored(Now.begin(), Now.begin() + Case.FileBytes);
        if (Case.ExpectedCopied >= 0)
        {
            std::fill(Stored.begin() + Case.ExpectedCopied, Stored.end(), uint8{0});
        }

        const FString ZipPath = Scratch.File("changed.zip");
        const int64 ExpectedSize = 22 + 3 * 76 + 2 * (9 + 10 + 9) + 5 + 5 + Case.FileBytes;
        ASSERT_EQ(Writer.WriteToFile(ZipPath), ExpectedSize);
        Fault.reset();
        const FString Warning = FStringUtils::Printf(
            "QuorvexSDK: zip entry became unreadable while writing; padding to preserve archive "
            "offsets. path=%s copied=%lld/%lld",
            Victim.c_str(), static_cast<long long>(Case.ExpectedCopied),
            static_cast<long long>(Case.FileBytes));
        EXPECT_EQ(Log.Has(ELogVerbosity::Warning, Warning), Case.ExpectedCopied >= 0);
        EXPECT_EQ(Log.Count("padding to preserve"), Case.ExpectedCopied >= 0 ? 1 : 0);

        ExpectToolsAccept(ZipPath);
        const std::vector<FPythonEntry> Read =
            ExpectPythonReads(ZipPath, {{"first.txt", BytesOf("first")},
                                        {"victim.bin", Stored},
                                        {"after.txt", BytesOf("after")}});
        ASSERT_EQ(Read.size(), 3u);
        EXPECT_EQ(Read[2].HeaderOffset, 2 * 30 + 9 + 5 + 10 + Case.FileBytes);
    }
}

TEST_F(StoredZipWriter, UnreadableFilesAreSkippedWithCappedWarnings)
{
    const FString Good = WriteFile("good.bin", RandomBytes(100, 31));
    const FString Missing1 = Scratch.File("missing1.bin");
    const FString Missing2 = Scratch.File("missing2.bin");
    const FString Locked = WriteFile("locked.bin", RandomBytes(100, 32));
    // Opening is all AddFile does, so the fourth file that cannot be opened is the one
    // whose warning is suppressed.
    const FString Missing3 = Scratch.File("missing3.bin");
    FScopedFileFault LockedFault(EFileFault::FailOpenForRead, "locked.bin");

    FQuorvexStoredZipWriter Writer;
    EXPECT_FALSE(Writer.AddFile("m1", Missing1));
    EXPECT_FALSE(Writer.AddFile("m2", Missing2));
    EXPECT_FALSE(Writer.AddFile("locked", Locked));
    EXPECT_TRUE(Writer.AddFile("good.bin", Good));
    EXPECT_FALSE(Writer.AddFile("m3", Missing3));
    ASSERT_EQ(Writer.GetEntries().size(), 1u);

    EXPECT_EQ(Log.Count("skipping unreadable zip entry"), 3);
    for (const FString& Path : {Missing1, Missing2, Locked})
    {
        EXPECT_TRUE(Log.Has(ELogVerbosity::Warning,
                            "QuorvexSDK: skipping unreadable zip entry. path=" + Path));
    }
    EXPECT_FALSE(Log.Contains("further unreadable"));

    const FString ZipPath = Scratch.File("skipped.zip");
    ASSERT_GT(Writer.WriteToFile(ZipPath), 0);
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning,
                        "QuorvexSDK: 1 further unreadable zip entries were skipped without "
                        "individual warnings (logged the first 3)."));
    ExpectToolsAccept(ZipPath);
    ExpectPythonReads(ZipPath, {{"good.bin", ReadFile(Good)}});
}

TEST_F(StoredZipWriter, SummaryOfSuppressedWarningsOnlyFollowsASuccessfulWrite)
{
    FQuorvexStoredZipWriter Writer;
    for (int32 I = 0; I < 5; ++I)
    {
        EXPECT_FALSE(Writer.AddFile("m", Scratch.File("missing" + std::to_string(I))));
    }
    const FString ZipPath = Scratch.File("nope.zip");
    {
        FScopedFileFault Full(EFileFault::FailWrite, "nope.zip", 10);
        EXPECT_EQ(Writer.WriteToFile(ZipPath), -1);
    }
    EXPECT_FALSE(Log.Contains("further unreadable"));
    ASSERT_EQ(Writer.WriteToFile(ZipPath), 22);
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning,
                        "QuorvexSDK: 2 further unreadable zip entries were skipped without "
                        "individual warnings (logged the first 3)."));
}

TEST_F(StoredZipWriter, WriteFailuresLeaveNoFileBehind)
{
    const FBytes Payload = RandomBytes(150000, 41);
    const FString Source = WriteFile("payload.bin", Payload);
    FQuorvexStoredZipWriter Writer;
    Writer.AddBytes("doc.json", BytesOf("{}"));
    ASSERT_TRUE(Writer.AddFile("payload.bin", Source));
    const int64 PayloadEnd = 30 + 8 + 2 + 30 + 11 + 150000;
    const int64 Total = PayloadEnd + 46 + 8 + 46 + 11 + 22;

    struct FCase
    {
        const char* Label;
        int64 FailAfter;
    };
    const std::vector<FCase> Cases = {
        {"nothing fits", 0},
        {"inside the first header", 12},
        {"inside a streamed payload", 40 + 41 + 70000},
        {"inside the central directory", PayloadEnd + 50},
        {"inside the end record", Total - 5},
        {"one byte short", Total - 1},
    };
    const FString ZipPath = Scratch.File("out/failed.zip");
    for (const FCase& Case : Cases)
    {
        SCOPED_TRACE(Case.Label);
        // A stale archive at the path must not survive as a half-overwritten file either.
        WriteFile("out/failed.zip", BytesOf("stale"));
        FScopedFileFault Full(EFileFault::FailWrite, "failed.zip", Case.FailAfter);
        EXPECT_EQ(Writer.WriteToFile(ZipPath), -1);
        EXPECT_FALSE(IFileManager::Get().FileExists(ZipPath));
    }
    EXPECT_EQ(Writer.WriteToFile(ZipPath), Total);
    ExpectToolsAccept(ZipPath);

    {
        FScopedFileFault NoOpen(EFileFault::FailOpenForWrite, "locked.zip");
        EXPECT_EQ(Writer.WriteToFile(Scratch.File("locked.zip")), -1);
    }
    EXPECT_TRUE(Log.Has(ELogVerbosity::Error, "QuorvexSDK: could not open ZIP for writing. path=" +
                                                  Scratch.File("locked.zip")));
    EXPECT_FALSE(IFileManager::Get().FileExists(Scratch.File("locked.zip")));

    EXPECT_EQ(Writer.WriteToFile(" \t "), -1);
    EXPECT_TRUE(Log.Has(ELogVerbosity::Error, "QuorvexSDK: ZIP file path is empty."));
}

TEST_F(StoredZipWriter, PartialFileThatCannotBeRemovedIsReported)
{
    FQuorvexStoredZipWriter Writer;
    Writer.AddBytes("doc.json", BytesOf("{}"));
    const FString ZipPath = Scratch.File("stuck.zip");
    FScopedFileFault Full(EFileFault::FailWrite, "stuck.zip", 10);
    FScopedFileFault NoDelete(EFileFault::FailDelete, "stuck.zip");
    EXPECT_EQ(Writer.WriteToFile(ZipPath), -1);
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning,
                        "QuorvexSDK: could not remove partly written ZIP. path=" + ZipPath));
}

TEST_F(StoredZipWriter, EntryCountIsLimitedTo65535)
{
    FQuorvexStoredZipWriter Writer;
    for (int32 I = 0; I < FQuorvexStoredZipWriter::MaxEntries; ++I)
    {
        Writer.AddBytes(std::to_string(I), BytesOf(I % 2 ? "odd" : ""));
    }
    const FString ZipPath = Scratch.File("full.zip");
    ASSERT_GT(Writer.WriteToFile(ZipPath), 0);
    ExpectToolsAccept(ZipPath);
    std::vector<FPythonEntry> Read;
    FString Error;
    ASSERT_TRUE(ReadWithPython(Scratch, ZipPath, Read, Error)) << Error;
    ASSERT_EQ(Read.size(), 65535u);
    EXPECT_EQ(Read.back().NameHex, HexOf("65534"));

    Writer.AddBytes("one-too-many", BytesOf("x"));
    const FString RefusedPath = Scratch.File("refused.zip");
    EXPECT_EQ(Writer.WriteToFile(RefusedPath), -1);
    EXPECT_TRUE(Log.Has(ELogVerbosity::Error,
                        "QuorvexSDK: too many ZIP entries (65536); archive not written."));
    EXPECT_FALSE(IFileManager::Get().FileExists(RefusedPath));

    FMemoryWriter Memory;
    EXPECT_FALSE(Writer.WriteToArchive(Memory));
    EXPECT_TRUE(Memory.Bytes.empty());
}

TEST_F(StoredZipWriter, OverlongNameIsRefusedWithoutLeavingAFile)
{
    const FString LongName(65536, 'n');
    FQuorvexStoredZipWriter Writer;
    Writer.AddBytes("ok.txt", BytesOf("ok"));
    Writer.AddBytes(LongName, BytesOf("x"));
    const FString ZipPath = Scratch.File("long.zip");
    EXPECT_EQ(Writer.WriteToFile(ZipPath), -1);
    // A log line is cut to 4 KiB, noting its full length.
    const FString Full = "QuorvexSDK: ZIP entry exceeds the non-Zip64 limits. name=" + LongName +
                         " bytes=1 offset=38";
    EXPECT_TRUE(Log.Has(ELogVerbosity::Error, Full.substr(0, 4096) + " [... line of " +
                                                  std::to_string(Full.size()) + " bytes cut]"));
    EXPECT_FALSE(IFileManager::Get().FileExists(ZipPath));

    // The longest legal name still goes through (unzip caps names far shorter than the
    // format does, so only 7z and Python judge this one).
    const FString Longest(65535, 'n');
    FQuorvexStoredZipWriter LongestWriter;
    LongestWriter.AddBytes(Longest, BytesOf("x"));
    ASSERT_EQ(LongestWriter.WriteToFile(ZipPath), 22 + 76 + 2 * 65535 + 1);
    FString Output;
    EXPECT_EQ(RunCommand("7z t '" + ZipPath + "'", Output), 0) << Output.substr(0, 2000);
    ExpectPythonReads(ZipPath, {{Longest, BytesOf("x")}});
}

TEST_F(StoredZipWriter, LargeFileIsStreamedInBoundedChunks)
{
    const FBytes Big = RandomBytes(5 * 1024 * 1024 + 7, 51);
    const FString Source = WriteFile("big.bin", Big);
    FQuorvexStoredZipWriter Writer;
    ASSERT_TRUE(Writer.AddFile("big.bin", Source));
    ASSERT_EQ(Writer.GetEntries()[0].Size, std::ssize(Big));
    EXPECT_TRUE(Writer.GetEntries()[0].Data.empty());

    FMemoryWriter Memory;
    ASSERT_TRUE(Writer.WriteToArchive(Memory));
    EXPECT_LE(Memory.LargestWrite, FQuorvexStoredZipWriter::FileChunkBytes);
    ASSERT_EQ(Memory.Bytes.size(), 30 + 7 + Big.size() + 46 + 7 + 22);
    // The CRC patched into the local header after streaming, and the central copy.
    EXPECT_EQ(ReadU32(Memory.Bytes, 14), ZlibCrc(Big));
    EXPECT_EQ(ReadU32(Memory.Bytes, 37 + Big.size() + 16), ZlibCrc(Big));
    EXPECT_TRUE(std::equal(Big.begin(), Big.end(), Memory.Bytes.begin() + 37));

    const FString ZipPath = Scratch.File("big.zip");
    ASSERT_EQ(Writer.WriteToFile(ZipPath), std::ssize(Memory.Bytes));
    EXPECT_EQ(ReadFile(ZipPath), Memory.Bytes);
    ExpectToolsAccept(ZipPath);
    ExpectPythonReads(ZipPath, {{"big.bin", Big}});
}

TEST_F(StoredZipWriter, EachFileIsReadOnlyWhileTheArchiveIsWritten)
{
    // One file that fits a chunk, one that takes several.
    const FBytes Small = RandomBytes(70001, 71);
    const FBytes Large = RandomBytes(3 * FQuorvexStoredZipWriter::FileChunkBytes + 5, 72);
    const FString SmallPath = WriteFile("once/small.bin", Small);
    const FString LargePath = WriteFile("once/large.bin", Large);

    FQuorvexStoredZipWriter Writer;
    {
        // Any read while adding fails: adding must only open the files.
        FScopedFileFault NoReads(EFileFault::FailRead, "once/", 0);
        ASSERT_TRUE(Writer.AddFile("small.bin", SmallPath));
        ASSERT_TRUE(Writer.AddFile("large.bin", LargePath));
    }

    // A rule that never bites counts every reader opened on the files while writing.
    const int32 HitsBefore = FFileFaults::HitCount();
    const FString ZipPath = Scratch.File("once.zip");
    {
        FScopedFileFault CountReaders(EFileFault::FailRead, "once/", int64{1} << 40);
        ASSERT_GT(Writer.WriteToFile(ZipPath), 0);
    }
    EXPECT_EQ(FFileFaults::HitCount() - HitsBefore, 2);
    EXPECT_FALSE(Log.Contains("padding"));
    ExpectToolsAccept(ZipPath);
    ExpectPythonReads(ZipPath, {{"small.bin", Small}, {"large.bin", Large}});
}
