#include "PlatformTime.h"

#include "Clock.h"

#include <algorithm>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <time.h>
#include <unistd.h>

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

// Wall time from a real clock counting from boot: CPU time keeps running while a
// test freezes the engine clock, so the share must not be measured against it.
double WallSeconds()
{
    timespec Now{};
    clock_gettime(CLOCK_BOOTTIME, &Now);
    return Now.tv_sec + Now.tv_nsec * 1e-9;
}

// When the process started, on the same clock (field 22 of /proc/self/stat, in
// clock ticks since boot). The first sample measures from there.
double ProcessStartWallSeconds()
{
    std::ifstream Stat("/proc/self/stat");
    std::string Text((std::istreambuf_iterator<char>(Stat)), std::istreambuf_iterator<char>());
    // The command name may contain spaces: count fields after its closing parenthesis.
    const size_t Close = Text.rfind(')');
    if (Close == std::string::npos)
    {
        return WallSeconds();
    }
    std::istringstream Fields(Text.substr(Close + 2));
    std::string Field;
    for (int Index = 3; Index <= 22 && (Fields >> Field); ++Index)
    {
    }
    const double Ticks = std::strtod(Field.c_str(), nullptr);
    const long TicksPerSecond = sysconf(_SC_CLK_TCK);
    return TicksPerSecond > 0 ? Ticks / static_cast<double>(TicksPerSecond) : WallSeconds();
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
    const double Relative = std::clamp(100.0 * CpuDelta / WallDelta, 0.0, 100.0 * Cores);
    Result.CPUTimePctRelative = static_cast<float>(Relative);
    Result.CPUTimePct = static_cast<float>(Relative / Cores);
    return Result;
}
