#include "Files.h"

#include "FileFaults.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <system_error>

namespace fs = std::filesystem;

namespace
{
class FFileReader final : public FArchive
{
public:
    FFileReader(std::FILE* InFile, FString InPath, int64 InSize)
        : File(InFile), Path(std::move(InPath)), Size(InSize)
    {
        bLoading = true;
        bHasFault = FFileFaults::Match(EFileFault::FailRead, Path, &Fault) ||
                    FFileFaults::Match(EFileFault::VanishDuringRead, Path, &Fault) ||
                    FFileFaults::Match(EFileFault::ShrinkDuringRead, Path, &Fault);
    }
    ~FFileReader() override { Close(); }

    void Serialize(void* Data, int64 Num) override
    {
        if (bError || Num <= 0)
        {
            bError = bError || Num < 0;
            return;
        }
        if (!File)
        {
            bError = true;
            return;
        }
        if (bHasFault && !ApplyFault(Num))
        {
            return;
        }
        int64 Wanted = Num;
        if (bHitEnd)
        {
            Wanted = std::max<int64>(0, std::min(Num, Fault.AfterBytes - Position));
        }
        const size_t Got = std::fread(Data, 1, static_cast<size_t>(Wanted), File);
        Position += static_cast<int64>(Got);
        if (Got != static_cast<size_t>(Num))
        {
            bError = true;
        }
    }

    int64 Tell() const override { return Position; }
    int64 TotalSize() const override { return Size; }

    void Seek(int64 NewPosition) override
    {
        if (!File || std::fseek(File, static_cast<long>(NewPosition), SEEK_SET) != 0)
        {
            bError = true;
            return;
        }
        Position = NewPosition;
    }

    bool Close() override
    {
        if (File)
        {
            std::fclose(File);
            File = nullptr;
        }
        return !bError;
    }

private:
    // Returns false when the read must not happen.
    bool ApplyFault(int64 Num)
    {
        if (Position + Num <= Fault.AfterBytes)
        {
            return true;
        }
        switch (Fault.Fault)
        {
        case EFileFault::FailRead:
            bError = true;
            return false;
        case EFileFault::VanishDuringRead:
        {
            std::error_code Ignored;
            fs::remove(Path, Ignored);
            bError = true;
            return false;
        }
        case EFileFault::ShrinkDuringRead:
        {
            std::error_code Ignored;
            if (static_cast<int64>(fs::file_size(Path, Ignored)) > Fault.AfterBytes)
            {
                fs::resize_file(Path, static_cast<uintmax_t>(Fault.AfterBytes), Ignored);
            }
            // stdio may already hold the old bytes in its buffer: end the read at the
            // new size the way the kernel would for an unbuffered read.
            bHitEnd = true;
            return true;
        }
        default:
            return true;
        }
    }

    std::FILE* File;
    FString Path;
    int64 Size;
    int64 Position = 0;
    bool bHasFault = false;
    bool bHitEnd = false;
    FFileFaultRule Fault;
};

class FFileWriter final : public FArchive
{
public:
    FFileWriter(std::FILE* InFile, FString InPath, int64 InStart)
        : File(InFile), Path(std::move(InPath)), Position(InStart)
    {
        bHasFault = FFileFaults::Match(EFileFault::FailWrite, Path, &Fault);
    }
    ~FFileWriter() override { Close(); }

    void Serialize(void* Data, int64 Num) override
    {
        if (bError || Num <= 0 || !File)
        {
            bError = bError || Num < 0 || !File;
            return;
        }
        if (bHasFault && Written + Num > Fault.AfterBytes)
        {
            // A full disk: what fits is written, the rest is refused.
            const int64 Fits = std::max<int64>(0, Fault.AfterBytes - Written);
            std::fwrite(Data, 1, static_cast<size_t>(Fits), File);
            Written += Fits;
            Position += Fits;
            bError = true;
            return;
        }
        const size_t Put = std::fwrite(Data, 1, static_cast<size_t>(Num), File);
        Written += static_cast<int64>(Put);
        Position += static_cast<int64>(Put);
        if (Put != static_cast<size_t>(Num))
        {
            bError = true;
        }
    }

    int64 Tell() const override { return Position; }
    int64 TotalSize() const override { return std::max(Position, Size); }

    void Seek(int64 NewPosition) override
    {
        if (!File || std::fseek(File, static_cast<long>(NewPosition), SEEK_SET) != 0)
        {
            bError = true;
            return;
        }
        Size = std::max(Size, Position);
        Position = NewPosition;
    }

    bool Close() override
    {
        if (File)
        {
            if (std::fflush(File) != 0)
            {
                bError = true;
            }
            if (std::fclose(File) != 0)
            {
                bError = true;
            }
            File = nullptr;
        }
        return !bError;
    }

private:
    std::FILE* File;
    FString Path;
    int64 Position;
    int64 Size = 0;
    int64 Written = 0;
    bool bHasFault = false;
    FFileFaultRule Fault;
};

struct FPathState
{
    std::mutex Mutex;
    FString SavedDir;   // guarded by Mutex
    FString ProjectDir; // guarded by Mutex
};

FPathState& Paths()
{
    static FPathState Instance;
    return Instance;
}

bool WildcardMatch(std::string_view Name, std::string_view Pattern)
{
    size_t N = 0, P = 0, StarP = std::string_view::npos, StarN = 0;
    while (N < Name.size())
    {
        if (P < Pattern.size() && (Pattern[P] == '?' || Pattern[P] == Name[N]))
        {
            ++N;
            ++P;
        }
        else if (P < Pattern.size() && Pattern[P] == '*')
        {
            StarP = P++;
            StarN = N;
        }
        else if (StarP != std::string_view::npos)
        {
            P = StarP + 1;
            N = ++StarN;
        }
        else
        {
            return false;
        }
    }
    while (P < Pattern.size() && Pattern[P] == '*')
    {
        ++P;
    }
    return P == Pattern.size();
}
} // namespace

IFileManager& IFileManager::Get()
{
    static IFileManager Instance;
    return Instance;
}

std::unique_ptr<FArchive> IFileManager::CreateFileReader(const FString& Path)
{
    if (FFileFaults::Match(EFileFault::FailOpenForRead, Path))
    {
        return nullptr;
    }
    std::error_code Error;
    if (!fs::is_regular_file(Path, Error))
    {
        return nullptr;
    }
    std::FILE* File = std::fopen(Path.c_str(), "rb");
    if (!File)
    {
        return nullptr;
    }
    const int64 Size = static_cast<int64>(fs::file_size(Path, Error));
    return std::make_unique<FFileReader>(File, Path, Error ? 0 : Size);
}

std::unique_ptr<FArchive> IFileManager::CreateFileWriter(const FString& Path, uint32 Flags)
{
    if (FFileFaults::Match(EFileFault::FailOpenForWrite, Path))
    {
        return nullptr;
    }
    const bool bAppend = (Flags & FILEWRITE_Append) != 0;
    std::FILE* File = std::fopen(Path.c_str(), bAppend ? "ab" : "wb");
    if (!File)
    {
        return nullptr;
    }
    const int64 Start = bAppend ? FileSize(Path) : 0;
    return std::make_unique<FFileWriter>(File, Path, std::max<int64>(0, Start));
}

int64 IFileManager::FileSize(const FString& Path)
{
    std::error_code Error;
    if (!fs::is_regular_file(Path, Error))
    {
        return -1;
    }
    const auto Size = fs::file_size(Path, Error);
    return Error ? -1 : static_cast<int64>(Size);
}

bool IFileManager::FileExists(const FString& Path)
{
    std::error_code Error;
    return fs::is_regular_file(Path, Error);
}

bool IFileManager::DirectoryExists(const FString& Path)
{
    std::error_code Error;
    return fs::is_directory(Path, Error);
}

bool IFileManager::Delete(const FString& Path, bool bRequireExists)
{
    if (!FileExists(Path))
    {
        return !bRequireExists;
    }
    if (FFileFaults::Match(EFileFault::FailDelete, Path))
    {
        return false;
    }
    std::error_code Error;
    return fs::remove(Path, Error) && !Error;
}

bool IFileManager::Move(const FString& Dest, const FString& Source, bool bReplace)
{
    if (FFileFaults::Match(EFileFault::FailMove, Source) ||
        FFileFaults::Match(EFileFault::FailMove, Dest))
    {
        return false;
    }
    std::error_code Error;
    if (!bReplace && fs::exists(Dest, Error))
    {
        return false;
    }
    fs::rename(Source, Dest, Error);
    return !Error;
}

bool IFileManager::MakeDirectory(const FString& Path, bool bTree)
{
    if (DirectoryExists(Path))
    {
        return true;
    }
    if (FFileFaults::Match(EFileFault::FailMakeDirectory, Path))
    {
        return false;
    }
    std::error_code Error;
    if (bTree)
    {
        fs::create_directories(Path, Error);
    }
    else
    {
        fs::create_directory(Path, Error);
    }
    return DirectoryExists(Path);
}

bool IFileManager::DeleteDirectory(const FString& Path, bool bRequireExists, bool bTree)
{
    if (!DirectoryExists(Path))
    {
        return !bRequireExists;
    }
    if (FFileFaults::Match(EFileFault::FailDelete, Path))
    {
        return false;
    }
    std::error_code Error;
    if (bTree)
    {
        fs::remove_all(Path, Error);
    }
    else
    {
        fs::remove(Path, Error);
    }
    return !Error && !DirectoryExists(Path);
}

std::vector<FString> IFileManager::FindFiles(const FString& Directory, const FString& Wildcard)
{
    std::vector<FString> Names;
    std::error_code Error;
    for (fs::directory_iterator It(Directory, Error), End; !Error && It != End; It.increment(Error))
    {
        std::error_code TypeError;
        if (!It->is_regular_file(TypeError))
        {
            continue;
        }
        FString Name = It->path().filename().string();
        if (WildcardMatch(Name, Wildcard))
        {
            Names.push_back(std::move(Name));
        }
    }
    std::sort(Names.begin(), Names.end());
    return Names;
}

FDateTime IFileManager::GetTimeStamp(const FString& Path)
{
    std::error_code Error;
    const auto Time = fs::last_write_time(Path, Error);
    if (Error)
    {
        return FDateTime();
    }
    const auto System = fs::file_time_type::clock::to_sys(Time);
    const auto Micros =
        std::chrono::duration_cast<std::chrono::microseconds>(System.time_since_epoch()).count();
    return FDateTime::FromUnixMicroseconds(Micros);
}

bool IFileManager::SetTimeStamp(const FString& Path, const FDateTime& Time)
{
    const std::chrono::system_clock::time_point System{
        std::chrono::microseconds(Time.ToUnixMicroseconds())};
    std::error_code Error;
    fs::last_write_time(Path, fs::file_time_type::clock::from_sys(System), Error);
    return !Error;
}

namespace FFileHelper
{
bool LoadFileToArray(std::vector<uint8>& Out, const FString& Path)
{
    std::unique_ptr<FArchive> Reader = IFileManager::Get().CreateFileReader(Path);
    if (!Reader)
    {
        return false;
    }
    std::vector<uint8> Bytes(static_cast<size_t>(Reader->TotalSize()));
    Reader->Serialize(Bytes.data(), static_cast<int64>(Bytes.size()));
    if (!Reader->Close())
    {
        return false;
    }
    Out = std::move(Bytes);
    return true;
}

bool LoadFileToString(FString& Out, const FString& Path)
{
    std::vector<uint8> Bytes;
    if (!LoadFileToArray(Bytes, Path))
    {
        return false;
    }
    size_t Skip = 0;
    if (Bytes.size() >= 3 && Bytes[0] == 0xEF && Bytes[1] == 0xBB && Bytes[2] == 0xBF)
    {
        Skip = 3; // UTF-8 byte order mark
    }
    Out.assign(reinterpret_cast<const char*>(Bytes.data()) + Skip, Bytes.size() - Skip);
    return true;
}

bool SaveBytesToFile(const void* Data, int64 Num, const FString& Path)
{
    std::unique_ptr<FArchive> Writer = IFileManager::Get().CreateFileWriter(Path);
    if (!Writer)
    {
        return false;
    }
    Writer->Serialize(const_cast<void*>(Data), Num);
    if (!Writer->Close())
    {
        Writer.reset();
        IFileManager::Get().Delete(Path);
        return false;
    }
    return true;
}

bool SaveStringToFile(std::string_view Text, const FString& Path)
{
    return SaveBytesToFile(Text.data(), static_cast<int64>(Text.size()), Path);
}

bool SaveArrayToFile(const std::vector<uint8>& Bytes, const FString& Path)
{
    return SaveBytesToFile(Bytes.data(), static_cast<int64>(Bytes.size()), Path);
}
} // namespace FFileHelper

namespace FPaths
{
FString ProjectSavedDir()
{
    std::lock_guard Lock(Paths().Mutex);
    return Paths().SavedDir.empty() ? FString("Saved/") : Paths().SavedDir;
}

void SetProjectSavedDir(const FString& Path)
{
    std::lock_guard Lock(Paths().Mutex);
    Paths().SavedDir = Path;
}

FString ProjectDir()
{
    std::lock_guard Lock(Paths().Mutex);
    return Paths().ProjectDir.empty() ? FString("./") : Paths().ProjectDir;
}

void SetProjectDir(const FString& Path)
{
    std::lock_guard Lock(Paths().Mutex);
    Paths().ProjectDir = Path;
}

FString Combine(std::string_view A, std::string_view B)
{
    if (A.empty())
    {
        return FString(B);
    }
    if (B.empty())
    {
        return FString(A);
    }
    FString Out(A);
    while (!Out.empty() && Out.back() == '/')
    {
        Out.pop_back();
    }
    while (!B.empty() && B.front() == '/')
    {
        B.remove_prefix(1);
    }
    Out += '/';
    Out.append(B);
    return Out;
}

FString Combine(std::string_view A, std::string_view B, std::string_view C)
{
    return Combine(Combine(A, B), C);
}

FString MakeValidFileName(std::string_view Name)
{
    FString Valid;
    for (const char C : Name)
    {
        const bool bControl = static_cast<unsigned char>(C) < 0x20 || C == 0x7F;
        if (!bControl && std::string_view("\\/:*?\"<>|").find(C) == std::string_view::npos)
        {
            Valid += C;
        }
    }
    return Valid;
}

FString GetCleanFilename(std::string_view Path)
{
    const size_t Slash = Path.find_last_of("/\\");
    return FString(Slash == std::string_view::npos ? Path : Path.substr(Slash + 1));
}

FString GetBaseFilename(std::string_view Path)
{
    FString Name = GetCleanFilename(Path);
    const size_t Dot = Name.find_last_of('.');
    return Dot == FString::npos ? Name : Name.substr(0, Dot);
}

FString GetExtension(std::string_view Path, bool bIncludeDot)
{
    const FString Name = GetCleanFilename(Path);
    const size_t Dot = Name.find_last_of('.');
    if (Dot == FString::npos)
    {
        return FString();
    }
    return Name.substr(bIncludeDot ? Dot : Dot + 1);
}

FString GetPath(std::string_view Path)
{
    const size_t Slash = Path.find_last_of("/\\");
    return Slash == std::string_view::npos ? FString() : FString(Path.substr(0, Slash));
}

FString ConvertRelativePathToFull(std::string_view Path)
{
    std::error_code Error;
    const fs::path Full = fs::absolute(fs::path(Path), Error).lexically_normal();
    return Error ? FString(Path) : Full.string();
}

bool FileExists(const FString& Path)
{
    return IFileManager::Get().FileExists(Path);
}

bool DirectoryExists(const FString& Path)
{
    return IFileManager::Get().DirectoryExists(Path);
}

bool MatchesWildcard(std::string_view Name, std::string_view Wildcard)
{
    return WildcardMatch(Name, Wildcard);
}
} // namespace FPaths
