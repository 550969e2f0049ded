// The one clock behind FPlatformTime::Seconds() and FDateTime::UtcNow()/Now().
//
// Normally it follows the machine's monotonic and system clocks. A test may freeze
// it and then advance both readings together by exact amounts, so time-based code
// is tested without sleeping.
#pragma once

#include "CoreTypes.h"

class FClock
{
public:
    // Seconds on a monotonic clock with an arbitrary origin.
    static double MonotonicSeconds();
    // Microseconds since 1970-01-01 00:00 UTC.
    static int64 UtcMicroseconds();

    // Stops both readings where they are now (or at the given UTC time when non-negative).
    static void Freeze(int64 UtcMicros = -1);
    // Moves a frozen clock forward; does nothing when the clock runs freely.
    static void Advance(double Seconds);
    // Lets both readings follow the machine again.
    static void Unfreeze();
    static bool IsFrozen();
};

// Freezes the clock for the lifetime of a scope; for tests.
class FScopedFrozenClock
{
public:
    explicit FScopedFrozenClock(int64 UtcMicros = -1) { FClock::Freeze(UtcMicros); }
    ~FScopedFrozenClock() { FClock::Unfreeze(); }
    FScopedFrozenClock(const FScopedFrozenClock&) = delete;
    FScopedFrozenClock& operator=(const FScopedFrozenClock&) = delete;
    void Advance(double Seconds) { FClock::Advance(Seconds); }
};
