// The software GPU's device: the interface type the host chose, texture and fence
// creation, the GPU timeline, the windows' presentable viewports, a log of recent
// screen passes, and the fault hooks tests use.
//
// The host creates the device with RHIInit before rendering and destroys it with
// RHIExit after the last render command; GDynamicRHI is null outside that span.
#pragma once

#include "CoreTypes.h"
#include "D3D12Resource.h"
#include "GpuFence.h"
#include "IntPoint.h"
#include "Logging.h"
#include "RhiTexture.h"

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

enum class ERHIInterfaceType : uint8
{
    Hidden,
    Null,
    D3D11,
    D3D12,
    Vulkan,
    Metal,
    Agx,
    OpenGL,
};

enum class ESamplerFilter : uint8
{
    Point,
    Bilinear,
};

// One screen pass as the GPU ran it; for tests and diagnostics.
struct FRHIDrawRecord
{
    FString PassName;
    ESamplerFilter Filter = ESamplerFilter::Point;
    FIntPoint SourceSize;
    FIntPoint DestSize;
    FVector2f UVOffset;
    FVector2f UVSize;
};

// Faults a test can switch on. Readable from any thread.
struct FRHITestHooks
{
    // Presentable viewports hand out no back buffer.
    std::atomic<bool> bNullBackBuffer{false};
    // FRHIGPUTextureReadback::Lock returns null.
    std::atomic<bool> bFailReadbackLock{false};
    // ID3D12Resource::Map fails with this result when it is non-zero.
    std::atomic<HRESULT> MapFailure{0};
};

// A window's presentable surface: a back buffer that is composed into and presented.
class FRHIViewport
{
public:
    FRHIViewport(int32 SizeX, int32 SizeY, EPixelFormat Format);
    // Render thread: recreates the back buffer at a new size.
    void Resize(int32 SizeX, int32 SizeY);
    // Render thread: the back buffer, ignoring the null-back-buffer hook.
    const FTextureRHIRef& GetBackBuffer() const { return BackBuffer; }
    // Render thread: shows the back buffer.
    void Present() { PresentCount.fetch_add(1); }
    uint64 GetPresentCount() const { return PresentCount.load(); }

private:
    EPixelFormat Format;
    FTextureRHIRef BackBuffer; // render thread once rendering started
    std::atomic<uint64> PresentCount{0};
};

class FDynamicRHI
{
public:
    explicit FDynamicRHI(ERHIInterfaceType InInterfaceType);

    ERHIInterfaceType GetInterfaceType() const { return InterfaceType; }
    const char* GetName() const;

    // The largest texture side the device accepts.
    static constexpr int32 MaxTextureDimension = 16384;

    // Any thread. Contents start as the description's clear colour; null (with an
    // error) for an empty or impossible size or a format without a pixel size.
    FTextureRHIRef RHICreateTexture(const FRHITextureCreateDesc& Desc);
    FGPUFenceRHIRef RHICreateGPUFence(const FString& Name);

    FRHIGpuTimeline& GetTimeline() { return *Timeline; }
    FRHITestHooks& GetTestHooks() { return Hooks; }

    // Render thread: submits this frame's GPU work and advances the timeline.
    void EndFrame_RenderThread() { Timeline->EndFrame(); }

    void RecordDraw(FRHIDrawRecord Record);
    // The most recent screen passes, oldest first (at most 64).
    std::vector<FRHIDrawRecord> GetRecentDraws() const;
    void ClearRecentDraws();
    // GPU operations that found a texture in the wrong state (logged as errors).
    int32 GetValidationErrorCount() const { return ValidationErrors.load(); }
    void ReportValidationError() { ValidationErrors.fetch_add(1); }

private:
    ERHIInterfaceType InterfaceType;
    std::shared_ptr<FRHIGpuTimeline> Timeline;
    FRHITestHooks Hooks;
    mutable std::mutex DrawMutex;
    std::deque<FRHIDrawRecord> RecentDraws; // guarded by DrawMutex
    std::atomic<int32> ValidationErrors{0};
};

extern FDynamicRHI* GDynamicRHI;
extern FLogCategory LogRHI;

// Creates the device with the interface type the host chose. Game thread.
void RHIInit(ERHIInterfaceType InterfaceType);
// Waits for pending render commands and destroys the device. Game thread.
void RHIExit();

// Render thread: the back buffer to compose into, or null under the test hook.
FRHITexture* RHIGetViewportBackBuffer(FRHIViewport& Viewport);
