#include "PlatformTime.h"

#include "Clock.h"

#include <algorithm>
#include <mutex>
#include <sys/resource.h>
#include <thread>
#include <time.h>

double FPlatformTime::Seconds()
{
    return FClock::MonotonicSeconds();
}

namespace
{
double ProcessCpuSeconds()
{
    rusage Usage{};
    getrusage(RUSAGE_SELF, &Usage);
    auto ToSeconds = [](const timeval& T) { return T.tv_sec + T.tv_usec * 1e-6; };
    return ToSeconds(Usage.ru_utime) + ToSeconds(Usage.ru_stime);
}

// Wall time from a real monotonic clock: CPU time keeps running while a test
// freezes the engine clock, so the share must not be measured against it.
double WallSeconds()
{
    timespec Now{};
    clock_gettime(CLOCK_MONOTONIC, &Now);
    return Now.tv_sec + Now.tv_nsec * 1e-9;
}

double ProcessStartWallSeconds()
{
    static const double Start = []
    {
        // Approximation: the first use of this clock. Good enough for the first
        // interval, which is only a seed value.
        return WallSeconds();
    }();
    return Start;
}
} // namespace

FCPUTime FPlatformTime::GetCPUTime()
{
    static std::mutex Mutex;
    static double LastWall = ProcessStartWallSeconds();
    static double LastCpu = 0.0;

    std::lock_guard Lock(Mutex);
    const double Wall = WallSeconds();
    const double Cpu = ProcessCpuSeconds();
    const double WallDelta = Wall - LastWall;
    const double CpuDelta = Cpu - LastCpu;
    LastWall = Wall;
    LastCpu = Cpu;

    FCPUTime Result;
    if (WallDelta <= 0.0)
    {
        return Result;
    }
    const unsigned Cores = std::max(1u, std::thread::hardware_concurrency());
    Result.CPUTimePctRelative = static_cast<float>(100.0 * CpuDelta / WallDelta);
    Result.CPUTimePct = Result.CPUTimePctRelative / static_cast<float>(Cores);
    return Result;
}
