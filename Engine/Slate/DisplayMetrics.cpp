#include "DisplayMetrics.h"

#include <mutex>

namespace
{
std::mutex GMutex;
FDisplayMetrics GDisplays; // guarded by GMutex
} // namespace

void FDisplayMetrics::RebuildDisplayMetrics(FDisplayMetrics& Out)
{
    std::lock_guard Lock(GMutex);
    Out = GDisplays;
}

void FDisplayMetrics::SetPlatformDisplays(const FDisplayMetrics& Metrics)
{
    std::lock_guard Lock(GMutex);
    GDisplays = Metrics;
}
