// File and path helpers shaped like the engine's IFileManager, FFileHelper and
// FPaths, over std::filesystem. Every operation honours the fault rules of
// FileFaults.h, so tests can make writes, reads, deletes or moves fail for real.
#pragma once

#include "CoreTypes.h"
#include "DateTime.h"

#include <memory>
#include <string_view>
#include <vector>

// A sequential file reader or writer. Once an operation fails, IsError stays true
// and further operations do nothing.
class FArchive
{
public:
    virtual ~FArchive() = default;
    // Reads or writes Num bytes at the current position.
    virtual void Serialize(void* Data, int64 Num) = 0;
    virtual int64 Tell() const = 0;
    virtual int64 TotalSize() const = 0;
    virtual void Seek(int64 Position) = 0;
    // Flushes and closes; false when anything failed. Destruction closes too.
    virtual bool Close() = 0;
    bool IsError() const { return bError; }
    bool IsLoading() const { return bLoading; }

protected:
    bool bError = false;
    bool bLoading = false;
};

enum EFileWrite : uint32
{
    FILEWRITE_None = 0,
    FILEWRITE_Append = 1,
};

class IFileManager
{
public:
    static IFileManager& Get();

    // Opens for sequential reading; null when the file cannot be opened.
    std::unique_ptr<FArchive> CreateFileReader(const FString& Path);
    // Creates or truncates (or appends to) a file; null when it cannot be opened.
    std::unique_ptr<FArchive> CreateFileWriter(const FString& Path, uint32 Flags = FILEWRITE_None);

    // Size in bytes, or -1 when the file does not exist.
    int64 FileSize(const FString& Path);
    bool FileExists(const FString& Path);
    bool DirectoryExists(const FString& Path);
    // Deletes a file. Without bRequireExists, a missing file counts as success.
    bool Delete(const FString& Path, bool bRequireExists = false);
    // Moves Source to Dest, replacing Dest when bReplace.
    bool Move(const FString& Dest, const FString& Source, bool bReplace = true);
    // Creates the folder, and its parents when bTree. True when it exists afterwards.
    bool MakeDirectory(const FString& Path, bool bTree = false);
    // Deletes a folder (with everything in it when bTree).
    bool DeleteDirectory(const FString& Path, bool bRequireExists = false, bool bTree = false);
    // Names (not paths) of the regular files in Directory matching Wildcard
    // ('*' and '?'), sorted by name.
    std::vector<FString> FindFiles(const FString& Directory, const FString& Wildcard = "*");
    // Last modification time in UTC; the default value when the file is missing.
    FDateTime GetTimeStamp(const FString& Path);
    bool SetTimeStamp(const FString& Path, const FDateTime& Time);
};

namespace FFileHelper
{
bool LoadFileToString(FString& Out, const FString& Path);
bool LoadFileToArray(std::vector<uint8>& Out, const FString& Path);
// Writes the whole file; a failed write leaves no partial file behind.
bool SaveStringToFile(std::string_view Text, const FString& Path);
bool SaveArrayToFile(const std::vector<uint8>& Bytes, const FString& Path);
bool SaveBytesToFile(const void* Data, int64 Num, const FString& Path);
} // namespace FFileHelper

namespace FPaths
{
// The folder for saved data; set by the host at start-up (tests use a temp folder).
FString ProjectSavedDir();
void SetProjectSavedDir(const FString& Path);
FString ProjectDir();
void SetProjectDir(const FString& Path);

// Joins with exactly one '/' between non-empty pieces.
FString Combine(std::string_view A, std::string_view B);
FString Combine(std::string_view A, std::string_view B, std::string_view C);
FString GetCleanFilename(std::string_view Path); // "a/b/c.txt" -> "c.txt"
FString GetBaseFilename(std::string_view Path);  // "a/b/c.txt" -> "c"
FString GetExtension(std::string_view Path, bool bIncludeDot = false);
FString GetPath(std::string_view Path); // "a/b/c.txt" -> "a/b"
// Name without the characters file systems refuse (\ / : * ? " < > | and controls).
FString MakeValidFileName(std::string_view Name);
FString ConvertRelativePathToFull(std::string_view Path);
bool FileExists(const FString& Path);
bool DirectoryExists(const FString& Path);
// True when Name matches Wildcard ('*' any run, '?' one character; case-sensitive).
bool MatchesWildcard(std::string_view Name, std::string_view Wildcard);
} // namespace FPaths
