#include "EngineTimings.h"

#include <atomic>
#include <map>
#include <mutex>

namespace
{
struct FSiteTotals
{
    std::atomic<uint64> Calls{0};
    std::atomic<int64> Nanoseconds{0};
};

FSiteTotals GSites[static_cast<size_t>(EEngineTiming::Count)];

struct FCommandTotals
{
    uint64 Calls = 0;
    int64 Nanoseconds = 0;
};

// Render commands and passes are few per frame and run on one thread; a lock is cheap.
std::mutex GNamedMutex;
std::map<FString, FCommandTotals>
    GNamed[static_cast<size_t>(ENamedEngineTiming::Count)]; // guarded by GNamedMutex

int64 ToNanoseconds(std::chrono::steady_clock::duration Elapsed)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Elapsed).count();
}
} // namespace

void FEngineTimings::Add(EEngineTiming Site, std::chrono::steady_clock::duration Elapsed)
{
    FSiteTotals& Totals = GSites[static_cast<size_t>(Site)];
    Totals.Calls.fetch_add(1, std::memory_order_relaxed);
    Totals.Nanoseconds.fetch_add(ToNanoseconds(Elapsed), std::memory_order_relaxed);
}

FEngineTimingTotal FEngineTimings::Total(EEngineTiming Site)
{
    const FSiteTotals& Totals = GSites[static_cast<size_t>(Site)];
    return {Totals.Calls.load(std::memory_order_relaxed),
            static_cast<double>(Totals.Nanoseconds.load(std::memory_order_relaxed)) * 1e-9};
}

void FEngineTimings::AddNamed(ENamedEngineTiming Kind, const char* Name,
                              std::chrono::steady_clock::duration Elapsed)
{
    std::lock_guard Lock(GNamedMutex);
    FCommandTotals& Totals = GNamed[static_cast<size_t>(Kind)][Name ? Name : ""];
    ++Totals.Calls;
    Totals.Nanoseconds += ToNanoseconds(Elapsed);
}

std::vector<FNamedEngineTiming> FEngineTimings::Named(ENamedEngineTiming Kind)
{
    std::lock_guard Lock(GNamedMutex);
    std::vector<FNamedEngineTiming> Out;
    for (const auto& [Name, Totals] : GNamed[static_cast<size_t>(Kind)])
    {
        Out.push_back({Name, Totals.Calls, static_cast<double>(Totals.Nanoseconds) * 1e-9});
    }
    return Out;
}

void FEngineTimings::Reset()
{
    for (FSiteTotals& Totals : GSites)
    {
        Totals.Calls = 0;
        Totals.Nanoseconds = 0;
    }
    std::lock_guard Lock(GNamedMutex);
    for (auto& Names : GNamed)
    {
        Names.clear();
    }
}
