#include "GpuTextureReadback.h"

#include <algorithm>
#include <cstring>

namespace
{
constexpr int32 PitchAlignmentPixels = 64;
}

FRHIGPUTextureReadback::FRHIGPUTextureReadback(const FString& InName)
    : Name(InName), Fence(GDynamicRHI ? GDynamicRHI->RHICreateGPUFence(InName) : nullptr)
{
    LiveCount.fetch_add(1);
    CreatedCount.fetch_add(1);
}

FRHIGPUTextureReadback::~FRHIGPUTextureReadback()
{
    LiveCount.fetch_sub(1);
}

void FRHIGPUTextureReadback::EnqueueCopy(FRHICommandListImmediate& CmdList, FRHITexture* Source)
{
    if (!Source)
    {
        return;
    }
    if (bLocked)
    {
        // The reader still holds the memory; overwriting it would tear its rows.
        LogPrintf(LogRHI, ELogVerbosity::Error, "EnqueueCopy: readback %s is locked", Name.c_str());
        return;
    }
    if (Source->GetAccess() != ERHIAccess::CopySrc)
    {
        LogPrintf(LogRHI, ELogVerbosity::Error,
                  "EnqueueCopy: texture %s is in state %s, expected CopySrc",
                  Source->GetName().c_str(), LexToString(Source->GetAccess()));
        if (GDynamicRHI)
        {
            GDynamicRHI->ReportValidationError();
        }
    }
    // The copy sees the source as the commands before it left it (command order);
    // its bytes are readable only once the GPU has finished it (see Lock).
    const int32 Bytes = GetPixelFormatBlockBytes(Source->GetFormat());
    Format = Source->GetFormat();
    Pending.Height = Source->GetSizeY();
    Pending.PitchPixels = (Source->GetSizeX() + PitchAlignmentPixels - 1) / PitchAlignmentPixels *
                          PitchAlignmentPixels;
    const size_t PitchBytes = static_cast<size_t>(Pending.PitchPixels) * Bytes;
    Pending.Bytes.resize(PitchBytes * static_cast<size_t>(std::max(Pending.Height, 0)));
    for (int32 Y = 0; Y < Pending.Height; ++Y)
    {
        std::memcpy(Pending.Bytes.data() + PitchBytes * Y, Source->GetRow(Y),
                    static_cast<size_t>(Source->GetSizeX()) * Bytes);
    }
    bPending = true;
    RHIWriteGPUFence(CmdList, Fence);
}

bool FRHIGPUTextureReadback::IsReady() const
{
    return !Fence || (Fence->NumPendingWriteCommands.load() == 0 && Fence->Poll());
}

void* FRHIGPUTextureReadback::Lock(int32& OutRowPitchInPixels, int32* OutBufferHeight)
{
    OutRowPitchInPixels = 0;
    if (OutBufferHeight)
    {
        *OutBufferHeight = 0;
    }
    if (bPending && !IsReady())
    {
        LogPrintf(LogRHI, ELogVerbosity::Error,
                  "Lock: readback %s read before its copy completed on the GPU", Name.c_str());
        if (GDynamicRHI)
        {
            GDynamicRHI->ReportValidationError();
        }
        return nullptr;
    }
    if (bPending)
    {
        std::swap(Readable, Pending);
        bPending = false;
    }
    if (Readable.Bytes.empty() ||
        (GDynamicRHI && GDynamicRHI->GetTestHooks().bFailReadbackLock.load()))
    {
        return nullptr;
    }
    bLocked = true;
    OutRowPitchInPixels = Readable.PitchPixels;
    if (OutBufferHeight)
    {
        *OutBufferHeight = Readable.Height;
    }
    return Readable.Bytes.data();
}

void FRHIGPUTextureReadback::Unlock()
{
    bLocked = false;
}
