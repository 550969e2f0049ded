#include "DemoPlay.h"

#include "DemoFramePacer.h"
#include "DemoHost.h"
#include "DemoScene.h"
#include "DisplayMetrics.h"
#include "Files.h"
#include "GameInstance.h"
#include "PluginManager.h"
#include "ProjectSettings.h"
#include "QuorvexSDKModule.h"
#include "QuorvexSubsystem.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>

namespace
{
using FSteadyClock = std::chrono::steady_clock;

// The SDK's working folder for one play; removed when the play ends.
class FScopedSavedFolder
{
public:
    FScopedSavedFolder()
        : Path((std::filesystem::temp_directory_path() /
                ("quorvex-demo-" + std::to_string(getpid())))
                   .string())
    {
        Remove();
    }
    ~FScopedSavedFolder() { Remove(); }
    FScopedSavedFolder(const FScopedSavedFolder&) = delete;
    FScopedSavedFolder& operator=(const FScopedSavedFolder&) = delete;

    const FString Path;

private:
    void Remove()
    {
        std::error_code Error;
        std::filesystem::remove_all(Path, Error);
    }
};

// Keeps a log sink registered for one scope.
class FScopedLogSink
{
public:
    explicit FScopedLogSink(FOutputDevice& InSink) : Sink(InSink) { FLogSinks::Add(&Sink); }
    ~FScopedLogSink() { FLogSinks::Remove(&Sink); }
    FScopedLogSink(const FScopedLogSink&) = delete;
    FScopedLogSink& operator=(const FScopedLogSink&) = delete;

private:
    FOutputDevice& Sink;
};

// The host's payload: a level number, and where its viewport sits on the desktop so a
// replay can place touches and scrolls (recorded in desktop pixels) on the frames.
FString DeveloperPayload()
{
    const FVector2D Origin = FDemoScene::ViewportOrigin();
    return "{\"level\":1,\"viewportOrigin\":{\"x\":" + std::to_string(static_cast<int>(Origin.X)) +
           ",\"y\":" + std::to_string(static_cast<int>(Origin.Y)) + "}}";
}

// Ticks frames until Done holds or Limit passes.
template <typename FDone>
void TickUntil(FDemoScene& Scene, FDemoFramePacer& Pacer, FDone Done, std::chrono::seconds Limit)
{
    const FSteadyClock::time_point GiveUpAt = FSteadyClock::now() + Limit;
    while (!Done() && FSteadyClock::now() < GiveUpAt)
    {
        Scene.Tick();
        Pacer.WaitForNextFrame();
    }
}

UQuorvexSubsystem* StartRecording(UGameInstance& GameInstance, const FString& BackendUrl,
                                  FDemoPlayResult& Result)
{
    UQuorvexSubsystem* Quorvex = GameInstance.GetSubsystem<UQuorvexSubsystem>();
    Quorvex->BaseHostUrlOverride = BackendUrl;
    // The books of the summary are kept from the SDK's debug lines.
    Quorvex->SetDebugLogsEnabled(true, false);
    Quorvex->OnSdkStateChanged.Add(
        [](EQuorvexSdkState Old, EQuorvexSdkState New, const FString& Why)
        {
            std::printf("[demo] SDK state %s -> %s (%s)\n", GetQuorvexSdkStateName(Old),
                        GetQuorvexSdkStateName(New), Why.c_str());
        });
    Quorvex->StartSessionNative("demo-player", DeveloperPayload(),
                                [&Result](EQuorvexSdkResponse Response, const FString& Message)
                                {
                                    Result.bStarted = true;
                                    Result.bStartFailed =
                                        UQuorvexSubsystem::GetSdkResponseCode(Response) != 0;
                                    Result.StartMessage = Message.substr(0, 300);
                                });
    return Quorvex;
}
} // namespace

FDemoPlayResult PlayDemo(const FDemoOptions& Options, const FString& BackendUrl, FDemoLog& Log,
                         const std::atomic<bool>& StopRequested)
{
    FDemoPlayResult Result;
    const FScopedSavedFolder Saved;
    const FScopedLogSink Sink(Log);
    FLogSinks::SetStderrEnabled(false);
    DescribeDemoHost(Saved.Path);
    FDemoScene Scene(Options.Rhi, Options.bUnpaced);
    FQuorvexSDKModule::LoadModule();
    UGameInstance GameInstance;
    GameInstance.SetWorld(Scene.GetWorld());
    GameInstance.Init();
    // One frame first: the session's config reports the rendered viewport's size, and
    // before anything was drawn it falls back to the display's, which would misplace
    // every recorded point on the replay page.
    Scene.Tick();
    UQuorvexSubsystem* Quorvex = StartRecording(GameInstance, BackendUrl, Result);
    Scene.SetGameEventSink([Quorvex](const FString& Name, const FString& Data)
                           { Quorvex->SendGameEvent(Name, Data); });

    FDemoFramePacer Pacer(Options.bUnpaced);
    FDemoCostMeter Cost;
    const FSteadyClock::time_point PlayUntil =
        FSteadyClock::now() + std::chrono::duration_cast<FSteadyClock::duration>(
                                  std::chrono::duration<double>(Options.Seconds));
    const int64 UnpacedFrames = static_cast<int64>(Options.Seconds * 60.0);
    std::printf("[demo] playing for %.0f s%s\n", Options.Seconds,
                Options.bUnpaced ? " of game time, unpaced" : " at 60 frames a second");
    for (int64 Frame = 0; !StopRequested && !Result.bStartFailed; ++Frame)
    {
        if (Options.bUnpaced ? Frame >= UnpacedFrames : FSteadyClock::now() >= PlayUntil)
        {
            break;
        }
        Cost.BeginFrame();
        Scene.Tick();
        Cost.EndFrame();
        Pacer.WaitForNextFrame();
    }
    // The backend may not have answered the start yet.
    TickUntil(
        Scene, Pacer, [&] { return Result.bStarted; }, std::chrono::seconds(60));
    Result.Cost = Cost.Finish();
    Result.SessionId = Quorvex->GetCurrentSessionId();
    Result.InputPlayed = Scene.GetScriptedInput();
    Result.GameEvents = Scene.GetGameEventsRaised();

    std::printf("[demo] stopping: the final batch, then the session end\n");
    Quorvex->StopSessionNative([&Result](EQuorvexSdkResponse, const FString&)
                               { Result.bStopped = true; });
    TickUntil(
        Scene, Pacer, [&] { return Result.bStopped; }, std::chrono::seconds(60));
    GameInstance.Shutdown();
    return Result;
}
