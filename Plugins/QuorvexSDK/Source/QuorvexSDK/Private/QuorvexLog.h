// The SDK's log category and its two process-wide gates.
//
// Every line starts with "QuorvexSDK: ". Debug lines are written at Log verbosity
// only while the debug switch is on (default on); timing lines only while both the
// timing switch (default off) and the debug switch are on. The switches are read on
// every thread; a change becomes visible to other threads at some later point.
#pragma once

#include "Logging.h"

#include <atomic>

extern FLogCategory LogQuorvex;

struct FQuorvexLogSwitches
{
    static bool AreDebugLogsEnabled() { return bDebug.load(std::memory_order_relaxed); }
    static bool AreTimingLogsEnabled() { return bTiming.load(std::memory_order_relaxed); }
    static void SetDebugLogsEnabled(bool bEnabled)
    {
        bDebug.store(bEnabled, std::memory_order_relaxed);
    }
    static void SetTimingLogsEnabled(bool bEnabled)
    {
        bTiming.store(bEnabled, std::memory_order_relaxed);
    }
    static bool ShouldLogTiming() { return AreDebugLogsEnabled() && AreTimingLogsEnabled(); }

private:
    inline static std::atomic<bool> bDebug{true};
    inline static std::atomic<bool> bTiming{false};
};

#define QUORVEX_LOG(Verbosity, Format, ...)                                                        \
    LogPrintf(LogQuorvex, ELogVerbosity::Verbosity, Format __VA_OPT__(, ) __VA_ARGS__)

#define QUORVEX_LOG_DEBUG(Format, ...)                                                             \
    do                                                                                             \
    {                                                                                              \
        if (FQuorvexLogSwitches::AreDebugLogsEnabled())                                            \
        {                                                                                          \
            LogPrintf(LogQuorvex, ELogVerbosity::Log, Format __VA_OPT__(, ) __VA_ARGS__);          \
        }                                                                                          \
    } while (0)

#define QUORVEX_LOG_TIMING(Format, ...)                                                            \
    do                                                                                             \
    {                                                                                              \
        if (FQuorvexLogSwitches::ShouldLogTiming())                                                \
        {                                                                                          \
            LogPrintf(LogQuorvex, ELogVerbosity::Log, Format __VA_OPT__(, ) __VA_ARGS__);          \
        }                                                                                          \
    } while (0)
