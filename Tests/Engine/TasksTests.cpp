// The game-thread queue, the background workers and the render thread.
#include "EngineLoop.h"
#include "Tasks.h"
#include "TestSupport.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

class TasksTest : public FEngineTestBase
{
};

TEST_F(TasksTest, GameThreadTasksRunOnlyWhenPumpedAndInOrder)
{
    std::vector<int> Order;
    AsyncTask(ENamedThreads::GameThread, [&] { Order.push_back(1); });
    AsyncTask(ENamedThreads::GameThread,
              [&]
              {
                  Order.push_back(2);
                  // Posted from inside a pump: waits for the next one.
                  AsyncTask(ENamedThreads::GameThread, [&] { Order.push_back(3); });
              });
    EXPECT_TRUE(Order.empty());
    EXPECT_EQ(FTaskGraph::PumpGameThreadTasks(), 2);
    EXPECT_EQ(Order, (std::vector<int>{1, 2}));
    EXPECT_EQ(FTaskGraph::PumpGameThreadTasks(), 1);
    EXPECT_EQ(Order, (std::vector<int>{1, 2, 3}));
}

TEST_F(TasksTest, WorkersRunOffTheGameThreadAndHandBack)
{
    std::atomic<bool> bRanOffGameThread{false};
    bool bHandedBack = false;
    AsyncTask(ENamedThreads::AnyNormalThreadHiPriTask,
              [&]
              {
                  bRanOffGameThread = !IsInGameThread();
                  AsyncTask(ENamedThreads::GameThread, [&] { bHandedBack = IsInGameThread(); });
              });
    ASSERT_TRUE(PumpUntil([&] { return bHandedBack; }));
    EXPECT_TRUE(bRanOffGameThread);
}

TEST_F(TasksTest, RenderCommandsRunInOrderAndFlushWaits)
{
    std::vector<int> Order;
    std::atomic<bool> bOnRenderThread{true};
    for (int I = 0; I < 5; ++I)
    {
        EnqueueRenderCommand("QuorvexTestCommand",
                             [&, I]
                             {
                                 bOnRenderThread = bOnRenderThread && IsInRenderingThread();
                                 Order.push_back(I);
                             });
    }
    FlushRenderingCommands();
    EXPECT_EQ(Order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_TRUE(bOnRenderThread);
    EXPECT_EQ(FTaskGraph::LastRenderCommandName(), "QuorvexTestCommand");
}

TEST_F(TasksTest, WaitForBackgroundIdleWaitsForQueuedWork)
{
    std::atomic<int> Done{0};
    for (int I = 0; I < 20; ++I)
    {
        AsyncTask(ENamedThreads::AnyBackgroundThreadNormalTask, [&] { Done.fetch_add(1); });
    }
    FTaskGraph::WaitForBackgroundIdle();
    EXPECT_EQ(Done.load(), 20);
}

TEST_F(TasksTest, RenderThreadRunsTheSetNumberOfFramesBehindAndTheGameThreadWaitsForIt)
{
    for (const int32 Lag : {0, 1, 3})
    {
        FEngineLoop Loop;
        FTaskGraph::SetRenderThreadLagFrames(Lag);
        // Each frame queues one command, which finishes only once the game thread
        // has started the frame after it, so the render thread really is behind.
        std::atomic<int32> HostFrame{0};
        std::atomic<int32> Ran{0};
        Loop.SetHostTick(
            [&](float)
            {
                const int32 Frame = ++HostFrame;
                EnqueueRenderCommand("QuorvexTestFrame",
                                     [&, Frame]
                                     {
                                         while (HostFrame.load() <= Frame)
                                         {
                                             std::this_thread::yield();
                                         }
                                         Ran.store(Frame);
                                     });
            });
        for (int32 Frame = 1; Frame <= 8; ++Frame)
        {
            Loop.Tick(1.f / 60.f);
            // Frame - Lag - 1 must be finished; nothing after Frame - Lag may start.
            EXPECT_GE(Ran.load(), Frame - Lag - 1) << "lag " << Lag << " frame " << Frame;
            EXPECT_LE(Ran.load(), std::max(Frame - Lag, 0)) << "lag " << Lag << " frame " << Frame;
        }
        ++HostFrame; // lets the last frame's command finish
        FlushRenderingCommands();
        EXPECT_EQ(Ran.load(), 8);
        FTaskGraph::SetRenderThreadLagFrames(0);
    }
}
