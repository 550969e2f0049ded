// Threads and posted work: the game thread's task queue, a pool of background
// workers with two priorities, and the render thread's named command queue.
//
// The game thread is whichever thread runs the engine loop; it is the thread that
// started the process unless the host says otherwise. Its queue is pumped once per
// frame by the engine loop (or by a test).
#pragma once

#include "CoreTypes.h"

#include <functional>

enum class ENamedThreads : uint8
{
    GameThread,
    ActualRenderingThread,
    // Background workers. "HiPri" picks the high-priority thread set; "HiPriTask"
    // picks the high task priority within a set. Both land on the high queue here.
    AnyThread,
    AnyBackgroundThreadNormalTask,
    AnyBackgroundHiPriTask,
    AnyHiPriThreadNormalTask,
    AnyHiPriThreadHiPriTask,
    AnyNormalThreadNormalTask,
    AnyNormalThreadHiPriTask,
};

using FTaskFunction = std::function<void()>;

// Posts Work to the named thread or worker set. Safe from any thread.
void AsyncTask(ENamedThreads Thread, FTaskFunction Work);

bool IsInGameThread();
bool IsInRenderingThread();

// Queues a command for the render thread. Name is kept for diagnostics.
void EnqueueRenderCommand(const char* Name, FTaskFunction Command);
// Blocks until every render command queued before the call has run. Runs nothing
// when called from the render thread itself.
void FlushRenderingCommands();

class FTaskGraph
{
public:
    // Marks the calling thread as the game thread.
    static void SetGameThread();
    // Runs the game-thread tasks that were queued before the call (tasks they post
    // run in the next pump). Returns how many ran. Game thread only.
    static int32 PumpGameThreadTasks();
    static int32 NumPendingGameThreadTasks();
    // Blocks until a game-thread task is queued or the timeout passes; true when one is.
    static bool WaitForGameThreadTask(double TimeoutSeconds);
    // Blocks until the background workers have no queued or running work.
    static void WaitForBackgroundIdle();
    // How many background workers there are; a test that must hold every one needs it.
    static int32 NumBackgroundWorkers();

    // Frame pacing between the game and render threads, driven by the engine loop.
    // Render commands queued during game frame F start only once the game thread has
    // ended frame F + lag (or something flushes), as when a busy render thread runs
    // behind; at the end of frame F the game thread waits until the render thread has
    // finished frame F - lag - 1, so it never runs more than a frame ahead of it.
    // The lag is a test hook (0 by default, as on a render thread that keeps up).
    static void SetRenderThreadLagFrames(int32 Frames);
    // Game thread: starts a frame; render commands queued from now on belong to it.
    static void BeginRenderFrame();
    // Game thread: ends the frame, releasing and waiting as described above.
    static void EndRenderFrame();
    // How many threads are blocked in FlushRenderingCommands right now; lets a test
    // hold the render thread exactly until a component flushes it.
    static int32 NumRenderFlushWaiters();
    // Name of the last render command that started; for diagnostics.
    static FString LastRenderCommandName();
};
