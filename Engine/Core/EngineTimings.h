// Where the engine spends time on behalf of others: the calls it makes into work that
// plugins and the game registered (game-thread tasks, tickables, the viewport and
// back-buffer events), and, by name, the render thread's commands and the software
// GPU's resampling passes. A host reads the totals to see what a plugin costs it; the sample
// game prints the recorder's share this way.
//
// Thread safety: every function may be called from any thread. Totals only grow
// until Reset.
#pragma once

#include "CoreTypes.h"

#include <chrono>
#include <vector>

enum class EEngineTiming : uint8
{
    GameThreadTasks,  // posted tasks run by the game thread's pump
    Tickables,        // FTickableGameObject::Tick calls
    ViewportRendered, // listeners of the viewport-rendered event (game thread)
    BackBufferReady,  // listeners of Slate's back-buffer-ready event (render thread)
    Count
};

enum class ENamedEngineTiming : uint8
{
    RenderCommand, // by the name the command was queued with
    ScreenPass,    // the software GPU's resampling passes by pass name (a GPU does these)
    Count
};

struct FEngineTimingTotal
{
    uint64 Calls = 0;
    double Seconds = 0.0;
};

struct FNamedEngineTiming
{
    FString Name;
    uint64 Calls = 0;
    double Seconds = 0.0;
};

class FEngineTimings
{
public:
    static void Add(EEngineTiming Site, std::chrono::steady_clock::duration Elapsed);
    static FEngineTimingTotal Total(EEngineTiming Site);
    static void AddNamed(ENamedEngineTiming Kind, const char* Name,
                         std::chrono::steady_clock::duration Elapsed);
    // Every name timed so far of one kind, ordered by name.
    static std::vector<FNamedEngineTiming> Named(ENamedEngineTiming Kind);
    static void Reset();
};

// Adds the time from construction to destruction to one site.
class FScopedEngineTiming
{
public:
    explicit FScopedEngineTiming(EEngineTiming InSite)
        : Site(InSite), Start(std::chrono::steady_clock::now())
    {
    }
    ~FScopedEngineTiming() { FEngineTimings::Add(Site, std::chrono::steady_clock::now() - Start); }
    FScopedEngineTiming(const FScopedEngineTiming&) = delete;
    FScopedEngineTiming& operator=(const FScopedEngineTiming&) = delete;

private:
    EEngineTiming Site;
    std::chrono::steady_clock::time_point Start;
};
