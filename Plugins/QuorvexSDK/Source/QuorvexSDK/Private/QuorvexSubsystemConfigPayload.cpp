// The description of the device, the app and the SDK sent with a session create,
// and the per-batch system snapshot.
#include "QuorvexSubsystem.h"

#include "Files.h"
#include "Guid.h"
#include "JsonSerializer.h"
#include "PlatformInfo.h"
#include "ProjectSettings.h"
#include "QuorvexLog.h"
#include "StringUtils.h"

#include <cctype>
#include <cmath>
#include <mutex>

namespace
{
// Install referrer and advertising id, read once per process from the cache file.
struct FAttributionCache
{
    std::mutex Mutex;
    bool bLoaded = false;    // guarded by Mutex
    FString InstallReferrer; // guarded by Mutex
    FString AdvertisingId;   // guarded by Mutex
};

FAttributionCache& Attribution()
{
    static FAttributionCache Cache;
    return Cache;
}

void ReadAttribution(FString& OutReferrer, FString& OutAdvertisingId)
{
    FAttributionCache& Cache = Attribution();
    std::lock_guard Lock(Cache.Mutex);
    if (!Cache.bLoaded)
    {
        Cache.bLoaded = true;
        const FString Path =
            FPaths::Combine(FPaths::ProjectSavedDir(), "QuorvexSDK", "AttributionCache.json");
        FString Text;
        FJsonObjectPtr Root;
        if (FFileHelper::LoadFileToString(Text, Path) && !Text.empty() &&
            FJsonSerializer::Deserialize(Text, Root))
        {
            Root->TryGetStringField("installReferrer", Cache.InstallReferrer);
            Root->TryGetStringField("advertisingId", Cache.AdvertisingId);
        }
    }
    OutReferrer = Cache.InstallReferrer;
    OutAdvertisingId = Cache.AdvertisingId;
}

// The platform's ids, else the id kept in the saved-data folder, else a new one kept there.
FString ResolveDeviceId()
{
    FString Id = FPlatformMisc::GetDeviceId();
    if (Id.empty())
    {
        Id = FPlatformMisc::GetLoginId();
    }
    if (!Id.empty())
    {
        return Id;
    }
    const FString Path = FPaths::Combine(FPaths::ProjectSavedDir(), "QuorvexDeviceId.txt");
    if (FFileHelper::LoadFileToString(Id, Path))
    {
        Id = FStringUtils::TrimStartAndEnd(Id);
    }
    if (Id.empty())
    {
        Id = FGuid::NewGuid().ToString(EGuidFormats::Digits);
        IFileManager::Get().MakeDirectory(FPaths::ProjectSavedDir(), true);
        if (!FFileHelper::SaveStringToFile(Id, Path))
        {
            QUORVEX_LOG(Warning, "QuorvexSDK: Could not persist the device id to %s", Path.c_str());
        }
    }
    return Id;
}

// Locale, language and country from the platform's default locale. Without culture
// data the tag itself is split: the first part is the language, a final two-letter
// part the country.
void ResolveLocale(FQuorvexDeviceInfo& Device)
{
    Device.Locale = FStringUtils::ReplaceAll(FPlatformMisc::GetDefaultLocale(), "_", "-");
    const std::vector<FString> Parts = FStringUtils::Split(Device.Locale, "-", true);
    if (!Parts.empty())
    {
        Device.Language = Parts.front();
    }
    if (Parts.size() >= 2 && Parts.back().size() == 2)
    {
        Device.Country = Parts.back();
    }
    Device.Language = FStringUtils::ToLower(Device.Language);
    Device.Country = FStringUtils::ToUpper(Device.Country);
    QUORVEX_LOG_DEBUG("QuorvexSDK: Device locale resolved: locale=%s language=%s country=%s",
                      Device.Locale.c_str(), Device.Language.c_str(), Device.Country.c_str());
}

void ResolveOs(FQuorvexDeviceInfo& Device)
{
    const FString Label = FPlatformMisc::GetOSName();
    const FString Kernel = FPlatformMisc::GetOSVersion();
    FString Name = Label.substr(0, Label.find_first_of("(["));
    Name = FStringUtils::TrimStartAndEnd(Name);
    Device.OsName = Name.empty() ? FString("Linux") : Name;
    Device.OsVersion = FStringUtils::TrimStartAndEnd(Label);
    if (Device.OsVersion.empty())
    {
        Device.OsVersion = Kernel;
    }
    else if (!Kernel.empty())
    {
        // The distribution's label alone cannot tell kernels apart.
        Device.OsVersion += " " + Kernel;
    }
    QUORVEX_LOG_DEBUG("QuorvexSDK: Device OS resolved: osName=%s osVersion=%s",
                      Device.OsName.c_str(), Device.OsVersion.c_str());
}

FString BatteryStatusWord()
{
    const FString Status = FPlatformMisc::GetBatteryStatus();
    if (FStringUtils::EqualsIgnoreCase(Status, "Full"))
    {
        return "Full";
    }
    if (FStringUtils::EqualsIgnoreCase(Status, "Charging"))
    {
        return "Charging";
    }
    if (FStringUtils::EqualsIgnoreCase(Status, "Not charging"))
    {
        return "NotCharging";
    }
    if (FStringUtils::EqualsIgnoreCase(Status, "Discharging"))
    {
        return "Discharging";
    }
    return "Unknown";
}

const char* OrientationOf(int32 Width, int32 Height)
{
    return Width < Height ? "Portrait" : "Landscape";
}
} // namespace

int32 UQuorvexSubsystem::ParseVersionCode(const FString& Version)
{
    FString Digits;
    for (const char C : Version)
    {
        if (C >= '0' && C <= '9')
        {
            Digits += C;
        }
    }
    if (Digits.empty())
    {
        return 0;
    }
    // More than ten significant digits cannot fit: clamp instead of overflowing.
    const size_t FirstNonZero = Digits.find_first_not_of('0');
    if (FirstNonZero == FString::npos)
    {
        return 0;
    }
    if (Digits.size() - FirstNonZero > 10)
    {
        return INT32_MAX;
    }
    const long long Value = std::stoll(Digits.substr(FirstNonZero));
    return static_cast<int32>(std::min<long long>(Value, INT32_MAX));
}

FString UQuorvexSubsystem::SanitizeIdentifier(const FString& Text)
{
    FString Out;
    for (const char C : Text)
    {
        const unsigned char U = static_cast<unsigned char>(C);
        if (std::isalnum(U) || C == '-' || C == '.' || C == '_')
        {
            Out += C;
        }
        else if (std::isspace(U))
        {
            Out += '.';
        }
    }
    const size_t Begin = Out.find_first_not_of('.');
    if (Begin == FString::npos)
    {
        return "unknown.app";
    }
    return Out.substr(Begin, Out.find_last_not_of('.') - Begin + 1);
}

void UQuorvexSubsystem::EnsureAttributionResolvedAsync(std::function<void()> Callback)
{
    // This platform has no attribution source: nothing to wait for.
    DeviceDescription.bAttributionResolved = true;
    if (Callback)
    {
        Callback();
    }
}

void UQuorvexSubsystem::ResolveStaticPayloadOnce()
{
    if (DeviceDescription.bStaticPayloadResolved)
    {
        return;
    }
    DeviceDescription.bStaticPayloadResolved = true;
    FQuorvexDeviceInfo& Device = DeviceDescription.CachedConfigRequest.Device;
    Device.Id = ResolveDeviceId();
    QUORVEX_LOG_DEBUG("QuorvexSDK: Device.Id resolved to: %s", Device.Id.c_str());
    Device.Name = FPlatformMisc::GetComputerName();
    if (Device.Name.empty())
    {
        Device.Name = FPlatformMisc::GetDefaultDeviceProfileName();
    }
    Device.Model = FPlatformMisc::GetDeviceMakeAndModel();
    ResolveLocale(Device);
    Device.Platform = "Linux";
    ResolveOs(Device);
    Device.CpuType = FPlatformMisc::GetCPUBrand();
    Device.CpuCores = FPlatformMisc::NumberOfCores();
    Device.MemoryMb = static_cast<int32>(FPlatformMemory::GetStats().TotalPhysical / 1048576ull);
    ResolveGraphicsAndDisplay();

    const FProjectSettingsData Project = FProjectSettings::Get();
    const FString Company =
        Project.CompanyName.empty() ? FString("DefaultCompany") : Project.CompanyName;
    FQuorvexAppInfo& App = DeviceDescription.CachedConfigRequest.App;
    App.PackageName = SanitizeIdentifier("com." + Company + "." + Project.ProjectName);
    App.Name = Project.ProjectName;
    App.Version = Project.ProjectVersion.empty() ? Project.BuildVersion : Project.ProjectVersion;
    App.VersionCode = ParseVersionCode(App.Version);
    DeviceDescription.CachedConfigRequest.Sdk.Version = SdkVersion();
}

FQuorvexConfigRequest UQuorvexSubsystem::BuildConfigPayload()
{
    ResolveStaticPayloadOnce();
    FQuorvexConfigRequest Request = DeviceDescription.CachedConfigRequest;
    ReadAttribution(Request.App.InstallReferrer, Request.App.AdvertisingId);
    Request.InGameId = SessionContext.InGameId;
    Request.DeveloperPayload = SessionContext.DeveloperPayload;
    Request.NetworkType = "Wifi";

    int32 ViewWidth = 0, ViewHeight = 0;
    const bool bViewport = GetRenderedViewportSize(ViewWidth, ViewHeight);
    Request.Device.Orientation = bViewport ? OrientationOf(ViewWidth, ViewHeight) : "Unknown";
    const int32 Battery = FPlatformMisc::GetBatteryLevel();
    Request.Device.BatteryLevel = Battery < 0 ? -1.f : std::clamp(Battery * 0.01f, 0.f, 1.f);
    Request.Device.BatteryStatus = BatteryStatusWord();

    FQuorvexDeviceResolution& AppSize = Request.App.Resolution;
    if (bViewport && ViewWidth > 0 && ViewHeight > 0)
    {
        AppSize = {ViewWidth, ViewHeight};
    }
    else
    {
        AppSize.Width = DeviceDescription.LogicalDisplayWidth > 0
                            ? DeviceDescription.LogicalDisplayWidth
                            : Request.Device.Resolution.Width;
        AppSize.Height = DeviceDescription.LogicalDisplayHeight > 0
                             ? DeviceDescription.LogicalDisplayHeight
                             : Request.Device.Resolution.Height;
    }
    float Occupancy = 100.f;
    if (AppSize.Width > 0 && AppSize.Height > 0 && DeviceDescription.LogicalDisplayWidth > 0 &&
        DeviceDescription.LogicalDisplayHeight > 0)
    {
        const double Ratio = (static_cast<double>(AppSize.Width) * AppSize.Height) /
                             (static_cast<double>(DeviceDescription.LogicalDisplayWidth) *
                              DeviceDescription.LogicalDisplayHeight);
        const double Percent = std::clamp(100.0 * Ratio, 0.0, 100.0);
        Occupancy = static_cast<float>(std::floor(Percent * 100.0 + 0.5) * 0.01);
    }
    Request.ExtraPayload.ScreenOccupancyPercent = Occupancy;
    Request.bIsRollover = false;
    return Request;
}

FQuorvexEventMetadata UQuorvexSubsystem::BuildMetadataSnapshot() const
{
    FQuorvexEventMetadata Metadata;
    Metadata.MemoryUsageMb = SystemSample.MemoryUsageMb;
    Metadata.CpuUsagePercent = SystemSample.CpuUsagePercent;
    Metadata.BatteryLevel = SystemSample.BatteryLevel;
    int32 Width = 0, Height = 0;
    Metadata.ScreenOrientation =
        GetRenderedViewportSize(Width, Height) ? OrientationOf(Width, Height) : "Unknown";
    return Metadata;
}
