// The immediate command list of the render thread: the GPU operations the engine
// and the plugin record. The software GPU carries out each operation's pixel work
// when it is recorded, in command order, so a copy sees exactly what was drawn
// before it; completion is signalled through fences on the GPU timeline. What the
// CPU can observe arrives only with that completion: a copy into a CPU-readback
// texture (and a generic readback) is invisible to the CPU until the GPU timeline
// reaches it.
#pragma once

#include "CoreTypes.h"
#include "DynamicRhi.h"
#include "GpuFence.h"
#include "IntPoint.h"
#include "RhiTexture.h"

struct FRHITransitionInfo
{
    FRHITexture* Texture = nullptr;
    ERHIAccess Before = ERHIAccess::Unknown;
    ERHIAccess After = ERHIAccess::Unknown;
};

// A full-target draw with the screen vertex and pixel shaders: Dest's rectangle is
// filled with the Source UV rectangle (offset, size), clamp addressing on all axes.
struct FScreenPassDesc
{
    const char* PassName = "ScreenPass";
    FRHITexture* Source = nullptr;
    FVector2f UVOffset{0.f, 0.f};
    FVector2f UVSize{1.f, 1.f};
    FRHITexture* Dest = nullptr;
    // Pixels of Dest to fill; an empty rectangle means the whole texture.
    FIntRect DestRect;
    ESamplerFilter Filter = ESamplerFilter::Point;
};

class FRHICommandListImmediate
{
public:
    void Transition(const FRHITransitionInfo& Info);
    // Copies the whole of Source into Dest (Source in CopySrc, Dest in CopyDest). When
    // the sizes differ only the overlapping top-left part is copied, with an error.
    void CopyTexture(FRHITexture* Source, FRHITexture* Dest);
    // Source must be in SRVGraphics and Dest in RTV.
    void DrawScreenPass(const FScreenPassDesc& Desc);
    // Fills a rectangle of Dest (in RTV) with Color; an empty rectangle fills it all.
    void ClearRect(FRHITexture* Dest, const FIntRect& Rect, const FLinearColor& Color);
};

class FRHICommandListExecutor
{
public:
    // The render thread's command list. Render thread only.
    static FRHICommandListImmediate& GetImmediateCommandList();
};

// Render thread: signals Fence once the GPU work recorded so far has completed.
void RHIWriteGPUFence(FRHICommandListImmediate& CmdList, const FGPUFenceRHIRef& Fence);
