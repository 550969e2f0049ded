#include "DevBackendZipReader.h"

#include <zlib.h>

#include <algorithm>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr std::uint32_t LocalSignature = 0x04034B50;
constexpr std::uint32_t CentralSignature = 0x02014B50;
constexpr std::uint32_t EndSignature = 0x06054B50;
constexpr std::uint32_t Zip64LocatorSignature = 0x07064B50;
constexpr std::int64_t EndRecordBytes = 22;
constexpr std::int64_t CentralHeaderBytes = 46;
constexpr std::int64_t LocalHeaderBytes = 30;
constexpr std::int64_t MaxCommentBytes = 0xFFFF;
constexpr std::int64_t ChunkBytes = 64 * 1024;

// A file opened for reading by offset; closed when it goes out of scope.
class FReadOnlyFile
{
public:
    explicit FReadOnlyFile(const std::string& Path) : Fd(::open(Path.c_str(), O_RDONLY | O_CLOEXEC))
    {
    }
    ~FReadOnlyFile()
    {
        if (Fd >= 0)
        {
            ::close(Fd);
        }
    }
    FReadOnlyFile(const FReadOnlyFile&) = delete;
    FReadOnlyFile& operator=(const FReadOnlyFile&) = delete;

    bool IsOpen() const { return Fd >= 0; }
    // The size of a regular file; -1 for anything else.
    std::int64_t Size() const
    {
        struct stat Info
        {
        };
        if (::fstat(Fd, &Info) != 0 || !S_ISREG(Info.st_mode))
        {
            return -1;
        }
        return static_cast<std::int64_t>(Info.st_size);
    }
    // Reads exactly Size bytes at Offset; false on a short read or an error.
    bool ReadAt(std::int64_t Offset, std::size_t Size, unsigned char* Out) const
    {
        std::size_t Done = 0;
        while (Done < Size)
        {
            const ssize_t Got = ::pread(Fd, Out + Done, Size - Done, Offset + Done);
            if (Got <= 0)
            {
                return false;
            }
            Done += static_cast<std::size_t>(Got);
        }
        return true;
    }

private:
    int Fd = -1;
};

std::uint32_t U16(const unsigned char* P)
{
    return static_cast<std::uint32_t>(P[0]) | static_cast<std::uint32_t>(P[1]) << 8;
}

std::uint32_t U32(const unsigned char* P)
{
    return U16(P) | U16(P + 2) << 16;
}

// The position of the end record: the last signature whose comment length reaches
// exactly to the end of the file, so a signature planted inside a comment is not taken.
std::int64_t FindEndRecord(const std::vector<unsigned char>& Tail, std::int64_t TailStart,
                           std::int64_t FileSize)
{
    for (std::int64_t At = static_cast<std::int64_t>(Tail.size()) - EndRecordBytes; At >= 0; --At)
    {
        const unsigned char* P = Tail.data() + At;
        if (U32(P) != EndSignature)
        {
            continue;
        }
        const std::int64_t CommentLength = U16(P + 20);
        if (TailStart + At + EndRecordBytes + CommentLength == FileSize)
        {
            return TailStart + At;
        }
    }
    return -1;
}

struct FEndRecord
{
    std::int64_t Position = 0;
    std::int64_t Count = 0;
    std::int64_t DirectorySize = 0;
    std::int64_t DirectoryOffset = 0;
};

bool ReadEndRecord(const FReadOnlyFile& File, std::int64_t FileSize, FEndRecord& Out,
                   std::string& OutError)
{
    const std::int64_t TailSize = std::min(FileSize, EndRecordBytes + MaxCommentBytes);
    std::vector<unsigned char> Tail(static_cast<std::size_t>(TailSize));
    const std::int64_t TailStart = FileSize - TailSize;
    if (!File.ReadAt(TailStart, Tail.size(), Tail.data()))
    {
        OutError = "the end of the archive could not be read";
        return false;
    }
    Out.Position = FindEndRecord(Tail, TailStart, FileSize);
    if (Out.Position < 0)
    {
        OutError = "no end-of-central-directory record (not a ZIP, or truncated)";
        return false;
    }
    const unsigned char* P = Tail.data() + (Out.Position - TailStart);
    unsigned char Locator[4] = {};
    if (Out.Position >= 20 && File.ReadAt(Out.Position - 20, sizeof Locator, Locator) &&
        U32(Locator) == Zip64LocatorSignature)
    {
        OutError = "ZIP64 archives are not supported";
        return false;
    }
    if (U16(P + 4) != 0 || U16(P + 6) != 0 || U16(P + 8) != U16(P + 10))
    {
        OutError = "multi-disk archives are not supported";
        return false;
    }
    Out.Count = U16(P + 10);
    Out.DirectorySize = U32(P + 12);
    Out.DirectoryOffset = U32(P + 16);
    if (Out.Count == 0xFFFF || Out.DirectorySize == 0xFFFFFFFF || Out.DirectoryOffset == 0xFFFFFFFF)
    {
        OutError = "ZIP64 archives are not supported";
        return false;
    }
    if (Out.DirectoryOffset + Out.DirectorySize != Out.Position)
    {
        OutError = "the central directory's size and offset do not meet the end record";
        return false;
    }
    if (Out.DirectorySize > FDevBackendZipReader::MaxCentralDirectoryBytes ||
        Out.Count * CentralHeaderBytes > Out.DirectorySize)
    {
        OutError = "the central directory is too large or its entry count is impossible";
        return false;
    }
    return true;
}

// One central directory record at Directory[At]; advances At past it.
bool ParseCentralRecord(const std::vector<unsigned char>& Directory, std::size_t& At,
                        FDevBackendZipEntry& Out, std::int64_t& OutLocalOffset,
                        std::string& OutError)
{
    if (Directory.size() - At < static_cast<std::size_t>(CentralHeaderBytes) ||
        U32(Directory.data() + At) != CentralSignature)
    {
        OutError = "a central directory record is missing or cut short";
        return false;
    }
    const unsigned char* P = Directory.data() + At;
    const std::uint32_t Flags = U16(P + 8);
    const std::uint32_t Method = U16(P + 10);
    const std::int64_t Packed = U32(P + 20);
    const std::int64_t Unpacked = U32(P + 24);
    const std::size_t NameLength = U16(P + 28);
    const std::size_t Variable = NameLength + U16(P + 30) + U16(P + 32);
    OutLocalOffset = U32(P + 42);
    if (Directory.size() - At - CentralHeaderBytes < Variable)
    {
        OutError = "a central directory record runs past the directory";
        return false;
    }
    Out.Name.assign(reinterpret_cast<const char*>(P + CentralHeaderBytes), NameLength);
    At += CentralHeaderBytes + Variable;
    if (Packed == 0xFFFFFFFF || Unpacked == 0xFFFFFFFF || OutLocalOffset == 0xFFFFFFFF)
    {
        OutError = "ZIP64 entries are not supported";
        return false;
    }
    if (Method != 0 || Packed != Unpacked)
    {
        OutError = "entry is compressed (method " + std::to_string(Method) +
                   "); only stored entries are read";
        return false;
    }
    if ((Flags & 0x1) != 0)
    {
        OutError = "encrypted entries are not supported";
        return false;
    }
    if (!FDevBackendZipReader::IsSafeEntryName(Out.Name))
    {
        OutError = "an entry name is unsafe (empty, absolute, with '..', '\\' or NUL)";
        return false;
    }
    Out.Crc32 = U32(P + 16);
    Out.Size = Unpacked;
    return true;
}

// Checks the entry's local header against its central record and places its payload.
bool PlaceEntry(const FReadOnlyFile& File, std::int64_t LocalOffset, std::int64_t DirectoryOffset,
                FDevBackendZipEntry& Entry, std::string& OutError)
{
    unsigned char Header[LocalHeaderBytes];
    if (LocalOffset + LocalHeaderBytes > DirectoryOffset ||
        !File.ReadAt(LocalOffset, sizeof Header, Header) || U32(Header) != LocalSignature)
    {
        OutError = "entry \"" + Entry.Name + "\" has no local header where the directory says";
        return false;
    }
    const std::int64_t NameLength = U16(Header + 26);
    const std::int64_t ExtraLength = U16(Header + 28);
    Entry.DataOffset = LocalOffset + LocalHeaderBytes + NameLength + ExtraLength;
    if (U16(Header + 8) != 0 || NameLength != static_cast<std::int64_t>(Entry.Name.size()) ||
        Entry.DataOffset + Entry.Size > DirectoryOffset)
    {
        OutError = "entry \"" + Entry.Name + "\" disagrees with its local header or overruns";
        return false;
    }
    std::string LocalName(static_cast<std::size_t>(NameLength), '\0');
    if (!File.ReadAt(LocalOffset + LocalHeaderBytes, LocalName.size(),
                     reinterpret_cast<unsigned char*>(LocalName.data())) ||
        LocalName != Entry.Name)
    {
        OutError = "entry \"" + Entry.Name + "\" has another name in its local header";
        return false;
    }
    return true;
}

// Payloads must not overlap one another: two names for the same bytes are a forgery.
bool CheckNoOverlap(std::vector<std::pair<std::int64_t, std::int64_t>> Spans, std::string& OutError)
{
    std::sort(Spans.begin(), Spans.end());
    for (std::size_t I = 1; I < Spans.size(); ++I)
    {
        if (Spans[I].first < Spans[I - 1].second)
        {
            OutError = "entries overlap one another";
            return false;
        }
    }
    return true;
}

// CRC-32 of Size bytes at Offset, read in chunks.
bool CrcOf(const FReadOnlyFile& File, std::int64_t Offset, std::int64_t Size, std::uint32_t& OutCrc,
           std::string* OutBytes)
{
    std::vector<unsigned char> Chunk(static_cast<std::size_t>(std::min(Size, ChunkBytes)));
    uLong Crc = crc32(0L, Z_NULL, 0);
    for (std::int64_t Done = 0; Done < Size;)
    {
        const std::size_t Step = static_cast<std::size_t>(std::min(Size - Done, ChunkBytes));
        if (!File.ReadAt(Offset + Done, Step, Chunk.data()))
        {
            return false;
        }
        Crc = crc32(Crc, Chunk.data(), static_cast<uInt>(Step));
        if (OutBytes)
        {
            OutBytes->append(reinterpret_cast<const char*>(Chunk.data()), Step);
        }
        Done += static_cast<std::int64_t>(Step);
    }
    OutCrc = static_cast<std::uint32_t>(Crc);
    return true;
}
} // namespace

bool FDevBackendZipReader::IsSafeEntryName(std::string_view Name)
{
    if (Name.empty() || Name.front() == '/' || Name.find('\0') != std::string_view::npos ||
        Name.find('\\') != std::string_view::npos || (Name.size() >= 2 && Name[1] == ':'))
    {
        return false;
    }
    std::size_t Start = 0;
    while (Start <= Name.size())
    {
        const std::size_t End = std::min(Name.find('/', Start), Name.size());
        const std::string_view Segment = Name.substr(Start, End - Start);
        if (Segment.empty() || Segment == "." || Segment == "..")
        {
            return false;
        }
        Start = End + 1;
    }
    return true;
}

bool FDevBackendZipReader::Open(const std::string& Path, std::int64_t MaxArchiveBytes,
                                std::string& OutError)
{
    Index.clear();
    FReadOnlyFile File(Path);
    FileSize = File.IsOpen() ? File.Size() : -1;
    if (FileSize < 0)
    {
        OutError = "the archive file cannot be opened";
        return false;
    }
    if (FileSize > MaxArchiveBytes)
    {
        OutError = "the archive is larger than " + std::to_string(MaxArchiveBytes) + " bytes";
        return false;
    }
    FEndRecord End;
    if (FileSize < EndRecordBytes)
    {
        OutError = "the file is too short to be a ZIP archive";
        return false;
    }
    if (!ReadEndRecord(File, FileSize, End, OutError))
    {
        return false;
    }
    std::vector<unsigned char> Directory(static_cast<std::size_t>(End.DirectorySize));
    if (!File.ReadAt(End.DirectoryOffset, Directory.size(), Directory.data()))
    {
        OutError = "the central directory cannot be read";
        return false;
    }
    std::vector<FDevBackendZipEntry> Entries;
    std::vector<std::pair<std::int64_t, std::int64_t>> Spans;
    std::set<std::string> Names;
    std::size_t At = 0;
    for (std::int64_t I = 0; I < End.Count; ++I)
    {
        FDevBackendZipEntry Entry;
        std::int64_t LocalOffset = 0;
        if (!ParseCentralRecord(Directory, At, Entry, LocalOffset, OutError) ||
            !PlaceEntry(File, LocalOffset, End.DirectoryOffset, Entry, OutError))
        {
            return false;
        }
        if (!Names.insert(Entry.Name).second)
        {
            OutError = "the entry name \"" + Entry.Name + "\" appears twice";
            return false;
        }
        Spans.emplace_back(LocalOffset, Entry.DataOffset + Entry.Size);
        Entries.push_back(std::move(Entry));
    }
    if (At != Directory.size())
    {
        OutError = "the central directory holds more than its entry count says";
        return false;
    }
    if (!CheckNoOverlap(std::move(Spans), OutError))
    {
        return false;
    }
    for (const FDevBackendZipEntry& Entry : Entries)
    {
        std::uint32_t Crc = 0;
        if (!CrcOf(File, Entry.DataOffset, Entry.Size, Crc, nullptr) || Crc != Entry.Crc32)
        {
            OutError = "entry \"" + Entry.Name + "\" fails its CRC-32 check";
            return false;
        }
    }
    FilePath = Path;
    Index = std::move(Entries);
    return true;
}

const FDevBackendZipEntry* FDevBackendZipReader::Find(std::string_view Name) const
{
    const auto It = std::find_if(Index.begin(), Index.end(),
                                 [Name](const FDevBackendZipEntry& E) { return E.Name == Name; });
    return It == Index.end() ? nullptr : &*It;
}

bool FDevBackendZipReader::Read(const FDevBackendZipEntry& Entry, std::string& OutBytes,
                                std::string& OutError, std::int64_t MaxBytes) const
{
    OutBytes.clear();
    if (Entry.Size > std::min(MaxBytes, MaxEntryReadBytes))
    {
        OutError = "entry \"" + Entry.Name + "\" is too large to read (" +
                   std::to_string(Entry.Size) + " bytes)";
        return false;
    }
    FReadOnlyFile File(FilePath);
    if (!File.IsOpen() || File.Size() != FileSize)
    {
        OutError = "the archive file changed or vanished";
        return false;
    }
    OutBytes.reserve(static_cast<std::size_t>(Entry.Size));
    std::uint32_t Crc = 0;
    if (!CrcOf(File, Entry.DataOffset, Entry.Size, Crc, &OutBytes) || Crc != Entry.Crc32)
    {
        OutBytes.clear();
        OutError = "entry \"" + Entry.Name + "\" cannot be read or fails its CRC-32 check";
        return false;
    }
    return true;
}
