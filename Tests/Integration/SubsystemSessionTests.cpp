// The subsystem's session lifecycle against the dev backend over real HTTP.
#include "HttpModule.h"
#include "SubsystemBackendTestBase.h"

namespace
{
using EEndpoint = EDevBackendEndpoint;
using EResp = EQuorvexSdkResponse;
constexpr auto Deadline = TestDeadline;
} // namespace

class SubsystemSession : public FSubsystemBackendTestBase
{
};

TEST_F(SubsystemSession, StartCreatesTheSessionAndStopEndsIt)
{
    FCompletionProbe Started;
    Subsystem->StartSessionNative("  player-1 ", "{\"build\":7}", Started.Callback());
    ASSERT_TRUE(TickUntil([&] { return Started.Calls > 0; }));
    EXPECT_EQ(Started.Response, EResp::QUORVEX_SUCCESS);
    EXPECT_EQ(Subsystem->GetSdkState(), EQuorvexSdkState::SDK_STATE_CAPTURING);
    const auto Creates = Server.Requests().ForEndpoint(EEndpoint::SessionCreate);
    ASSERT_EQ(Creates.size(), 1u);
    const auto Body = Creates[0].JsonBody();
    EXPECT_EQ(Body["isRollover"], false);
    EXPECT_EQ(Body["inGameId"], "player-1");
    EXPECT_EQ(Body["developerPayload"], "{\"build\":7}");
    EXPECT_EQ(Body["sdk"]["version"], "2.0.0");
    EXPECT_EQ(Body["sdk"]["engine"], "unreal");
    const FString SessionId = Subsystem->GetCurrentSessionId();
    EXPECT_FALSE(SessionId.empty());

    FCompletionProbe Stopped;
    Subsystem->StopSessionNative(Stopped.Callback());
    ASSERT_TRUE(TickUntil([&] { return Stopped.Calls > 0; }));
    EXPECT_EQ(Stopped.Response, EResp::QUORVEX_SUCCESS);
    ASSERT_TRUE(Server.Requests().WaitForAnswered(EEndpoint::EndSession, 1, Deadline));
    const auto Ends = Server.Requests().ForEndpoint(EEndpoint::EndSession);
    EXPECT_EQ(Ends[0].PathSessionId, SessionId);
    EXPECT_EQ(Ends[0].JsonBody()["reason"], "UserStopped");
    EXPECT_TRUE(Log.Has(ELogVerbosity::Log, "QuorvexSDK: EndSession sessionId=" + SessionId));
    ASSERT_TRUE(PumpUntil([&] { return Log.Contains("QuorvexSDK: End-session success"); }));
    EXPECT_EQ(Subsystem->GetCurrentSessionId(), SessionId);
}

TEST_F(SubsystemSession, RefusedCreateFailsTheStartWithTheServerText)
{
    Server.ScriptAlways(
        EEndpoint::SessionCreate,
        FDevBackendAnswer::Error(422, "PlatformNotAllowed", "Linux is not allowed"));
    FCompletionProbe Started;
    Subsystem->StartSessionNative("p", "", Started.Callback());
    ASSERT_TRUE(TickUntil([&] { return Started.Calls > 0; }));
    EXPECT_EQ(Started.Response, EResp::QUORVEX_ERROR_SESSION_FAILED);
    EXPECT_NE(Started.Message.find("PlatformNotAllowed"), FString::npos);
    EXPECT_EQ(Peer->InternalState(), EQuorvexInternalState::Failed);
    EXPECT_TRUE(Log.Has(ELogVerbosity::Error,
                        "QuorvexSDK: Session init refused (terminal). "
                        "code=PlatformNotAllowed message=Linux is not allowed"));
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning,
                        "QuorvexSDK: Capture start aborted due to session failure"));
    // The transport retries every status but 400-404; the caller then gives up for good.
    EXPECT_EQ(Server.Requests().Count(EEndpoint::SessionCreate), 3u);
}

TEST_F(SubsystemSession, ResponseWithoutUploadUrlFailsTheStart)
{
    FDevBackendOptions Options;
    Options.CustomizeCredentials = [](nlohmann::json& Credentials)
    { Credentials.erase("uploadUrl"); };
    FDevBackendServer Custom(Options);
    std::string Error;
    ASSERT_TRUE(Custom.Start(Error)) << Error;
    Subsystem->BaseHostUrlOverride = Custom.BaseUrl();
    FCompletionProbe Started;
    Subsystem->StartSessionNative("p", "", Started.Callback());
    ASSERT_TRUE(TickUntil([&] { return Started.Calls > 0; }));
    EXPECT_EQ(Started.Response, EResp::QUORVEX_ERROR_SESSION_FAILED);
    EXPECT_NE(Started.Message.find("\"sessionId\""), FString::npos) << "the whole response body";
    EXPECT_TRUE(Log.Has(ELogVerbosity::Log, "QuorvexSDK: SDK status requesting-session -> failed "
                                            "reason=session-response-missing-upload-credentials"));
    Subsystem->Deinitialize();
    Custom.Stop();
}

TEST_F(SubsystemSession, TeardownWhileCapturingEndsTheSessionBeforeReturning)
{
    FCompletionProbe Started;
    Subsystem->StartSessionNative("p", "", Started.Callback());
    ASSERT_TRUE(TickUntil([&] { return Started.Calls > 0; }));
    Subsystem->Deinitialize();
    EXPECT_EQ(Peer->InternalState(), EQuorvexInternalState::Aborted);
    const auto Ends = Server.Requests().ForEndpoint(EEndpoint::EndSession);
    ASSERT_EQ(Ends.size(), 1u) << "sent and flushed inside Deinitialize";
    EXPECT_TRUE(Ends[0].bAnswered);
}

TEST_F(SubsystemSession, GameEventAndPlayerIdReachTheBackend)
{
    EXPECT_FALSE(Subsystem->SendGameEvent("   ", "{}"));
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning,
                        "QuorvexSDK: SendGameEvent requires a non-empty EventName."));
    EXPECT_TRUE(Subsystem->SendGameEvent(" boss ", R"({"hp":3})"));
    ASSERT_TRUE(Server.Requests().WaitForAnswered(EEndpoint::GameEvent, 1, Deadline));
    const auto Event = Server.Requests().ForEndpoint(EEndpoint::GameEvent)[0].JsonBody();
    EXPECT_EQ(Event["eventName"], " boss ");
    EXPECT_EQ(Event["eventDataJson"], R"({"hp":3})");
    EXPECT_EQ(Event["sessionId"], "");
    ASSERT_TRUE(
        PumpUntil([&] { return Log.Contains("send_game_event success eventName= boss "); }));

    Server.Script(EEndpoint::SessionCreate,
                  {FDevBackendAnswer::Handle().WithDelay(std::chrono::milliseconds(200))});
    FCompletionProbe Started;
    Subsystem->StartSessionNative("first", "", Started.Callback());
    Subsystem->SetInGameId("Second");
    EXPECT_TRUE(Log.Contains("Queued inGameId update until sessionId becomes available: Second"));
    ASSERT_TRUE(TickUntil([&] { return Server.Requests().Count(EEndpoint::SessionUpdate) > 0; }));
    ASSERT_TRUE(Server.Requests().WaitForAnswered(EEndpoint::SessionUpdate, 1, Deadline));
    const auto Patch = Server.Requests().ForEndpoint(EEndpoint::SessionUpdate)[0].JsonBody();
    EXPECT_EQ(Patch["inGameId"], "Second");
    EXPECT_EQ(Patch["sessionId"], Subsystem->GetCurrentSessionId());
    ASSERT_TRUE(TickUntil([&] { return Log.Contains("Updated server inGameId for sessionId="); }));
    Subsystem->SetInGameId("second");
    EXPECT_TRUE(Log.Contains("SetInGameId called with unchanged inGameId=second"));
}
