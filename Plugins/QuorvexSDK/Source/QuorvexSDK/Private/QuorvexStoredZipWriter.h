// Writes ZIP archives whose entries are all stored uncompressed, in the classic
// (non-Zip64) format, for packing already-compressed frames and small documents into
// one upload object. A file entry is read once, when the archive is written, in chunks
// of at most FileChunkBytes: its CRC is computed while the bytes are copied, and the
// local header carries it (written after the bytes of a one-chunk file were read, or
// patched in place after a longer one was copied). Files are never loaded whole. All
// file access goes through IFileManager and FArchive.
//
// A writer is a plain object used by one thread at a time.
#pragma once

#include "CoreTypes.h"
#include "DateTime.h"

#include <string_view>
#include <vector>

class FArchive;

// One entry to be written.
struct FQuorvexZipEntry
{
    FString Name;            // after NormalizeEntryName
    std::vector<uint8> Data; // the payload of an in-memory entry
    FString SourcePath;      // the file to stream, for a file entry
    int64 Size = 0;          // payload size, fixed when the entry is added
    uint32 Crc32 = 0;        // CRC-32 of an in-memory payload; a file's is found while writing
    FDateTime ModifiedTime;  // written into the headers as an MS-DOS time and date
    bool bFromFile = false;  // true: stream SourcePath; false: write Data
};

class FQuorvexStoredZipWriter
{
public:
    static constexpr int32 MaxUnreadableEntryWarnings = 3;
    static constexpr int32 MaxEntries = 65535;
    // Largest single read of a source file and largest single write of its bytes.
    static constexpr int64 FileChunkBytes = 1 << 20;

    // Appends an in-memory entry stamped with the current local time. A name that is
    // empty after trimming white space adds nothing.
    void AddBytes(const FString& Name, const std::vector<uint8>& Bytes);
    // Like AddBytes, but the entry becomes the first one.
    void InsertBytesAtFront(const FString& Name, const std::vector<uint8>& Bytes);
    // Opens the file to check that it can be read and to fix its size, then appends an
    // entry that will be streamed from it (its bytes are first read when the archive
    // is written). False (and no entry) when the name or path is empty or the file
    // cannot be opened; unreadable files are warned about, up to a cap.
    bool AddFile(const FString& Name, const FString& Path);

    // Writes the archive to Path, creating its folder. Returns the archive size in
    // bytes, or -1 on failure, in which case no file is left at Path.
    int64 WriteToFile(const FString& Path) const;
    // Writes the whole archive into an open writer, whose position at the start is
    // taken as the archive's first byte offset.
    bool WriteToArchive(FArchive& Archive) const;

    const std::vector<FQuorvexZipEntry>& GetEntries() const { return Entries; }

    // Backslashes become '/', then leading '/' are removed.
    static FString NormalizeEntryName(std::string_view Name);
    // MS-DOS time and date of Time, clamped to 1980-01-01 00:00:00 .. 2107-12-31 23:59:58.
    static void ToDosDateTime(const FDateTime& Time, uint16& OutDosTime, uint16& OutDosDate);

private:
    // Where each entry ended up, for the central directory.
    struct FWrittenEntry;

    bool MakeBytesEntry(const FString& Name, const std::vector<uint8>& Bytes,
                        FQuorvexZipEntry& OutEntry) const;
    void NoteUnreadableFile(const FString& Path);

    bool WriteEntry(FArchive& Archive, const FQuorvexZipEntry& Entry, std::vector<uint8>& Buffer,
                    std::vector<FWrittenEntry>& Written) const;
    // Writes the local header and payload of a file entry, reading the file once through
    // Buffer; Record gets the CRC-32 of what was written.
    void WriteFileEntry(FArchive& Archive, const FQuorvexZipEntry& Entry,
                        std::vector<uint8>& Buffer, FWrittenEntry& Record) const;
    static void WriteLocalHeader(FArchive& Archive, const FWrittenEntry& Record);
    bool WriteCentralDirectory(FArchive& Archive, const std::vector<FWrittenEntry>& Written) const;

    std::vector<FQuorvexZipEntry> Entries;
    int32 WarnedUnreadableCount = 0;
    int32 SuppressedUnreadableCount = 0;
};
