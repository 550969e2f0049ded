// The engine's generic texture readback: a copy of a texture into CPU memory that
// becomes readable once the GPU has finished it.
//
// EnqueueCopy, Lock and Unlock run on the render thread; IsReady and GetFence on
// any thread. Rows of the locked memory are padded to a multiple of 64 pixels, so
// a reader must step by the pitch Lock reports.
//
// Like a real GPU, the copy's bytes become readable only once its fence has
// signalled: until then Lock is a validation error and returns null, and memory
// locked earlier still holds the previous copy.
#pragma once

#include "CoreTypes.h"
#include "GpuFence.h"
#include "RhiCommandList.h"

#include <atomic>
#include <vector>

class FRHIGPUTextureReadback
{
public:
    // Needs a device (GDynamicRHI).
    explicit FRHIGPUTextureReadback(const FString& InName);
    ~FRHIGPUTextureReadback();
    FRHIGPUTextureReadback(const FRHIGPUTextureReadback&) = delete;
    FRHIGPUTextureReadback& operator=(const FRHIGPUTextureReadback&) = delete;
    // How many readbacks exist in the process (any thread), like a device's memory
    // report: a test sees what a component still holds after it let go.
    static int32 GetLiveCount() { return LiveCount.load(); }
    // How many readbacks were ever created in the process (any thread).
    static int32 GetCreatedCount() { return CreatedCount.load(); }

    const FString& GetName() const { return Name; }
    // Copies the whole of Source (in CopySrc) and writes the readback's fence.
    void EnqueueCopy(FRHICommandListImmediate& CmdList, FRHITexture* Source);
    // True once the last copy has completed on the GPU.
    bool IsReady() const;
    const FGPUFenceRHIRef& GetFence() const { return Fence; }

    // The copied pixels and the row pitch in pixels; null (and pitch 0) before any
    // copy, before the last copy completed (a validation error), or when locking fails.
    void* Lock(int32& OutRowPitchInPixels, int32* OutBufferHeight = nullptr);
    void Unlock();
    EPixelFormat GetFormat() const { return Format; }

private:
    FString Name;
    FGPUFenceRHIRef Fence;
    // The shape of a copy; the pending one is moved into the readable one when a
    // lock finds its fence signalled.
    struct FCopyBytes
    {
        std::vector<uint8> Bytes;
        int32 PitchPixels = 0;
        int32 Height = 0;
    };
    FCopyBytes Readable;   // render thread, and the reader while locked
    FCopyBytes Pending;    // render thread: recorded, not yet completed on the GPU
    bool bPending = false; // render thread
    EPixelFormat Format = PF_Unknown;
    bool bLocked = false;                             // render thread
    static inline std::atomic<int32> LiveCount{0};    // any thread
    static inline std::atomic<int32> CreatedCount{0}; // any thread
};
