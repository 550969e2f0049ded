#include "QuorvexStoredZipWriter.h"

#include "Files.h"
#include "QuorvexCrc32.h"
#include "QuorvexLog.h"
#include "StringUtils.h"

#include <algorithm>
#include <memory>

namespace
{
constexpr int64 MaxClassicValue = 0xFFFFFFFFll; // largest size or offset without Zip64
constexpr int64 MaxNameBytes = 0xFFFF;
constexpr uint16 VersionNeeded = 20;
constexpr uint16 Utf8NamesFlag = 0x0800;
constexpr uint16 StoredMethod = 0;
constexpr uint32 LocalHeaderSignature = 0x04034B50u;
constexpr uint32 CentralHeaderSignature = 0x02014B50u;
constexpr uint32 EndRecordSignature = 0x06054B50u;
constexpr int64 LocalHeaderBytes = 30;
constexpr int64 CentralHeaderBytes = 46;
constexpr int64 LocalHeaderCrcOffset = 14;

// Little-endian record under construction.
struct FRecordBytes
{
    std::vector<uint8> Bytes;

    void U16(uint16 Value)
    {
        Bytes.push_back(static_cast<uint8>(Value));
        Bytes.push_back(static_cast<uint8>(Value >> 8));
    }
    void U32(uint32 Value)
    {
        U16(static_cast<uint16>(Value));
        U16(static_cast<uint16>(Value >> 16));
    }
    void Text(const FString& Value) { Bytes.insert(Bytes.end(), Value.begin(), Value.end()); }
    void WriteTo(FArchive& Archive) { Archive.Serialize(Bytes.data(), std::ssize(Bytes)); }
};

// A file entry's payload, produced chunk by chunk: the first Size bytes of the file as
// it is now, then zero bytes where it ended early, vanished or stopped reading, so the
// announced size and every later offset stay right. Tracks the CRC of all it produced.
class FFilePayload
{
public:
    explicit FFilePayload(const FQuorvexZipEntry& InEntry) : Entry(InEntry)
    {
        if (Entry.Size > 0)
        {
            Reader = IFileManager::Get().CreateFileReader(Entry.SourcePath);
        }
        // A file that grew is cut at the size fixed when it was added.
        Readable = Reader ? std::min(Entry.Size, std::max<int64>(Reader->TotalSize(), 0)) : 0;
    }

    // Fills Buffer with the next Num bytes of the payload.
    void Next(uint8* Buffer, int64 Num)
    {
        int64 FromFile = 0;
        if (Reader && Copied < Readable)
        {
            const int64 Wanted = std::min(Num, Readable - Copied);
            const int64 Before = Reader->Tell();
            Reader->Serialize(Buffer, Wanted);
            // A failed read keeps what arrived before it failed, and nothing after.
            FromFile =
                Reader->IsError() ? std::clamp<int64>(Reader->Tell() - Before, 0, Wanted) : Wanted;
            if (Reader->IsError())
            {
                Readable = Copied + FromFile;
            }
            Copied += FromFile;
        }
        std::fill(Buffer + FromFile, Buffer + Num, uint8{0});
        Crc = FQuorvexCrc32::ComputeCrc32(Buffer, Num, Crc);
    }

    uint32 GetCrc() const { return Crc; }

    // Warns when part of the payload had to be padded.
    void WarnIfShort() const
    {
        if (Copied == Entry.Size)
        {
            return;
        }
        QUORVEX_LOG(Warning,
                    "QuorvexSDK: zip entry became unreadable while writing; padding to preserve "
                    "archive offsets. path=%s copied=%lld/%lld",
                    Entry.SourcePath.c_str(), static_cast<long long>(Copied),
                    static_cast<long long>(Entry.Size));
    }

private:
    const FQuorvexZipEntry& Entry;
    std::unique_ptr<FArchive> Reader;
    int64 Readable = 0; // bytes the file can still give, counted from its start
    int64 Copied = 0;   // bytes taken from the file so far
    uint32 Crc = 0;
};

// Room for one chunk of the largest file entry.
std::vector<uint8> MakeCopyBuffer(const std::vector<FQuorvexZipEntry>& Entries)
{
    int64 Largest = 1;
    for (const FQuorvexZipEntry& Entry : Entries)
    {
        if (Entry.bFromFile)
        {
            Largest = std::max(Largest, Entry.Size);
        }
    }
    return std::vector<uint8>(
        static_cast<size_t>(std::min(Largest, FQuorvexStoredZipWriter::FileChunkBytes)));
}
} // namespace

struct FQuorvexStoredZipWriter::FWrittenEntry
{
    const FString* Name = nullptr; // points into Entries, which outlive the write
    uint32 Crc32 = 0;              // of the bytes actually written
    int64 Size = 0;
    uint16 DosTime = 0;
    uint16 DosDate = 0;
    int64 LocalHeaderOffset = 0;
};

void FQuorvexStoredZipWriter::AddBytes(const FString& Name, const std::vector<uint8>& Bytes)
{
    FQuorvexZipEntry Entry;
    if (MakeBytesEntry(Name, Bytes, Entry))
    {
        Entries.push_back(std::move(Entry));
    }
}

void FQuorvexStoredZipWriter::InsertBytesAtFront(const FString& Name,
                                                 const std::vector<uint8>& Bytes)
{
    FQuorvexZipEntry Entry;
    if (MakeBytesEntry(Name, Bytes, Entry))
    {
        Entries.insert(Entries.begin(), std::move(Entry));
    }
}

bool FQuorvexStoredZipWriter::MakeBytesEntry(const FString& Name, const std::vector<uint8>& Bytes,
                                             FQuorvexZipEntry& OutEntry) const
{
    // A name that normalises to nothing ("/", "\\") would give a nameless entry that
    // archive tools refuse, so it is treated like an empty name.
    OutEntry.Name = NormalizeEntryName(FStringUtils::TrimStartAndEnd(Name));
    if (OutEntry.Name.empty())
    {
        return false;
    }
    OutEntry.Data = Bytes;
    OutEntry.Size = std::ssize(Bytes);
    OutEntry.Crc32 = FQuorvexCrc32::ComputeCrc32(Bytes.data(), OutEntry.Size);
    OutEntry.ModifiedTime = FDateTime::Now();
    OutEntry.bFromFile = false;
    return true;
}

bool FQuorvexStoredZipWriter::AddFile(const FString& Name, const FString& Path)
{
    const FString EntryName = NormalizeEntryName(FStringUtils::TrimStartAndEnd(Name));
    if (EntryName.empty() || Path.empty())
    {
        return false;
    }
    // Only opened here: the bytes are read once, while the archive is written.
    std::unique_ptr<FArchive> Reader = IFileManager::Get().CreateFileReader(Path);
    const int64 Size = Reader ? Reader->TotalSize() : -1;
    if (Size < 0 || !Reader->Close())
    {
        NoteUnreadableFile(Path);
        return false;
    }
    FQuorvexZipEntry Entry;
    Entry.Size = Size;
    Entry.Name = EntryName;
    Entry.SourcePath = Path;
    const FDateTime Stamp = IFileManager::Get().GetTimeStamp(Path);
    Entry.ModifiedTime = Stamp == FDateTime() ? FDateTime::Now() : Stamp;
    Entry.bFromFile = true;
    Entries.push_back(std::move(Entry));
    return true;
}

void FQuorvexStoredZipWriter::NoteUnreadableFile(const FString& Path)
{
    if (WarnedUnreadableCount < MaxUnreadableEntryWarnings)
    {
        ++WarnedUnreadableCount;
        QUORVEX_LOG(Warning, "QuorvexSDK: skipping unreadable zip entry. path=%s", Path.c_str());
        return;
    }
    ++SuppressedUnreadableCount;
}

int64 FQuorvexStoredZipWriter::WriteToFile(const FString& Path) const
{
    if (FStringUtils::TrimStartAndEnd(Path).empty())
    {
        QUORVEX_LOG(Error, "QuorvexSDK: ZIP file path is empty.");
        return -1;
    }
    const FString Directory = FPaths::GetPath(Path);
    if (!Directory.empty())
    {
        IFileManager::Get().MakeDirectory(Directory, true);
    }
    std::unique_ptr<FArchive> Writer = IFileManager::Get().CreateFileWriter(Path);
    if (!Writer)
    {
        QUORVEX_LOG(Error, "QuorvexSDK: could not open ZIP for writing. path=%s", Path.c_str());
        return -1;
    }
    const bool bWritten = WriteToArchive(*Writer);
    const int64 ArchiveBytes = Writer->Tell();
    const bool bClosed = Writer->Close();
    Writer.reset();
    if (bWritten && bClosed)
    {
        if (SuppressedUnreadableCount >= 1)
        {
            QUORVEX_LOG(Warning,
                        "QuorvexSDK: %d further unreadable zip entries were skipped without "
                        "individual warnings (logged the first %d).",
                        SuppressedUnreadableCount, MaxUnreadableEntryWarnings);
        }
        return ArchiveBytes;
    }
    if (!IFileManager::Get().Delete(Path))
    {
        QUORVEX_LOG(Warning, "QuorvexSDK: could not remove partly written ZIP. path=%s",
                    Path.c_str());
    }
    return -1;
}

bool FQuorvexStoredZipWriter::WriteToArchive(FArchive& Archive) const
{
    if (std::ssize(Entries) > MaxEntries)
    {
        QUORVEX_LOG(Error, "QuorvexSDK: too many ZIP entries (%d); archive not written.",
                    static_cast<int32>(Entries.size()));
        return false;
    }
    std::vector<FWrittenEntry> Written;
    Written.reserve(Entries.size());
    std::vector<uint8> Buffer = MakeCopyBuffer(Entries);
    for (const FQuorvexZipEntry& Entry : Entries)
    {
        if (!WriteEntry(Archive, Entry, Buffer, Written))
        {
            return false;
        }
    }
    return WriteCentralDirectory(Archive, Written) && !Archive.IsError();
}

bool FQuorvexStoredZipWriter::WriteEntry(FArchive& Archive, const FQuorvexZipEntry& Entry,
                                         std::vector<uint8>& Buffer,
                                         std::vector<FWrittenEntry>& Written) const
{
    const int64 Offset = Archive.Tell();
    if (Entry.Size > MaxClassicValue || Offset > MaxClassicValue ||
        std::ssize(Entry.Name) > MaxNameBytes)
    {
        QUORVEX_LOG(Error,
                    "QuorvexSDK: ZIP entry exceeds the non-Zip64 limits. name=%s bytes=%lld "
                    "offset=%lld",
                    Entry.Name.c_str(), static_cast<long long>(Entry.Size),
                    static_cast<long long>(Offset));
        return false;
    }
    FWrittenEntry Record{&Entry.Name, Entry.Crc32, Entry.Size, 0, 0, Offset};
    ToDosDateTime(Entry.ModifiedTime, Record.DosTime, Record.DosDate);
    if (Entry.bFromFile)
    {
        WriteFileEntry(Archive, Entry, Buffer, Record);
    }
    else
    {
        WriteLocalHeader(Archive, Record);
        // FArchive serialises both ways through one non-const pointer; a writer only reads it.
        Archive.Serialize(const_cast<uint8*>(Entry.Data.data()), Entry.Size);
    }
    Written.push_back(Record);
    return !Archive.IsError();
}

void FQuorvexStoredZipWriter::WriteFileEntry(FArchive& Archive, const FQuorvexZipEntry& Entry,
                                             std::vector<uint8>& Buffer,
                                             FWrittenEntry& Record) const
{
    FFilePayload Payload(Entry);
    if (Entry.Size <= std::ssize(Buffer))
    {
        // The whole payload fits one chunk: read it first, so the header goes out
        // complete and the archive is written strictly front to back.
        Payload.Next(Buffer.data(), Entry.Size);
        Record.Crc32 = Payload.GetCrc();
        WriteLocalHeader(Archive, Record);
        Archive.Serialize(Buffer.data(), Entry.Size);
    }
    else
    {
        // Longer: the header goes out with a zero CRC, the bytes follow chunk by chunk,
        // and the CRC is patched in once all of them were seen.
        Record.Crc32 = 0;
        WriteLocalHeader(Archive, Record);
        for (int64 Done = 0; Done < Entry.Size && !Archive.IsError();)
        {
            const int64 Chunk = std::min(std::ssize(Buffer), Entry.Size - Done);
            Payload.Next(Buffer.data(), Chunk);
            Archive.Serialize(Buffer.data(), Chunk);
            Done += Chunk;
        }
        Record.Crc32 = Payload.GetCrc();
        if (!Archive.IsError())
        {
            const int64 End = Archive.Tell();
            FRecordBytes Crc;
            Crc.U32(Record.Crc32);
            Archive.Seek(Record.LocalHeaderOffset + LocalHeaderCrcOffset);
            Crc.WriteTo(Archive);
            Archive.Seek(End);
        }
    }
    if (!Archive.IsError())
    {
        Payload.WarnIfShort();
    }
}

void FQuorvexStoredZipWriter::WriteLocalHeader(FArchive& Archive, const FWrittenEntry& Record)
{
    FRecordBytes Header;
    Header.U32(LocalHeaderSignature);
    Header.U16(VersionNeeded);
    Header.U16(Utf8NamesFlag);
    Header.U16(StoredMethod);
    Header.U16(Record.DosTime);
    Header.U16(Record.DosDate);
    Header.U32(Record.Crc32);
    Header.U32(static_cast<uint32>(Record.Size));
    Header.U32(static_cast<uint32>(Record.Size));
    Header.U16(static_cast<uint16>(Record.Name->size()));
    Header.U16(0);
    Header.Text(*Record.Name);
    Header.WriteTo(Archive);
}

bool FQuorvexStoredZipWriter::WriteCentralDirectory(FArchive& Archive,
                                                    const std::vector<FWrittenEntry>& Written) const
{
    const int64 DirectoryOffset = Archive.Tell();
    if (DirectoryOffset > MaxClassicValue)
    {
        QUORVEX_LOG(Error,
                    "QuorvexSDK: ZIP payload exceeds the non-Zip64 4 GiB limit (%lld bytes).",
                    static_cast<long long>(DirectoryOffset));
        return false;
    }
    int64 DirectoryBytes = 0;
    for (const FWrittenEntry& Record : Written)
    {
        DirectoryBytes += CentralHeaderBytes + std::ssize(*Record.Name);
    }
    if (DirectoryBytes > MaxClassicValue)
    {
        QUORVEX_LOG(Error,
                    "QuorvexSDK: ZIP central directory exceeds the non-Zip64 limit (%lld bytes).",
                    static_cast<long long>(DirectoryBytes));
        return false;
    }
    for (const FWrittenEntry& Record : Written)
    {
        FRecordBytes Header;
        Header.U32(CentralHeaderSignature);
        Header.U16(VersionNeeded); // version made by
        Header.U16(VersionNeeded);
        Header.U16(Utf8NamesFlag);
        Header.U16(StoredMethod);
        Header.U16(Record.DosTime);
        Header.U16(Record.DosDate);
        Header.U32(Record.Crc32);
        Header.U32(static_cast<uint32>(Record.Size));
        Header.U32(static_cast<uint32>(Record.Size));
        Header.U16(static_cast<uint16>(Record.Name->size()));
        Header.U16(0); // extra field length
        Header.U16(0); // comment length
        Header.U16(0); // disk number start
        Header.U16(0); // internal attributes
        Header.U32(0); // external attributes
        Header.U32(static_cast<uint32>(Record.LocalHeaderOffset));
        Header.Text(*Record.Name);
        Header.WriteTo(Archive);
    }
    FRecordBytes End;
    End.U32(EndRecordSignature);
    End.U16(0); // this disk
    End.U16(0); // disk holding the central directory
    End.U16(static_cast<uint16>(Written.size()));
    End.U16(static_cast<uint16>(Written.size()));
    End.U32(static_cast<uint32>(DirectoryBytes));
    End.U32(static_cast<uint32>(DirectoryOffset));
    End.U16(0); // comment length
    End.WriteTo(Archive);
    return !Archive.IsError();
}

FString FQuorvexStoredZipWriter::NormalizeEntryName(std::string_view Name)
{
    FString Normalized(Name);
    std::replace(Normalized.begin(), Normalized.end(), '\\', '/');
    const size_t FirstKept = Normalized.find_first_not_of('/');
    return FirstKept == FString::npos ? FString() : Normalized.substr(FirstKept);
}

void FQuorvexStoredZipWriter::ToDosDateTime(const FDateTime& Time, uint16& OutDosTime,
                                            uint16& OutDosDate)
{
    int32 Year = Time.GetYear(), Month = Time.GetMonth(), Day = Time.GetDay();
    int32 Hour = Time.GetHour(), Minute = Time.GetMinute(), Second = Time.GetSecond();
    if (Year < 1980)
    {
        Year = 1980, Month = 1, Day = 1, Hour = 0, Minute = 0, Second = 0;
    }
    else if (Year >= 2108)
    {
        Year = 2107, Month = 12, Day = 31, Hour = 23, Minute = 59, Second = 58;
    }
    OutDosTime = static_cast<uint16>(Hour * 2048 + Minute * 32 + Second / 2);
    OutDosDate = static_cast<uint16>((Year - 1980) * 512 + Month * 32 + Day);
}
