#include "ProjectSettings.h"

#include <mutex>

namespace
{
std::mutex GMutex;
FProjectSettingsData GSettings; // guarded by GMutex
} // namespace

FProjectSettingsData FProjectSettings::Get()
{
    std::lock_guard Lock(GMutex);
    return GSettings;
}

void FProjectSettings::Set(const FProjectSettingsData& Settings)
{
    std::lock_guard Lock(GMutex);
    GSettings = Settings;
}
