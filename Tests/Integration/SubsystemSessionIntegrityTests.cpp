// Late answers, re-entrant hosts and teardown against the dev backend over real HTTP:
// whatever arrives late or out of order, no backend session is left open that
// nothing ends, no answer of an ended session acts on the next one, and every
// completion is called exactly once.
#include "Clock.h"
#include "SubsystemBackendTestBase.h"

#include <thread>

namespace
{
using EEndpoint = EDevBackendEndpoint;
using EResp = EQuorvexSdkResponse;
using EState = EQuorvexSdkState;
constexpr auto Deadline = TestDeadline;
} // namespace

class SubsystemSessionIntegrity : public FSubsystemBackendTestBase
{
protected:
    nlohmann::json CaptureConfig() const override
    {
        nlohmann::json Config = FDevBackendOptions::DefaultCaptureConfig();
        Config["heartbeatIntervalSeconds"] = 1;
        return Config;
    }

    // Starts a session and waits until it captures; returns its id.
    FString StartAndWait(const char* Player = "player")
    {
        FCompletionProbe Started;
        Subsystem->StartSessionNative(Player, "", Started.Callback());
        EXPECT_TRUE(TickUntil([&] { return Started.Calls > 0; }));
        EXPECT_EQ(Started.Response, EResp::QUORVEX_SUCCESS) << Started.Message;
        return Subsystem->GetCurrentSessionId();
    }

    void StopAndWait()
    {
        FCompletionProbe Stopped;
        Subsystem->StopSessionNative(Stopped.Callback());
        ASSERT_TRUE(TickUntil([&] { return Stopped.Calls > 0; }));
        EXPECT_EQ(Stopped.Response, EResp::QUORVEX_SUCCESS);
    }

    // Waits until every session the backend created has been ended.
    bool AllBackendSessionsEnded()
    {
        return PumpUntil(
            [&]
            {
                for (const FDevBackendSession& Session : Server.Sessions().All())
                {
                    if (Session.State != EDevBackendSessionState::Ended)
                    {
                        return false;
                    }
                }
                return true;
            });
    }

    std::vector<std::string> EndedIds() const
    {
        std::vector<std::string> Ids;
        for (const auto& Request : Server.Requests().ForEndpoint(EEndpoint::EndSession))
        {
            Ids.push_back(Request.PathSessionId);
        }
        return Ids;
    }
};

TEST_F(SubsystemSessionIntegrity, ParkedHeartbeatRetryOfAnEndedSessionNeverRollsTheNextOneOver)
{
    FScopedFrozenClock Clock; // the retry stays parked until the clock moves
    const FString First = StartAndWait();
    Server.Script(EEndpoint::Heartbeat, {FDevBackendAnswer::Respond(503, "busy")});
    Subsystem->Tick(1.0f);
    ASSERT_TRUE(PumpUntil([&] { return Log.Contains("QuorvexSDK: HTTP retry 1/2"); }));
    // The backend would now answer the old id as no longer active.
    ASSERT_TRUE(Server.Sessions().MarkInactive(First));

    StopAndWait();
    const FString Second = StartAndWait();
    ASSERT_NE(Second, First);
    Clock.Advance(2.0);
    for (int Frame = 0; Frame < 20; ++Frame)
    {
        Subsystem->Tick(0.01f);
        Pump();
    }

    EXPECT_EQ(Server.Requests().Count(EEndpoint::Heartbeat), 1u) << "the retry was cancelled";
    EXPECT_EQ(Server.Requests().Count(EEndpoint::SessionCreate), 2u);
    EXPECT_FALSE(Log.Contains("Rolling the session over"));
    EXPECT_EQ(Subsystem->GetCurrentSessionId(), Second);
    EXPECT_EQ(Subsystem->GetSdkState(), EState::SDK_STATE_CAPTURING);
    // The new session's own heartbeat is not held back by the old one's flag.
    Subsystem->Tick(1.0f);
    ASSERT_TRUE(PumpUntil([&] { return Log.Contains("heartbeat ok. sessionId=" + Second); }));
}

TEST_F(SubsystemSessionIntegrity, RolloverAnsweredAfterTheStopIsEndedNotAdopted)
{
    const FString First = StartAndWait();
    // The rollover's replay is held; the next start's create is handled normally.
    Server.Script(EEndpoint::SessionCreate, {FDevBackendAnswer::Stall()});
    ASSERT_TRUE(Server.Sessions().MarkInactive(First));
    Subsystem->Tick(1.0f);
    ASSERT_TRUE(PumpUntil([&] { return Server.StalledCount() == 1; }));

    StopAndWait();
    const FString Third = StartAndWait("next-player");
    Server.ReleaseStalled();
    ASSERT_TRUE(PumpUntil([&] { return EndedIds().size() == 2; }));

    const std::vector<FDevBackendSession> Sessions = Server.Sessions().All();
    ASSERT_EQ(Sessions.size(), 3u);
    const auto Rollover = std::find_if(Sessions.begin(), Sessions.end(),
                                       [](const FDevBackendSession& S) { return S.bRollover; });
    ASSERT_NE(Rollover, Sessions.end());
    EXPECT_EQ(EndedIds(), (std::vector<std::string>{First, Rollover->Id}));
    EXPECT_EQ(Subsystem->GetCurrentSessionId(), Third);
    EXPECT_EQ(Subsystem->GetSdkState(), EState::SDK_STATE_CAPTURING);
    EXPECT_FALSE(Log.Contains("Session rolled over"));
}

TEST_F(SubsystemSessionIntegrity, DeadSessionAnsweredWithAnErrorStatusRollsOver)
{
    for (const int Status : {404, 410})
    {
        SCOPED_TRACE(Status);
        Server.SetDeadSessionHeartbeatStatus(Status);
        const FString First = StartAndWait();
        ASSERT_TRUE(Server.Sessions().MarkInactive(First));
        Subsystem->Tick(1.0f);
        ASSERT_TRUE(TickUntil([&] { return Log.Contains("Session rolled over. newSessionId="); }));
        EXPECT_TRUE(Log.Contains("heartbeat reported the session is no longer active"));
        EXPECT_FALSE(Log.Contains("heartbeat failed to reach the server"));
        EXPECT_NE(Subsystem->GetCurrentSessionId(), First);
        StopAndWait();
        Log.Clear();
    }
    // A session the backend never knew, answered 404 with its error body, too.
    const FString Known = StartAndWait();
    Server.Script(EEndpoint::Heartbeat,
                  {FDevBackendAnswer::Error(404, "SessionNotFound", "No session " + Known)});
    Subsystem->Tick(1.0f);
    ASSERT_TRUE(TickUntil([&] { return Log.Contains("Session rolled over. newSessionId="); }));
}

TEST_F(SubsystemSessionIntegrity, PauseDuringTheCreateThenResumeAnswersBothCallers)
{
    Server.Script(EEndpoint::SessionCreate, {FDevBackendAnswer::Stall()});
    FCompletionProbe Started;
    Subsystem->StartSessionNative("player", "", Started.Callback());
    ASSERT_TRUE(Server.WaitForStalled(1, Deadline));
    ASSERT_EQ(Subsystem->PauseSession(), EResp::QUORVEX_SUCCESS);
    Server.ReleaseStalled();
    ASSERT_TRUE(TickUntil([&] { return !Subsystem->GetCurrentSessionId().empty(); }));
    EXPECT_EQ(Subsystem->GetSdkState(), EState::SDK_STATE_PAUSED);
    EXPECT_EQ(Peer->CachedCpu(), -1) << "capture never began, so nothing was sampled";

    FCompletionProbe Resumed;
    Subsystem->ResumeSessionNative(Resumed.Callback());
    Pump();
    EXPECT_EQ(Started.Calls, 1);
    EXPECT_EQ(Started.Response, EResp::QUORVEX_SUCCESS);
    EXPECT_EQ(Resumed.Calls, 1);
    EXPECT_EQ(Resumed.Response, EResp::QUORVEX_SUCCESS);
    EXPECT_GE(Peer->CachedCpu(), 0) << "the resumed capture seeds the system sample";
}

TEST_F(SubsystemSessionIntegrity, PauseDuringAFailingCreateLeavesAnIdleUntickableSubsystem)
{
    Server.Script(EEndpoint::SessionCreate,
                  {FDevBackendAnswer::Error(403, "Forbidden", "no").Stalled()});
    FCompletionProbe Started;
    Subsystem->StartSessionNative("player", "", Started.Callback());
    ASSERT_TRUE(Server.WaitForStalled(1, Deadline));
    ASSERT_EQ(Subsystem->PauseSession(), EResp::QUORVEX_SUCCESS);
    Server.ReleaseStalled();
    ASSERT_TRUE(PumpUntil([&] { return Started.Calls > 0; }));
    EXPECT_EQ(Started.Response, EResp::QUORVEX_ERROR_SESSION_FAILED);
    EXPECT_EQ(Subsystem->GetSdkState(), EState::SDK_STATE_IDLE);
    EXPECT_FALSE(Subsystem->IsTickable());
    Log.Clear();
    Subsystem->Deinitialize();
    EXPECT_FALSE(Log.Contains("Capture stopped")) << "no stop of a session that never was";
    EXPECT_EQ(Server.Requests().Count(EEndpoint::EndSession), 0u);
}

TEST_F(SubsystemSessionIntegrity, CreateWithoutABodyOrWithAnUnreadableOneFailsTheStart)
{
    struct FCase
    {
        const char* Name;
        FDevBackendAnswer Answer;
        const char* ExpectedMessagePart;
    };
    const FCase Cases[] = {
        {"dropped connection", FDevBackendAnswer::Drop(), ""},
        {"not JSON", FDevBackendAnswer::Respond(200, "<html>oops</html>", "text/html"),
         "<html>oops</html>"},
        {"JSON without a session", FDevBackendAnswer::Respond(200, "{\"success\":true}"),
         "{\"success\":true}"},
    };
    for (const FCase& Case : Cases)
    {
        SCOPED_TRACE(Case.Name);
        Server.ScriptAlways(EEndpoint::SessionCreate, Case.Answer);
        FCompletionProbe Started;
        Subsystem->StartSessionNative("player", "", Started.Callback());
        ASSERT_TRUE(TickUntil([&] { return Started.Calls > 0; }));
        EXPECT_EQ(Started.Response, EResp::QUORVEX_ERROR_SESSION_FAILED);
        EXPECT_FALSE(Started.Message.empty()) << "the host hears why";
        EXPECT_NE(Started.Message.find(Case.ExpectedMessagePart), FString::npos) << Started.Message;
        EXPECT_EQ(Subsystem->GetSdkState(), EState::SDK_STATE_IDLE);
        EXPECT_FALSE(Subsystem->IsTickable());
    }
}

TEST_F(SubsystemSessionIntegrity, FailedStartHandsTheHostNoCredential)
{
    const std::string Body =
        R"({"success":false,"data":{"code":"Denied","message":"no"},"uploadCredentials":)"
        R"({"uploadUrl":"https://store.example/up?sig=PLANTED-SIG","authorizationToken":)"
        R"("PLANTED-TOKEN"}})";
    Server.ScriptAlways(EEndpoint::SessionCreate, FDevBackendAnswer::Respond(403, Body));
    FCompletionProbe Started;
    Subsystem->StartSessionNative("player", "", Started.Callback());
    ASSERT_TRUE(TickUntil([&] { return Started.Calls > 0; }));
    EXPECT_EQ(Started.Response, EResp::QUORVEX_ERROR_SESSION_FAILED);
    EXPECT_NE(Started.Message.find("Denied"), FString::npos) << Started.Message;
    EXPECT_EQ(Started.Message.find("PLANTED-TOKEN"), FString::npos) << Started.Message;
    EXPECT_EQ(Started.Message.find("PLANTED-SIG"), FString::npos) << Started.Message;
}

TEST_F(SubsystemSessionIntegrity, StopFromTheCapturingEventLeavesNoBackendSessionOpen)
{
    FCompletionProbe Started, Stopped;
    bool bStopIssued = false;
    const FDelegateHandle Handler = Subsystem->OnSdkStateChanged.Add(
        [&](EState, EState New, const FString&)
        {
            if (New == EState::SDK_STATE_CAPTURING && !bStopIssued)
            {
                bStopIssued = true;
                Subsystem->StopSessionNative(Stopped.Callback());
            }
        });
    Subsystem->StartSessionNative("player", "", Started.Callback());
    ASSERT_TRUE(TickUntil([&] { return Started.Calls > 0 && Stopped.Calls > 0; }));
    EXPECT_EQ(Started.Response, EResp::QUORVEX_ERROR_SESSION_FAILED);
    EXPECT_EQ(Stopped.Response, EResp::QUORVEX_SUCCESS);
    EXPECT_EQ(Subsystem->GetSdkState(), EState::SDK_STATE_IDLE);
    EXPECT_FALSE(Subsystem->IsTickable());
    // The create was already on its way when the stop came: its session is ended.
    ASSERT_TRUE(PumpUntil([&] { return Server.Sessions().Count() == 1; }));
    EXPECT_TRUE(AllBackendSessionsEnded());
    EXPECT_EQ(Server.Requests().Count(EEndpoint::SessionCreate), 1u);
    Subsystem->OnSdkStateChanged.Remove(Handler); // it refers to this test's locals
}

TEST_F(SubsystemSessionIntegrity, StartFromTheStoppingEventIsQueuedBehindTheFlush)
{
    const FString First = StartAndWait();
    FCompletionProbe Restarted, Stopped;
    bool bStartIssued = false;
    const FDelegateHandle Handler = Subsystem->OnSdkStateChanged.Add(
        [&](EState, EState New, const FString&)
        {
            if (New == EState::SDK_STATE_STOPPING && !bStartIssued)
            {
                bStartIssued = true;
                Subsystem->StartSessionNative("again", "", Restarted.Callback());
            }
        });
    Subsystem->StopSessionNative(Stopped.Callback());
    ASSERT_TRUE(TickUntil([&] { return Restarted.Calls > 0 && Stopped.Calls > 0; }));
    EXPECT_EQ(Stopped.Response, EResp::QUORVEX_SUCCESS);
    EXPECT_EQ(Restarted.Response, EResp::QUORVEX_SUCCESS) << Restarted.Message;
    EXPECT_EQ(Subsystem->GetSdkState(), EState::SDK_STATE_CAPTURING);
    EXPECT_NE(Subsystem->GetCurrentSessionId(), First);
    EXPECT_EQ(EndedIds(), std::vector<std::string>{First});
    Subsystem->OnSdkStateChanged.Remove(Handler); // it refers to this test's locals
}

TEST_F(SubsystemSessionIntegrity, StorageStopsStopOnceWithoutEndingAndTeardownEndsTheSession)
{
    struct FCase
    {
        void (FQuorvexSubsystemTestPeer::*Request)();
        const char* LogReason;
        const char* StateReason;
    };
    const FCase Cases[] = {
        {&FQuorvexSubsystemTestPeer::RequestStopCaptureDueToStorageLimit, "StorageLimit(100MB)",
         "BufferedStorageSizeLimit"},
        {&FQuorvexSubsystemTestPeer::RequestStopCaptureDueToPersistentStorageFailure,
         "PersistentStorageFailure", "PersistentStorageFailure"},
    };
    for (const FCase& Case : Cases)
    {
        SCOPED_TRACE(Case.LogReason);
        const FString Id = StartAndWait();
        const size_t EndsBefore = EndedIds().size();
        Changes.clear();
        // Several workers report at once: one stop.
        std::vector<std::thread> Reporters;
        for (int Index = 0; Index < 4; ++Index)
        {
            Reporters.emplace_back([&] { ((*Peer).*Case.Request)(); });
        }
        for (std::thread& Reporter : Reporters)
        {
            Reporter.join();
        }
        ASSERT_TRUE(PumpUntil([&] { return Subsystem->GetSdkState() == EState::SDK_STATE_IDLE; }));
        Pump();
        EXPECT_EQ(Log.Matching(FString("QuorvexSDK: Capture stopped. reason=") + Case.LogReason +
                               " sessionId=" + Id)
                      .size(),
                  1u);
        EXPECT_EQ(Changes,
                  (std::vector<FStateChange>{
                      {EState::SDK_STATE_CAPTURING, EState::SDK_STATE_STOPPING, Case.StateReason},
                      {EState::SDK_STATE_STOPPING, EState::SDK_STATE_IDLE, Case.StateReason}}));
        EXPECT_EQ(EndedIds().size(), EndsBefore) << "a storage stop sends no end-session";
        EXPECT_FALSE(Subsystem->IsTickable());
        EXPECT_EQ(Subsystem->GetCurrentSessionId(), Id);
    }
    // The last session is still open on the backend: teardown ends it.
    const FString Held = Subsystem->GetCurrentSessionId();
    Subsystem->Deinitialize();
    ASSERT_FALSE(EndedIds().empty());
    EXPECT_EQ(EndedIds().back(), Held);
}

TEST_F(SubsystemSessionIntegrity, TeardownWhilePausedOrDuringAStopFlushEndsTheSessionOnce)
{
    struct FCase
    {
        const char* Name;
        bool bStopFirst;
        EQuorvexInternalState FinalState;
        EState From;
    };
    const FCase Cases[] = {
        {"paused", false, EQuorvexInternalState::Aborted, EState::SDK_STATE_PAUSED},
        {"stop flush pending", true, EQuorvexInternalState::Stopped, EState::SDK_STATE_STOPPING},
    };
    for (const FCase& Case : Cases)
    {
        SCOPED_TRACE(Case.Name);
        // A fresh subsystem per case: teardown is final.
        Subsystem->Deinitialize();
        Subsystem = std::make_unique<UQuorvexSubsystem>();
        Peer = std::make_unique<FQuorvexSubsystemTestPeer>(*Subsystem);
        FSubsystemCollectionBase Collection;
        Subsystem->Initialize(Collection);
        Subsystem->BaseHostUrlOverride = Server.BaseUrl();
        const FString Id = StartAndWait();
        ASSERT_EQ(Subsystem->PauseSession(), EResp::QUORVEX_SUCCESS);
        FCompletionProbe Stopped;
        if (Case.bStopFirst)
        {
            Subsystem->StopSessionNative(Stopped.Callback()); // no tick: the flush is pending
        }
        std::vector<FStateChange> Seen;
        const FDelegateHandle Handler = Subsystem->OnSdkStateChanged.Add(
            [&](EState Old, EState New, const FString& Reason) {
                Seen.push_back({Old, New, Reason});
            });
        const size_t EndsBefore = EndedIds().size();

        Subsystem->Deinitialize();
        Pump();
        Subsystem->OnSdkStateChanged.Remove(Handler);
        EXPECT_EQ(Peer->InternalState(), Case.FinalState);
        ASSERT_FALSE(Seen.empty());
        EXPECT_EQ(Seen.front().Old, Case.From);
        EXPECT_EQ(Seen.back().New, EState::SDK_STATE_IDLE);
        EXPECT_EQ(Subsystem->GetSdkState(), EState::SDK_STATE_IDLE);
        ASSERT_EQ(EndedIds().size(), EndsBefore + 1);
        EXPECT_EQ(EndedIds().back(), Id);
        if (Case.bStopFirst)
        {
            EXPECT_EQ(Stopped.Calls, 1);
            EXPECT_EQ(Stopped.Response, EResp::QUORVEX_SUCCESS);
        }
    }
}
