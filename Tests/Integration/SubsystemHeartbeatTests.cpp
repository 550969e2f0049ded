// Heartbeats, the re-check after a resume, and session rollover, against the dev
// backend over real HTTP.
#include "Clock.h"
#include "SubsystemBackendTestBase.h"

namespace
{
using EEndpoint = EDevBackendEndpoint;
constexpr auto Deadline = TestDeadline;
} // namespace

class SubsystemHeartbeat : public FSubsystemBackendTestBase
{
protected:
    nlohmann::json CaptureConfig() const override
    {
        nlohmann::json Config = FDevBackendOptions::DefaultCaptureConfig();
        Config["heartbeatIntervalSeconds"] = 1;
        return Config;
    }

    void SetUp() override
    {
        FSubsystemBackendTestBase::SetUp();
        FCompletionProbe Started;
        Subsystem->StartSessionNative("player", "", Started.Callback());
        ASSERT_TRUE(PumpUntil([&] { return Started.Calls > 0; }));
        ASSERT_EQ(Started.Response, EQuorvexSdkResponse::QUORVEX_SUCCESS);
        FirstSessionId = Subsystem->GetCurrentSessionId();
    }

    // One heartbeat interval of game time, then the answer.
    void TickOneInterval() { Subsystem->Tick(1.0f); }

    size_t Heartbeats() const { return Server.Requests().Count(EEndpoint::Heartbeat); }

    FString FirstSessionId;
};

TEST_F(SubsystemHeartbeat, AliveSessionIsHeardFromEveryInterval)
{
    Subsystem->Tick(0.5f);
    EXPECT_EQ(Heartbeats(), 0u);
    Subsystem->Tick(0.5f);
    ASSERT_TRUE(PumpUntil(
        [&] { return Log.Contains("QuorvexSDK: heartbeat ok. sessionId=" + FirstSessionId); }));
    EXPECT_EQ(Server.Requests().ForEndpoint(EEndpoint::Heartbeat)[0].PathSessionId, FirstSessionId);
    TickOneInterval();
    ASSERT_TRUE(Server.Requests().WaitForCount(EEndpoint::Heartbeat, 2, Deadline));
}

TEST_F(SubsystemHeartbeat, AHeartbeatDueWhileOneIsOutstandingIsSkipped)
{
    Server.ScriptAlways(EEndpoint::Heartbeat, FDevBackendAnswer::Stall());
    TickOneInterval();
    ASSERT_TRUE(Server.WaitForStalled(1, Deadline));
    TickOneInterval();
    TickOneInterval();
    Pump();
    EXPECT_EQ(Heartbeats(), 1u);
}

TEST_F(SubsystemHeartbeat, InactiveSessionRollsOverWhileCapturing)
{
    ASSERT_TRUE(Server.Sessions().MarkInactive(FirstSessionId));
    TickOneInterval();
    ASSERT_TRUE(PumpUntil(
        [&]
        {
            Subsystem->Tick(0.01f);
            return Log.Contains("QuorvexSDK: Session rolled over. newSessionId=");
        }));
    EXPECT_TRUE(Log.Contains("QuorvexSDK: heartbeat reported the session is no longer active. "
                             "code=InvalidSessionToken"));
    EXPECT_TRUE(Log.Has(ELogVerbosity::Log,
                        "QuorvexSDK: Rolling the session over. reason=HeartbeatInactiveSession"));
    EXPECT_NE(Subsystem->GetCurrentSessionId(), FirstSessionId);
    EXPECT_EQ(Subsystem->GetSdkState(), EQuorvexSdkState::SDK_STATE_CAPTURING);
    const auto Creates = Server.Requests().ForEndpoint(EEndpoint::SessionCreate);
    ASSERT_EQ(Creates.size(), 2u);
    EXPECT_EQ(Creates[1].JsonBody()["isRollover"], true);
    EXPECT_EQ(Creates[1].JsonBody()["inGameId"], "player");
    EXPECT_EQ(Changes.size(), 1u) << "a rollover moves no state";
}

TEST_F(SubsystemHeartbeat, InactiveSessionWhilePausedOnlyWarns)
{
    Subsystem->PauseSession();
    ASSERT_TRUE(Server.Sessions().MarkInactive(FirstSessionId));
    TickOneInterval();
    ASSERT_TRUE(PumpUntil(
        [&] { return Log.Contains("skipping rollover: state is paused, not capturing."); }));
    EXPECT_EQ(Subsystem->GetCurrentSessionId(), FirstSessionId);
    EXPECT_EQ(Server.Requests().Count(EEndpoint::SessionCreate), 1u);
    EXPECT_EQ(Subsystem->GetSdkState(), EQuorvexSdkState::SDK_STATE_PAUSED);
}

TEST_F(SubsystemHeartbeat, FailedRolloverStopsCapture)
{
    Server.ScriptAlways(EEndpoint::SessionCreate, FDevBackendAnswer::Respond(500, "down"));
    ASSERT_TRUE(Server.Sessions().MarkInactive(FirstSessionId));
    TickOneInterval();
    ASSERT_TRUE(PumpUntil(
        [&]
        {
            Subsystem->Tick(0.1f); // runs the transport's retries
            return Subsystem->GetSdkState() == EQuorvexSdkState::SDK_STATE_IDLE;
        }));
    EXPECT_TRUE(Log.Has(ELogVerbosity::Error,
                        "QuorvexSDK: Session rollover failed; stopping capture. "
                        "reason=HeartbeatInactiveSession"));
    EXPECT_TRUE(
        Log.Contains("Capture stopped. reason=SessionRolloverFailed sessionId=" + FirstSessionId));
    ASSERT_TRUE(Server.Requests().WaitForCount(EEndpoint::EndSession, 1, Deadline));
    EXPECT_EQ(Server.Requests().ForEndpoint(EEndpoint::EndSession)[0].PathSessionId,
              FirstSessionId);
}

TEST_F(SubsystemHeartbeat, ResumeRevalidatesOnlyAStaleSession)
{
    FScopedFrozenClock Clock;
    Subsystem->PauseSession();
    Subsystem->ResumeSessionNative(nullptr);
    Pump();
    EXPECT_EQ(Heartbeats(), 0u) << "the session was created a moment ago";

    Subsystem->PauseSession();
    Clock.Advance(1.5);
    Subsystem->ResumeSessionNative(nullptr);
    // At least the 1.5 s the clock moved (plus the moments before it was frozen).
    const auto Stale = Log.Matching("QuorvexSDK: last heartbeat is stale (");
    ASSERT_EQ(Stale.size(), 1u);
    EXPECT_GE(std::stoll(Stale[0].Message.substr(Stale[0].Message.find('(') + 1)), 1500);
    ASSERT_TRUE(Server.Requests().WaitForCount(EEndpoint::Heartbeat, 1, Deadline));
}
