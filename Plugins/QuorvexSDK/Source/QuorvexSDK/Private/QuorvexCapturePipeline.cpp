// The game-thread side of the capture pipeline: requests, the per-tick poll with
// its watchdog, and release.
#include "QuorvexCapturePipeline.h"

#include "DynamicRhi.h"
#include "PlatformTime.h"
#include "QuorvexEngineAbi.h"
#include "QuorvexLog.h"
#include "Tasks.h"
#include "Viewport.h"

#include <algorithm>
#include <cmath>
#include <thread>

FQuorvexCapturePipeline::FQuorvexCapturePipeline() = default;

FQuorvexCapturePipeline::~FQuorvexCapturePipeline()
{
    Release();
    // Render commands queued earlier may still refer to this pipeline.
    FlushRenderingCommands();
}

FString FQuorvexCapturePipeline::GetActiveRhiApiName()
{
    if (!GDynamicRHI)
    {
        return "Unknown";
    }
    switch (GDynamicRHI->GetInterfaceType())
    {
    case ERHIInterfaceType::D3D11:
        return "DirectX11";
    case ERHIInterfaceType::D3D12:
        return "DirectX12";
    case ERHIInterfaceType::Vulkan:
        return "Vulkan";
    case ERHIInterfaceType::Metal:
    case ERHIInterfaceType::Agx:
        return "Metal";
    case ERHIInterfaceType::OpenGL:
        return "OpenGL";
    default:
        return "Unknown";
    }
}

bool FQuorvexCapturePipeline::IsNativeReadbackPathActive()
{
    return GDynamicRHI && GDynamicRHI->GetInterfaceType() == ERHIInterfaceType::D3D12;
}

int32 FQuorvexCapturePipeline::RoundToMs(double Seconds)
{
    return static_cast<int32>(std::floor(Seconds * 1000.0 + 0.5));
}

void FQuorvexCapturePipeline::ClampTargetSize(int32& Width, int32& Height)
{
    if (Width < 1 || Height < 1)
    {
        return;
    }
    FIntPoint Source{MaxTargetDimension, MaxTargetDimension};
    const FIntRect Rect = FQuorvexEngineAbi::GetGameViewportRect();
    if (FQuorvexEngineAbi::IsBackBufferHookInstalled() && FQuorvexEngineAbi::GetGameWindow() &&
        Rect.Width() > 0 && Rect.Height() > 0)
    {
        Source = {Rect.Width(), Rect.Height()};
    }
    else if (const FViewport* Viewport = FQuorvexEngineAbi::GetRenderedViewport())
    {
        Source = Viewport->GetSizeXY();
    }
    const int32 MaxW = std::clamp(Source.X, 1, MaxTargetDimension);
    const int32 MaxH = std::clamp(Source.Y, 1, MaxTargetDimension);
    if (Width <= MaxW && Height <= MaxH)
    {
        return;
    }
    const int32 ClampedW = std::min(Width, MaxW);
    const int32 ClampedH = std::min(Height, MaxH);
    if (!bTargetClampLogged)
    {
        bTargetClampLogged = true;
        QUORVEX_LOG(Warning,
                    "QuorvexSDK: Capture resolution %dx%d is larger than the source %dx%d; "
                    "capturing at %dx%d",
                    Width, Height, MaxW, MaxH, ClampedW, ClampedH);
    }
    Width = ClampedW;
    Height = ClampedH;
}

void FQuorvexCapturePipeline::RequestFrame(int32 TargetWidth, int32 TargetHeight,
                                           FQuorvexFrameCallback Callback)
{
    if (!BeginFrameRequest())
    {
        return; // Callback is destroyed unexecuted
    }
    SWindow* Window = FQuorvexEngineAbi::GetGameWindow();
    const bool bHook = FQuorvexEngineAbi::IsBackBufferHookInstalled();
    if (bHook && Window)
    {
        ArmSlateFrame(TargetWidth, TargetHeight, Window, FQuorvexEngineAbi::GetGameViewportRect(),
                      std::move(Callback));
        return;
    }
    if (!bViewportPathAnnounced)
    {
        bViewportPathAnnounced = true;
        QUORVEX_LOG(Warning,
                    "QuorvexSDK: Capturing from the viewport render target: Slate composite hook "
                    "%s, game window %s. Frames will contain the 3D scene and HUD canvas but NOT "
                    "Slate/UMG UI.",
                    bHook ? "installed" : "unavailable", Window ? "resolved" : "unresolved");
    }
    // In flight from now on: a viewport that never reports rendered must end in the
    // watchdog's drop, and later requests are counted as busy instead of silently
    // replacing this one.
    PendingTargetWidth = TargetWidth;
    PendingTargetHeight = TargetHeight;
    PendingCallback = std::move(Callback);
    TicksInFlight = 0;
    State = EState::InFlight;
}

bool FQuorvexCapturePipeline::BeginFrameRequest()
{
    if (State != EState::Idle)
    {
        ++BusySkipCount;
        if (!bBusySkipLogged)
        {
            bBusySkipLogged = true;
            QUORVEX_LOG(Warning, "QuorvexSDK: Frame skipped: prior readback still in flight "
                                 "(subsequent occurrences will be aggregated and reported on "
                                 "Stop)");
        }
        return false;
    }
    if (WarmupCount < WarmupTarget)
    {
        ++WarmupCount;
        QUORVEX_LOG_DEBUG("QuorvexSDK: [Warmup] cycle %d/%d - skipped", WarmupCount, WarmupTarget);
        return false;
    }
    {
        std::lock_guard Lock(BufferPool->Mutex);
        BufferPool->bEnabled = true;
    }
    EncodeAbortFlag->store(false);
    ++FrameSerial;
    RequestStartSeconds = FPlatformTime::Seconds();
    return true;
}

void FQuorvexCapturePipeline::EnsureNativeFence()
{
    if (!NativeFence)
    {
        NativeFence = GDynamicRHI->RHICreateGPUFence("QuorvexNativeFence");
    }
    else
    {
        NativeFence->Clear();
    }
}

void FQuorvexCapturePipeline::ArmSlateFrame(int32 TargetWidth, int32 TargetHeight, SWindow* Window,
                                            const FIntRect& Rect, FQuorvexFrameCallback Callback)
{
    const double Start = FPlatformTime::Seconds();
    const bool bNative = IsNativeReadbackPathActive();
    FReadbackRef Readback;
    if (bNative)
    {
        EnsureNativeFence();
    }
    else
    {
        Readback = AcquireFallbackReadback();
    }
    ActiveCallback = std::move(Callback);
    ReadbackInFlight = Readback;
    TicksInFlight = 0;
    State = EState::InFlight;
    EnqueueRenderCommand(
        "QuorvexArmFrame",
        [this, Window, Readback, Rect, TargetWidth, TargetHeight, Serial = FrameSerial]
        {
            ArmedWindow = Window;
            ArmedReadback = Readback;
            ArmedSerial = Serial;
            ArmedRect = Rect;
            ArmedTargetWidth = TargetWidth;
            ArmedTargetHeight = TargetHeight;
            bArmed.store(true);
        });
    QUORVEX_LOG_TIMING("QuorvexSDK: [ArmSlateFrame] [GT] Total=%.2fms target=%dx%d "
                       "rect=(%d,%d)-(%d,%d) native=%d",
                       (FPlatformTime::Seconds() - Start) * 1000.0, TargetWidth, TargetHeight,
                       Rect.Min.X, Rect.Min.Y, Rect.Max.X, Rect.Max.Y, bNative ? 1 : 0);
}

void FQuorvexCapturePipeline::OnViewportRendered(FViewport* Viewport)
{
    (void)Viewport; // the rendered viewport comes from FQuorvexEngineAbi
    if (!PendingCallback)
    {
        return;
    }
    FQuorvexFrameCallback Callback = std::move(PendingCallback);
    PendingCallback = nullptr;
    const int32 TargetWidth = PendingTargetWidth;
    const int32 TargetHeight = PendingTargetHeight;
    PendingTargetWidth = PendingTargetHeight = 0;
    if (!EnqueueAsyncReadback(TargetWidth, TargetHeight, std::move(Callback)))
    {
        State = EState::Idle; // skipped with its reason logged; the callback is gone
    }
}

bool FQuorvexCapturePipeline::EnqueueAsyncReadback(int32 TargetWidth, int32 TargetHeight,
                                                   FQuorvexFrameCallback Callback)
{
    FViewport* Viewport = FQuorvexEngineAbi::GetRenderedViewport();
    if (!Viewport)
    {
        QUORVEX_LOG(Warning, "QuorvexSDK: Frame skipped: engine-rendered viewport unavailable "
                             "(FQuorvexEngineAbi)");
        return false;
    }
    const FIntPoint Size = Viewport->GetSizeXY();
    if (Size.X < 1 || Size.Y < 1)
    {
        QUORVEX_LOG(Error, "QuorvexSDK: Frame skipped: viewport size invalid w=%d h=%d", Size.X,
                    Size.Y);
        return false;
    }
    const bool bScaled =
        TargetWidth >= 1 && TargetHeight >= 1 && (TargetWidth != Size.X || TargetHeight != Size.Y);
    const int32 OutW = bScaled ? TargetWidth : Size.X;
    const int32 OutH = bScaled ? TargetHeight : Size.Y;
    if (IsNativeReadbackPathActive())
    {
        return EnqueueNativeReadback(Viewport, OutW, OutH, bScaled, std::move(Callback));
    }
    FReadbackRef Readback = AcquireFallbackReadback();
    EnqueueRenderCommand(
        "QuorvexCaptureReadback",
        [this, Viewport, Readback, OutW, OutH, bScaled, Serial = FrameSerial]
        {
            const double Start = FPlatformTime::Seconds();
            EPixelFormat Format = PF_Unknown;
            FRHITexture* Source = PrepareViewportSource_RenderThread(Viewport, OutW, OutH, bScaled,
                                                                     "fallback path", Format);
            if (!Source)
            {
                return;
            }
            RecordFallbackReadback_RenderThread(*Readback, Source, Format, Serial);
            QUORVEX_LOG_TIMING("QuorvexSDK: [FallbackEnqueue] [RT] GetBB+EnqueueCopy=%.2fms "
                               "res=%dx%d scaled=%d",
                               (FPlatformTime::Seconds() - Start) * 1000.0, OutW, OutH,
                               bScaled ? 1 : 0);
        });
    ReadbackInFlight = std::move(Readback);
    ActiveCallback = std::move(Callback);
    TicksInFlight = 0;
    State = EState::InFlight;
    return true;
}

bool FQuorvexCapturePipeline::EnqueueNativeReadback(FViewport* Viewport, int32 Width, int32 Height,
                                                    bool bScaled, FQuorvexFrameCallback Callback)
{
    const double Start = FPlatformTime::Seconds();
    ActiveCallback = std::move(Callback);
    EnsureNativeFence();
    const double FenceDone = FPlatformTime::Seconds();
    EnqueueRenderCommand("QuorvexNativeEnqueue",
                         [this, Viewport, Width, Height, bScaled, Serial = FrameSerial]
                         {
                             const double RtStart = FPlatformTime::Seconds();
                             EPixelFormat Format = PF_Unknown;
                             FRHITexture* Source = PrepareViewportSource_RenderThread(
                                 Viewport, Width, Height, bScaled, "fallback native path", Format);
                             if (!Source)
                             {
                                 return;
                             }
                             const double GotSource = FPlatformTime::Seconds();
                             RecordNativeReadback_RenderThread(Source, Format, Serial);
                             QUORVEX_LOG_TIMING(
                                 "QuorvexSDK: [NativeEnqueue] [RT] GetBB=%.2fms Total=%.2fms "
                                 "res=%dx%d scaled=%d",
                                 (GotSource - RtStart) * 1000.0,
                                 (FPlatformTime::Seconds() - RtStart) * 1000.0, Width, Height,
                                 bScaled ? 1 : 0);
                         });
    const double End = FPlatformTime::Seconds();
    QUORVEX_LOG_TIMING("QuorvexSDK: [NativeEnqueue] [GT] FenceSetup=%.2fms EnqueueCmd=%.2fms "
                       "Total=%.2fms",
                       (FenceDone - Start) * 1000.0, (End - FenceDone) * 1000.0,
                       (End - Start) * 1000.0);
    TicksInFlight = 0;
    State = EState::InFlight;
    return true;
}

FQuorvexCapturePipeline::FReadbackRef FQuorvexCapturePipeline::AcquireFallbackReadback()
{
    {
        std::lock_guard Lock(ReadbackCache->Mutex);
        if (ReadbackCache->Readback)
        {
            // Its fence still says "done" for the copy of an earlier frame.
            if (const FGPUFenceRHIRef& Fence = ReadbackCache->Readback->GetFence())
            {
                Fence->Clear();
            }
            return std::move(ReadbackCache->Readback);
        }
    }
    return std::make_shared<FRHIGPUTextureReadback>("QuorvexCapture");
}

void FQuorvexCapturePipeline::ReturnFallbackReadback(const std::shared_ptr<FReadbackCache>& Cache,
                                                     FReadbackRef Readback)
{
    std::lock_guard Lock(Cache->Mutex);
    if (!Cache->Readback)
    {
        Cache->Readback = std::move(Readback);
    }
}

void FQuorvexCapturePipeline::DestroyCachedFallbackReadback()
{
    FReadbackRef Cached;
    {
        std::lock_guard Lock(ReadbackCache->Mutex);
        Cached = std::move(ReadbackCache->Readback);
    }
    if (Cached)
    {
        EnqueueRenderCommand("QuorvexDestroyCachedReadback",
                             [Cached = std::move(Cached)]() mutable { Cached.reset(); });
    }
}

void FQuorvexCapturePipeline::ResetSessionState()
{
    WarmupCount = 0;
    BusySkipCount = 0;
    bBusySkipLogged = false;
    TimeoutCount = 0;
    bTimeoutLogged = false;
    bViewportPathAnnounced = false;
    bTargetClampLogged = false;
}

void FQuorvexCapturePipeline::PostReturnToIdle(FIdleTicket Ticket)
{
    AsyncTask(ENamedThreads::GameThread,
              [Ticket = std::move(Ticket)]
              {
                  // The pipeline is destroyed on the game thread, so a live reference
                  // here stays live for the whole task.
                  FQuorvexCapturePipeline* Pipeline = Ticket.Pipeline.Get();
                  if (Pipeline && Pipeline->FrameSerial == Ticket.Serial)
                  {
                      Pipeline->State = EState::Idle;
                  }
              });
}
