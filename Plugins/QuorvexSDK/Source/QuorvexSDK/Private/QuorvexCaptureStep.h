// Shared state of the screenshot step, between the game thread that requests frames
// and the worker that encodes them.
#pragma once

#include "CoreTypes.h"

#include <mutex>
#include <vector>

// One output buffer kept between frames, so steady-state encodes allocate nothing.
// Disabled while capture is released: a returning buffer is then freed instead.
struct FQuorvexJpegBufferPool
{
    // The kept buffer (empty, capacity kept), or a fresh one.
    std::vector<uint8> Take();
    // Keeps Buffer when the pool is enabled and holds none; frees it otherwise.
    void Give(std::vector<uint8>&& Buffer);
    void Enable();
    // Disables the pool and frees its buffer.
    void Disable();

private:
    std::mutex Mutex;
    std::vector<uint8> FreeBuffer; // guarded by Mutex
    bool bHasFree = false;         // guarded by Mutex
    bool bEnabled = false;         // guarded by Mutex
};

// State only the single frame callback in flight touches.
struct FQuorvexEncodeScratch
{
    std::vector<uint8> ResampleRow;
    int64 LastJpegSize = 0;
};
