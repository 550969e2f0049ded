#include "DemoHost.h"

#include "DisplayMetrics.h"
#include "Files.h"
#include "PluginManager.h"
#include "ProjectSettings.h"

void DescribeDemoHost(const FString& SavedDir)
{
    FPaths::SetProjectSavedDir(SavedDir);
    IPluginManager::Get().AddPluginSearchPath(QUORVEX_PLUGINS_DIR);
    FProjectSettingsData Project;
    Project.CompanyName = "Quorvex Samples";
    Project.ProjectName = "DemoGame";
    Project.ProjectVersion = "1.0.0";
    FProjectSettings::Set(Project);
    FDisplayMetrics Displays;
    Displays.PrimaryDisplayWidth = 1920;
    Displays.PrimaryDisplayHeight = 1080;
    Displays.MonitorInfo = {{"Primary", 1920, 1080, 96, true}};
    FDisplayMetrics::SetPlatformDisplays(Displays);
}
