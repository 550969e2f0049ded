// A headless game that records itself with the Quorvex SDK.
//
// It renders an animated scene with a HUD box over it into a window on the software
// GPU, starts a session against the loopback dev backend (started in-process unless
// --backend names another), plays for a few seconds of game time while the SDK
// captures screenshots, stops the session, and prints what happened.
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
#include <unistd.h>

namespace
{
struct FDemoOptions
{
    float Seconds = 12.f;
    FString Backend; // empty: start the dev backend here
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
        else
        {
            std::printf("Usage: DemoGame [--seconds N] [--backend URL]\n"
                        "  --seconds N    game time to record (default 12; the first 5 captures "
                        "warm the GPU readback up)\n"
                        "  --backend URL  record against this backend instead of the built-in\n"
                        "                 loopback dev backend\n");
            return false;
        }
    }
    return true;
}

// Prints the SDK's warnings and errors; the rest of its log stays quiet.
class FDemoLog : public FOutputDevice
{
public:
    void Serialize(const FLogLine& Line) override
    {
        if (Line.Verbosity <= ELogVerbosity::Warning)
        {
            std::printf("  [%s] %s\n", LexToString(Line.Verbosity), Line.Message.c_str());
        }
    }
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
    const auto TickUntil = [&Scene](const bool& bDone)
    {
        const auto GiveUpAt = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!bDone && std::chrono::steady_clock::now() < GiveUpAt)
        {
            Scene.Tick();
        }
    };
    for (int32 Frame = 0; Frame < Frames; ++Frame)
    {
        Scene.Tick();
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
    if (Options.Backend.empty())
    {
        using E = EDevBackendEndpoint;
        std::printf("  backend requests:   create %zu, end %zu, other %zu\n",
                    Backend.Requests().Count(E::SessionCreate),
                    Backend.Requests().Count(E::EndSession),
                    Backend.Requests().All().size() - Backend.Requests().Count(E::SessionCreate) -
                        Backend.Requests().Count(E::EndSession));
        Backend.Stop();
    }
    std::printf("  not yet recorded:   input gestures and batch uploads (still being written)\n");
    FLogSinks::Remove(&Log);
    return bStarted && bStopped && !SessionId.empty() && Shots > 0 ? 0 : 1;
}
