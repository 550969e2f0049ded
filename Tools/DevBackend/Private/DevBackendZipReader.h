// Reads back the stored (uncompressed) ZIP archives the stores accepted. The archives
// come from outside, so the reader trusts nothing in them: every offset, size and count
// is checked against the file and against fixed bounds before it is used, names that
// could reach outside a folder are refused, and every entry's CRC-32 is checked. A
// refusal comes with a reason a person can read.
//
// Only what the index needs is read when opening (the end record, the central
// directory and each local header); payloads are read by offset when asked for, so
// listing an archive never loads it whole.
//
// Thread safety: a reader is immutable once Open returned; its const members may be
// called from any thread (each opens the file on its own).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct FDevBackendZipEntry
{
    std::string Name;
    std::uint32_t Crc32 = 0;
    std::int64_t Size = 0;       // stored, so also the payload's size on disk
    std::int64_t DataOffset = 0; // first payload byte, from the start of the file
};

class FDevBackendZipReader
{
public:
    // An entry read into memory is at most this large.
    static constexpr std::int64_t MaxEntryReadBytes = 32LL << 20;
    // The central directory is read whole; 65535 entries with long names fit easily.
    static constexpr std::int64_t MaxCentralDirectoryBytes = 16LL << 20;

    // Indexes the archive at Path and checks every entry's CRC-32. False with a reason
    // when the file is larger than MaxArchiveBytes, malformed, uses anything but stored
    // entries in the classic format, holds an unsafe or repeated name, or fails a CRC.
    bool Open(const std::string& Path, std::int64_t MaxArchiveBytes, std::string& OutError);

    const std::vector<FDevBackendZipEntry>& Entries() const { return Index; }
    // The entry called Name; nullptr when there is none.
    const FDevBackendZipEntry* Find(std::string_view Name) const;
    // Reads an entry's payload (at most MaxBytes, never above MaxEntryReadBytes) and
    // checks its CRC-32 again, since the file may have changed since Open.
    bool Read(const FDevBackendZipEntry& Entry, std::string& OutBytes, std::string& OutError,
              std::int64_t MaxBytes = MaxEntryReadBytes) const;

    // Whether an entry name is safe to use as a relative path: not empty, no NUL or
    // backslash, not absolute, no drive letter, no empty, "." or ".." segment.
    static bool IsSafeEntryName(std::string_view Name);

private:
    std::string FilePath;                   // set by Open, read-only afterwards
    std::int64_t FileSize = 0;              // set by Open, read-only afterwards
    std::vector<FDevBackendZipEntry> Index; // set by Open, read-only afterwards
};
