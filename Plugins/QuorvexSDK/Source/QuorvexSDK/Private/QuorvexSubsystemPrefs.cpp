// The three persisted switches (debug logs, timing logs, staging backend) and the
// choice of the backend base URL.
#include "QuorvexSubsystem.h"

#include "Files.h"
#include "JsonSerializer.h"
#include "QuorvexLog.h"

void UQuorvexSubsystem::SetDebugLogsEnabled(bool bEnabled, bool bPersist)
{
    FQuorvexLogSwitches::SetDebugLogsEnabled(bEnabled);
    if (bPersist)
    {
        SavePrefsToDisk();
    }
}

void UQuorvexSubsystem::SetTimingLogsEnabled(bool bEnabled, bool bPersist)
{
    FQuorvexLogSwitches::SetTimingLogsEnabled(bEnabled);
    if (bPersist)
    {
        SavePrefsToDisk();
    }
}

void UQuorvexSubsystem::SetUseStagingServer(bool bUseStaging, bool bPersist)
{
    if (IsCaptureRunning() && bUseStaging != bUseStagingServer)
    {
        QUORVEX_LOG(Warning, "QuorvexSDK: SetUseStagingServer called while capture is active; new "
                             "environment takes effect on next StartSession / app restart.");
    }
    bUseStagingServer = bUseStaging;
    if (bPersist)
    {
        SavePrefsToDisk();
    }
}

bool UQuorvexSubsystem::AreDebugLogsEnabled() const
{
    return FQuorvexLogSwitches::AreDebugLogsEnabled();
}

bool UQuorvexSubsystem::AreTimingLogsEnabled() const
{
    return FQuorvexLogSwitches::AreTimingLogsEnabled();
}

FString UQuorvexSubsystem::GetPrefsFilePath()
{
    return FPaths::Combine(FPaths::ProjectSavedDir(), "QuorvexSDK", "Prefs.json");
}

FString UQuorvexSubsystem::ResolveBaseHostUrl() const
{
    if (!BaseHostUrlOverride.empty())
    {
        return BaseHostUrlOverride;
    }
    return bUseStagingServer ? StagingBaseUrl : DefaultBaseUrl;
}

void UQuorvexSubsystem::LoadPersistedPreferences()
{
    const FString Path = GetPrefsFilePath();
    if (!IFileManager::Get().FileExists(Path))
    {
        QUORVEX_LOG(Log, "QuorvexSDK: Persisted prefs not found at %s — using defaults",
                    Path.c_str());
        return;
    }
    FString Text;
    if (!FFileHelper::LoadFileToString(Text, Path) || Text.empty())
    {
        QUORVEX_LOG(Warning, "QuorvexSDK: Failed to read Quorvex prefs from %s", Path.c_str());
        return;
    }
    FJsonObjectPtr Root;
    if (!FJsonSerializer::Deserialize(Text, Root) || !Root)
    {
        QUORVEX_LOG(Warning, "QuorvexSDK: Failed to parse Quorvex prefs JSON at %s", Path.c_str());
        return;
    }
    bool bDebug = FQuorvexLogSwitches::AreDebugLogsEnabled();
    bool bTiming = FQuorvexLogSwitches::AreTimingLogsEnabled();
    bool bStaging = bUseStagingServer;
    Root->TryGetBoolField("enableDebugLogs", bDebug);
    Root->TryGetBoolField("enableTimingLogs", bTiming);
    Root->TryGetBoolField("useStagingServer", bStaging);
    FQuorvexLogSwitches::SetDebugLogsEnabled(bDebug);
    FQuorvexLogSwitches::SetTimingLogsEnabled(bTiming);
    bUseStagingServer = bStaging;
    QUORVEX_LOG(
        Log, "QuorvexSDK: Persisted prefs loaded from %s: debugLogs=%d timingLogs=%d useStaging=%d",
        Path.c_str(), bDebug ? 1 : 0, bTiming ? 1 : 0, bStaging ? 1 : 0);
}

void UQuorvexSubsystem::SavePrefsToDisk() const
{
    const FString Path = GetPrefsFilePath();
    IFileManager::Get().MakeDirectory(FPaths::GetPath(Path), true);
    FJsonObject Root;
    Root.SetBoolField("enableDebugLogs", FQuorvexLogSwitches::AreDebugLogsEnabled());
    Root.SetBoolField("enableTimingLogs", FQuorvexLogSwitches::AreTimingLogsEnabled());
    Root.SetBoolField("useStagingServer", bUseStagingServer);
    if (!FFileHelper::SaveStringToFile(FJsonSerializer::Serialize(Root), Path))
    {
        QUORVEX_LOG(Warning, "QuorvexSDK: Failed to write Quorvex prefs to %s", Path.c_str());
    }
}
