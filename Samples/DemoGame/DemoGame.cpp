// A headless game that records itself with the Quorvex SDK.
//
// It renders an animated scene with a HUD box over it into a window on the software
// GPU, starts a session against the loopback dev backend (started in-process unless
// --backend names another), plays for a few seconds of game time with scripted
// input (clicks, drags, long presses, touches, keys, wheel) while the SDK captures
// screenshots and records the input, stops the session, and prints what happened.
#include "DemoScene.h"
#include "DevBackendServer.h"
#include "DisplayMetrics.h"
#include "Files.h"
#include "GameInstance.h"
#include "PluginManager.h"
#include "ProjectSettings.h"
#include "QuorvexSDKModule.h"
#include "QuorvexSubsystem.h"
#include "Tasks.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>

namespace
{
struct FDemoOptions
{
    float Seconds = 12.f;
    FString Backend;       // empty: start the dev backend here
    bool bUnpaced = false; // run frames as fast as possible instead of 60 a second
};

bool ParseArgs(int Argc, char** Argv, FDemoOptions& Out)
{
    for (int I = 1; I < Argc; ++I)
    {
        const std::string Arg = Argv[I];
        if (Arg == "--seconds" && I + 1 < Argc)
        {
            Out.Seconds = std::max(1.f, std::stof(Argv[++I]));
        }
        else if (Arg == "--backend" && I + 1 < Argc)
        {
            Out.Backend = Argv[++I];
        }
        else if (Arg == "--unpaced")
        {
            Out.bUnpaced = true;
        }
        else
        {
            std::printf("Usage: DemoGame [--seconds N] [--backend URL] [--unpaced]\n"
                        "  --seconds N    game time to record (default 12; the first 5 captures "
                        "warm the GPU readback up)\n"
                        "  --backend URL  record against this backend instead of the built-in\n"
                        "                 loopback dev backend\n"
                        "  --unpaced      run frames as fast as possible (the scripted player\n"
                        "                 keeps to the clock, so it plays less of its script)\n");
            return false;
        }
    }
    return true;
}

// Prints the SDK's warnings and errors; the rest of its log stays quiet. It also
// keeps the SDK's count of the input it moved into the live batch.
class FDemoLog : public FOutputDevice
{
public:
    void Serialize(const FLogLine& Line) override
    {
        if (Line.Verbosity <= ELogVerbosity::Warning)
        {
            std::printf("  [%s] %s\n", LexToString(Line.Verbosity), Line.Message.c_str());
        }
        std::sscanf(Line.Message.c_str(),
                    "QuorvexSDK: input moved to the live batch: taps=%d swipes=%d "
                    "longPresses=%d keys=%d mouseButtons=%d scrolls=%d",
                    &Recorded[0], &Recorded[1], &Recorded[2], &Recorded[3], &Recorded[4],
                    &Recorded[5]);
    }
    // Taps, swipes, long presses, key events, mouse-button events, scrolls.
    int Recorded[6] = {};
};

// Paces the frames at 60 a second, like a game waiting for vertical sync. A frame
// that ran late is not caught up with a burst.
class FFramePacer
{
public:
    explicit FFramePacer(bool bInUnpaced) : bUnpaced(bInUnpaced) {}

    void WaitForNextFrame()
    {
        if (bUnpaced)
        {
            return;
        }
        using FClockType = std::chrono::steady_clock;
        Next += std::chrono::microseconds(16667);
        const FClockType::time_point Now = FClockType::now();
        if (Next < Now)
        {
            Next = Now;
            return;
        }
        std::this_thread::sleep_until(Next);
    }

private:
    bool bUnpaced;
    std::chrono::steady_clock::time_point Next = std::chrono::steady_clock::now();
};

size_t CountFiles(const FString& Folder, const FString& Wildcard)
{
    return IFileManager::Get().FindFiles(Folder, Wildcard).size();
}

void DescribeHost(const FString& SavedDir)
{
    FPaths::SetProjectSavedDir(SavedDir);
    IPluginManager::Get().AddPluginSearchPath(QUORVEX_PLUGINS_DIR);
    FProjectSettingsData Project;
    Project.CompanyName = "Quorvex Samples";
    Project.ProjectName = "DemoGame";
    Project.ProjectVersion = "1.0.0";
    FProjectSettings::Set(Project);
    FDisplayMetrics Displays;
    Displays.PrimaryDisplayWidth = 1920;
    Displays.PrimaryDisplayHeight = 1080;
    Displays.MonitorInfo = {{"Primary", 1920, 1080, 96, true}};
    FDisplayMetrics::SetPlatformDisplays(Displays);
}
} // namespace

int main(int Argc, char** Argv)
{
    FDemoOptions Options;
    if (!ParseArgs(Argc, Argv, Options))
    {
        return 2;
    }
    FLogSinks::SetStderrEnabled(false);
    FDemoLog Log;
    FLogSinks::Add(&Log);

    const FString SavedDir =
        (std::filesystem::temp_directory_path() / ("quorvex-demo-" + std::to_string(getpid())))
            .string();
    DescribeHost(SavedDir);

    FDevBackendServer Backend;
    FString BackendUrl = Options.Backend;
    if (BackendUrl.empty())
    {
        std::string Error;
        if (!Backend.Start(Error))
        {
            std::printf("Could not start the dev backend: %s\n", Error.c_str());
            return 1;
        }
        BackendUrl = Backend.BaseUrl();
    }
    std::printf("[demo] backend: %s\n[demo] saved data: %s\n", BackendUrl.c_str(),
                SavedDir.c_str());

    FDemoScene Scene;
    FQuorvexSDKModule::LoadModule();
    UGameInstance GameInstance;
    GameInstance.SetWorld(Scene.GetWorld());
    GameInstance.Init();
    UQuorvexSubsystem* Quorvex = GameInstance.GetSubsystem<UQuorvexSubsystem>();
    Quorvex->BaseHostUrlOverride = BackendUrl;
    Quorvex->OnSdkStateChanged.Add(
        [](EQuorvexSdkState Old, EQuorvexSdkState New, const FString& Why)
        {
            std::printf("[demo] SDK state %s -> %s (%s)\n", GetQuorvexSdkStateName(Old),
                        GetQuorvexSdkStateName(New), Why.c_str());
        });

    bool bStarted = false;
    Quorvex->StartSessionNative("demo-player", "{\"level\":1}",
                                [&](EQuorvexSdkResponse Response, const FString& Message)
                                {
                                    bStarted = true;
                                    std::printf("[demo] start completed: code %d %s\n",
                                                UQuorvexSubsystem::GetSdkResponseCode(Response),
                                                Message.c_str());
                                });
    const int32 Frames = static_cast<int32>(Options.Seconds * 60.f);
    std::printf("[demo] playing %d frames (%.0f s of game time)...\n", Frames,
                static_cast<double>(Options.Seconds));
    // Waits for the backend by wall time, not frames: a slow machine runs fewer frames
    // per second but the network takes as long as it takes.
    FFramePacer Pacer(Options.bUnpaced);
    const auto TickUntil = [&Scene, &Pacer](const bool& bDone)
    {
        const auto GiveUpAt = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!bDone && std::chrono::steady_clock::now() < GiveUpAt)
        {
            Scene.Tick();
            Pacer.WaitForNextFrame();
        }
    };
    for (int32 Frame = 0; Frame < Frames; ++Frame)
    {
        Scene.Tick();
        Pacer.WaitForNextFrame();
    }
    TickUntil(bStarted); // the backend may not have answered yet
    const FString ShotsDir = FPaths::Combine(SavedDir, "QuorvexSDK", "BufferedScreenshots");
    const size_t Shots = CountFiles(ShotsDir, "frame_*.jpg");
    const std::vector<FString> Names = IFileManager::Get().FindFiles(ShotsDir, "frame_*.jpg");
    const FString Kept = FPaths::Combine(SavedDir, "last-frame.jpg");
    if (!Names.empty())
    {
        std::filesystem::copy_file(FPaths::Combine(ShotsDir, Names.back()), Kept,
                                   std::filesystem::copy_options::overwrite_existing);
    }
    const FString SessionId = Quorvex->GetCurrentSessionId();

    bool bStopped = false;
    Quorvex->StopSessionNative([&](EQuorvexSdkResponse, const FString&) { bStopped = true; });
    TickUntil(bStopped);
    GameInstance.Shutdown();

    std::printf("\n[demo] summary\n");
    std::printf("  session:            %s\n", SessionId.empty() ? "(none)" : SessionId.c_str());
    std::printf("  screenshots taken:  %zu (JPEG, encoded by the SDK)\n", Shots);
    if (!Names.empty())
    {
        std::printf("  last frame:         %s\n", Kept.c_str());
    }
    size_t Objects = 0;
    if (Options.Backend.empty())
    {
        long long StoredBytes = 0;
        for (const FDevBackendObject& Object : Backend.Objects(SessionId))
        {
            ++Objects;
            StoredBytes += Object.Size;
        }
        std::printf("  uploaded:           %zu batch archive(s), %lld bytes in the dev store\n",
                    Objects, StoredBytes);
        using E = EDevBackendEndpoint;
        std::printf("  backend requests:   create %zu, end %zu, other %zu\n",
                    Backend.Requests().Count(E::SessionCreate),
                    Backend.Requests().Count(E::EndSession),
                    Backend.Requests().All().size() - Backend.Requests().Count(E::SessionCreate) -
                        Backend.Requests().Count(E::EndSession));
        Backend.Stop();
    }
    const FDemoInputScript::FCounts& Played = Scene.GetScriptedInput();
    std::printf("  input played:       %d clicks, %d drags, %d long presses, %d touches, %d key "
                "presses, %d wheel notches\n",
                Played.Clicks, Played.Drags, Played.LongPresses, Played.Touches, Played.KeyPresses,
                Played.Scrolls);
    std::printf("  input recorded:     %d taps, %d swipes, %d long presses, %d key events, %d "
                "mouse-button events, %d scrolls\n",
                Log.Recorded[0], Log.Recorded[1], Log.Recorded[2], Log.Recorded[3], Log.Recorded[4],
                Log.Recorded[5]);
    FLogSinks::Remove(&Log);
    const bool bInputRecorded = Log.Recorded[0] > 0 && Log.Recorded[3] > 0;
    // Against the in-process backend the recording must have reached its store.
    const bool bUploaded = !Options.Backend.empty() || Objects > 0;
    return bStarted && bStopped && !SessionId.empty() && Shots > 0 && bInputRecorded && bUploaded
               ? 0
               : 1;
}
