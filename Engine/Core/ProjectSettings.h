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
    // The engine build's version, used when the project names none.
    FString BuildVersion = "1.0.0";
};

class FProjectSettings
{
public:
    static FProjectSettingsData Get();
    static void Set(const FProjectSettingsData& Settings);
};
