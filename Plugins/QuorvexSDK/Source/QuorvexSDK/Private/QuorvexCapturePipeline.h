// Frame capture from the GPU without stalling the game or render thread.
//
// One request from the game thread for the current frame at a given size becomes
// RGB rows handed to a callback on a background worker. The source is either the
// game window's composited back buffer, taken at present time (frames include the
// Slate/UMG interface), or, when that hook or the window is unavailable, the
// rendered viewport's target (the 3D scene and HUD canvas only). The readback is a
// CPU-readable staging texture with a fence on D3D12, else the engine's generic
// texture readback. At most one frame is in flight; a frame that does not complete
// is dropped by a watchdog; frames are dropped rather than queued.
//
// Threads: the public calls are game-thread only except
// OnBackBufferReadyToPresent_RenderThread. The render thread records the copies;
// background workers convert rows and run the callback. Nothing ever waits on the GPU.
#pragma once

#include "CoreTypes.h"
#include "GpuFence.h"
#include "GpuTextureReadback.h"
#include "IntPoint.h"
#include "PixelFormat.h"
#include "QuorvexJpegEncoder.h"
#include "RhiTexture.h"
#include "WeakObjectPtr.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class SWindow;
class FViewport;
class ID3D12Resource;

// Returns row RowIndex (0 = top) as Width x 3 bytes R, G, B, valid until its next
// call, or null. Valid only during the frame callback.
using FQuorvexRowSource = FQuorvexJpegRowSource;
// (RowSource, Width, Height, CaptureDurationMs): called at most once, on a worker.
using FQuorvexFrameCallback = std::function<void(FQuorvexRowSource RowSource, int32 Width,
                                                 int32 Height, int32 CaptureDurationMs)>;

class FQuorvexCapturePipeline
{
public:
    // Watchdog: seconds a frame may stay in flight...
    static constexpr double ReadbackTimeoutSeconds = 2.0;
    // ...once it has been in flight for at least this many ticks.
    static constexpr int32 ReadbackTimeoutTicks = 8;
    // How long Release waits for readback workers.
    static constexpr double ReadbackWorkerDrainTimeoutSeconds = 5.0;
    // Requests skipped after ResetSessionState.
    static constexpr int32 WarmupTarget = 5;

    FQuorvexCapturePipeline();
    // Releases everything and waits for the render thread's pending commands.
    ~FQuorvexCapturePipeline();
    FQuorvexCapturePipeline(const FQuorvexCapturePipeline&) = delete;
    FQuorvexCapturePipeline& operator=(const FQuorvexCapturePipeline&) = delete;

    // The largest capture target in either axis, whatever the server asks for.
    static constexpr int32 MaxTargetDimension = 7680;

    // Brings a requested target (from the server) within the current source's size
    // and MaxTargetDimension, warning once per session when it had to. Values below 1
    // mean "the source's own size" and stay as they are.
    void ClampTargetSize(int32& Width, int32& Height);
    // Requests one frame; a target below 1 in either axis means the source's own
    // size. Never blocks. A skipped or dropped frame destroys Callback unexecuted.
    void RequestFrame(int32 TargetWidth, int32 TargetHeight, FQuorvexFrameCallback Callback);
    // Advances the frame in flight; call once per tick while capture is active.
    void TickReadback();
    // Render thread: the Slate back-buffer-ready handler.
    void OnBackBufferReadyToPresent_RenderThread(SWindow* Window, FRHITexture* BackBuffer);
    // The viewport-rendered handler; the viewport comes from FQuorvexEngineAbi.
    void OnViewportRendered(FViewport* Viewport);
    // Gives back every GPU resource and waits (bounded) for workers; stays usable.
    void Release();
    // Warm-up again from zero; counters and once-only log flags cleared.
    void ResetSessionState();

    // True from an accepted request until its frame was delivered, skipped or dropped.
    bool IsFrameInFlight() const { return State != EState::Idle; }
    int32 GetReadbackBusySkipCount() const { return BusySkipCount; }
    int32 GetReadbackTimeoutCount() const { return TimeoutCount; }
    // Set by Release so a running encode stops at its next row; cleared per request.
    std::shared_ptr<std::atomic<bool>> GetEncodeAbortFlag() const { return EncodeAbortFlag; }

    // The active graphics interface: "DirectX11", "DirectX12", "Vulkan", "Metal",
    // "OpenGL" or "Unknown".
    static FString GetActiveRhiApiName();
    // True when the device runs D3D12 (the native readback).
    static bool IsNativeReadbackPathActive();

private:
    enum class EState : uint8
    {
        Idle = 0,
        InFlight = 1,
        Processing = 2,
    };

    using FReadbackRef = std::shared_ptr<FRHIGPUTextureReadback>;

    // Per-frame buffers handed out to consumers; enabled per request, drained by Release.
    struct FBufferPool
    {
        std::mutex Mutex;
        std::vector<std::vector<uint8>> FreeBuffers; // guarded by Mutex
        bool bEnabled = false;                       // guarded by Mutex
    };

    // The one fallback readback kept between frames, scaled or not: its memory is
    // reused, so a steady stream allocates no frame buffer per frame (a size change
    // only grows it). Shared with the render thread's unlock command, which may
    // outlive a Release that timed out.
    struct FReadbackCache
    {
        std::mutex Mutex;
        FReadbackRef Readback; // guarded by Mutex
    };

    // The RGB row handed to consumers. Locked by the worker that uses it, so a
    // worker outliving a timed-out Release never shares it with the next one.
    struct FRowScratch
    {
        std::mutex Mutex;
        std::vector<uint8> Bytes; // guarded by Mutex
    };

    // What a readback worker needs, moved out of the pipeline.
    struct FWorkerJob
    {
        EPixelFormat Format = PF_Unknown;
        int32 Width = 0;
        int32 Height = 0;
        double StartSeconds = 0.0;
        FQuorvexFrameCallback Callback;
    };

    // Game thread.
    bool BeginFrameRequest();
    void ArmSlateFrame(int32 TargetWidth, int32 TargetHeight, SWindow* Window, const FIntRect& Rect,
                       FQuorvexFrameCallback Callback);
    bool EnqueueAsyncReadback(int32 TargetWidth, int32 TargetHeight,
                              FQuorvexFrameCallback Callback);
    bool EnqueueNativeReadback(FViewport* Viewport, int32 Width, int32 Height, bool bScaled,
                               FQuorvexFrameCallback Callback);
    // The cached readback (its fence cleared), else a new one.
    FReadbackRef AcquireFallbackReadback();
    void DestroyCachedFallbackReadback();
    void EnsureNativeFence();
    void TickFallbackReadback();
    void TickNativeReadback();
    void AbortInFlightReadback();
    void EnqueueRenderThreadCancel(bool bResetState);
    void ReleaseNativeResources();
    void WaitForReadbackWorkers();
    // Who may return the pipeline to Idle: the frame it was made for, while the
    // pipeline lives. A ticket of an earlier frame (one that Release gave up on) is void.
    struct FIdleTicket
    {
        TWeakObjectPtr<FQuorvexCapturePipeline> Pipeline;
        uint64 Serial = 0;
    };
    FIdleTicket MakeIdleTicket() { return {Lifetime.MakeWeak(this), FrameSerial}; }
    // Any thread: posts a game-thread task that returns the state to Idle if the
    // ticket is still good.
    static void PostReturnToIdle(FIdleTicket Ticket);

    // Render thread.
    FRHITexture* GetOrCreateScaleTarget(int32 Width, int32 Height);
    void DrawDownscale(FRHICommandListImmediate& CmdList, FRHITexture* Source, FVector2f UVOffset,
                       FVector2f UVSize, FRHITexture* Dest);
    // Record the copy for the request with serial Serial and say so (RecordedCopy).
    void RecordFallbackReadback_RenderThread(FRHIGPUTextureReadback& Readback, FRHITexture* Source,
                                             EPixelFormat Format, uint64 Serial);
    void RecordNativeReadback_RenderThread(FRHITexture* Source, EPixelFormat Format, uint64 Serial);
    void PublishRecordedCopy_RenderThread(EPixelFormat Format, int32 Width, int32 Height,
                                          uint64 Serial);
    // Game thread: fills Job's shape from the copy recorded for the frame in flight;
    // false when the render thread recorded none for it (skipped, or not yet).
    bool TakeRecordedCopy(FWorkerJob& Job);
    // Draws (when scaled) and records the viewport's copy: the body of the
    // "QuorvexCaptureReadback" and "QuorvexNativeEnqueue" commands.
    FRHITexture* PrepareViewportSource_RenderThread(FViewport* Viewport, int32 Width, int32 Height,
                                                    bool bScaled, const char* PathName,
                                                    EPixelFormat& OutFormat);

    // Any thread (the fallback readback's render-thread lock and the workers).
    static void ReturnFallbackReadback(const std::shared_ptr<FReadbackCache>& Cache,
                                       FReadbackRef Readback);
    static void RunFallbackLock_RenderThread(FReadbackRef Readback, FWorkerJob Job,
                                             std::shared_ptr<FReadbackCache> Cache,
                                             std::shared_ptr<FRowScratch> Scratch,
                                             std::shared_ptr<std::atomic<int32>> Workers,
                                             FIdleTicket Ticket);
    // Worker: calls Job's callback with rows read from Pixels; returns the rows served.
    static int32 DeliverRows(FWorkerJob& Job, const uint8* Pixels, int64 PitchBytes,
                             FRowScratch& Scratch, int32& OutCaptureMs);
    static void RunNativeWorker(FWorkerJob Job, int32 RowPitch, ID3D12Resource* Resource,
                                FTextureRHIRef Staging, std::shared_ptr<FRowScratch> Scratch);
    static int32 RoundToMs(double Seconds);

    // Game thread: posted work holds weak references made from it.
    FLifetimeToken Lifetime;
    std::shared_ptr<FBufferPool> BufferPool = std::make_shared<FBufferPool>();
    // Dispatched readback workers not yet finished (game thread adds, workers and the
    // render thread's failed lock subtract).
    std::shared_ptr<std::atomic<int32>> InFlightWorkers = std::make_shared<std::atomic<int32>>(0);
    std::shared_ptr<std::atomic<bool>> EncodeAbortFlag = std::make_shared<std::atomic<bool>>(false);

    // Game thread.
    EState State = EState::Idle;
    // Counts accepted requests and releases; an Idle hand-back must carry the current one.
    uint64 FrameSerial = 0;
    double RequestStartSeconds = 0.0;

    // Native readback: written on the render thread while recording, read on the game
    // thread after the fence signalled, released on the game thread after a flush.
    FTextureRHIRef StagingTexture;
    FGPUFenceRHIRef NativeFence; // created and cleared on the game thread
    ID3D12Resource* NativeResource = nullptr;
    int32 StagingWidth = 0;
    int32 StagingHeight = 0;
    EPixelFormat StagingFormat = PF_Unknown;
    int32 StagingRowPitch = 0;

    // Game thread: the viewport-path request waiting for the next rendered viewport.
    // It counts as in flight (busy, under the watchdog) from the request on.
    int32 PendingTargetWidth = 0;
    int32 PendingTargetHeight = 0;
    FQuorvexFrameCallback PendingCallback;

    // Render thread: the composite frame waiting for its window's present. Armed is
    // also cleared by Release on the game thread.
    SWindow* ArmedWindow = nullptr;
    FReadbackRef ArmedReadback;
    uint64 ArmedSerial = 0;
    FIntRect ArmedRect;
    int32 ArmedTargetWidth = 0;
    int32 ArmedTargetHeight = 0;
    std::atomic<bool> bArmed{false};

    // Game thread: session counters and once-only log flags.
    bool bViewportPathAnnounced = false;
    bool bTargetClampLogged = false;
    int32 TimeoutCount = 0;
    bool bTimeoutLogged = false;
    int32 WarmupCount = 0;
    int32 BusySkipCount = 0;
    bool bBusySkipLogged = false;

    // Render thread (released on the game thread after a flush).
    FTextureRHIRef ScaleTarget;
    int32 ScaleTargetWidth = 0;
    int32 ScaleTargetHeight = 0;

    // Game thread: the fallback readback of the frame in flight.
    FReadbackRef ReadbackInFlight;

    std::shared_ptr<FRowScratch> RowScratch = std::make_shared<FRowScratch>();
    std::shared_ptr<FReadbackCache> ReadbackCache = std::make_shared<FReadbackCache>();

    // Game thread: the frame in flight.
    FQuorvexFrameCallback ActiveCallback;
    int32 TicksInFlight = 0;

    // The copy the render thread last recorded: its shape and the request (serial) it
    // served. A frame is ready only when its own copy was recorded and its fence has
    // signalled; a skipped copy leaves an older serial here, and the watchdog drops
    // the frame instead of delivering an earlier one under a new timestamp.
    struct FRecordedCopy
    {
        EPixelFormat Format = PF_Unknown;
        int32 Width = 0;
        int32 Height = 0;
        uint64 Serial = 0;
    };
    std::mutex RecordedCopyMutex;
    FRecordedCopy RecordedCopy; // guarded by RecordedCopyMutex; render thread writes
};
