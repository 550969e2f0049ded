#include "DevBackendScriptBook.h"

#include <utility>

void FDevBackendScriptBook::Queue(EDevBackendEndpoint Endpoint,
                                  std::vector<FDevBackendAnswer> Answers)
{
    std::lock_guard Lock(Mutex);
    std::deque<FDevBackendAnswer>& Pending = Queues[Endpoint];
    for (FDevBackendAnswer& Answer : Answers)
    {
        Pending.push_back(std::move(Answer));
    }
}

void FDevBackendScriptBook::SetStanding(EDevBackendEndpoint Endpoint, FDevBackendAnswer Answer)
{
    std::lock_guard Lock(Mutex);
    Standing[Endpoint] = std::move(Answer);
}

void FDevBackendScriptBook::Clear()
{
    std::lock_guard Lock(Mutex);
    Queues.clear();
    Standing.clear();
}

FDevBackendAnswer FDevBackendScriptBook::Take(EDevBackendEndpoint Endpoint)
{
    std::lock_guard Lock(Mutex);
    auto QueueIt = Queues.find(Endpoint);
    if (QueueIt != Queues.end() && !QueueIt->second.empty())
    {
        FDevBackendAnswer Answer = std::move(QueueIt->second.front());
        QueueIt->second.pop_front();
        return Answer;
    }
    auto StandingIt = Standing.find(Endpoint);
    if (StandingIt != Standing.end())
    {
        return StandingIt->second;
    }
    return FDevBackendAnswer::Handle();
}

bool FDevBackendScriptBook::Wait(const FDevBackendAnswer& Answer)
{
    std::unique_lock Lock(Mutex);
    if (Answer.Delay.count() > 0)
    {
        Wake.wait_for(Lock, Answer.Delay, [this] { return bShutDown; });
    }
    if (bShutDown)
    {
        return false;
    }
    if (!Answer.bStall)
    {
        return true;
    }
    // A release lets go of the requests held at that moment, not later arrivals.
    const std::uint64_t HeldAt = ReleaseGeneration;
    ++Stalled;
    Wake.notify_all(); // for WaitForStalled
    Wake.wait(Lock, [&] { return bShutDown || ReleaseGeneration != HeldAt; });
    --Stalled;
    return !bShutDown;
}

bool FDevBackendScriptBook::Pause(std::chrono::microseconds Duration)
{
    std::unique_lock Lock(Mutex);
    return !Wake.wait_for(Lock, Duration, [this] { return bShutDown; });
}

void FDevBackendScriptBook::ReleaseStalled()
{
    {
        std::lock_guard Lock(Mutex);
        ++ReleaseGeneration;
    }
    Wake.notify_all();
}

int FDevBackendScriptBook::StalledCount() const
{
    std::lock_guard Lock(Mutex);
    return Stalled;
}

bool FDevBackendScriptBook::WaitForStalled(int Count, std::chrono::milliseconds Timeout)
{
    std::unique_lock Lock(Mutex);
    return Wake.wait_for(Lock, Timeout, [&] { return Stalled >= Count; });
}

void FDevBackendScriptBook::Shutdown()
{
    {
        std::lock_guard Lock(Mutex);
        bShutDown = true;
    }
    Wake.notify_all();
}

void FDevBackendScriptBook::Reopen()
{
    std::lock_guard Lock(Mutex);
    bShutDown = false;
}
