#include "EngineLoop.h"

#include "Clock.h"
#include "Tasks.h"
#include "Tickable.h"

FEngineLoop::FEngineLoop()
{
    FTaskGraph::SetGameThread();
}

void FEngineLoop::SetHostTick(std::function<void(float)> InHostTick)
{
    HostTick = std::move(InHostTick);
}

void FEngineLoop::Tick(float DeltaSeconds, bool bAdvanceClock)
{
    if (bAdvanceClock && FClock::IsFrozen())
    {
        FClock::Advance(DeltaSeconds);
    }
    ++FrameCount;
    FTaskGraph::PumpGameThreadTasks();
    FTickableGameObject::TickObjects(DeltaSeconds);
    if (HostTick)
    {
        HostTick(DeltaSeconds);
    }
}
