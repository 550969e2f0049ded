// Device, OS, CPU, memory, battery and locale facts read from Linux sources
// (/proc, /sys, uname, gethostname, the environment). Values with no Linux source
// keep the documented fallbacks.
#pragma once

#include "CoreTypes.h"

struct FPlatformMemoryStats
{
    uint64 TotalPhysical = 0;     // bytes of RAM in the machine
    uint64 AvailablePhysical = 0; // bytes the kernel reports as available
    uint64 UsedPhysical = 0;      // resident bytes of this process
};

struct FPlatformMemory
{
    static FPlatformMemoryStats GetStats();
};

struct FPlatformMisc
{
    // Battery charge 0..100, or -1 when the machine reports no battery.
    static int32 GetBatteryLevel();
    // "Charging", "Discharging", "Full", "Not charging" as the kernel says; empty without a
    // battery.
    static FString GetBatteryStatus();
    // Folder scanned for power supplies; tests point it at a fixture.
    static void SetPowerSupplyRoot(const FString& Path);

    static int32 NumberOfCores();     // logical processors
    static FString GetCPUBrand();     // "model name" of /proc/cpuinfo
    static FString GetCPUVendor();    // "vendor_id" of /proc/cpuinfo
    static FString GetOSName();       // PRETTY_NAME of os-release, else "Linux"
    static FString GetOSVersion();    // kernel release from uname
    static FString GetComputerName(); // host name
    // A per-device id the platform offers; none on Linux (empty).
    static FString GetDeviceId() { return FString(); }
    // The machine id (/etc/machine-id, uppercased), or empty when unreadable.
    static FString GetLoginId();
    // Where GetLoginId reads; tests point it elsewhere (a missing file means no id).
    static void SetLoginIdSource(const FString& Path);
    static FString GetDefaultDeviceProfileName() { return "Linux"; }
    static FString GetDeviceMakeAndModel(); // DMI vendor and product, when readable
    // Locale such as "en_US" from LC_ALL, LC_MESSAGES or LANG, without its codeset or
    // modifier; empty when unset or "C"/"POSIX".
    static FString GetDefaultLocale();
    static FString GetEnvironmentVariable(const char* Name);
};
