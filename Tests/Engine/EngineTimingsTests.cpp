// The engine's timings of work done for others: posted tasks, tickables and render
// commands by name.
#include "EngineTimings.h"
#include "Tasks.h"
#include "TestSupport.h"
#include "Tickable.h"

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>

namespace
{
// Work that takes at least Duration of wall time.
void Spin(std::chrono::milliseconds Duration)
{
    const auto Until = std::chrono::steady_clock::now() + Duration;
    while (std::chrono::steady_clock::now() < Until)
    {
    }
}

class FSpinningTickable : public FTickableGameObject
{
public:
    void Tick(float) override { Spin(std::chrono::milliseconds(3)); }
    TStatId GetStatId() const override { return {"FSpinningTickable"}; }
};

double NamedSeconds(ENamedEngineTiming Kind, const FString& Name, uint64& OutCalls)
{
    const std::vector<FNamedEngineTiming> All = FEngineTimings::Named(Kind);
    const auto Found = std::find_if(All.begin(), All.end(),
                                    [&](const FNamedEngineTiming& T) { return T.Name == Name; });
    OutCalls = Found == All.end() ? 0 : Found->Calls;
    return Found == All.end() ? 0.0 : Found->Seconds;
}
} // namespace

class EngineTimingsTest : public FEngineTestBase
{
protected:
    void SetUp() override
    {
        FEngineTestBase::SetUp();
        FEngineTimings::Reset();
    }
};

TEST_F(EngineTimingsTest, PostedTasksAndTickablesAreTimedWhereTheEngineRunsThem)
{
    AsyncTask(ENamedThreads::GameThread, [] { Spin(std::chrono::milliseconds(3)); });
    AsyncTask(ENamedThreads::GameThread, [] {});
    FTaskGraph::PumpGameThreadTasks();
    {
        FSpinningTickable Tickable;
        FTickableGameObject::TickObjects(1.f / 60.f);
    }

    const FEngineTimingTotal Tasks = FEngineTimings::Total(EEngineTiming::GameThreadTasks);
    EXPECT_EQ(Tasks.Calls, 2u);
    EXPECT_GE(Tasks.Seconds, 0.003);
    const FEngineTimingTotal Ticks = FEngineTimings::Total(EEngineTiming::Tickables);
    EXPECT_EQ(Ticks.Calls, 1u);
    EXPECT_GE(Ticks.Seconds, 0.003);

    FEngineTimings::Reset();
    EXPECT_EQ(FEngineTimings::Total(EEngineTiming::GameThreadTasks).Calls, 0u);
}

TEST_F(EngineTimingsTest, RenderCommandsAreTimedByTheNameTheyWereQueuedWith)
{
    EnqueueRenderCommand("TimedCommand", [] { Spin(std::chrono::milliseconds(3)); });
    EnqueueRenderCommand("TimedCommand", [] {});
    EnqueueRenderCommand("OtherCommand", [] {});
    FlushRenderingCommands();

    uint64 Calls = 0;
    EXPECT_GE(NamedSeconds(ENamedEngineTiming::RenderCommand, "TimedCommand", Calls), 0.003);
    EXPECT_EQ(Calls, 2u);
    NamedSeconds(ENamedEngineTiming::RenderCommand, "OtherCommand", Calls);
    EXPECT_EQ(Calls, 1u);
}
