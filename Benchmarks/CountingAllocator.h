// Heap allocations of the whole process, counted by a replacement of the global
// operator new (CountingAllocator.cpp, linked into the benchmarks that report them).
#pragma once

#include "CoreTypes.h"

#include <cstddef>

struct FAllocationCounts
{
    uint64 Allocations = 0;
    uint64 Large = 0; // blocks of LargeAllocationBytes or more
    uint64 Bytes = 0;

    FAllocationCounts operator-(const FAllocationCounts& Earlier) const
    {
        return {Allocations - Earlier.Allocations, Large - Earlier.Large, Bytes - Earlier.Bytes};
    }
};

// What counts as a large block: the size a frame buffer or a row of one would need.
inline constexpr std::size_t LargeAllocationBytes = 2048;

// The totals since the process started, over every thread.
FAllocationCounts CountedAllocations();
