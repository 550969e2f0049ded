// Platform facts from Linux sources, plugin descriptors and the command line.
#include "CommandLine.h"
#include "Files.h"
#include "PlatformInfo.h"
#include "PlatformTime.h"
#include "PluginManager.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

class PlatformTest : public FEngineTestBase
{
};

TEST_F(PlatformTest, ProcessFiguresArePlausible)
{
    const FPlatformMemoryStats Stats = FPlatformMemory::GetStats();
    EXPECT_GT(Stats.TotalPhysical, 0u);
    EXPECT_GT(Stats.UsedPhysical, 0u);
    EXPECT_LT(Stats.UsedPhysical, Stats.TotalPhysical);
    EXPECT_GE(FPlatformMisc::NumberOfCores(), 1);
    EXPECT_FALSE(FPlatformMisc::GetOSVersion().empty());

    // The first sample covers the process's whole life so far.
    const FCPUTime First = FPlatformTime::GetCPUTime();
    EXPECT_GE(First.CPUTimePct, 0.f);
    EXPECT_LE(First.CPUTimePct, 100.f);
    volatile double Sink = 0;
    for (int I = 0; I < 20000000; ++I)
    {
        Sink = Sink + I * 0.5;
    }
    const FCPUTime Cpu = FPlatformTime::GetCPUTime();
    EXPECT_GT(Cpu.CPUTimePctRelative, 0.f);
    EXPECT_LE(Cpu.CPUTimePct, 100.5f);
}

TEST_F(PlatformTest, BatteryFromPowerSupplyFolder)
{
    const FString Root = Saved.File("power_supply");
    IFileManager::Get().MakeDirectory(FPaths::Combine(Root, "AC"), true);
    IFileManager::Get().MakeDirectory(FPaths::Combine(Root, "BAT0"), true);
    FFileHelper::SaveStringToFile("Mains\n", FPaths::Combine(Root, "AC/type"));
    FFileHelper::SaveStringToFile("Battery\n", FPaths::Combine(Root, "BAT0/type"));
    FFileHelper::SaveStringToFile("57\n", FPaths::Combine(Root, "BAT0/capacity"));
    FFileHelper::SaveStringToFile("Discharging\n", FPaths::Combine(Root, "BAT0/status"));
    FPlatformMisc::SetPowerSupplyRoot(Root);
    EXPECT_EQ(FPlatformMisc::GetBatteryLevel(), 57);
    EXPECT_EQ(FPlatformMisc::GetBatteryStatus(), "Discharging");

    FPlatformMisc::SetPowerSupplyRoot(Saved.File("none"));
    EXPECT_EQ(FPlatformMisc::GetBatteryLevel(), -1);
    EXPECT_EQ(FPlatformMisc::GetBatteryStatus(), "");
    FPlatformMisc::SetPowerSupplyRoot("/sys/class/power_supply");
}

TEST_F(PlatformTest, PluginDescriptorIsFoundAndRead)
{
    const std::shared_ptr<IPlugin> Plugin = IPluginManager::Get().FindPlugin("QuorvexSDK");
    ASSERT_TRUE(Plugin);
    EXPECT_FALSE(Plugin->GetDescriptor().VersionName.empty());
    EXPECT_EQ(IPluginManager::Get().FindPlugin("NoSuchPlugin"), nullptr);

    IPluginManager::Get().ClearPluginSearchPaths();
    IPluginManager::Get().AddPluginSearchPath(Saved.Path());
    FFileHelper::SaveStringToFile("{ not json", Saved.File("Broken.uplugin"));
    EXPECT_EQ(IPluginManager::Get().FindPlugin("Broken"), nullptr);
}

TEST(CommandLine, SwitchesMatchWholeWordsIgnoringCase)
{
    EXPECT_TRUE(FParse::Param("Game -quorvexnoslatecapture -log", "QuorvexNoSlateCapture"));
    EXPECT_FALSE(FParse::Param("Game -QuorvexNoSlateCaptureX", "QuorvexNoSlateCapture"));
    EXPECT_FALSE(FParse::Param("QuorvexNoSlateCapture", "QuorvexNoSlateCapture"));
}
