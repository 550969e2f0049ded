// The persisted switches and the choice of the backend base URL.
#include "FileFaults.h"
#include "Files.h"
#include "QuorvexSubsystemTestBase.h"

class Preferences : public FQuorvexSubsystemTestBase
{
protected:
    FString PrefsPath() const { return Saved.File("QuorvexSDK/Prefs.json"); }
    void WritePrefs(const FString& Text)
    {
        IFileManager::Get().MakeDirectory(Saved.File("QuorvexSDK"), true);
        ASSERT_TRUE(FFileHelper::SaveStringToFile(Text, PrefsPath()));
    }
};

TEST_F(Preferences, FileCases)
{
    struct FCase
    {
        const char* Name;
        const char* Content; // null: no file
        bool bDebug, bTiming, bStaging;
        ELogVerbosity Verbosity;
        const char* LogStart;
    };
    const FCase Cases[] = {
        {"missing", nullptr, true, false, false, ELogVerbosity::Log,
         "QuorvexSDK: Persisted prefs not found at "},
        {"empty", "", true, false, false, ELogVerbosity::Warning,
         "QuorvexSDK: Failed to read Quorvex prefs from "},
        {"not json", "{oops", true, false, false, ELogVerbosity::Warning,
         "QuorvexSDK: Failed to parse Quorvex prefs JSON at "},
        {"array root", "[true]", true, false, false, ELogVerbosity::Warning,
         "QuorvexSDK: Failed to parse Quorvex prefs JSON at "},
        {"partial", R"({"useStagingServer":true})", true, false, true, ELogVerbosity::Log,
         "QuorvexSDK: Persisted prefs loaded from "},
        {"converted types",
         R"({"enableDebugLogs":0,"enableTimingLogs":"yes","useStagingServer":{}})", false, true,
         false, ELogVerbosity::Log, "QuorvexSDK: Persisted prefs loaded from "},
    };
    for (const FCase& Case : Cases)
    {
        SCOPED_TRACE(Case.Name);
        Subsystem->SetDebugLogsEnabled(true, false);
        Subsystem->SetTimingLogsEnabled(false, false);
        Subsystem->SetUseStagingServer(false, false);
        IFileManager::Get().Delete(PrefsPath());
        if (Case.Content)
        {
            WritePrefs(Case.Content);
        }
        Log.Clear();
        Peer->LoadPersistedPreferences();
        EXPECT_EQ(Subsystem->AreDebugLogsEnabled(), Case.bDebug);
        EXPECT_EQ(Subsystem->AreTimingLogsEnabled(), Case.bTiming);
        EXPECT_EQ(Subsystem->IsUsingStagingServer(), Case.bStaging);
        const auto Lines = Log.Matching(Case.LogStart);
        ASSERT_EQ(Lines.size(), 1u);
        EXPECT_EQ(Lines[0].Verbosity, Case.Verbosity);
    }
    EXPECT_TRUE(Log.Contains(": debugLogs=0 timingLogs=1 useStaging=0"));
}

TEST_F(Preferences, PersistedSwitchesSurviveARestart)
{
    Subsystem->SetUseStagingServer(true);
    Subsystem->SetTimingLogsEnabled(true);
    FString Text;
    ASSERT_TRUE(FFileHelper::LoadFileToString(Text, PrefsPath()));
    EXPECT_EQ(Text, "{\r\n\t\"enableDebugLogs\": true,\r\n\t\"enableTimingLogs\": true,\r\n"
                    "\t\"useStagingServer\": true\r\n}");

    Subsystem->SetUseStagingServer(false, /*bPersist=*/false);
    Subsystem->SetTimingLogsEnabled(false, /*bPersist=*/false);
    UQuorvexSubsystem Restarted;
    FSubsystemCollectionBase Collection;
    Restarted.Initialize(Collection);
    EXPECT_TRUE(Restarted.IsUsingStagingServer());
    EXPECT_TRUE(Restarted.AreTimingLogsEnabled());
    EXPECT_TRUE(Log.Contains("debugLogs=1 timingLogs=1 useStaging=1"));
    Restarted.Deinitialize();
}

TEST_F(Preferences, FailedWriteOnlyLogs)
{
    FScopedFileFault Fault(EFileFault::FailOpenForWrite, "Prefs.json");
    Subsystem->SetUseStagingServer(true);
    EXPECT_TRUE(Subsystem->IsUsingStagingServer());
    EXPECT_EQ(Log.Count("QuorvexSDK: Failed to write Quorvex prefs to "), 1);
}

TEST_F(Preferences, BaseUrlChoice)
{
    Subsystem->BaseHostUrlOverride.clear();
    EXPECT_EQ(Peer->ResolveBaseHostUrl(), UQuorvexSubsystem::DefaultBaseUrl);
    Subsystem->SetUseStagingServer(true, false);
    EXPECT_EQ(Peer->ResolveBaseHostUrl(), UQuorvexSubsystem::StagingBaseUrl);
    Subsystem->BaseHostUrlOverride = "http://127.0.0.1:9";
    EXPECT_EQ(Peer->ResolveBaseHostUrl(), "http://127.0.0.1:9");
    EXPECT_EQ(Log.Count("SetUseStagingServer called while capture is active"), 0);
}

TEST_F(Preferences, StagingSwitchWhileCapturingWarns)
{
    StartCapturing();
    Subsystem->SetUseStagingServer(false, false);
    EXPECT_EQ(Log.Count("SetUseStagingServer called"), 0) << "unchanged value";
    Subsystem->SetUseStagingServer(true, false);
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning,
                        "QuorvexSDK: SetUseStagingServer called while capture is active; new "
                        "environment takes effect on next StartSession / app restart."));
}

TEST_F(Preferences, DebugSwitchGatesDebugLines)
{
    StartCapturing();
    Subsystem->SetDebugLogsEnabled(false, false);
    Subsystem->PauseSession();
    Subsystem->ResumeSessionNative(nullptr);
    Subsystem->Tick(0.1f);
    // The realign ran (it swallowed the frame time) but said nothing.
    EXPECT_FLOAT_EQ(Peer->CaptureAccumulator(), 0.f);
    EXPECT_FALSE(Log.Contains("realigning capture schedule"));
    Subsystem->Tick(0.1f);
    EXPECT_FLOAT_EQ(Peer->CaptureAccumulator(), 0.1f);
    Subsystem->SetDebugLogsEnabled(true, false);
}
