// The game's general project settings, set by the host at start-up.
#pragma once

#include "CoreTypes.h"

struct FProjectSettingsData
{
    FString CompanyName;
    FString CompanyDistinguishedName;
    FString ProjectName;
    FString ProjectVersion;
    FString ProjectID;
};

class FProjectSettings
{
public:
    static FProjectSettingsData Get();
    static void Set(const FProjectSettingsData& Settings);
};
