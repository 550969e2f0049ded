// The whole recorder as a studio measures it: the sample game's scene with a 1280 x 720
// viewport, paced at 60 frames a second, played in four modes in alternating rounds:
//
//   none    the game without the SDK;
//   idle    the SDK loaded and its subsystem ticking, no session;
//   capture a session recording 1280 x 720 at one frame a second that never uploads
//           (the capture path alone);
//   record  the same with a batch uploaded to the dev backend's store every ten
//           seconds.
//
// Each play runs in a process of its own, forked from this single-threaded runner, so
// that each has its own peak memory; the dev backend runs in another. After a warm-up
// (the session's start, the first captures and upload), each play measures:
//   - the frame time, start to start, as the player sees it (median and p99), and
//     the game thread's work in each frame (the engine tick, the wait for the next
//     frame excluded);
//   - the CPU the recorder used, attributed per thread: its game-thread work and its
//     render-thread commands from the engine's own timings, the task workers and the
//     HTTP thread from the scheduler's account; the stand-in GPU's software downscale
//     is reported apart, since a real GPU does it;
//   - the peak resident memory (VmHWM);
//   - heap allocations over every thread, through a counting operator new, per frame
//     and, for blocks of 2 KiB or more, per capture.
// The figures of the SDK's modes are then set against those of the game without it.
//
// Usage: RecorderBenchmark [--rounds N] [--seconds S] [--warmup S] [--json FILE]
#include "CountingAllocator.h"
#include "DemoCost.h"
#include "DemoFramePacer.h"
#include "DemoHost.h"
#include "DemoScene.h"
#include "DevBackendProcess.h"
#include "EngineTimings.h"
#include "ForkedRun.h"
#include "GameInstance.h"
#include "Percentile.h"
#include "ProcessMemory.h"
#include "QuorvexSDKModule.h"
#include "QuorvexSubsystem.h"
#include "QuorvexSubsystemTestPeer.h"
#include "Tasks.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{
using FSteadyClock = std::chrono::steady_clock;

enum class EMode : int
{
    None,
    Idle,
    Capture,
    Record,
};
constexpr std::array<EMode, 4> Modes = {EMode::None, EMode::Idle, EMode::Capture, EMode::Record};

const char* ModeWord(EMode Mode)
{
    switch (Mode)
    {
    case EMode::None:
        return "none";
    case EMode::Idle:
        return "idle";
    case EMode::Capture:
        return "capture";
    case EMode::Record:
        return "record";
    }
    return "?";
}

struct FRunOptions
{
    int Rounds = 3;
    double Seconds = 20.0;
    double WarmupSeconds = 12.0;
    std::string JsonPath;
};

constexpr int32 CaptureWidth = 1280;
constexpr int32 CaptureHeight = 720;
constexpr int32 UploadIntervalMs = 10000;

// Uploads on: a batch every UploadIntervalMs; off: the interval is a day.
FDevBackendOptions RecorderBackendOptions(bool bUploads)
{
    FDevBackendOptions Options;
    Options.CaptureConfig["captureIntervalSeconds"] = 1.0;
    Options.CaptureConfig["uploadIntervalMs"] = bUploads ? UploadIntervalMs : 24 * 3600 * 1000;
    Options.CaptureConfig["resolution"] = {{"width", CaptureWidth}, {"height", CaptureHeight}};
    // A shared 2-core machine is often above any CPU threshold; the play must capture.
    Options.CaptureConfig["stopCaptureCpuUsagePercent"] = 0;
    return Options;
}

// ---- One play, in the child process ----

// The SDK's working folder for one play, removed at the end.
class FScopedFolder
{
public:
    FScopedFolder()
        : Path(std::filesystem::temp_directory_path() /
               ("quorvex-recorder-bench-" + std::to_string(getpid())))
    {
        std::filesystem::create_directories(Path);
    }
    ~FScopedFolder()
    {
        std::error_code Error;
        std::filesystem::remove_all(Path, Error);
    }
    const std::filesystem::path Path;
};

class FPlay
{
public:
    FPlay(EMode InMode, const FRunOptions& InOptions, const std::string& BaseUrl)
        : Mode(InMode), Options(InOptions)
    {
        FLogSinks::SetStderrEnabled(false);
        FTaskGraph::SetGameThread();
        DescribeDemoHost(Saved.Path.string());
        Scene = std::make_unique<FDemoScene>(ERHIInterfaceType::D3D12, false, 2);
        if (Mode != EMode::None)
        {
            FQuorvexSDKModule::LoadModule();
        }
        GameInstance.SetWorld(Scene->GetWorld());
        GameInstance.Init();
        Scene->Tick();
        if (Mode != EMode::None)
        {
            Quorvex = GameInstance.GetSubsystem<UQuorvexSubsystem>();
            Quorvex->BaseHostUrlOverride = BaseUrl;
        }
    }

    nlohmann::json Run()
    {
        if ((Mode == EMode::Capture || Mode == EMode::Record) && !StartSession())
        {
            return {{"error", "the session did not start"}};
        }
        PlayFor(Options.WarmupSeconds);
        const int64 Expected = static_cast<int64>(Options.Seconds * 60.0) + 60;
        FDemoCostMeter Cost(static_cast<size_t>(Expected));
        const int32 CapturedBefore = Captured();
        const FAllocationCounts Before = CountedAllocations();
        std::vector<double> IntervalMs;
        IntervalMs.reserve(static_cast<size_t>(Expected));
        FSteadyClock::time_point LastStart = FSteadyClock::now();
        const FSteadyClock::time_point Until = LastStart + ToDuration(Options.Seconds);
        while (FSteadyClock::now() < Until)
        {
            Cost.BeginFrame();
            const FSteadyClock::time_point Start = FSteadyClock::now();
            IntervalMs.push_back(
                std::chrono::duration<double, std::milli>(Start - LastStart).count());
            LastStart = Start;
            Scene->Tick();
            Cost.EndFrame();
            Pacer.WaitForNextFrame();
        }
        const FAllocationCounts Made = CountedAllocations() - Before;
        const FDemoCostReport Report = Cost.Finish();
        nlohmann::json Figures = Describe(Report, Made, Captured() - CapturedBefore);
        Figures["interval_median_ms"] = Percentile(IntervalMs, 0.5);
        Figures["interval_p99_ms"] = Percentile(IntervalMs, 0.99);
        return Figures;
    }

private:
    static FSteadyClock::duration ToDuration(double Seconds)
    {
        return std::chrono::duration_cast<FSteadyClock::duration>(
            std::chrono::duration<double>(Seconds));
    }

    void PlayFor(double Seconds)
    {
        const FSteadyClock::time_point Until = FSteadyClock::now() + ToDuration(Seconds);
        while (FSteadyClock::now() < Until)
        {
            Scene->Tick();
            Pacer.WaitForNextFrame();
        }
    }

    bool StartSession()
    {
        bool bDone = false;
        bool bOk = false;
        Quorvex->StartSessionNative("bench-player", "",
                                    [&](EQuorvexSdkResponse Response, const FString&)
                                    {
                                        bDone = true;
                                        bOk = UQuorvexSubsystem::GetSdkResponseCode(Response) == 0;
                                    });
        const FSteadyClock::time_point GiveUpAt = FSteadyClock::now() + std::chrono::seconds(30);
        while (!bDone && FSteadyClock::now() < GiveUpAt)
        {
            Scene->Tick();
            Pacer.WaitForNextFrame();
        }
        return bOk;
    }

    int32 Captured() const { return Quorvex ? FQuorvexSubsystemTestPeer(*Quorvex).Captures() : 0; }

    nlohmann::json Describe(const FDemoCostReport& Report, const FAllocationCounts& Made,
                            int32 Captures) const
    {
        const double Frames = std::max<double>(1.0, static_cast<double>(Report.Frames));
        return {
            {"frames", Report.Frames},
            {"wall_s", Report.WallSeconds},
            {"frame_median_ms", Report.FrameMedianMs},
            {"frame_p99_ms", Report.FrameP99Ms},
            {"game_thread_ms_per_frame", Report.GameThreadMsPerFrame},
            {"render_thread_ms_per_frame", Report.RenderThreadMsPerFrame},
            {"render_thread_ms_per_frame_without_downscale",
             Report.RenderThreadMsPerFrame - Report.SoftwareDownscaleMs / Frames},
            {"software_downscale_ms", Report.SoftwareDownscaleMs},
            {"worker_cpu_s", Report.WorkerCpuSeconds},
            {"network_cpu_s", Report.NetworkCpuSeconds},
            {"cpu_share_pct", Report.CpuSharePercent},
            {"peak_kib", ReadStatusKib("VmHWM:")},
            {"rss_kib", ReadStatusKib("VmRSS:")},
            {"allocs_per_frame", static_cast<double>(Made.Allocations) / Frames},
            {"large_allocs", Made.Large},
            {"captures", Captures},
            {"session", Quorvex ? Quorvex->GetCurrentSessionId() : FString()},
            {"render_thread_s", NamedSeconds(ENamedEngineTiming::RenderCommand)},
            {"screen_pass_s", NamedSeconds(ENamedEngineTiming::ScreenPass)},
        };
    }

    // Seconds the engine spent in each named piece of work of Kind during the play.
    static nlohmann::json NamedSeconds(ENamedEngineTiming Kind)
    {
        nlohmann::json Seconds = nlohmann::json::object();
        for (const FNamedEngineTiming& Timing : FEngineTimings::Named(Kind))
        {
            Seconds[Timing.Name] = Timing.Seconds;
        }
        return Seconds;
    }

    const EMode Mode;
    const FRunOptions Options;
    FScopedFolder Saved;
    std::unique_ptr<FDemoScene> Scene;
    UGameInstance GameInstance;
    UQuorvexSubsystem* Quorvex = nullptr;
    FDemoFramePacer Pacer;
};

// Runs one play in a forked child and returns what it reported. The child exits
// without tearing anything down: the figures are taken, the rest is the OS's.
nlohmann::json RunPlayProcess(EMode Mode, const FRunOptions& Options, const std::string& BaseUrl)
{
    std::string Text;
    const bool bExited =
        RunInForkedChild([&] { return (new FPlay(Mode, Options, BaseUrl))->Run().dump(); }, Text);
    nlohmann::json Report = nlohmann::json::parse(Text, nullptr, false);
    if (!bExited || !Report.is_object())
    {
        return {{"error", "the play process failed"}};
    }
    return Report;
}

// ---- The runner ----

bool ParseOptions(int argc, char** argv, FRunOptions& Out)
{
    for (int I = 1; I < argc; ++I)
    {
        const std::string Arg = argv[I];
        const bool bHasValue = I + 1 < argc;
        if (Arg == "--rounds" && bHasValue)
        {
            Out.Rounds = std::max(1, std::atoi(argv[++I]));
        }
        else if (Arg == "--seconds" && bHasValue)
        {
            Out.Seconds = std::max(1.0, std::atof(argv[++I]));
        }
        else if (Arg == "--warmup" && bHasValue)
        {
            Out.WarmupSeconds = std::max(0.0, std::atof(argv[++I]));
        }
        else if (Arg == "--json" && bHasValue)
        {
            Out.JsonPath = argv[++I];
        }
        else
        {
            std::fprintf(stderr, "usage: RecorderBenchmark [--rounds N] [--seconds S] [--warmup S] "
                                 "[--json FILE]\n");
            return false;
        }
    }
    return true;
}

double Median(const std::vector<nlohmann::json>& Plays, const char* Key)
{
    std::vector<double> Values;
    for (const nlohmann::json& Play : Plays)
    {
        Values.push_back(Play.value(Key, 0.0));
    }
    return Percentile(Values, 0.5);
}

// The median over rounds of (Mode's value - the game's own in the same round).
double MedianDifference(const std::vector<nlohmann::json>& Plays,
                        const std::vector<nlohmann::json>& Baseline, const char* Key)
{
    std::vector<double> Values;
    for (size_t Round = 0; Round < Plays.size() && Round < Baseline.size(); ++Round)
    {
        Values.push_back(Plays[Round].value(Key, 0.0) - Baseline[Round].value(Key, 0.0));
    }
    return Percentile(Values, 0.5);
}

nlohmann::json Summarise(const std::map<EMode, std::vector<nlohmann::json>>& Plays,
                         const FDevBackendProcess& Backend)
{
    nlohmann::json Summary;
    const std::vector<nlohmann::json>& None = Plays.at(EMode::None);
    for (EMode Mode : Modes)
    {
        const std::vector<nlohmann::json>& Of = Plays.at(Mode);
        nlohmann::json Figures;
        for (const char* Key :
             {"interval_median_ms", "interval_p99_ms", "frame_median_ms", "frame_p99_ms",
              "game_thread_ms_per_frame", "render_thread_ms_per_frame",
              "render_thread_ms_per_frame_without_downscale", "software_downscale_ms",
              "worker_cpu_s", "network_cpu_s", "cpu_share_pct", "wall_s", "allocs_per_frame"})
        {
            Figures[Key] = Median(Of, Key);
        }
        Figures["peak_mib_over_none"] = MedianDifference(Of, None, "peak_kib") / 1024.0;
        Figures["allocs_per_frame_over_none"] = MedianDifference(Of, None, "allocs_per_frame");
        Figures["plays"] = Of;
        Summary[ModeWord(Mode)] = Figures;
    }
    // Blocks of 2 KiB or more per capture, beyond what the game itself allocates in
    // the same time: the capture path alone, and with the batch uploads.
    for (EMode Mode : {EMode::Capture, EMode::Record})
    {
        double LargePerCapture = 0.0;
        const std::vector<nlohmann::json>& Of = Plays.at(Mode);
        for (size_t Round = 0; Round < Of.size(); ++Round)
        {
            const double Captures = std::max(1.0, Of[Round].value("captures", 0.0));
            const double Extra = Of[Round].value("large_allocs", 0.0) -
                                 None[Round].value("large_allocs", 0.0) *
                                     Of[Round].value("frames", 0.0) /
                                     std::max(1.0, None[Round].value("frames", 1.0));
            LargePerCapture = std::max(LargePerCapture, Extra / Captures);
        }
        Summary[ModeWord(Mode)]["large_allocs_per_capture_max"] = LargePerCapture;
    }
    // What the store received from the recording plays: they really uploaded.
    int64 Objects = 0;
    for (const nlohmann::json& Play : Plays.at(EMode::Record))
    {
        Objects += Backend.CountObjects(Play.value("session", std::string()));
    }
    Summary["record"]["objects_in_store"] = Objects;
    return Summary;
}

void PrintSummary(const nlohmann::json& Summary)
{
    std::printf("%-7s %9s %9s %10s %10s %11s %11s %10s %10s %9s %11s %11s\n", "mode", "intv p50",
                "intv p99", "work p50", "work p99", "GT ms/frame", "RT ms/frame", "downscale",
                "CPU %core", "peak +MiB", "allocs/frm", "+allocs/frm");
    for (EMode Mode : Modes)
    {
        const nlohmann::json& F = Summary[ModeWord(Mode)];
        std::printf("%-7s %7.3fms %7.3fms %8.3fms %8.3fms %11.4f %11.4f %8.1fms %10.3f %9.2f "
                    "%11.1f %11.2f\n",
                    ModeWord(Mode), F["interval_median_ms"].get<double>(),
                    F["interval_p99_ms"].get<double>(), F["frame_median_ms"].get<double>(),
                    F["frame_p99_ms"].get<double>(), F["game_thread_ms_per_frame"].get<double>(),
                    F["render_thread_ms_per_frame"].get<double>(),
                    F["software_downscale_ms"].get<double>(), F["cpu_share_pct"].get<double>(),
                    F["peak_mib_over_none"].get<double>(), F["allocs_per_frame"].get<double>(),
                    F["allocs_per_frame_over_none"].get<double>());
    }
    std::printf("large (>= 2 KiB) allocations per capture, worst round: capture %.2f, record "
                "%.2f; objects in the store: %lld\n",
                Summary["capture"]["large_allocs_per_capture_max"].get<double>(),
                Summary["record"]["large_allocs_per_capture_max"].get<double>(),
                static_cast<long long>(Summary["record"]["objects_in_store"].get<int64>()));
}
} // namespace

int main(int argc, char** argv)
{
    FRunOptions Options;
    if (!ParseOptions(argc, argv, Options))
    {
        return 2;
    }
    // Forks come first, while this process has a single thread.
    FDevBackendProcess Backend;
    FDevBackendProcess NoUploadsBackend;
    if (!Backend.Start(RecorderBackendOptions(true)) ||
        !NoUploadsBackend.Start(RecorderBackendOptions(false)))
    {
        std::fprintf(stderr, "the dev backend did not start\n");
        return 1;
    }
    std::map<EMode, std::vector<nlohmann::json>> Plays;
    for (int Round = 0; Round < Options.Rounds; ++Round)
    {
        // The order rotates from round to round, so no mode always runs first.
        for (size_t Step = 0; Step < Modes.size(); ++Step)
        {
            const EMode Mode = Modes[(Step + static_cast<size_t>(Round)) % Modes.size()];
            std::fprintf(stderr, "round %d/%d: %s\n", Round + 1, Options.Rounds, ModeWord(Mode));
            const FDevBackendProcess& Serving = Mode == EMode::Capture ? NoUploadsBackend : Backend;
            nlohmann::json Report = RunPlayProcess(Mode, Options, Serving.BaseUrl());
            if (Report.contains("error"))
            {
                std::fprintf(stderr, "%s play failed: %s\n", ModeWord(Mode),
                             Report["error"].get<std::string>().c_str());
                return 1;
            }
            Plays[Mode].push_back(std::move(Report));
        }
    }
    const nlohmann::json Summary = Summarise(Plays, Backend);
    PrintSummary(Summary);
    if (!Options.JsonPath.empty())
    {
        std::ofstream(Options.JsonPath) << Summary.dump(2) << "\n";
    }
    return 0;
}
