// Game-thread cost of the capture pipeline and its steady-state memory behaviour.
//
// RequestFrame and TickReadback are timed per call on the game thread (target: under
// 20 us each) against a peer: the naive capture that waits on the game thread for
// the render thread to copy the frame (FlushRenderingCommands plus a copy). A
// steady stream of 1280 x 720 captures from a 1920 x 1080 window then counts heap
// allocations per captured frame after the first, through a replaced global
// operator new: the readback, the scale target and the row scratch are reused, so
// no large block is allocated per frame ("large" = 2 KiB or more; the small blocks
// that remain are the engine's task and command closures).
#include "Clock.h"
#include "CountingAllocator.h"
#include "Percentile.h"
#include "QuorvexCapturePipeline.h"
#include "QuorvexEngineAbi.h"
#include "RhiCommandList.h"
#include "Tasks.h"
#include "TestEngineScene.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace
{
using FClockType = std::chrono::steady_clock;

double SecondsSince(FClockType::time_point Start)
{
    return std::chrono::duration<double>(FClockType::now() - Start).count();
}

// A 1920 x 1080 window showing the game viewport full-size, with the pipeline wired
// to the engine hooks as the subsystem wires it, warm-up done.
class FBenchScene
{
public:
    explicit FBenchScene(bool bComposite)
    {
        FTestSceneOptions Options;
        Options.WindowSize = {1920, 1080};
        Options.ViewportPosition = {0.f, 0.f};
        Options.ViewportSlotSize = {1920.f, 1080.f};
        Options.ViewportSize = {1920, 1080};
        Scene = std::make_unique<FTestEngineScene>(Options);
        FQuorvexEngineAbi::SetSlateCaptureDisabled(!bComposite);
        FQuorvexEngineAbi::SetBackBufferReadyHandler(
            [this](SWindow* Window, FRHITexture* BackBuffer)
            { Pipeline.OnBackBufferReadyToPresent_RenderThread(Window, BackBuffer); });
        FQuorvexEngineAbi::SetViewportRenderedHandler([this](FViewport* Viewport)
                                                      { Pipeline.OnViewportRendered(Viewport); });
        FQuorvexEngineAbi::Activate();
        Scene->Loop.SetHostTick(
            [this](float)
            {
                const auto Start = FClockType::now();
                Pipeline.TickReadback();
                TickSeconds += SecondsSince(Start);
                ++TickCalls;
            });
        Scene->Tick();
        Pipeline.ResetSessionState();
        for (int32 I = 0; I < FQuorvexCapturePipeline::WarmupTarget; ++I)
        {
            Pipeline.RequestFrame(0, 0, nullptr);
        }
    }

    ~FBenchScene()
    {
        FQuorvexEngineAbi::SetBackBufferReadyHandler(nullptr);
        FQuorvexEngineAbi::SetViewportRenderedHandler(nullptr);
        FQuorvexEngineAbi::Deactivate();
        FQuorvexEngineAbi::SetSlateCaptureDisabled(false);
        Pipeline.Release();
    }

    // Requests one frame and runs engine frames until it was delivered and the
    // pipeline is idle again. Returns the game-thread seconds spent in RequestFrame.
    double CaptureOne(int32 W, int32 H)
    {
        std::atomic<bool> bDone{false};
        const auto Start = FClockType::now();
        Pipeline.RequestFrame(W, H,
                              [&bDone](FQuorvexRowSource Rows, int32, int32 Height, int32)
                              {
                                  for (int32 Row = 0; Row < Height; ++Row)
                                  {
                                      benchmark::DoNotOptimize(Rows(Row));
                                  }
                                  bDone = true;
                              });
        const double RequestSeconds = SecondsSince(Start);
        while (!bDone.load() || Pipeline.IsFrameInFlight())
        {
            Scene->Tick();
            FTaskGraph::PumpGameThreadTasks();
        }
        Scene->Tick(); // captures are at least a frame apart (one a second in a session)
        return RequestSeconds;
    }

    std::unique_ptr<FTestEngineScene> Scene;
    FQuorvexCapturePipeline Pipeline;
    double TickSeconds = 0.0;
    int64 TickCalls = 0;
};

// RequestFrame on the composite path: acquire the cached readback, arm the frame.
void BM_RequestFrame(benchmark::State& State)
{
    FBenchScene Bench(true);
    Bench.CaptureOne(1280, 720); // creates the cached readback and the scale target
    for (auto _ : State)
    {
        const auto Start = FClockType::now();
        Bench.Pipeline.RequestFrame(1280, 720, [](FQuorvexRowSource, int32, int32, int32) {});
        State.SetIterationTime(SecondsSince(Start));
        Bench.Pipeline.Release(); // cancels the armed frame, outside the measured time
    }
}
BENCHMARK(BM_RequestFrame)->UseManualTime()->Unit(benchmark::kMicrosecond);

// TickReadback while the copy is not ready: the common case, one fence poll.
void BM_TickReadbackPolling(benchmark::State& State)
{
    FBenchScene Bench(false);
    FScopedFrozenClock Frozen; // keeps the watchdog from dropping the frame
    GDynamicRHI->GetTimeline().SetWorkNeverCompletes(true);
    Bench.Pipeline.RequestFrame(1280, 720, [](FQuorvexRowSource, int32, int32, int32) {});
    Bench.Scene->Loop.Tick(0.f, false);
    FlushRenderingCommands();
    for (auto _ : State)
    {
        Bench.Pipeline.TickReadback();
    }
    GDynamicRHI->GetTimeline().SetWorkNeverCompletes(false);
}
BENCHMARK(BM_TickReadbackPolling)->Unit(benchmark::kMicrosecond);

// A steady stream at a target size (0 x 0: the source's own size); game-thread time
// per call and allocations per frame after the first.
void SteadyStream(benchmark::State& State, int32 Width, int32 Height)
{
    FBenchScene Bench(true);
    Bench.CaptureOne(Width, Height);
    Bench.TickSeconds = 0.0;
    Bench.TickCalls = 0;
    std::vector<double> RequestMicros;
    RequestMicros.reserve(static_cast<size_t>(State.max_iterations));
    const FAllocationCounts Before = CountedAllocations();
    for (auto _ : State)
    {
        RequestMicros.push_back(Bench.CaptureOne(Width, Height) * 1e6);
    }
    const double Frames = static_cast<double>(State.iterations());
    State.counters["RequestFrame_median_us"] = Percentile(RequestMicros, 0.5);
    State.counters["RequestFrame_p99_us"] = Percentile(RequestMicros, 0.99);
    State.counters["TickReadback_us"] =
        Bench.TickSeconds / static_cast<double>(std::max<int64>(Bench.TickCalls, 1)) * 1e6;
    const FAllocationCounts Made = CountedAllocations() - Before;
    State.counters["allocs/frame"] = static_cast<double>(Made.Allocations) / Frames;
    State.counters["large_allocs/frame"] = static_cast<double>(Made.Large) / Frames;
    State.counters["bytes/frame"] = static_cast<double>(Made.Bytes) / Frames;
}

void BM_SteadyStream1280x720(benchmark::State& State)
{
    SteadyStream(State, 1280, 720);
}
BENCHMARK(BM_SteadyStream1280x720)->Iterations(300)->Unit(benchmark::kMillisecond);

// The same stream unscaled, at the source's own size.
void BM_SteadyStreamSourceSize(benchmark::State& State)
{
    SteadyStream(State, 0, 0);
}
BENCHMARK(BM_SteadyStreamSourceSize)->Iterations(100)->Unit(benchmark::kMillisecond);

// Peer: a capture that blocks the game thread until the render thread has copied
// the back buffer out (what the pipeline avoids).
void BM_PeerSynchronousCapture(benchmark::State& State)
{
    FBenchScene Bench(true);
    Bench.Scene->Tick();
    std::vector<uint8> Copy;
    for (auto _ : State)
    {
        const auto Start = FClockType::now();
        EnqueueRenderCommand(
            "PeerCopy",
            [&]
            {
                const FRHITexture& BackBuffer =
                    *Bench.Scene->Window->GetViewportRHI()->GetBackBuffer();
                const size_t Bytes =
                    static_cast<size_t>(BackBuffer.GetRowPitchBytes()) * BackBuffer.GetSizeY();
                Copy.assign(BackBuffer.GetPixelData(), BackBuffer.GetPixelData() + Bytes);
            });
        FlushRenderingCommands();
        State.SetIterationTime(SecondsSince(Start));
    }
}
BENCHMARK(BM_PeerSynchronousCapture)->UseManualTime()->Unit(benchmark::kMicrosecond);
} // namespace

BENCHMARK_MAIN();
