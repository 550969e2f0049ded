#include "PlatformInfo.h"

#include "StringUtils.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string_view>
#include <sys/utsname.h>
#include <thread>
#include <unistd.h>

#include <filesystem>

namespace
{
FString ReadFirstLine(const FString& Path)
{
    std::ifstream In(Path);
    FString Line;
    if (In)
    {
        std::getline(In, Line);
    }
    return FStringUtils::TrimStartAndEnd(Line);
}

// Value of "Key<sep>Value" from a key/value text file such as /proc/meminfo.
FString ReadKeyedValue(const FString& Path, const FString& Key, char Separator)
{
    std::ifstream In(Path);
    FString Line;
    while (std::getline(In, Line))
    {
        const size_t At = Line.find(Separator);
        if (At == FString::npos)
        {
            continue;
        }
        if (FStringUtils::TrimStartAndEnd(Line.substr(0, At)) == Key)
        {
            return FStringUtils::TrimStartAndEnd(Line.substr(At + 1));
        }
    }
    return FString();
}

// Bytes of the "Key: N kB" line of a small /proc file; 0 when absent. The file is read
// into a stack buffer: memory is sampled periodically while a game runs, and the
// sample must not allocate.
uint64 KilobytesField(const char* Path, std::string_view Key)
{
    char Buffer[16384];
    const int File = open(Path, O_RDONLY | O_CLOEXEC);
    if (File < 0)
    {
        return 0;
    }
    size_t Size = 0;
    for (ssize_t Got = 0;
         Size < sizeof(Buffer) && (Got = read(File, Buffer + Size, sizeof(Buffer) - Size)) > 0;)
    {
        Size += static_cast<size_t>(Got);
    }
    close(File);
    const std::string_view Text(Buffer, Size);
    for (size_t At = 0; At < Text.size();)
    {
        const size_t End = std::min(Text.find('\n', At), Text.size());
        const std::string_view Line = Text.substr(At, End - At);
        At = End + 1;
        if (Line.size() <= Key.size() || !Line.starts_with(Key) || Line[Key.size()] != ':')
        {
            continue;
        }
        uint64 Kilobytes = 0;
        for (const char Digit : Line.substr(Key.size() + 1))
        {
            if (Digit >= '0' && Digit <= '9')
            {
                Kilobytes = Kilobytes * 10 + static_cast<uint64>(Digit - '0');
            }
            else if (Digit != ' ' && Digit != '\t')
            {
                break;
            }
        }
        return Kilobytes * 1024ull;
    }
    return 0;
}

std::mutex GLoginMutex;
FString GLoginIdSource = "/etc/machine-id"; // guarded by GLoginMutex

std::mutex GPowerMutex;
FString GPowerRoot = "/sys/class/power_supply"; // guarded by GPowerMutex

// The first power supply of type "Battery", or empty.
FString FindBatteryFolder()
{
    FString Root;
    {
        std::lock_guard Lock(GPowerMutex);
        Root = GPowerRoot;
    }
    std::error_code Error;
    std::vector<FString> Candidates;
    for (std::filesystem::directory_iterator It(Root, Error), End; !Error && It != End;
         It.increment(Error))
    {
        Candidates.push_back(It->path().string());
    }
    std::sort(Candidates.begin(), Candidates.end());
    for (const FString& Folder : Candidates)
    {
        if (ReadFirstLine(Folder + "/type") == "Battery")
        {
            return Folder;
        }
    }
    return FString();
}
} // namespace

FPlatformMemoryStats FPlatformMemory::GetStats()
{
    FPlatformMemoryStats Stats;
    Stats.TotalPhysical = KilobytesField("/proc/meminfo", "MemTotal");
    Stats.AvailablePhysical = KilobytesField("/proc/meminfo", "MemAvailable");
    Stats.UsedPhysical = KilobytesField("/proc/self/status", "VmRSS");
    return Stats;
}

int32 FPlatformMisc::GetBatteryLevel()
{
    const FString Folder = FindBatteryFolder();
    if (Folder.empty())
    {
        return -1;
    }
    const FString Capacity = ReadFirstLine(Folder + "/capacity");
    if (!FStringUtils::IsAllDigits(Capacity))
    {
        return -1;
    }
    return std::min(100, std::atoi(Capacity.c_str()));
}

FString FPlatformMisc::GetBatteryStatus()
{
    const FString Folder = FindBatteryFolder();
    return Folder.empty() ? FString() : ReadFirstLine(Folder + "/status");
}

void FPlatformMisc::SetPowerSupplyRoot(const FString& Path)
{
    std::lock_guard Lock(GPowerMutex);
    GPowerRoot = Path;
}

int32 FPlatformMisc::NumberOfCores()
{
    return static_cast<int32>(std::max(1u, std::thread::hardware_concurrency()));
}

FString FPlatformMisc::GetCPUBrand()
{
    return ReadKeyedValue("/proc/cpuinfo", "model name", ':');
}

FString FPlatformMisc::GetCPUVendor()
{
    return ReadKeyedValue("/proc/cpuinfo", "vendor_id", ':');
}

FString FPlatformMisc::GetOSName()
{
    FString Pretty = ReadKeyedValue("/etc/os-release", "PRETTY_NAME", '=');
    if (Pretty.size() >= 2 && Pretty.front() == '"' && Pretty.back() == '"')
    {
        Pretty = Pretty.substr(1, Pretty.size() - 2);
    }
    return Pretty.empty() ? FString("Linux") : Pretty;
}

FString FPlatformMisc::GetOSVersion()
{
    utsname Info{};
    return uname(&Info) == 0 ? FString(Info.release) : FString();
}

FString FPlatformMisc::GetComputerName()
{
    char Name[256] = {};
    return gethostname(Name, sizeof(Name) - 1) == 0 ? FString(Name) : FString();
}

FString FPlatformMisc::GetDeviceMakeAndModel()
{
    const FString Vendor = ReadFirstLine("/sys/class/dmi/id/sys_vendor");
    const FString Product = ReadFirstLine("/sys/class/dmi/id/product_name");
    if (Vendor.empty())
    {
        return Product;
    }
    return Product.empty() ? Vendor : Vendor + "|" + Product;
}

FString FPlatformMisc::GetLoginId()
{
    FString Source;
    {
        std::lock_guard Lock(GLoginMutex);
        Source = GLoginIdSource;
    }
    return FStringUtils::ToUpper(ReadFirstLine(Source));
}

void FPlatformMisc::SetLoginIdSource(const FString& Path)
{
    std::lock_guard Lock(GLoginMutex);
    GLoginIdSource = Path;
}

FString FPlatformMisc::GetDefaultLocale()
{
    for (const char* Name : {"LC_ALL", "LC_MESSAGES", "LANG"})
    {
        FString Value = GetEnvironmentVariable(Name);
        if (Value.empty())
        {
            continue;
        }
        Value = Value.substr(0, Value.find_first_of(".@"));
        return (Value == "C" || Value == "POSIX") ? FString() : Value;
    }
    return FString();
}

FString FPlatformMisc::GetEnvironmentVariable(const char* Name)
{
    const char* Value = std::getenv(Name);
    return Value ? FString(Value) : FString();
}
