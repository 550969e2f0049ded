// The SDK's log category and its two process-wide gates.
//
// Every line starts with "QuorvexSDK: ". Every line is written with its control
// characters escaped, its URL queries redacted and its length bounded, whatever
// server text it carries: a hostile answer can neither forge a line, nor leak a
// signed URL, nor flood the log. Debug lines are written at Log verbosity
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

// Formats and writes one SDK line as described above.
void QuorvexLogPrintf(ELogVerbosity Verbosity, const char* Format, ...)
    __attribute__((format(printf, 2, 3)));

#define QUORVEX_LOG(Verbosity, Format, ...)                                                        \
    QuorvexLogPrintf(ELogVerbosity::Verbosity, Format __VA_OPT__(, ) __VA_ARGS__)

#define QUORVEX_LOG_DEBUG(Format, ...)                                                             \
    do                                                                                             \
    {                                                                                              \
        if (FQuorvexLogSwitches::AreDebugLogsEnabled())                                            \
        {                                                                                          \
            QuorvexLogPrintf(ELogVerbosity::Log, Format __VA_OPT__(, ) __VA_ARGS__);               \
        }                                                                                          \
    } while (0)

#define QUORVEX_LOG_TIMING(Format, ...)                                                            \
    do                                                                                             \
    {                                                                                              \
        if (FQuorvexLogSwitches::ShouldLogTiming())                                                \
        {                                                                                          \
            QuorvexLogPrintf(ELogVerbosity::Log, Format __VA_OPT__(, ) __VA_ARGS__);               \
        }                                                                                          \
    } while (0)
