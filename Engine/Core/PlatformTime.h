// Monotonic time and the process's CPU share.
#pragma once

#include "CoreTypes.h"

struct FCPUTime
{
    // Share of all cores' time this process used since the previous call, 0..100.
    float CPUTimePct = 0.f;
    // The same share relative to one core, 0..100 × cores.
    float CPUTimePctRelative = 0.f;
};

struct FPlatformTime
{
    // Seconds on the engine clock (monotonic; frozen and advanced by tests through FClock).
    static double Seconds();
    // Process CPU use over the wall time since the previous call (the first call
    // measures from process start). Thread-safe.
    static FCPUTime GetCPUTime();
};
