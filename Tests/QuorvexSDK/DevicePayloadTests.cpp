// The device, app and SDK description of a session create, and the batch snapshot.
#include "DisplayMetrics.h"
#include "Files.h"
#include "PlatformInfo.h"
#include "ProjectSettings.h"
#include "QuorvexSubsystemTestBase.h"

#include <cstdlib>

namespace
{
// Sets an environment variable for the lifetime of a scope.
class FScopedEnv
{
public:
    FScopedEnv(const char* InName, const char* Value) : Name(InName)
    {
        if (const char* Old = std::getenv(Name))
        {
            Previous = Old;
            bHad = true;
        }
        setenv(Name, Value, 1);
    }
    ~FScopedEnv()
    {
        if (bHad)
        {
            setenv(Name, Previous.c_str(), 1);
        }
        else
        {
            unsetenv(Name);
        }
    }

private:
    const char* Name;
    FString Previous;
    bool bHad = false;
};
} // namespace

class DevicePayload : public FQuorvexSubsystemTestBase
{
protected:
    void SetUp() override
    {
        FQuorvexSubsystemTestBase::SetUp();
        FPlatformMisc::SetLoginIdSource(Saved.File("no-machine-id"));
    }
    void TearDown() override
    {
        FPlatformMisc::SetLoginIdSource("/etc/machine-id");
        FProjectSettings::Set(FProjectSettingsData());
        FQuorvexSubsystemTestBase::TearDown();
    }
};

TEST_F(DevicePayload, DeviceIdIsGeneratedOnceAndKeptAcrossRuns)
{
    const FString First = Peer->BuildConfigPayload().Device.Id;
    EXPECT_EQ(First.size(), 32u);
    FString Stored;
    ASSERT_TRUE(FFileHelper::LoadFileToString(Stored, Saved.File("QuorvexDeviceId.txt")));
    EXPECT_EQ(Stored, First);

    UQuorvexSubsystem NextRun;
    FQuorvexSubsystemTestPeer NextPeer(NextRun);
    EXPECT_EQ(NextPeer.BuildConfigPayload().Device.Id, First);
}

TEST_F(DevicePayload, LocaleSplitsIntoLanguageAndCountry)
{
    struct FCase
    {
        const char* Env;
        const char* Locale;
        const char* Language;
        const char* Country;
    };
    const FCase Cases[] = {
        {"en_US.UTF-8", "en-US", "en", "US"},
        {"xx_yy", "xx-yy", "xx", "YY"},
        {"zh_Hans_CN", "zh-Hans-CN", "zh", "CN"},
        {"de", "de", "de", ""},
        {"C.UTF-8", "", "", ""},
    };
    for (const FCase& Case : Cases)
    {
        FScopedEnv All("LC_ALL", Case.Env);
        UQuorvexSubsystem Fresh;
        FQuorvexSubsystemTestPeer FreshPeer(Fresh);
        const FQuorvexDeviceInfo Device = FreshPeer.BuildConfigPayload().Device;
        EXPECT_EQ(Device.Locale, Case.Locale) << Case.Env;
        EXPECT_EQ(Device.Language, Case.Language) << Case.Env;
        EXPECT_EQ(Device.Country, Case.Country) << Case.Env;
    }
}

TEST_F(DevicePayload, AppDescriptionFromProjectSettings)
{
    FProjectSettingsData Settings;
    Settings.CompanyName = "My Studio!";
    Settings.ProjectName = "Space Game";
    Settings.ProjectVersion = "10-beta2";
    FProjectSettings::Set(Settings);
    const FQuorvexConfigRequest Request = Peer->BuildConfigPayload();
    EXPECT_EQ(Request.App.PackageName, "com.My.Studio.Space.Game");
    EXPECT_EQ(Request.App.Name, "Space Game");
    EXPECT_EQ(Request.App.VersionCode, 102);
    EXPECT_EQ(Request.Sdk.Version, "2.0.0");
    EXPECT_EQ(Request.NetworkType, "Wifi");
    EXPECT_FALSE(Request.Device.CpuType.empty());
    EXPECT_GT(Request.Device.MemoryMb, 0);
    EXPECT_EQ(Request.Device.DeviceGraphicsConfig.Source, "probeUnavailable");
}

TEST(DeviceIdentifiers, VersionCodeAndSanitizedNames)
{
    EXPECT_EQ(FQuorvexSubsystemTestPeer::ParseVersionCode("1.2.3"), 123);
    EXPECT_EQ(FQuorvexSubsystemTestPeer::ParseVersionCode("2024.12"), 202412);
    EXPECT_EQ(FQuorvexSubsystemTestPeer::ParseVersionCode("beta"), 0);
    EXPECT_EQ(FQuorvexSubsystemTestPeer::ParseVersionCode("0.0.7"), 7);
    EXPECT_EQ(FQuorvexSubsystemTestPeer::ParseVersionCode("99999999999"), 2147483647);
    EXPECT_EQ(FQuorvexSubsystemTestPeer::SanitizeIdentifier(""), "unknown.app");
    EXPECT_EQ(FQuorvexSubsystemTestPeer::SanitizeIdentifier("..!!.."), "unknown.app");
    EXPECT_EQ(FQuorvexSubsystemTestPeer::SanitizeIdentifier(".com.A B..c_d-e."), "com.A.B..c_d-e");
}

TEST_F(DevicePayload, OccupancyAndBatteryWithoutAViewport)
{
    FDisplayMetrics Displays;
    Displays.PrimaryDisplayWidth = 2560;
    Displays.PrimaryDisplayHeight = 1440;
    FDisplayMetrics::SetPlatformDisplays(Displays);
    const FQuorvexConfigRequest Request = Peer->BuildConfigPayload();
    FDisplayMetrics::SetPlatformDisplays(FDisplayMetrics());
    EXPECT_EQ(Request.App.Resolution.Width, 2560) << "no viewport: the display size";
    EXPECT_FLOAT_EQ(Request.ExtraPayload.ScreenOccupancyPercent, 100.f);
    EXPECT_EQ(Request.Device.Orientation, "Unknown");

    const FString Root = Saved.File("power");
    IFileManager::Get().MakeDirectory(FPaths::Combine(Root, "BAT1"), true);
    FFileHelper::SaveStringToFile("Battery", FPaths::Combine(Root, "BAT1/type"));
    FFileHelper::SaveStringToFile("42", FPaths::Combine(Root, "BAT1/capacity"));
    FFileHelper::SaveStringToFile("Not charging", FPaths::Combine(Root, "BAT1/status"));
    FPlatformMisc::SetPowerSupplyRoot(Root);
    const FQuorvexConfigRequest OnBattery = Peer->BuildConfigPayload();
    FPlatformMisc::SetPowerSupplyRoot("/sys/class/power_supply");
    EXPECT_FLOAT_EQ(OnBattery.Device.BatteryLevel, 0.42f);
    EXPECT_EQ(OnBattery.Device.BatteryStatus, "NotCharging");
}

TEST_F(DevicePayload, SnapshotBeforeTheFirstSample)
{
    const FQuorvexEventMetadata Metadata = Peer->BuildMetadataSnapshot();
    EXPECT_EQ(Metadata.MemoryUsageMb, 0);
    EXPECT_EQ(Metadata.CpuUsagePercent, -1);
    EXPECT_EQ(Metadata.BatteryLevel, -1);
    EXPECT_EQ(Metadata.ScreenOrientation, "Unknown");
}
