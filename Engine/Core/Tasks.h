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
    // How many threads are blocked in FlushRenderingCommands right now; lets a test
    // hold the render thread exactly until a component flushes it.
    static int32 NumRenderFlushWaiters();
    // Name of the last render command that started; for diagnostics.
    static FString LastRenderCommandName();
};
