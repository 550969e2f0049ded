// A recording session as a game runs it: a 1280 x 720 scene captured at one frame a
// second for ten minutes of game time, run in engine frames of a fixed game-time step
// as fast as the machine allows, uploading a batch every send interval to the dev
// backend's store over loopback.
//
// 1. The game thread's cost of each send tick (detach the live batch, dispatch it to
//    the worker that builds and uploads the archive): median, p99 and max over every
//    send of every round, in microseconds. Target: under 50 us.
// 2. The session's peak resident memory with uploads against the same session
//    without them. Target: no more than 8 MiB above.
// 3. That the session really uploaded: the store holds one object per send that had
//    frames, so the figures are never those of a session that failed quietly.
//
// Peer, measured in the same run: the naive send that builds the archive on the game
// thread itself (what the worker spares the frame).
//
// How it is measured. The server's uploadIntervalMs is a day, so the subsystem's own
// tick never sends; the benchmark calls SendDataPayload(false, false) at the send
// cadence of game time, between two engine frames, and times only that call. Timing
// the ticks that happened to send, minus an estimate of a tick without one, would
// mix the send with the capture step and the readback poll of the same frame and
// subtract two noisy figures; the direct call is the exact work the send tick adds.
// Uploads then finish in the background while the benchmark keeps running frames,
// as a game would.
//
// Every session runs in its own forked process so that each has its own peak
// (VmHWM); the two modes alternate order from round to round. The dev backend runs in
// a process of its own too, forked before anything else starts a thread, so the bytes
// it receives and writes never count towards the game's peak.
#include "DevBackendProcess.h"
#include "Files.h"
#include "ForkedRun.h"
#include "Logging.h"
#include "Percentile.h"
#include "ProcessMemory.h"
#include "QuorvexLog.h"
#include "QuorvexSubsystemTestPeer.h"
#include "Tasks.h"
#include "TestEngineScene.h"
#include "TestSupport.h"

#include <benchmark/benchmark.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{
using FClockType = std::chrono::steady_clock;

constexpr int32 SessionGameSeconds = 600;
// Engine frames of a quarter second of game time (a 1280 x 720 frame of the software
// scene costs tens of milliseconds, so shorter steps would make a ten-minute session
// take many minutes of real time); a capture still running is given extra frames of
// no game time before the next is due.
constexpr int32 FramesPerSecond = 4;
constexpr float FrameSeconds = 1.f / FramesPerSecond;
constexpr int32 SceneWidth = 1280;
constexpr int32 SceneHeight = 720;
// The server's send interval, made long enough that the subsystem never sends on its own.
constexpr int32 NeverSendMs = 24 * 3600 * 1000;
// How long the end of a session may wait for its last upload (real time).
constexpr auto UploadDrainDeadline = std::chrono::seconds(120);

enum class ESessionMode : int
{
    NoUploads,        // frames are captured and kept; nothing is ever sent
    Uploads,          // a send tick every interval; the worker builds and uploads
    GameThreadArchive // peer: the send tick builds the archive on the game thread
};

const char* ModeWord(ESessionMode Mode)
{
    switch (Mode)
    {
    case ESessionMode::NoUploads:
        return "no-uploads";
    case ESessionMode::Uploads:
        return "uploads";
    case ESessionMode::GameThreadArchive:
        return "game-thread-archive";
    }
    return "?";
}

// What a session process reports to the runner.
struct FSessionReport
{
    bool bOk = false;
    std::string Error;
    std::string SessionId;
    int64 PeakKib = 0;
    int64 Frames = 0;          // frames that reached the live batch during the session
    int64 Sends = 0;           // send ticks made
    int64 SendsWithFrames = 0; // send ticks that found frames in the live batch
    int64 Dispatched = 0;      // send ticks that took the in-flight slot
    std::vector<double> SendMicros;
    // Parts of a send, each timed on its own right after it (outside SendMicros).
    std::vector<double> StatusLogMicros; // one info line of the status change's shape
    std::vector<double> PostMicros;      // posting a task to a background worker
    std::vector<double> DetachMicros;    // the peer only: detaching the live batch
};

double MicrosSince(FClockType::time_point Start)
{
    return std::chrono::duration<double, std::micro>(FClockType::now() - Start).count();
}

int32 ThreadCount()
{
    return static_cast<int32>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                            std::filesystem::directory_iterator()));
}

std::string Serialize(const FSessionReport& Report)
{
    std::ostringstream Out;
    Out << "ok " << (Report.bOk ? 1 : 0) << "\nsession " << Report.SessionId << "\npeak "
        << Report.PeakKib << "\nframes " << Report.Frames << "\nsends " << Report.Sends
        << "\nsends_with_frames " << Report.SendsWithFrames << "\ndispatched " << Report.Dispatched;
    const auto List = [&Out](const char* Key, const std::vector<double>& Values)
    {
        Out << '\n' << Key;
        for (double Micros : Values)
        {
            Out << ' ' << Micros;
        }
    };
    List("send_us", Report.SendMicros);
    List("log_us", Report.StatusLogMicros);
    List("post_us", Report.PostMicros);
    List("detach_us", Report.DetachMicros);
    Out << "\nerror " << Report.Error << "\n";
    return Out.str();
}

FSessionReport Parse(const std::string& Text)
{
    FSessionReport Report;
    std::istringstream In(Text);
    for (std::string Line; std::getline(In, Line);)
    {
        std::istringstream Fields(Line);
        std::string Key;
        Fields >> Key;
        if (Key == "ok")
        {
            int Ok = 0;
            Fields >> Ok;
            Report.bOk = Ok == 1;
        }
        else if (Key == "session")
        {
            Fields >> Report.SessionId;
        }
        else if (Key == "peak")
        {
            Fields >> Report.PeakKib;
        }
        else if (Key == "frames")
        {
            Fields >> Report.Frames;
        }
        else if (Key == "sends")
        {
            Fields >> Report.Sends;
        }
        else if (Key == "sends_with_frames")
        {
            Fields >> Report.SendsWithFrames;
        }
        else if (Key == "dispatched")
        {
            Fields >> Report.Dispatched;
        }
        else if (Key == "send_us" || Key == "log_us" || Key == "post_us" || Key == "detach_us")
        {
            std::vector<double>& Values = Key == "send_us"   ? Report.SendMicros
                                          : Key == "log_us"  ? Report.StatusLogMicros
                                          : Key == "post_us" ? Report.PostMicros
                                                             : Report.DetachMicros;
            for (double Micros = 0; Fields >> Micros;)
            {
                Values.push_back(Micros);
            }
        }
        else if (Key == "error")
        {
            std::getline(Fields, Report.Error);
        }
    }
    return Report;
}

// The server's capture configuration for these sessions.
FDevBackendOptions SessionBackendOptions()
{
    FDevBackendOptions Options;
    Options.CaptureConfig["uploadIntervalMs"] = NeverSendMs;
    Options.CaptureConfig["captureIntervalSeconds"] = 1.0;
    Options.CaptureConfig["resolution"] = {{"width", SceneWidth}, {"height", SceneHeight}};
    Options.CaptureConfig["stopCaptureCpuUsagePercent"] = 0;
    // Ten minutes of unsent frames must fit, or the session without uploads would
    // stop capturing at the storage limit and measure less than the other.
    Options.CaptureConfig["maxStorageSizeMb"] = 4096;
    return Options;
}

// ---- One session, in the child process ----

class FSessionRun
{
public:
    FSessionRun(ESessionMode InMode, int32 InSendSeconds, const std::string& BaseUrl)
        : Mode(InMode), SendSeconds(InSendSeconds)
    {
        FLogSinks::SetStderrEnabled(false);
        FTaskGraph::SetGameThread();
        FPaths::SetProjectSavedDir(Saved.Path());
        FTestSceneOptions Options;
        Options.WindowSize = {SceneWidth, SceneHeight};
        Options.ViewportPosition = {0.f, 0.f};
        Options.ViewportSlotSize = {static_cast<float>(SceneWidth),
                                    static_cast<float>(SceneHeight)};
        Options.ViewportSize = {SceneWidth, SceneHeight};
        Scene = std::make_unique<FTestEngineScene>(Options);
        FSubsystemCollectionBase Collection;
        Subsystem.Initialize(Collection);
        Subsystem.SetDebugLogsEnabled(false, false);
        Subsystem.BaseHostUrlOverride = BaseUrl;
    }

    FSessionReport Run()
    {
        if (!StartSession())
        {
            Report.Error = "the session did not start";
            return Report;
        }
        Report.SessionId = Subsystem.GetCurrentSessionId();
        // Counted in whole frames so that float sums never lose the last send.
        const int32 FramesPerSend = SendSeconds * FramesPerSecond;
        for (int32 Frame = 1; Frame <= SessionGameSeconds * FramesPerSecond; ++Frame)
        {
            // A game at 60 frames a second gives a capture dozens of frames to finish;
            // before a frame that captures, extra frames of no game time do the same
            // here, so no capture is skipped for an encode still running.
            if (Peer.CaptureAccumulator() + FrameSeconds >= 1.f &&
                !RunFramesUntil([&] { return Peer.IsCaptureIdle(); }))
            {
                Report.Error = "a capture did not finish";
                return Report;
            }
            Scene->Loop.Tick(FrameSeconds);
            if (Frame % FramesPerSend == 0)
            {
                SendTick();
            }
        }
        Report.Frames += static_cast<int64>(Peer.LiveScreenshots().size());
        // The last upload finishes in the background while frames keep running.
        const bool bDrained = RunFramesUntil([&] { return Peer.InFlightUploads() == 0; });
        Report.PeakKib = ReadStatusKib("VmHWM:");
        if (!bDrained)
        {
            Report.Error = "the last upload did not finish";
            return Report;
        }
        Report.bOk = true;
        return Report;
    }

private:
    bool StartSession()
    {
        bool bStarted = false;
        bool bOk = false;
        Subsystem.StartSessionNative("bench", "",
                                     [&](EQuorvexSdkResponse Response, const FString&)
                                     {
                                         bStarted = true;
                                         bOk = Response == EQuorvexSdkResponse::QUORVEX_SUCCESS;
                                     });
        return RunFramesUntil([&] { return bStarted; }) && bOk;
    }

    // Runs engine frames (game time stands still) until Condition holds or the
    // deadline passes.
    bool RunFramesUntil(const std::function<bool()>& Condition)
    {
        const auto Deadline = FClockType::now() + UploadDrainDeadline;
        while (!Condition())
        {
            if (FClockType::now() > Deadline)
            {
                return false;
            }
            Scene->Loop.Tick(0.f);
            FTaskGraph::WaitForGameThreadTask(0.001);
        }
        return true;
    }

    void SendTick()
    {
        const int64 LiveFrames = static_cast<int64>(Peer.LiveScreenshots().size());
        Report.Frames += LiveFrames;
        ++Report.Sends;
        Report.SendsWithFrames += LiveFrames > 0 ? 1 : 0;
        if (Mode == ESessionMode::NoUploads)
        {
            return;
        }
        const int32 InFlightBefore = Peer.InFlightUploads();
        const auto Start = FClockType::now();
        if (Mode == ESessionMode::Uploads)
        {
            Peer.SendDataPayload(false, false);
        }
        else
        {
            BuildArchiveOnGameThread();
        }
        Report.SendMicros.push_back(MicrosSince(Start));
        Report.Dispatched += Peer.InFlightUploads() > InFlightBefore ? 1 : 0;
        if (Mode == ESessionMode::Uploads)
        {
            TimeSendParts();
        }
    }

    // Two parts of a send, timed right after it: the info line each status change
    // writes (not gated by the debug switch) and handing a task to a worker.
    void TimeSendParts()
    {
        auto Start = FClockType::now();
        QUORVEX_LOG(Log, "QuorvexSDK: SDK status %s -> %s%s%s", "Capturing", "Uploading",
                    " reason=", "dispatch-current");
        Report.StatusLogMicros.push_back(MicrosSince(Start));
        Start = FClockType::now();
        AsyncTask(ENamedThreads::AnyBackgroundThreadNormalTask, [] {});
        Report.PostMicros.push_back(MicrosSince(Start));
    }

    // The peer's send: detach and build the archive right here, then drop it.
    void BuildArchiveOnGameThread()
    {
        FQuorvexDetachedBatchData Batch;
        const auto Start = FClockType::now();
        const bool bDetached = Peer.TryDetachCurrentBatch(Batch);
        Report.DetachMicros.push_back(MicrosSince(Start));
        if (!bDetached)
        {
            return;
        }
        std::vector<FQuorvexMediaFrame> Frames;
        FString ZipPath;
        int64 ZipSize = 0;
        if (Peer.BuildBatchZip(Batch, Frames, ZipPath, ZipSize))
        {
            std::error_code Ignored;
            std::filesystem::remove(ZipPath, Ignored);
        }
    }

    ESessionMode Mode;
    int32 SendSeconds;
    FTempDir Saved;
    std::unique_ptr<FTestEngineScene> Scene;
    UQuorvexSubsystem Subsystem;
    FQuorvexSubsystemTestPeer Peer{Subsystem};
    FSessionReport Report;
};

// Runs one session in a forked child and returns what it reported. The child never
// tears the subsystem down (teardown would flush a final batch and add an object the
// count does not expect): it reports, removes its folder and exits.
FSessionReport RunSessionProcess(ESessionMode Mode, int32 SendSeconds, const std::string& BaseUrl)
{
    std::string Text;
    const bool bExited = RunInForkedChild(
        [&] { return Serialize((new FSessionRun(Mode, SendSeconds, BaseUrl))->Run()); }, Text);
    FSessionReport Report = Parse(Text);
    if (!bExited)
    {
        Report.bOk = false;
        Report.Error += " (the session process failed)";
    }
    return Report;
}

FDevBackendProcess* GBackend = nullptr;

double Median(const std::vector<double>& Values)
{
    return Percentile(Values, 0.5);
}

// Runs a session and checks it; false (with the benchmark marked failed) when it did
// not complete or did not upload what it sent.
bool RunChecked(benchmark::State& State, ESessionMode Mode, int32 SendSeconds,
                FSessionReport& OutReport)
{
    OutReport = RunSessionProcess(Mode, SendSeconds, GBackend->BaseUrl());
    if (!OutReport.bOk)
    {
        State.SkipWithError((std::string(ModeWord(Mode)) + ": " + OutReport.Error).c_str());
        return false;
    }
    const int64 Objects = GBackend->CountObjects(OutReport.SessionId);
    const int64 Expected = Mode == ESessionMode::Uploads ? OutReport.SendsWithFrames : 0;
    if (Objects != Expected || (Mode == ESessionMode::Uploads && OutReport.Dispatched != Expected))
    {
        const std::string Error = std::string(ModeWord(Mode)) + ": the store holds " +
                                  std::to_string(Objects) + " objects, expected " +
                                  std::to_string(Expected) + " (dispatched " +
                                  std::to_string(OutReport.Dispatched) + ")";
        State.SkipWithError(Error.c_str());
        return false;
    }
    return true;
}

void SetSendCounters(benchmark::State& State, const std::vector<double>& Micros)
{
    State.counters["send_median_us"] = Median(Micros);
    State.counters["send_p99_us"] = Percentile(Micros, 0.99);
    State.counters["send_max_us"] =
        Micros.empty() ? 0.0 : *std::max_element(Micros.begin(), Micros.end());
    State.counters["send_samples"] = static_cast<double>(Micros.size());
}

// Arg: the send interval in seconds of game time.
void BM_UploadSession(benchmark::State& State)
{
    const int32 SendSeconds = static_cast<int32>(State.range(0));
    std::vector<double> SendMicros, LogMicros, PostMicros, PeakWithMiB, PeakWithoutMiB, AddedMiB;
    int64 Objects = 0, Frames = 0, Round = 0;
    for (auto _ : State)
    {
        FSessionReport With, Without;
        const bool bUploadsFirst = Round++ % 2 == 0;
        const bool bOk = bUploadsFirst
                             ? RunChecked(State, ESessionMode::Uploads, SendSeconds, With) &&
                                   RunChecked(State, ESessionMode::NoUploads, SendSeconds, Without)
                             : RunChecked(State, ESessionMode::NoUploads, SendSeconds, Without) &&
                                   RunChecked(State, ESessionMode::Uploads, SendSeconds, With);
        if (!bOk)
        {
            return;
        }
        SendMicros.insert(SendMicros.end(), With.SendMicros.begin(), With.SendMicros.end());
        LogMicros.insert(LogMicros.end(), With.StatusLogMicros.begin(), With.StatusLogMicros.end());
        PostMicros.insert(PostMicros.end(), With.PostMicros.begin(), With.PostMicros.end());
        PeakWithMiB.push_back(static_cast<double>(With.PeakKib) / 1024.0);
        PeakWithoutMiB.push_back(static_cast<double>(Without.PeakKib) / 1024.0);
        AddedMiB.push_back(PeakWithMiB.back() - PeakWithoutMiB.back());
        Objects += With.Dispatched;
        Frames += With.Frames;
    }
    SetSendCounters(State, SendMicros);
    State.counters["part_status_log_median_us"] = Median(LogMicros);
    State.counters["part_worker_post_median_us"] = Median(PostMicros);
    State.counters["peak_uploads_MiB"] = Median(PeakWithMiB);
    State.counters["peak_no_uploads_MiB"] = Median(PeakWithoutMiB);
    State.counters["peak_added_MiB"] = Median(AddedMiB);
    State.counters["peak_added_max_MiB"] = *std::max_element(AddedMiB.begin(), AddedMiB.end());
    State.counters["objects/session"] =
        static_cast<double>(Objects) / static_cast<double>(State.iterations());
    State.counters["frames/session"] =
        static_cast<double>(Frames) / static_cast<double>(State.iterations());
}
BENCHMARK(BM_UploadSession)
    ->Arg(60)
    ->Iterations(3)
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

// The peer: the same session whose send tick builds the archive on the game thread.
void BM_PeerGameThreadArchiveSession(benchmark::State& State)
{
    const int32 SendSeconds = static_cast<int32>(State.range(0));
    std::vector<double> SendMicros, DetachMicros;
    int64 Frames = 0;
    for (auto _ : State)
    {
        FSessionReport Report;
        if (!RunChecked(State, ESessionMode::GameThreadArchive, SendSeconds, Report))
        {
            return;
        }
        SendMicros.insert(SendMicros.end(), Report.SendMicros.begin(), Report.SendMicros.end());
        DetachMicros.insert(DetachMicros.end(), Report.DetachMicros.begin(),
                            Report.DetachMicros.end());
        Frames += Report.Frames;
    }
    SetSendCounters(State, SendMicros);
    State.counters["part_detach_median_us"] = Median(DetachMicros);
    State.counters["part_detach_max_us"] =
        DetachMicros.empty() ? 0.0 : *std::max_element(DetachMicros.begin(), DetachMicros.end());
    State.counters["frames/session"] =
        static_cast<double>(Frames) / static_cast<double>(State.iterations());
}
BENCHMARK(BM_PeerGameThreadArchiveSession)
    ->Arg(60)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
} // namespace

int main(int argc, char** argv)
{
    // Forks come first, while this process has a single thread.
    FDevBackendProcess Backend;
    if (!Backend.Start(SessionBackendOptions()))
    {
        std::fprintf(stderr, "the dev backend did not start\n");
        return 1;
    }
    GBackend = &Backend;
    benchmark::Initialize(&argc, argv);
    if (ThreadCount() != 1)
    {
        std::fprintf(stderr, "the runner must stay single-threaded to fork sessions\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
