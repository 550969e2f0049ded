// The engine loop, the game instance and its subsystems, and tickables.
#include "EngineLoop.h"
#include "GameInstance.h"
#include "Tasks.h"
#include "TestSupport.h"
#include "Tickable.h"

#include <gtest/gtest.h>

namespace
{
std::vector<FString> GEvents; // game thread

class FRecordingSubsystem : public UGameInstanceSubsystem
{
public:
    void Initialize(FSubsystemCollectionBase&) override { GEvents.push_back("init"); }
    void Deinitialize() override { GEvents.push_back("deinit"); }
};

class FCountingTickable : public FTickableGameObject
{
public:
    void Tick(float DeltaTime) override
    {
        ++Ticks;
        LastDelta = DeltaTime;
        // A tick may create and destroy tickables safely.
        if (bSpawn)
        {
            Spawned = std::make_unique<FCountingTickable>();
        }
    }
    bool IsTickable() const override { return bTickable; }
    TStatId GetStatId() const override { return {"FCountingTickable"}; }

    int Ticks = 0;
    float LastDelta = 0.f;
    bool bTickable = true;
    bool bSpawn = false;
    std::unique_ptr<FCountingTickable> Spawned;
};
} // namespace

class GameFramework : public FEngineTestBase
{
};

TEST_F(GameFramework, GameInstanceOwnsRegisteredSubsystems)
{
    GEvents.clear();
    FSubsystemRegistry::Register<FRecordingSubsystem>("FRecordingSubsystem");
    {
        UGameInstance Instance;
        Instance.Init();
        FRecordingSubsystem* Subsystem = Instance.GetSubsystem<FRecordingSubsystem>();
        ASSERT_NE(Subsystem, nullptr);
        EXPECT_EQ(Subsystem->GetGameInstance(), &Instance);
        EXPECT_EQ(GEvents, (std::vector<FString>{"init"}));
        Instance.Shutdown();
        EXPECT_EQ(GEvents, (std::vector<FString>{"init", "deinit"}));
        EXPECT_EQ(Instance.GetSubsystem<FRecordingSubsystem>(), nullptr);
    }
    EXPECT_EQ(GEvents.size(), 2u) << "destruction after Shutdown does not deinitialise twice";
    FSubsystemRegistry::Unregister("FRecordingSubsystem");
}

TEST_F(GameFramework, FramePumpsTasksThenTicksThenRunsTheHost)
{
    FEngineLoop Loop;
    FCountingTickable Tickable;
    std::vector<FString> Order;
    AsyncTask(ENamedThreads::GameThread, [&] { Order.push_back("task"); });
    Loop.SetHostTick([&](float)
                     { Order.push_back(Tickable.Ticks == 1 ? "host-after-tick" : "host"); });
    Loop.Tick(0.25f);
    EXPECT_EQ(Order, (std::vector<FString>{"task", "host-after-tick"}));
    EXPECT_FLOAT_EQ(Tickable.LastDelta, 0.25f);

    Tickable.bTickable = false;
    Loop.Tick(0.1f);
    EXPECT_EQ(Tickable.Ticks, 1);

    Tickable.bTickable = true;
    Tickable.bSpawn = true;
    Loop.Tick(0.1f);
    ASSERT_TRUE(Tickable.Spawned);
    EXPECT_EQ(Tickable.Spawned->Ticks, 0) << "created during the pass: ticked from the next frame";
    Tickable.bSpawn = false;
    Loop.Tick(0.1f);
    EXPECT_EQ(Tickable.Spawned->Ticks, 1);
    EXPECT_EQ(Loop.GetFrameCount(), 4u);
}
