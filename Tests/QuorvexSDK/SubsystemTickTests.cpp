// The per-frame tick: capture and send cadences, thermal backoff, heartbeats,
// scheduled callbacks and the background system sample.
#include "Clock.h"
#include "CoreDelegates.h"
#include "DateTime.h"
#include "EngineLoop.h"
#include "QuorvexSubsystemTestBase.h"
#include "Tasks.h"

#include <thread>

using ESeverity = FCoreDelegates::ETemperatureSeverity;

class SubsystemTick : public FQuorvexSubsystemTestBase
{
};

TEST_F(SubsystemTick, CaptureCadenceCarriesTheRemainder)
{
    StartCapturing();
    std::vector<int> CaptureFrames;
    for (int Frame = 1; Frame <= 6; ++Frame)
    {
        const int32 Before = Peer->Captures();
        Subsystem->Tick(0.75f);
        if (Peer->Captures() > Before)
        {
            CaptureFrames.push_back(Frame);
        }
    }
    EXPECT_EQ(CaptureFrames, (std::vector<int>{2, 3, 4, 6}));
    EXPECT_FLOAT_EQ(Peer->CaptureAccumulator(), 0.5f);
}

TEST_F(SubsystemTick, OneCaptureAndOneSendPerFrameAtMost)
{
    StartCapturing(MakeSession(/*UploadIntervalMs=*/1000));
    Subsystem->Tick(10.0f);
    EXPECT_EQ(Peer->Captures(), 1);
    EXPECT_EQ(Peer->Sends(), 1);
}

TEST_F(SubsystemTick, SendIntervalFromTheServerWithAFloor)
{
    EXPECT_FLOAT_EQ(Peer->SendInterval(), 60.0f) << "no session: the default";
    StartCapturing(MakeSession(/*UploadIntervalMs=*/0));
    EXPECT_FLOAT_EQ(Peer->SendInterval(), 0.1f);
    for (int I = 0; I < 10; ++I)
    {
        Subsystem->Tick(0.1f);
    }
    EXPECT_GE(Peer->Sends(), 9);
    EXPECT_LE(Peer->Sends(), 10);
}

TEST_F(SubsystemTick, ServerCaptureIntervalReplacesTheProperty)
{
    FQuorvexSessionData Data = MakeSession();
    Data.CaptureConfig.CaptureIntervalSeconds = 0.5f;
    StartCapturing(Data);
    EXPECT_FLOAT_EQ(Subsystem->CaptureIntervalSeconds.Get(), 0.5f);
    Subsystem->Tick(0.5f);
    Subsystem->Tick(0.5f);
    EXPECT_EQ(Peer->Captures(), 2);
    EXPECT_FALSE(Log.Contains("no screenshot will be captured"));
}

TEST_F(SubsystemTick, ServerCaptureIntervalTooLongToEverCaptureWarns)
{
    FQuorvexSessionData Data = MakeSession();
    Data.CaptureConfig.CaptureIntervalSeconds = 1e9f;
    StartCapturing(Data);
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning,
                        "QuorvexSDK: Server capture interval 1000000000s is so long that no "
                        "screenshot will be captured in practice."));
}

TEST_F(SubsystemTick, ThermalAndLowPowerFactors)
{
    struct FCase
    {
        ESeverity Severity;
        bool bLowPower;
        float Interval;
    };
    const FCase Cases[] = {
        {ESeverity::Unknown, false, 1.0f}, {ESeverity::Good, false, 1.0f},
        {ESeverity::Bad, false, 2.0f},     {ESeverity::Serious, false, 4.0f},
        {ESeverity::Critical, false, 0.f}, {ESeverity::Good, true, 4.0f},
        {ESeverity::Bad, true, 4.0f},      {ESeverity::Serious, true, 4.0f},
        {ESeverity::Critical, true, 0.f},
    };
    for (const FCase& Case : Cases)
    {
        FCoreDelegates::OnTemperatureChange().Broadcast(Case.Severity);
        FCoreDelegates::OnLowPowerMode().Broadcast(Case.bLowPower);
        EXPECT_FLOAT_EQ(Peer->TickThermalBackoff(), Case.Interval)
            << static_cast<int>(Case.Severity) << " lowPower=" << Case.bLowPower;
    }
    FCoreDelegates::OnTemperatureChange().Broadcast(ESeverity::Unknown);
    FCoreDelegates::OnLowPowerMode().Broadcast(false);
}

TEST_F(SubsystemTick, CriticalSuspendsAndGoodResumesAfterAFullInterval)
{
    StartCapturing();
    FCoreDelegates::OnTemperatureChange().Broadcast(ESeverity::Bad);
    Subsystem->Tick(0.5f);
    EXPECT_TRUE(Log.Has(ELogVerbosity::Log, "QuorvexSDK: Capture interval backoff changed. "
                                            "severity=2 lowPower=false intervalFactor=2x"));
    FCoreDelegates::OnTemperatureChange().Broadcast(ESeverity::Critical);
    Subsystem->Tick(0.5f);
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning,
                        "QuorvexSDK: Capture suspended: device thermal state is Critical"));
    const int32 Before = Peer->Captures();
    for (int I = 0; I < 10; ++I)
    {
        Subsystem->Tick(1.0f);
    }
    EXPECT_EQ(Peer->Captures(), Before);
    EXPECT_FLOAT_EQ(Peer->CaptureAccumulator(), 0.f);

    FCoreDelegates::OnTemperatureChange().Broadcast(ESeverity::Good);
    Subsystem->Tick(0.5f);
    EXPECT_TRUE(Log.Has(ELogVerbosity::Log,
                        "QuorvexSDK: Capture resumed after thermal suspension. intervalFactor=1x"));
    EXPECT_EQ(Peer->Captures(), Before);
    Subsystem->Tick(0.5f);
    EXPECT_EQ(Peer->Captures(), Before + 1);
}

TEST_F(SubsystemTick, PausedKeepsHeartbeatsAndSendsButNoCaptures)
{
    StartCapturing(MakeSession(/*UploadIntervalMs=*/2000, /*HeartbeatSeconds=*/3));
    Subsystem->PauseSession();
    for (int I = 0; I < 12; ++I)
    {
        Subsystem->Tick(0.5f);
    }
    EXPECT_EQ(Peer->Captures(), 0);
    EXPECT_EQ(Peer->Heartbeats(), 2);
    EXPECT_EQ(Peer->Sends(), 3);
    EXPECT_TRUE(Subsystem->IsTickable());
}

TEST_F(SubsystemTick, ResumeRealignsTheCaptureSchedule)
{
    StartCapturing();
    Subsystem->Tick(0.9f);
    Subsystem->PauseSession();
    Subsystem->ResumeSessionNative(nullptr);
    Subsystem->Tick(0.9f);
    EXPECT_EQ(Peer->Captures(), 0) << "the resume frame takes no screenshot";
    EXPECT_TRUE(
        Log.Has(ELogVerbosity::Log, "QuorvexSDK: realigning capture schedule after mobile resume"));
    Subsystem->Tick(0.9f);
    EXPECT_EQ(Peer->Captures(), 0);
    Subsystem->Tick(0.2f);
    EXPECT_EQ(Peer->Captures(), 1);
}

TEST_F(SubsystemTick, NoCaptureBeforeTheSessionExists)
{
    Subsystem->StartSessionNative("id", "", nullptr);
    for (int I = 0; I < 5; ++I)
    {
        Subsystem->Tick(1.0f);
    }
    EXPECT_EQ(Peer->Captures(), 0);
    EXPECT_FLOAT_EQ(Peer->CaptureAccumulator(), 0.f);
}

TEST_F(SubsystemTick, ScheduledCallbacksRunWhenDueAndNeverInsideTheirOwnTick)
{
    FScopedFrozenClock Clock;
    StartCapturing();
    std::vector<FString> Ran;
    Subsystem->ScheduleSdkCallback(1.0f, [&] { Ran.push_back("late"); });
    Subsystem->ScheduleSdkCallback(0.0f,
                                   [&]
                                   {
                                       Ran.push_back("now");
                                       Subsystem->ScheduleSdkCallback(0.0f, [&]
                                                                      { Ran.push_back("nested"); });
                                   });
    Subsystem->Tick(0.016f);
    EXPECT_EQ(Ran, (std::vector<FString>{"now"}));
    Subsystem->Tick(0.016f);
    EXPECT_EQ(Ran, (std::vector<FString>{"now", "nested"}));
    Clock.Advance(0.99);
    Subsystem->Tick(0.016f);
    EXPECT_EQ(Ran.size(), 2u);
    Clock.Advance(0.01);
    Subsystem->Tick(0.016f);
    EXPECT_EQ(Ran, (std::vector<FString>{"now", "nested", "late"}));
}

TEST_F(SubsystemTick, CallbacksScheduledFromOtherThreadsRunOnTheGameThread)
{
    FScopedFrozenClock Clock;
    StartCapturing();
    std::atomic<int> Scheduled{0};
    int Ran = 0;
    bool bAllOnGameThread = true;
    std::vector<std::thread> Threads;
    for (int T = 0; T < 4; ++T)
    {
        Threads.emplace_back(
            [&]
            {
                for (int I = 0; I < 50; ++I)
                {
                    Subsystem->ScheduleSdkCallback(0.0f,
                                                   [&]
                                                   {
                                                       ++Ran;
                                                       bAllOnGameThread =
                                                           bAllOnGameThread && IsInGameThread();
                                                   });
                    Scheduled.fetch_add(1);
                }
            });
    }
    for (std::thread& Thread : Threads)
    {
        Thread.join();
    }
    Subsystem->Tick(0.016f);
    EXPECT_EQ(Ran, 200);
    EXPECT_TRUE(bAllOnGameThread);
}

TEST_F(SubsystemTick, EngineLoopSkipsTheSubsystemWhileNotTickable)
{
    FScopedFrozenClock Clock;
    FEngineLoop Loop;
    bool bRan = false;
    Subsystem->ScheduleSdkCallback(0.0f, [&] { bRan = true; });
    Loop.Tick(0.1f);
    EXPECT_FALSE(bRan) << "an idle subsystem is not ticked";
    StartCapturing();
    Loop.Tick(0.1f);
    EXPECT_TRUE(bRan);
}

TEST_F(SubsystemTick, SystemSampleSeedsAtCaptureStartAndRefreshesInTheBackground)
{
    Subsystem->StartSessionNative("id", "", nullptr);
    EXPECT_EQ(Peer->CachedCpu(), -1) << "no sample before capture begins";
    EXPECT_EQ(Peer->CachedMemory(), 0);
    Peer->CreateSession(MakeSession());
    EXPECT_GT(Peer->CachedMemory(), 0);
    EXPECT_GE(Peer->CachedCpu(), 0);
    Log.Clear();
    Subsystem->Tick(4.9f);
    Subsystem->Tick(0.1f);
    ASSERT_TRUE(PumpUntil([&] { return Log.Contains("QuorvexSDK: CPU usage="); }));
    EXPECT_GT(Peer->CachedMemory(), 0);
}

TEST_F(SubsystemTick, NowMsFollowsTheEngineClock)
{
    FScopedFrozenClock Clock(FDateTime(2026, 12, 10, 12, 0, 0, 250).ToUnixMicroseconds());
    EXPECT_EQ(UQuorvexSubsystem::NowMs(), 1796904000250);
    Clock.Advance(0.5);
    EXPECT_EQ(UQuorvexSubsystem::NowMs(), 1796904000750);
}
