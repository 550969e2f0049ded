// The screenshot step end to end through the software GPU, the encoder and the
// offline store: the game-thread cost of one CaptureScreenshot (target: under
// 50 us) and the time from the request to the stored record for a 1280 x 720
// frame taken from a 1920 x 1080 window.
//
// Peer, measured in the same run: the naive step that encodes the same frame with
// libjpeg-turbo on the game thread (what a synchronous screenshot would cost the
// frame). The ratio is our game-thread cost over the peer's.
#include "Files.h"
#include "Percentile.h"
#include "QuorvexSubsystemTestPeer.h"
#include "Tasks.h"
#include "TestEngineScene.h"
#include "TestSupport.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <sys/resource.h>
#include <turbojpeg.h>

namespace
{
using FClockType = std::chrono::steady_clock;

double SecondsSince(FClockType::time_point Start)
{
    return std::chrono::duration<double>(FClockType::now() - Start).count();
}

// A 1920 x 1080 game window and a subsystem recording it at 1280 x 720.
class FBenchRecording
{
public:
    FBenchRecording()
    {
        FPaths::SetProjectSavedDir(Saved.Path());
        FTestSceneOptions Options;
        Options.WindowSize = {1920, 1080};
        Options.ViewportPosition = {0.f, 0.f};
        Options.ViewportSlotSize = {1920.f, 1080.f};
        Options.ViewportSize = {1920, 1080};
        Scene = std::make_unique<FTestEngineScene>(Options);
        FSubsystemCollectionBase Collection;
        Subsystem.Initialize(Collection);
        Subsystem.SetDebugLogsEnabled(false, false);
        Subsystem.BaseHostUrlOverride = "http://127.0.0.1:" + std::to_string(ClosedLoopbackPort());
        Subsystem.StartSessionNative("bench", "", nullptr);
        FQuorvexSessionData Session;
        Session.SessionId = "bench";
        Session.UploadCredentials.UploadUrl = "http://127.0.0.1:1/";
        Session.CaptureConfig.Resolution = {1280, 720};
        Session.CaptureConfig.StopCaptureCpuUsagePercent = 0;
        Session.CaptureConfig.MaxStorageSizeMb = 100000;
        // Only the benchmark's own requests: a capture of the recorder's cadence still
        // in flight would turn a measured request into a busy skip.
        Session.CaptureConfig.CaptureIntervalSeconds = 1e6f;
        Peer.CreateSession(Session);
        Scene->Tick();
        for (int32 I = 0; I < 5; ++I) // the pipeline's warm-up
        {
            Peer.CaptureScreenshot();
            Scene->Tick();
        }
    }

    ~FBenchRecording() { Subsystem.Deinitialize(); }

    struct FSample
    {
        double GameThreadSeconds = 0; // wall time of the CaptureScreenshot call
        double CpuSeconds = 0;        // the game thread's own CPU time in the call
        bool bSwitched = false;       // the thread was switched out during the call
        double LatencySeconds = 0;    // until the record reached the batch
    };

    FSample CaptureOne()
    {
        // The pipeline returns to idle in a game-thread task after the record arrived;
        // a request before that would be measured as a busy skip, not a capture.
        PumpUntil(
            [&]
            {
                Scene->Tick();
                return Peer.IsCaptureIdle();
            });
        const size_t Before = Peer.PendingScreenshots().size();
        rusage UsageBefore{}, UsageAfter{};
        getrusage(RUSAGE_THREAD, &UsageBefore);
        timespec CpuBefore{}, CpuAfter{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &CpuBefore);
        FSample Sample;
        const auto Start = FClockType::now();
        Peer.CaptureScreenshot();
        Sample.GameThreadSeconds = SecondsSince(Start);
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &CpuAfter);
        getrusage(RUSAGE_THREAD, &UsageAfter);
        Sample.CpuSeconds = static_cast<double>(CpuAfter.tv_sec - CpuBefore.tv_sec) +
                            1e-9 * static_cast<double>(CpuAfter.tv_nsec - CpuBefore.tv_nsec);
        Sample.bSwitched = UsageAfter.ru_nvcsw + UsageAfter.ru_nivcsw >
                           UsageBefore.ru_nvcsw + UsageBefore.ru_nivcsw;
        PumpUntil(
            [&]
            {
                Scene->Tick();
                return Peer.PendingScreenshots().size() > Before;
            });
        Sample.LatencySeconds = SecondsSince(Start);
        return Sample;
    }

    FTempDir Saved;
    std::unique_ptr<FTestEngineScene> Scene;
    UQuorvexSubsystem Subsystem;
    FQuorvexSubsystemTestPeer Peer{Subsystem};
};

void BM_CaptureScreenshot_GameThread(benchmark::State& State)
{
    FBenchRecording Recording;
    double LatencySum = 0;
    int64 Frames = 0;
    std::vector<double> GameThreadMicros, CpuMicros;
    GameThreadMicros.reserve(static_cast<size_t>(State.max_iterations));
    CpuMicros.reserve(static_cast<size_t>(State.max_iterations));
    int64 Switched = 0;
    const int32 SkipsBefore = Recording.Peer.ReadbackBusySkips();
    for (auto _ : State)
    {
        const FBenchRecording::FSample Sample = Recording.CaptureOne();
        State.SetIterationTime(Sample.GameThreadSeconds);
        GameThreadMicros.push_back(Sample.GameThreadSeconds * 1e6);
        CpuMicros.push_back(Sample.CpuSeconds * 1e6);
        Switched += Sample.bSwitched ? 1 : 0;
        LatencySum += Sample.LatencySeconds;
        ++Frames;
    }
    if (Recording.Peer.ReadbackBusySkips() != SkipsBefore)
    {
        State.SkipWithError("a measured request was turned away as busy: not a capture");
    }
    State.counters["request_to_record_ms"] = 1000.0 * LatencySum / static_cast<double>(Frames);
    State.counters["median_us"] = Percentile(GameThreadMicros, 0.5);
    State.counters["p99_us"] = Percentile(GameThreadMicros, 0.99);
    State.counters["max_us"] = Percentile(GameThreadMicros, 1.0);
    State.counters["cpu_p99_us"] = Percentile(CpuMicros, 0.99);
    State.counters["switched"] = static_cast<double>(Switched);
}

// The peer: a 1280 x 720 frame encoded on the calling thread with libjpeg-turbo.
void BM_Peer_SynchronousTurboJpegEncode(benchmark::State& State)
{
    const int Width = 1280, Height = 720;
    std::vector<uint8> Rgb(static_cast<size_t>(Width) * Height * 3);
    for (size_t I = 0; I < Rgb.size(); ++I)
    {
        Rgb[I] = static_cast<uint8>((I * 7) ^ (I >> 11));
    }
    tjhandle Handle = tjInitCompress();
    for (auto _ : State)
    {
        unsigned char* Out = nullptr;
        unsigned long Size = 0;
        tjCompress2(Handle, Rgb.data(), Width, 0, Height, TJPF_RGB, &Out, &Size, TJSAMP_420, 75,
                    TJFLAG_ACCURATEDCT);
        benchmark::DoNotOptimize(Out);
        tjFree(Out);
    }
    tjDestroy(Handle);
}
} // namespace

BENCHMARK(BM_CaptureScreenshot_GameThread)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(200);
BENCHMARK(BM_Peer_SynchronousTurboJpegEncode)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv)
{
    FLogSinks::SetStderrEnabled(false);
    FTaskGraph::SetGameThread();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
