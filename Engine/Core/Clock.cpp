#include "Clock.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>

namespace
{
// A running clock is read without a lock: every thread reads it many times a frame, and
// a real engine's clock costs no more than the machine's. Only a frozen one (tests) is
// read under the mutex.
struct FClockState
{
    std::mutex Mutex;
    std::atomic<bool> bFrozen = false; // written under Mutex
    double FrozenMonotonic = 0;        // guarded by Mutex
    int64 FrozenUtcMicros = 0;         // guarded by Mutex
    double ExtraMicros = 0;            // sub-microsecond remainder of advances; guarded by Mutex
};

FClockState& State()
{
    static FClockState Instance;
    return Instance;
}

double RealMonotonic()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

int64 RealUtcMicros()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}
} // namespace

double FClock::MonotonicSeconds()
{
    if (!State().bFrozen.load(std::memory_order_acquire))
    {
        return RealMonotonic();
    }
    std::lock_guard Lock(State().Mutex);
    return State().bFrozen ? State().FrozenMonotonic : RealMonotonic();
}

int64 FClock::UtcMicroseconds()
{
    if (!State().bFrozen.load(std::memory_order_acquire))
    {
        return RealUtcMicros();
    }
    std::lock_guard Lock(State().Mutex);
    return State().bFrozen ? State().FrozenUtcMicros : RealUtcMicros();
}

void FClock::Freeze(int64 UtcMicros)
{
    std::lock_guard Lock(State().Mutex);
    if (!State().bFrozen)
    {
        State().FrozenMonotonic = RealMonotonic();
    }
    State().FrozenUtcMicros = UtcMicros >= 0 ? UtcMicros : RealUtcMicros();
    State().ExtraMicros = 0;
    State().bFrozen = true;
}

void FClock::Advance(double Seconds)
{
    std::lock_guard Lock(State().Mutex);
    if (!State().bFrozen || Seconds <= 0)
    {
        return;
    }
    State().FrozenMonotonic += Seconds;
    const double Micros = Seconds * 1e6 + State().ExtraMicros;
    const double Whole = std::floor(Micros);
    State().FrozenUtcMicros += static_cast<int64>(Whole);
    State().ExtraMicros = Micros - Whole;
}

void FClock::Unfreeze()
{
    std::lock_guard Lock(State().Mutex);
    State().bFrozen = false;
}

bool FClock::IsFrozen()
{
    return State().bFrozen.load(std::memory_order_acquire);
}
