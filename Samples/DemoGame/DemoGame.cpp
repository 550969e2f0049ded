// A headless game that records itself with the Quorvex SDK.
//
// It renders an animated scene with a HUD box over it into a window on the software
// GPU, starts a session against the loopback dev backend (started in-process unless
// --backend names another), plays paced at 60 frames a second with scripted input
// (clicks, drags, long presses, touches, keys, wheel) while the SDK captures
// screenshots, records the input and uploads a batch every few seconds, stops the
// session, prints what happened and what it cost, and leaves the session's replay
// page: served until Ctrl-C with --serve, else written to a folder that opens from disk.
#include "DemoBackend.h"
#include "DemoLog.h"
#include "DemoOptions.h"
#include "DemoPlay.h"

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>

namespace
{
// Ctrl-C and SIGTERM: blocked in every thread (so no handler ever runs inside the
// game's code) and taken by one thread that raises the signal. Start it before any
// other thread.
class FStopSignal
{
public:
    FStopSignal()
    {
        sigemptyset(&Signals);
        sigaddset(&Signals, SIGINT);
        sigaddset(&Signals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &Signals, nullptr);
        std::thread(
            [this]
            {
                int Signal = 0;
                while (sigwait(&Signals, &Signal) == 0)
                {
                    std::lock_guard Lock(Mutex);
                    bRaised = true;
                    Raised.notify_all();
                }
            })
            .detach();
    }
    // Lives as long as the process: the watching thread is never joined.
    static FStopSignal& Get()
    {
        static FStopSignal* Instance = new FStopSignal();
        return *Instance;
    }

    const std::atomic<bool>& Flag() const { return bRaised; }
    void Wait()
    {
        std::unique_lock Lock(Mutex);
        Raised.wait(Lock, [this] { return bRaised.load(); });
    }

private:
    sigset_t Signals;
    std::mutex Mutex;
    std::condition_variable Raised;
    std::atomic<bool> bRaised{false}; // written under Mutex
};

FString DefaultReplayFolder()
{
    return (std::filesystem::temp_directory_path() / "quorvex-demo-replay").string();
}

void PrintCost(const FDemoCostReport& Cost)
{
    std::printf("  game thread:        median %.2f ms, p99 %.2f ms a frame over %lld frames (its "
                "work and its waits for the render thread; the vsync wait excluded)\n",
                Cost.FrameMedianMs, Cost.FrameP99Ms, static_cast<long long>(Cost.Frames));
    std::printf("  recorder, game thread:   %.3f ms per frame\n", Cost.GameThreadMsPerFrame);
    std::printf("  recorder, render thread: %.3f ms per frame (of which %.0f ms in all is the "
                "stand-in GPU's software downscale, which a real GPU does)\n",
                Cost.RenderThreadMsPerFrame, Cost.SoftwareDownscaleMs);
    std::printf("  recorder CPU:       %.2f %% of one core (encoding and files %.0f ms, network "
                "%.0f ms, over %.1f s; software downscale excluded)\n",
                Cost.CpuSharePercent, Cost.WorkerCpuSeconds * 1000.0,
                Cost.NetworkCpuSeconds * 1000.0, Cost.WallSeconds);
}

void PrintPlayed(const FDemoPlayResult& Played)
{
    const FDemoInputScript::FCounts& Input = Played.InputPlayed;
    std::printf("  input played:       %d clicks, %d drags, %d long presses, %d touches, %d key "
                "presses, %d wheel notches\n",
                Input.Clicks, Input.Drags, Input.LongPresses, Input.Touches, Input.KeyPresses,
                Input.Scrolls);
}

std::string DescribeGestures(const std::map<std::string, int32>& ByKind)
{
    std::string Out;
    for (const auto& [Kind, Count] : ByKind)
    {
        Out += (Out.empty() ? "" : ", ") + std::to_string(Count) + " " + Kind;
    }
    return Out.empty() ? "none" : Out;
}

// Stored frames must all be in the store or in a logged drop; prints the books and
// says whether they balance.
bool PrintFrameBooks(const FDemoLog& Log, const FDemoStoreBooks& Books)
{
    int32 Dropped = 0;
    for (const auto& [Rule, Count] : Log.FramesDropped())
    {
        Dropped += Count;
    }
    std::printf("  frames:             %d captured, %d uploaded, %d dropped\n", Log.FramesStored(),
                Books.Frames, Dropped);
    for (const auto& [Rule, Count] : Log.FramesDropped())
    {
        std::printf("                      %d dropped by: %s\n", Count, Rule.c_str());
    }
    const bool bBalanced = Log.FramesStored() == Books.Frames + Dropped;
    std::printf("                      %s\n",
                bBalanced ? "every captured frame is accounted for"
                          : "MISMATCH: captured frames are missing from the store and the log");
    return bBalanced;
}

int SummariseOtherBackend(const FDemoOptions& Options, int32 UploadedBatches, const FDemoLog& Log,
                          const FDemoPlayResult& Played)
{
    std::printf("\n[demo] summary\n");
    std::printf("  session:            %s\n",
                Played.SessionId.empty() ? "(none)" : Played.SessionId.c_str());
    std::printf("  frames captured:    %d\n  batches uploaded:   %d\n", Log.FramesStored(),
                UploadedBatches);
    PrintPlayed(Played);
    PrintCost(Played.Cost);
    std::printf("  replay:             kept by the backend at %s\n", Options.Backend.c_str());
    return Played.bStopped && Log.FramesStored() > 0 && UploadedBatches > 0 ? 0 : 1;
}

// The summary of a run against the in-process backend; true when the recording is
// whole: frames and input reached the store and every frame is accounted for.
bool SummariseDevBackend(const FDemoStoreBooks& Books, const FDemoLog& Log,
                         const FDemoPlayResult& Played)
{
    std::printf("\n[demo] summary\n");
    for (const std::string& Id : Books.SessionIds)
    {
        std::printf("  session:            %s\n", Id.c_str());
    }
    std::printf("  batches:            %d in the store, %lld bytes uploaded\n", Books.Batches,
                static_cast<long long>(Books.Bytes));
    const bool bBalanced = PrintFrameBooks(Log, Books);
    PrintPlayed(Played);
    std::printf("  gestures recorded:  %s\n", DescribeGestures(Books.GesturesByKind).c_str());
    std::printf("  game events:        %d sent (a jump on Space, a zoom on the wheel), %d reached "
                "the backend\n",
                Played.GameEvents, Books.GameEvents);
    for (const std::string& Problem : Books.Problems)
    {
        std::printf("  problem:            %s\n", Problem.c_str());
    }
    PrintCost(Played.Cost);
    const auto Has = [&](const char* Kind) { return Books.GesturesByKind.count(Kind) > 0; };
    const std::pair<bool, const char*> Checks[] = {
        {Played.bStopped, "the session's stop did not complete"},
        {Books.Frames > 0, "no frame reached the store"},
        {Has("tap") && Has("key"),
         "no tap or no key press reached the store (the script presses its first key 6.3 s in)"},
        {bBalanced, "captured frames are missing"},
        {Books.Problems.empty(), "the backend could not read back every archive"},
    };
    bool bWhole = true;
    for (const auto& [bPassed, Why] : Checks)
    {
        if (!bPassed)
        {
            std::printf("[demo] the recording is not whole: %s\n", Why);
            bWhole = false;
        }
    }
    return bWhole;
}

// Serves the replay until Ctrl-C, or writes it to a folder; false when it could not.
bool LeaveReplay(FDemoBackend& Backend, const FDemoOptions& Options,
                 const std::vector<std::string>& SessionIds)
{
    if (Options.bServe)
    {
        for (const std::string& Id : SessionIds)
        {
            std::printf("[demo] replay: %s\n", Backend.ReplayUrl(Id).c_str());
        }
        std::printf("[demo] serving the replay page until Ctrl-C\n");
        FStopSignal::Get().Wait();
        return true;
    }
    const FString Folder =
        Options.OutputFolder.empty() ? DefaultReplayFolder() : Options.OutputFolder;
    std::vector<std::string> Pages;
    std::string Error;
    if (!Backend.ExportReplay(Folder, Pages, Error))
    {
        std::fprintf(stderr, "DemoGame: %s\n", Error.c_str());
        return false;
    }
    std::printf("[demo] replay folder: %s\n", std::filesystem::absolute(Folder).c_str());
    for (const std::string& Page : Pages)
    {
        std::printf("[demo] replay: %s\n", Page.c_str());
    }
    return true;
}
} // namespace

int main(int Argc, char** Argv)
{
    FDemoOptions Options;
    std::string Error;
    if (!ParseDemoOptions({Argv + 1, Argv + Argc}, Options, Error))
    {
        std::fprintf(stderr, "DemoGame: %s\n\n%s", Error.c_str(), DemoUsage().c_str());
        return 2;
    }
    if (Options.bHelp)
    {
        std::printf("%s", DemoUsage().c_str());
        return 0;
    }
    FStopSignal& Stop = FStopSignal::Get();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    const bool bOwnBackend = Options.Backend.empty();
    FDemoBackend Backend(Options);
    if (bOwnBackend && !Backend.Start(Error))
    {
        std::fprintf(stderr, "DemoGame: %s\n", Error.c_str());
        return 2;
    }
    const FString BackendUrl = bOwnBackend ? Backend.Url() : Options.Backend;
    std::atomic<int32> UploadedBatches{0};
    FDemoLog Log(
        [&](int64 Sequence, int32 Frames)
        {
            ++UploadedBatches;
            if (!bOwnBackend) // the in-process backend prints what its store accepted
            {
                std::printf("[upload] batch seq=%lld: %d frame(s)\n",
                            static_cast<long long>(Sequence), Frames);
            }
        });
    std::printf("[demo] backend: %s\n", BackendUrl.c_str());
    const FDemoPlayResult Played = PlayDemo(Options, BackendUrl, Log, Stop.Flag());
    if (Played.bStartFailed)
    {
        std::fprintf(stderr, "DemoGame: could not start a session at %s: %s\n", BackendUrl.c_str(),
                     Played.StartMessage.c_str());
        return 1;
    }
    if (!bOwnBackend)
    {
        return SummariseOtherBackend(Options, UploadedBatches, Log, Played);
    }
    const FDemoStoreBooks Books = Backend.ReadBooks();
    const bool bWhole = SummariseDevBackend(Books, Log, Played);
    const bool bReplay = LeaveReplay(Backend, Options, Books.SessionIds);
    Backend.Stop();
    return bWhole && bReplay ? 0 : 1;
}
