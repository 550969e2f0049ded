// The public/internal state machine, completions, and the gates of the lifecycle calls.
#include "CoreDelegates.h"
#include "Files.h"
#include "GameInstance.h"
#include "QuorvexSubsystemTestBase.h"
#include "Tasks.h"

#include <thread>

using ESdk = EQuorvexSdkState;
using EInt = EQuorvexInternalState;
using EResp = EQuorvexSdkResponse;

class SubsystemState : public FQuorvexSubsystemTestBase
{
};

TEST(SubsystemEnums, ResponseCodesAndWords)
{
    EXPECT_EQ(UQuorvexSubsystem::GetSdkResponseCode(EResp::QUORVEX_SUCCESS), 0);
    EXPECT_EQ(UQuorvexSubsystem::GetSdkResponseCode(EResp::QUORVEX_ERROR_STATE_NOT_IDLE), 1000);
    EXPECT_EQ(UQuorvexSubsystem::GetSdkResponseCode(EResp::QUORVEX_ERROR_STATE_NOT_CAPTURING),
              1001);
    EXPECT_EQ(UQuorvexSubsystem::GetSdkResponseCode(EResp::QUORVEX_ERROR_NOT_SUPPORTED), 1002);
    EXPECT_EQ(UQuorvexSubsystem::GetSdkResponseCode(EResp::QUORVEX_ERROR_STATE_NOT_PAUSED), 1003);
    EXPECT_EQ(UQuorvexSubsystem::GetSdkResponseCode(EResp::QUORVEX_ERROR_SESSION_FAILED), 1004);
    EXPECT_EQ(UQuorvexSubsystem::GetSdkResponseCode(static_cast<EResp>(6)), -1);
    EXPECT_STREQ(GetQuorvexSdkResponseDisplayName(EResp::QUORVEX_ERROR_STATE_NOT_IDLE),
                 "Error State Not Idle");
    EXPECT_EQ(static_cast<int>(EQuorvexSdkState{}), 0);
    EXPECT_STREQ(FQuorvexSubsystemTestPeer::InternalStateWord(EInt::RequestingSession),
                 "requesting-session");
    EXPECT_STREQ(FQuorvexSubsystemTestPeer::InternalStateWord(static_cast<EInt>(14)), "unknown");
}

TEST(SubsystemEnums, PublicStateFollowsInternalState)
{
    struct FCase
    {
        EInt Internal;
        ESdk Current;
        ESdk Expected;
    };
    const FCase Cases[] = {
        {EInt::Idle, ESdk::SDK_STATE_CAPTURING, ESdk::SDK_STATE_IDLE},
        {EInt::Stopped, ESdk::SDK_STATE_STOPPING, ESdk::SDK_STATE_IDLE},
        {EInt::Failed, ESdk::SDK_STATE_CAPTURING, ESdk::SDK_STATE_IDLE},
        {EInt::Aborted, ESdk::SDK_STATE_PAUSED, ESdk::SDK_STATE_IDLE},
        {EInt::Capturing, ESdk::SDK_STATE_PAUSED, ESdk::SDK_STATE_CAPTURING},
        {EInt::Stopping, ESdk::SDK_STATE_CAPTURING, ESdk::SDK_STATE_STOPPING},
        {EInt::Paused, ESdk::SDK_STATE_CAPTURING, ESdk::SDK_STATE_PAUSED},
        {EInt::Initializing, ESdk::SDK_STATE_IDLE, ESdk::SDK_STATE_CAPTURING},
        {EInt::Uploading, ESdk::SDK_STATE_CAPTURING, ESdk::SDK_STATE_CAPTURING},
        {EInt::Uploading, ESdk::SDK_STATE_PAUSED, ESdk::SDK_STATE_PAUSED},
        {EInt::SlowNetwork, ESdk::SDK_STATE_STOPPING, ESdk::SDK_STATE_STOPPING},
        {EInt::WaitingForNetwork, ESdk::SDK_STATE_IDLE, ESdk::SDK_STATE_CAPTURING},
    };
    for (const FCase& Case : Cases)
    {
        EXPECT_EQ(FQuorvexSubsystemTestPeer::ResolvePublicState(Case.Internal, Case.Current),
                  Case.Expected)
            << static_cast<int>(Case.Internal);
    }
}

TEST(SubsystemEnums, GateRejectionMessages)
{
    EXPECT_EQ(
        FQuorvexSubsystemTestPeer::BuildGateRejectionMessage(EResp::QUORVEX_ERROR_NOT_SUPPORTED),
        R"({"success":false,"data":{"code":"NotSupported","message":"Capture is not supported in the editor."}})");
    EXPECT_EQ(
        FQuorvexSubsystemTestPeer::BuildGateRejectionMessage(EResp::QUORVEX_ERROR_STATE_NOT_IDLE),
        R"({"success":false,"data":{"code":"StateNotIdle","message":"Start requires the SDK to be idle."}})");
    EXPECT_EQ(
        FQuorvexSubsystemTestPeer::BuildGateRejectionMessage(EResp::QUORVEX_SUCCESS),
        R"({"success":false,"data":{"code":"Unknown","message":"The SDK rejected the call."}})");
}

TEST_F(SubsystemState, InitializeProbesTheGraphicsInTheBackground)
{
    // Each test runs in its own process: only Initialize can have done it.
    FTaskGraph::WaitForBackgroundIdle();
    EXPECT_TRUE(FQuorvexSubsystemTestPeer::IsDeviceGraphicsProbed());
    EXPECT_EQ(Peer->BuildConfigPayload().Device.DeviceGraphicsConfig.Source, "probeUnavailable");
}

TEST_F(SubsystemState, StartsIdle)
{
    EXPECT_EQ(Subsystem->GetSdkState(), ESdk::SDK_STATE_IDLE);
    EXPECT_EQ(Subsystem->GetSdkStatusString(), "idle");
    EXPECT_FALSE(Subsystem->IsCapturing());
    EXPECT_FALSE(Subsystem->IsTickable());
    EXPECT_EQ(Subsystem->GetCurrentSessionId(), "");
    EXPECT_EQ(Subsystem->GetSdkVersion(), "2.0.0");
}

TEST_F(SubsystemState, SameStateIsANoOpAndChurnRaisesNoEvent)
{
    Peer->SetSdkStatus(EInt::Capturing, "first");
    ASSERT_EQ(Changes.size(), 1u);
    EXPECT_EQ(Changes[0], (FStateChange{ESdk::SDK_STATE_IDLE, ESdk::SDK_STATE_CAPTURING, "first"}));
    EXPECT_TRUE(
        Log.Has(ELogVerbosity::Log, "QuorvexSDK: SDK status idle -> capturing reason=first"));
    Log.Clear();

    Peer->SetSdkStatus(EInt::Capturing, "new reason");
    EXPECT_TRUE(Log.Lines().empty());

    Peer->SetSdkStatus(EInt::Uploading, nullptr);
    Peer->SetSdkStatus(EInt::Capturing, "");
    EXPECT_EQ(Peer->InternalState(), EInt::Capturing);
    EXPECT_EQ(Changes.size(), 1u);
    EXPECT_TRUE(Log.Has(ELogVerbosity::Log, "QuorvexSDK: SDK status capturing -> uploading"));

    Peer->SetSdkStatus(EInt::Paused, "p");
    Peer->SetSdkStatus(EInt::Uploading, "u");
    EXPECT_EQ(Subsystem->GetSdkState(), ESdk::SDK_STATE_PAUSED);
}

TEST_F(SubsystemState, StateChangeRaisedOffTheGameThreadHopsBack)
{
    std::thread Worker([&] { Peer->SetSdkStatus(EInt::Capturing, "worker"); });
    Worker.join();
    EXPECT_TRUE(Changes.empty());
    Pump();
    ASSERT_EQ(Changes.size(), 1u);
    EXPECT_EQ(Changes[0].Reason, "worker");
}

TEST_F(SubsystemState, StateChangeHopIsDroppedWhenTheSubsystemIsGone)
{
    int32 Calls = 0;
    {
        UQuorvexSubsystem Other;
        Other.OnSdkStateChanged.Add([&](ESdk, ESdk, const FString&) { ++Calls; });
        FQuorvexSubsystemTestPeer OtherPeer(Other);
        std::thread Worker([&] { OtherPeer.SetSdkStatus(EInt::Capturing, "worker"); });
        Worker.join();
    }
    Pump();
    EXPECT_EQ(Calls, 0);
}

TEST_F(SubsystemState, EditorStartIsRejectedOnALaterTask)
{
    GIsEditor = true;
    FCompletionProbe Probe;
    Subsystem->StartSessionNative("id", "", Probe.Callback());
    EXPECT_EQ(Probe.Calls, 0) << "completion must not run inside the call";
    Pump();
    ASSERT_EQ(Probe.Calls, 1);
    EXPECT_EQ(Probe.Response, EResp::QUORVEX_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(
        Probe.Message,
        R"({"success":false,"data":{"code":"NotSupported","message":"Capture is not supported in the editor."}})");
    EXPECT_TRUE(Log.Has(ELogVerbosity::Log, "QuorvexSDK: Starting capture (SDK v2.0.0)"));
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning,
                        "QuorvexSDK: StartSession is not supported in the editor."));
    EXPECT_EQ(Subsystem->GetSdkState(), ESdk::SDK_STATE_IDLE);
    EXPECT_TRUE(Changes.empty());
}

TEST_F(SubsystemState, GatesRejectWithoutChangingState)
{
    struct FCase
    {
        const char* Name;
        std::function<void(UQuorvexSubsystem&)> Arrange;
        std::function<void(UQuorvexSubsystem&, FCompletionProbe&)> Call;
        EResp Expected;
        const char* LogLine;
    };
    auto Stop = [](UQuorvexSubsystem& S, FCompletionProbe& P)
    { S.StopSessionNative(P.Callback()); };
    auto Resume = [](UQuorvexSubsystem& S, FCompletionProbe& P)
    { S.ResumeSessionNative(P.Callback()); };
    auto Start = [](UQuorvexSubsystem& S, FCompletionProbe& P)
    { S.StartSessionNative("again", "", P.Callback()); };
    const FCase Cases[] = {
        {"stop while idle", [](auto&) {}, Stop, EResp::QUORVEX_ERROR_STATE_NOT_CAPTURING,
         "QuorvexSDK: StopSession rejected: state is idle."},
        {"resume while idle", [](auto&) {}, Resume, EResp::QUORVEX_ERROR_STATE_NOT_PAUSED,
         "QuorvexSDK: ResumeSession rejected: state is idle, not paused."},
        {"start while capturing",
         [](UQuorvexSubsystem& S) { S.StartSessionNative("a", "", nullptr); }, Start,
         EResp::QUORVEX_ERROR_STATE_NOT_IDLE,
         "QuorvexSDK: StartSession rejected: state is capturing, not idle."},
        {"resume while capturing",
         [](UQuorvexSubsystem& S) { S.StartSessionNative("a", "", nullptr); }, Resume,
         EResp::QUORVEX_ERROR_STATE_NOT_PAUSED,
         "QuorvexSDK: ResumeSession rejected: state is capturing, not paused."},
    };
    for (const FCase& Case : Cases)
    {
        SCOPED_TRACE(Case.Name);
        TearDown();
        SetUp();
        Case.Arrange(*Subsystem);
        Pump();
        const EInt Before = Peer->InternalState();
        const size_t ChangesBefore = Changes.size();
        FCompletionProbe Probe;
        Case.Call(*Subsystem, Probe);
        EXPECT_EQ(Probe.Calls, 0);
        Pump();
        EXPECT_EQ(Probe.Response, Case.Expected);
        EXPECT_EQ(Probe.Message,
                  FQuorvexSubsystemTestPeer::BuildGateRejectionMessage(Case.Expected));
        EXPECT_TRUE(Log.Has(ELogVerbosity::Warning, Case.LogLine));
        EXPECT_EQ(Peer->InternalState(), Before);
        EXPECT_EQ(Changes.size(), ChangesBefore);
    }
}

TEST_F(SubsystemState, PauseRejectedUnlessCapturingButAcceptedDuringCreate)
{
    EXPECT_EQ(Subsystem->PauseSession(), EResp::QUORVEX_ERROR_STATE_NOT_CAPTURING);
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning,
                        "QuorvexSDK: PauseSession rejected: state is idle, not capturing."));

    Subsystem->StartSessionNative("id", "", nullptr);
    EXPECT_EQ(Peer->InternalState(), EInt::RequestingSession);
    EXPECT_EQ(Subsystem->GetSdkState(), ESdk::SDK_STATE_CAPTURING);
    EXPECT_TRUE(Subsystem->IsCapturing());
    EXPECT_EQ(Subsystem->PauseSession(), EResp::QUORVEX_SUCCESS);
    EXPECT_EQ(Subsystem->GetSdkState(), ESdk::SDK_STATE_PAUSED);
    EXPECT_FALSE(Subsystem->IsCapturing());
}

TEST_F(SubsystemState, StartCompletesWhenCaptureBegins)
{
    FCompletionProbe Probe;
    Subsystem->StartSessionNative("  player-7 ", "dev", Probe.Callback());
    EXPECT_EQ(Peer->InGameId(), "player-7");
    Pump();
    EXPECT_EQ(Probe.Calls, 0) << "still creating the session";
    Peer->CreateSession(MakeSession());
    EXPECT_EQ(Peer->InternalState(), EInt::Capturing);
    EXPECT_EQ(Probe.Calls, 0);
    Pump();
    EXPECT_EQ(Probe.Response, EResp::QUORVEX_SUCCESS);
    EXPECT_EQ(Probe.Message, "");
    EXPECT_EQ(Subsystem->GetCurrentSessionId(), "session-1");
    ASSERT_EQ(Changes.size(), 1u);
    EXPECT_EQ(Changes[0],
              (FStateChange{ESdk::SDK_STATE_IDLE, ESdk::SDK_STATE_CAPTURING, "StartSession"}));
    EXPECT_TRUE(
        Log.Has(ELogVerbosity::Log,
                "QuorvexSDK: Session created. sessionId=session-1 provider=GCS heartbeat=0s"));
    EXPECT_TRUE(Log.Has(ELogVerbosity::Log, "QuorvexSDK: Capture started"));
}

TEST_F(SubsystemState, StopFlushesOverFramesThenCompletesAndKeepsTheSessionId)
{
    StartCapturing();
    FCompletionProbe Probe;
    Subsystem->StopSessionNative(Probe.Callback());
    EXPECT_EQ(Subsystem->GetSdkState(), ESdk::SDK_STATE_STOPPING);
    FCompletionProbe Second;
    Subsystem->StopSessionNative(Second.Callback());
    Pump();
    EXPECT_EQ(Second.Response, EResp::QUORVEX_ERROR_STATE_NOT_CAPTURING);
    EXPECT_EQ(Probe.Calls, 0);

    Subsystem->Tick(0.016f); // dispatches the final flush
    EXPECT_EQ(Subsystem->GetSdkState(), ESdk::SDK_STATE_STOPPING);
    Subsystem->Tick(0.016f); // nothing in flight: finalize
    EXPECT_EQ(Peer->InternalState(), EInt::Stopped);
    EXPECT_EQ(Probe.Calls, 0);
    Pump();
    EXPECT_EQ(Probe.Response, EResp::QUORVEX_SUCCESS);
    EXPECT_FALSE(Subsystem->IsTickable());
    EXPECT_EQ(Subsystem->GetCurrentSessionId(), "session-1");
    EXPECT_TRUE(
        Log.Has(ELogVerbosity::Log,
                "QuorvexSDK: Capture stopped. reason=ManualOrExternal sessionId=session-1"));
    const std::vector<FStateChange> Expected = {
        {ESdk::SDK_STATE_IDLE, ESdk::SDK_STATE_CAPTURING, "StartSession"},
        {ESdk::SDK_STATE_CAPTURING, ESdk::SDK_STATE_STOPPING, "ManualOrExternal"},
        {ESdk::SDK_STATE_STOPPING, ESdk::SDK_STATE_IDLE, "ManualOrExternal"},
    };
    EXPECT_EQ(Changes, Expected);
}

TEST_F(SubsystemState, StopFlushWaitsForUploadsUpToTheTimeout)
{
    StartCapturing();
    Peer->SetInFlightUploads(1);
    Subsystem->StopSessionNative(nullptr);
    const int32 Generation = Peer->SessionGeneration();
    for (int I = 0; I < 9; ++I)
    {
        Subsystem->Tick(1.0f);
    }
    EXPECT_EQ(Peer->SessionGeneration(), Generation);
    Subsystem->Tick(1.0f);
    EXPECT_EQ(Peer->SessionGeneration(), Generation + 1);
    EXPECT_TRUE(
        Log.Has(ELogVerbosity::Warning,
                "QuorvexSDK: Stop flush has waited 10s for 1 in-flight upload(s); canceling so "
                "the stop can complete. Any batch still in flight is lost."));
    EXPECT_EQ(Subsystem->GetSdkState(), ESdk::SDK_STATE_STOPPING);
    Peer->SetInFlightUploads(0);
    Subsystem->Tick(0.1f);
    Subsystem->Tick(0.1f);
    EXPECT_EQ(Subsystem->GetSdkState(), ESdk::SDK_STATE_IDLE);
}

TEST_F(SubsystemState, StartDuringStopFlushIsQueuedAndLatestWins)
{
    StartCapturing();
    Subsystem->StopSessionNative(nullptr);
    FCompletionProbe First;
    FCompletionProbe Second;
    Subsystem->StartSessionNative("first", "", First.Callback());
    Subsystem->StartSessionNative("second", "", Second.Callback());
    EXPECT_TRUE(Peer->IsRestartQueued());
    EXPECT_EQ(Peer->QueuedInGameId(), "second");
    EXPECT_EQ(Subsystem->GetSdkState(), ESdk::SDK_STATE_STOPPING);
    Pump();
    // The superseded start hears back instead of being dropped silently.
    EXPECT_EQ(First.Response, EResp::QUORVEX_ERROR_STATE_NOT_IDLE);
    EXPECT_EQ(Second.Calls, 0);

    Subsystem->Tick(0.016f);
    Subsystem->Tick(0.016f);
    EXPECT_TRUE(
        Log.Has(ELogVerbosity::Log, "QuorvexSDK: Stop flush complete; starting queued capture"));
    EXPECT_EQ(Peer->InternalState(), EInt::RequestingSession);
    EXPECT_EQ(Peer->InGameId(), "second");
    Pump();
    EXPECT_EQ(Second.Calls, 0) << "the queued start completes when its own capture begins";
    Peer->CreateSession(MakeSession());
    Pump();
    EXPECT_EQ(Second.Response, EResp::QUORVEX_SUCCESS);
}

TEST_F(SubsystemState, PauseResumeAndResumeAfterTheSessionIsGone)
{
    StartCapturing();
    EXPECT_EQ(Subsystem->PauseSession(), EResp::QUORVEX_SUCCESS);
    EXPECT_TRUE(Log.Has(ELogVerbosity::Log, "QuorvexSDK: Capture paused. sessionId=session-1"));
    FCompletionProbe Resumed;
    Subsystem->ResumeSessionNative(Resumed.Callback());
    EXPECT_EQ(Subsystem->GetSdkState(), ESdk::SDK_STATE_CAPTURING);
    Pump();
    EXPECT_EQ(Resumed.Response, EResp::QUORVEX_SUCCESS);

    Subsystem->PauseSession();
    Peer->DropSession();
    Changes.clear();
    FCompletionProbe Lost;
    Subsystem->ResumeSessionNative(Lost.Callback());
    EXPECT_EQ(Peer->InternalState(), EInt::Idle);
    Pump();
    EXPECT_EQ(Lost.Response, EResp::QUORVEX_ERROR_STATE_NOT_PAUSED);
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning,
                        "QuorvexSDK: ResumeSession rejected: the paused session is gone."));
    ASSERT_EQ(Changes.size(), 1u);
    EXPECT_EQ(Changes[0],
              (FStateChange{ESdk::SDK_STATE_PAUSED, ESdk::SDK_STATE_IDLE, "ResumeLostSession"}));
}

TEST_F(SubsystemState, StopBeforeTheSessionExistsFailsTheStartAndCompletesTheStop)
{
    FCompletionProbe Started;
    FCompletionProbe Stopped;
    Subsystem->StartSessionNative("id", "", Started.Callback());
    const int32 Generation = Peer->SessionGeneration();
    Subsystem->StopSessionNative(Stopped.Callback());
    EXPECT_EQ(Peer->SessionGeneration(), Generation + 1) << "the pending create is disowned";
    Subsystem->Tick(0.016f);
    Subsystem->Tick(0.016f);
    Pump();
    EXPECT_EQ(Started.Response, EResp::QUORVEX_ERROR_SESSION_FAILED);
    EXPECT_EQ(Started.Message, "");
    EXPECT_EQ(Stopped.Response, EResp::QUORVEX_SUCCESS);
    EXPECT_TRUE(Log.Has(ELogVerbosity::Log,
                        "QuorvexSDK: Capture stopped. reason=ManualOrExternal sessionId=unknown"));
}

TEST_F(SubsystemState, DynamicDelegateRunsOnlyWhenBound)
{
    FQuorvexLifecycleComplete Unbound;
    GIsEditor = true;
    Subsystem->StartSession("", "", Unbound);
    int32 Calls = 0;
    FQuorvexLifecycleComplete Bound;
    Bound.BindLambda([&](EResp, const FString&) { ++Calls; });
    Subsystem->StartSession("", "", Bound);
    Pump();
    EXPECT_EQ(Calls, 1);
}

TEST_F(SubsystemState, TeardownWhileCapturingAborts)
{
    StartCapturing();
    Subsystem->Deinitialize();
    EXPECT_EQ(Peer->InternalState(), EInt::Aborted);
    const std::vector<FStateChange> Expected = {
        {ESdk::SDK_STATE_IDLE, ESdk::SDK_STATE_CAPTURING, "StartSession"},
        {ESdk::SDK_STATE_CAPTURING, ESdk::SDK_STATE_STOPPING, "Deinitialize"},
        {ESdk::SDK_STATE_STOPPING, ESdk::SDK_STATE_IDLE, "Deinitialize"},
    };
    EXPECT_EQ(Changes, Expected);
    // Platform notifications no longer reach the subsystem.
    EXPECT_FALSE(FCoreDelegates::OnTemperatureChange().IsBound());
}

TEST(SubsystemInGameInstance, CreatedInitialisedAndTornDownWithTheGameInstance)
{
    FTempDir Saved;
    FPaths::SetProjectSavedDir(Saved.Path());
    FLogCapture Capture;
    FSubsystemRegistry::Register<UQuorvexSubsystem>("UQuorvexSubsystem");
    {
        UGameInstance Instance;
        Instance.Init();
        UQuorvexSubsystem* Quorvex = Instance.GetSubsystem<UQuorvexSubsystem>();
        ASSERT_NE(Quorvex, nullptr);
        EXPECT_TRUE(Capture.Contains("QuorvexSDK: Persisted prefs not found at"));
        EXPECT_TRUE(FCoreDelegates::OnLowPowerMode().IsBound());
        Instance.Shutdown();
        EXPECT_FALSE(FCoreDelegates::OnLowPowerMode().IsBound());
    }
    FSubsystemRegistry::Unregister("UQuorvexSubsystem");
}
