#include "CountingAllocator.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace
{
std::atomic<uint64> GAllocations{0};
std::atomic<uint64> GLargeAllocations{0};
std::atomic<uint64> GAllocatedBytes{0};

void* CountedAlloc(std::size_t Size)
{
    GAllocations.fetch_add(1, std::memory_order_relaxed);
    GAllocatedBytes.fetch_add(Size, std::memory_order_relaxed);
    if (Size >= LargeAllocationBytes)
    {
        GLargeAllocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (void* Block = std::malloc(Size ? Size : 1))
    {
        return Block;
    }
    throw std::bad_alloc();
}
} // namespace

FAllocationCounts CountedAllocations()
{
    return {GAllocations.load(), GLargeAllocations.load(), GAllocatedBytes.load()};
}

void* operator new(std::size_t Size)
{
    return CountedAlloc(Size);
}
void* operator new[](std::size_t Size)
{
    return CountedAlloc(Size);
}
void operator delete(void* Block) noexcept
{
    std::free(Block);
}
void operator delete[](void* Block) noexcept
{
    std::free(Block);
}
void operator delete(void* Block, std::size_t) noexcept
{
    std::free(Block);
}
void operator delete[](void* Block, std::size_t) noexcept
{
    std::free(Block);
}
