#include "Tasks.h"

#include "EngineTimings.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <pthread.h>

namespace
{
// The thread that runs static initialisation is the one that starts the process.
std::atomic<std::thread::id> GGameThreadId{std::this_thread::get_id()};

class FGameThreadQueue
{
public:
    void Post(FTaskFunction Work)
    {
        {
            std::lock_guard Lock(Mutex);
            Queue.push_back(std::move(Work));
        }
        Posted.notify_all();
    }

    bool WaitForTask(double TimeoutSeconds)
    {
        std::unique_lock Lock(Mutex);
        return Posted.wait_for(Lock, std::chrono::duration<double>(TimeoutSeconds),
                               [this] { return !Queue.empty(); });
    }

    int32 Pump()
    {
        std::deque<FTaskFunction> Batch;
        {
            std::lock_guard Lock(Mutex);
            Batch.swap(Queue);
        }
        for (FTaskFunction& Work : Batch)
        {
            FScopedEngineTiming Timing(EEngineTiming::GameThreadTasks);
            Work();
        }
        return static_cast<int32>(Batch.size());
    }

    int32 Num()
    {
        std::lock_guard Lock(Mutex);
        return static_cast<int32>(Queue.size());
    }

private:
    std::mutex Mutex;
    std::condition_variable Posted;
    std::deque<FTaskFunction> Queue; // guarded by Mutex
};

class FWorkerPool
{
public:
    explicit FWorkerPool(unsigned Count)
    {
        for (unsigned I = 0; I < Count; ++I)
        {
            Threads.emplace_back([this] { Run(); });
        }
    }

    ~FWorkerPool()
    {
        {
            std::lock_guard Lock(Mutex);
            bStopping = true;
        }
        WorkReady.notify_all();
        for (std::thread& Thread : Threads)
        {
            Thread.join();
        }
    }

    void Post(FTaskFunction Work, bool bHighPriority)
    {
        {
            std::lock_guard Lock(Mutex);
            (bHighPriority ? High : Normal).push_back(std::move(Work));
        }
        WorkReady.notify_one();
    }

    void WaitIdle()
    {
        std::unique_lock Lock(Mutex);
        Idle.wait(Lock, [this] { return High.empty() && Normal.empty() && Running == 0; });
    }

    // Fixed at construction.
    std::size_t NumThreads() const { return Threads.size(); }

private:
    void Run()
    {
        // Named so that a profiler (or a host reading /proc) can tell the threads apart.
        pthread_setname_np(pthread_self(), "TaskWorker");
        std::unique_lock Lock(Mutex);
        while (true)
        {
            WorkReady.wait(Lock, [this] { return bStopping || !High.empty() || !Normal.empty(); });
            if (High.empty() && Normal.empty())
            {
                return; // stopping with nothing left
            }
            std::deque<FTaskFunction>& From = High.empty() ? Normal : High;
            FTaskFunction Work = std::move(From.front());
            From.pop_front();
            ++Running;
            Lock.unlock();
            Work();
            Work = nullptr; // destroy captures outside the lock
            Lock.lock();
            --Running;
            if (High.empty() && Normal.empty() && Running == 0)
            {
                Idle.notify_all();
            }
        }
    }

    std::mutex Mutex;
    std::condition_variable WorkReady;
    std::condition_variable Idle;
    std::deque<FTaskFunction> High;   // guarded by Mutex
    std::deque<FTaskFunction> Normal; // guarded by Mutex
    int32 Running = 0;                // guarded by Mutex
    bool bStopping = false;           // guarded by Mutex
    std::vector<std::thread> Threads;
};

class FRenderThread
{
public:
    FRenderThread() : Thread([this] { Run(); }) {}

    ~FRenderThread()
    {
        {
            std::lock_guard Lock(Mutex);
            bStopping = true;
        }
        WorkReady.notify_all();
        Thread.join();
    }

    void Enqueue(const char* Name, FTaskFunction Command)
    {
        bool bRunnableNow = false;
        {
            std::lock_guard Lock(Mutex);
            // Only a command that may start now needs the render thread woken: one of a
            // frame not yet released waits for the frame's end, which wakes it, and one
            // behind others is reached when they are done.
            bRunnableNow = Queue.empty() && CurrentFrame <= ReleasedFrame;
            Queue.push_back({Name ? Name : "", std::move(Command), CurrentFrame});
            ++Enqueued;
        }
        if (bRunnableNow)
        {
            WorkReady.notify_one();
        }
    }

    void Flush()
    {
        std::unique_lock Lock(Mutex);
        // A flush runs everything queued so far, whatever frame it belongs to.
        const uint64 Target = Enqueued;
        ReleasedFrame = std::max(ReleasedFrame, CurrentFrame);
        WorkReady.notify_one();
        FlushWaiters.fetch_add(1);
        Done.wait(Lock, [&] { return Completed >= Target; });
        FlushWaiters.fetch_sub(1);
    }

    void SetLagFrames(int32 Frames)
    {
        std::lock_guard Lock(Mutex);
        LagFrames = static_cast<uint64>(std::max(Frames, 0));
    }

    void BeginFrame()
    {
        std::lock_guard Lock(Mutex);
        ++CurrentFrame;
    }

    void EndFrame()
    {
        std::unique_lock Lock(Mutex);
        const uint64 Frame = CurrentFrame;
        // The render thread may start the frame that is LagFrames behind this one...
        if (Frame >= LagFrames)
        {
            ReleasedFrame = std::max(ReleasedFrame, Frame - LagFrames);
            WorkReady.notify_one();
        }
        // ...and the game thread goes on only once the frame before that is finished,
        // so it never runs more than one frame ahead of what it let the render thread do.
        if (Frame < LagFrames + 1)
        {
            return;
        }
        const uint64 MustFinish = Frame - LagFrames - 1;
        Done.wait(Lock, [&] { return !HasWorkThrough(MustFinish); });
    }

    int32 NumFlushWaiters() const { return FlushWaiters.load(); }

    bool IsCurrent() const { return std::this_thread::get_id() == Thread.get_id(); }

    FString LastName()
    {
        std::lock_guard Lock(Mutex);
        return LastCommand;
    }

private:
    struct FCommand
    {
        FString Name;
        FTaskFunction Work;
        uint64 Frame = 0; // the game frame that queued it
    };

    // Mutex held: a command of Frame or earlier is queued or running.
    bool HasWorkThrough(uint64 Frame) const
    {
        return (bRunning && RunningFrame <= Frame) ||
               (!Queue.empty() && Queue.front().Frame <= Frame);
    }

    // Mutex held: the next command may start.
    bool CanStart() const
    {
        return !Queue.empty() && (bStopping || Queue.front().Frame <= ReleasedFrame);
    }

    void Run()
    {
        pthread_setname_np(pthread_self(), "RenderThread");
        std::unique_lock Lock(Mutex);
        while (true)
        {
            WorkReady.wait(Lock, [this] { return bStopping || CanStart(); });
            if (!CanStart())
            {
                return;
            }
            FCommand Command = std::move(Queue.front());
            Queue.pop_front();
            LastCommand = Command.Name;
            bRunning = true;
            RunningFrame = Command.Frame;
            Lock.unlock();
            const auto Started = std::chrono::steady_clock::now();
            Command.Work();
            Command.Work = nullptr;
            FEngineTimings::AddNamed(ENamedEngineTiming::RenderCommand, Command.Name.c_str(),
                                     std::chrono::steady_clock::now() - Started);
            Lock.lock();
            bRunning = false;
            ++Completed;
            Done.notify_all();
        }
    }

    std::mutex Mutex;
    std::condition_variable WorkReady;
    std::condition_variable Done;
    std::deque<FCommand> Queue; // guarded by Mutex
    uint64 Enqueued = 0;        // guarded by Mutex
    uint64 Completed = 0;       // guarded by Mutex
    FString LastCommand;        // guarded by Mutex
    bool bStopping = false;     // guarded by Mutex
    // Frame pacing, set by the engine loop (guarded by Mutex): commands are tagged
    // with CurrentFrame, a count of frames over the whole process, and start only
    // once their frame is released.
    uint64 CurrentFrame = 0;
    uint64 ReleasedFrame = 0;
    uint64 LagFrames = 0;
    bool bRunning = false;
    uint64 RunningFrame = 0;
    std::atomic<int32> FlushWaiters{0}; // any thread
    std::thread Thread;                 // declared last: starts after the state above exists
};

// The queues and threads live until the process ends and are never destroyed: a
// worker or the network thread may still post to the game thread while static
// objects are being torn down at exit, and must never find a destroyed queue.
FGameThreadQueue& GameQueue()
{
    static FGameThreadQueue* Instance = new FGameThreadQueue();
    return *Instance;
}

FWorkerPool& Workers()
{
    static FWorkerPool* Instance =
        new FWorkerPool(std::max(2u, std::thread::hardware_concurrency()));
    return *Instance;
}

FRenderThread& RenderThread()
{
    static FRenderThread* Instance = new FRenderThread();
    return *Instance;
}

bool IsHighPriority(ENamedThreads Thread)
{
    switch (Thread)
    {
    case ENamedThreads::AnyBackgroundHiPriTask:
    case ENamedThreads::AnyHiPriThreadNormalTask:
    case ENamedThreads::AnyHiPriThreadHiPriTask:
    case ENamedThreads::AnyNormalThreadHiPriTask:
        return true;
    default:
        return false;
    }
}
} // namespace

void AsyncTask(ENamedThreads Thread, FTaskFunction Work)
{
    switch (Thread)
    {
    case ENamedThreads::GameThread:
        GameQueue().Post(std::move(Work));
        return;
    case ENamedThreads::ActualRenderingThread:
        RenderThread().Enqueue("AsyncTask", std::move(Work));
        return;
    default:
        Workers().Post(std::move(Work), IsHighPriority(Thread));
        return;
    }
}

bool IsInGameThread()
{
    return std::this_thread::get_id() == GGameThreadId.load();
}

bool IsInRenderingThread()
{
    return RenderThread().IsCurrent();
}

void EnqueueRenderCommand(const char* Name, FTaskFunction Command)
{
    RenderThread().Enqueue(Name, std::move(Command));
}

void FlushRenderingCommands()
{
    if (!IsInRenderingThread())
    {
        RenderThread().Flush();
    }
}

void FTaskGraph::SetGameThread()
{
    GGameThreadId = std::this_thread::get_id();
}

int32 FTaskGraph::PumpGameThreadTasks()
{
    return GameQueue().Pump();
}

void FTaskGraph::SetRenderThreadLagFrames(int32 Frames)
{
    RenderThread().SetLagFrames(Frames);
}

void FTaskGraph::BeginRenderFrame()
{
    RenderThread().BeginFrame();
}

void FTaskGraph::EndRenderFrame()
{
    RenderThread().EndFrame();
}

int32 FTaskGraph::NumRenderFlushWaiters()
{
    return RenderThread().NumFlushWaiters();
}

int32 FTaskGraph::NumPendingGameThreadTasks()
{
    return GameQueue().Num();
}

bool FTaskGraph::WaitForGameThreadTask(double TimeoutSeconds)
{
    return GameQueue().WaitForTask(TimeoutSeconds);
}

void FTaskGraph::WaitForBackgroundIdle()
{
    Workers().WaitIdle();
}

int32 FTaskGraph::NumBackgroundWorkers()
{
    return static_cast<int32>(Workers().NumThreads());
}

FString FTaskGraph::LastRenderCommandName()
{
    return RenderThread().LastName();
}
