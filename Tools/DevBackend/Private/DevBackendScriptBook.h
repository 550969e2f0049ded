// Per-endpoint scripts of the dev backend, and the waiting they ask for (delays and
// stalls). Worker threads take an answer and wait in it; the test thread queues
// answers and releases stalls; Shutdown wakes every waiter so that the server can
// stop without hanging on a held request.
//
// Thread safety: every member may be called from any thread (one internal mutex).
#pragma once

#include "DevBackendAnswer.h"
#include "DevBackendTypes.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

class FDevBackendScriptBook
{
public:
    void Queue(EDevBackendEndpoint Endpoint, std::vector<FDevBackendAnswer> Answers);
    void SetStanding(EDevBackendEndpoint Endpoint, FDevBackendAnswer Answer);
    void Clear();
    // The next queued answer, else the standing one, else Handle.
    FDevBackendAnswer Take(EDevBackendEndpoint Endpoint);

    // Waits out the answer's delay and stall. False when the book was shut down before
    // or during the wait: the caller then drops the request.
    bool Wait(const FDevBackendAnswer& Answer);
    // Waits for Duration unless the book is shut down first; false when it was.
    bool Pause(std::chrono::microseconds Duration);
    void ReleaseStalled();
    int StalledCount() const;
    // Waits until at least Count requests are held; false at the deadline.
    bool WaitForStalled(int Count, std::chrono::milliseconds Timeout);

    // Wakes every waiter and makes later waits fail at once, until Reopen.
    void Shutdown();
    void Reopen();

private:
    mutable std::mutex Mutex;
    std::condition_variable Wake;
    std::map<EDevBackendEndpoint, std::deque<FDevBackendAnswer>> Queues; // guarded by Mutex
    std::map<EDevBackendEndpoint, FDevBackendAnswer> Standing;           // guarded by Mutex
    std::uint64_t ReleaseGeneration = 0;                                 // guarded by Mutex
    int Stalled = 0;                                                     // guarded by Mutex
    bool bShutDown = false;                                              // guarded by Mutex
};
