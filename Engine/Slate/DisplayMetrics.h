// The displays the game runs on, as the platform reports them. The host describes
// its displays once (a headless host makes them up); readers rebuild a copy.
#pragma once

#include "CoreTypes.h"

#include <vector>

struct FMonitorInfo
{
    FString Name;
    int32 NativeWidth = 0;
    int32 NativeHeight = 0;
    int32 DPI = 96;
    bool bIsPrimary = false;
};

struct FDisplayMetrics
{
    int32 PrimaryDisplayWidth = 0;
    int32 PrimaryDisplayHeight = 0;
    std::vector<FMonitorInfo> MonitorInfo;

    // Fills Out with the current displays. Thread-safe.
    static void RebuildDisplayMetrics(FDisplayMetrics& Out);
    // The host's description of its displays.
    static void SetPlatformDisplays(const FDisplayMetrics& Metrics);
};
