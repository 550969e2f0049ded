// The dev backend's normal behaviour on the session endpoints, over real HTTP.
#include "DevBackendTestFixture.h"

#include "UrlEncoding.h"

class FDevBackendSessionTest : public FDevBackendTest
{
};

TEST_F(FDevBackendSessionTest, CreateAnswersSessionCaptureConfigAndCredentials)
{
    httplib::Result Result = PostJson("/api/v4/session", ValidCreateBody());
    ASSERT_TRUE(Result);
    ASSERT_EQ(Result->status, 200);
    const nlohmann::json Answer = JsonOf(Result);
    ASSERT_EQ(Answer["success"], true);
    const nlohmann::json& Data = Answer["data"];
    const std::string Id = Data["sessionId"];
    EXPECT_FALSE(Id.empty());
    EXPECT_EQ(Data["storageProvider"], "GCS");
    EXPECT_TRUE(Data["expiresAt"].is_string());
    EXPECT_EQ(Data["captureConfig"], FDevBackendOptions::DefaultCaptureConfig());
    EXPECT_EQ(Data["uploadCredentials"]["storageProvider"], "GCS");
    EXPECT_EQ(Data["uploadCredentials"]["uploadUrl"].get<std::string>().rfind(Server->BaseUrl(), 0),
              0u);

    const std::optional<FDevBackendSession> Session = Server->Sessions().Find(Id);
    ASSERT_TRUE(Session);
    EXPECT_EQ(Session->State, EDevBackendSessionState::Active);
    EXPECT_FALSE(Session->bRollover);
    EXPECT_EQ(Session->InGameId, std::optional<std::string>("player-7"));
    EXPECT_EQ(Session->CredentialsIssued, 1);
    EXPECT_EQ(Session->UploadCredentials, Data["uploadCredentials"]);
    EXPECT_EQ(Session->CreateRequest, ValidCreateBody());
}

TEST_F(FDevBackendSessionTest, RolloverCreateIsFlaggedAndEmptyInGameIdIsUnset)
{
    nlohmann::json Body = ValidCreateBody();
    Body["isRollover"] = true;
    Body["inGameId"] = "";
    const std::string Id = CreateSession(Body);
    const std::optional<FDevBackendSession> Session = Server->Sessions().Find(Id);
    ASSERT_TRUE(Session);
    EXPECT_TRUE(Session->bRollover);
    EXPECT_FALSE(Session->InGameId);
}

TEST_F(FDevBackendSessionTest, CaptureConfigSetByTheTestIsSentAsGiven)
{
    const nlohmann::json Config = {{"uploadIntervalMs", 5000}, {"heartbeatIntervalSeconds", 1}};
    Server->SetCaptureConfig(Config);
    const nlohmann::json Answer = JsonOf(PostJson("/api/v4/session", ValidCreateBody()));
    EXPECT_EQ(Answer["data"]["captureConfig"], Config);
}

TEST_F(FDevBackendSessionTest, HeartbeatIsAliveUntilTheSessionIsMarkedInactive)
{
    const std::string Id = CreateSession();
    for (int Beat = 1; Beat <= 2; ++Beat)
    {
        const nlohmann::json Alive = JsonOf(PostJson(HeartbeatPath(Id), nlohmann::json::object()));
        EXPECT_EQ(Alive["success"], true);
        EXPECT_EQ(Alive["data"]["heartbeats"], Beat);
    }
    ASSERT_TRUE(Server->Sessions().MarkInactive(Id));
    EXPECT_FALSE(Server->Sessions().MarkInactive(Id)) << "only an active session can be swept";

    httplib::Result Result = PostJson(HeartbeatPath(Id), nlohmann::json::object());
    ASSERT_TRUE(Result);
    // 200 with success false: a reached backend saying "not alive", which the client
    // tells apart from a network failure.
    EXPECT_EQ(Result->status, 200);
    EXPECT_NE(Result->body.find("\"code\":\"InvalidSessionToken\""), std::string::npos)
        << Result->body;
    const nlohmann::json Dead = JsonOf(Result);
    EXPECT_EQ(Dead["success"], false);
    EXPECT_EQ(Dead["data"]["message"], "Session has expired");
    EXPECT_EQ(Server->Sessions().Find(Id)->Heartbeats, 2);
}

TEST_F(FDevBackendSessionTest, HeartbeatForUnknownSessionIsNotAlive)
{
    const nlohmann::json Answer = JsonOf(PostJson(HeartbeatPath("nope"), nlohmann::json::object()));
    EXPECT_EQ(Answer["success"], false);
    EXPECT_EQ(Answer["data"]["code"], "SessionNotFound");
}

TEST_F(FDevBackendSessionTest, EndRecordsTheCountersOnceAndStopsHeartbeats)
{
    const std::string Id = CreateSession();
    const std::string EndPath = "/api/v4/sessions/" + Id + "/end";
    httplib::Result First = PostJson(EndPath, ValidEndBody());
    ASSERT_TRUE(First);
    EXPECT_EQ(First->status, 200);
    EXPECT_EQ(JsonOf(First)["data"]["state"], "ended");

    // A retried end (its first answer lost) succeeds and keeps the first record.
    nlohmann::json Again = ValidEndBody();
    Again["reason"] = "Retry";
    Again["totalFramesCaptured"] = 1;
    httplib::Result Second = PostJson(EndPath, Again);
    ASSERT_TRUE(Second);
    EXPECT_EQ(Second->status, 200);

    const FDevBackendSession Session = *Server->Sessions().Find(Id);
    EXPECT_EQ(Session.State, EDevBackendSessionState::Ended);
    EXPECT_EQ(Session.EndReason, "HostStopped");
    EXPECT_EQ(Session.TotalFramesCaptured, 42);
    EXPECT_EQ(Session.TotalEventsRecorded, 3);
    EXPECT_EQ(JsonOf(PostJson(HeartbeatPath(Id), nlohmann::json::object()))["success"], false);
}

TEST_F(FDevBackendSessionTest, EndOfInactiveSessionIsAcceptedAndUnknownIsNotFound)
{
    const std::string Id = CreateSession();
    Server->Sessions().MarkInactive(Id);
    httplib::Result Inactive = PostJson("/api/v4/sessions/" + Id + "/end", ValidEndBody());
    ASSERT_TRUE(Inactive);
    EXPECT_EQ(Inactive->status, 200);
    EXPECT_EQ(Server->Sessions().Find(Id)->State, EDevBackendSessionState::Ended);

    httplib::Result Unknown = PostJson("/api/v4/sessions/nope/end", ValidEndBody());
    ASSERT_TRUE(Unknown);
    EXPECT_EQ(Unknown->status, 404);
    EXPECT_EQ(JsonOf(Unknown)["data"]["code"], "SessionNotFound");
}

TEST_F(FDevBackendSessionTest, InGameIdPatchSetsAndClearsTheId)
{
    const std::string Id = CreateSession();
    auto Patch = [&](const nlohmann::json& Body)
    { return Client()->Patch("/api/v4/session", Body.dump(), "application/json"); };

    httplib::Result Set = Patch({{"sessionId", Id}, {"inGameId", "player-9"}});
    ASSERT_TRUE(Set);
    EXPECT_EQ(Set->status, 200);
    EXPECT_EQ(JsonOf(Set)["success"], true);
    EXPECT_EQ(Server->Sessions().Find(Id)->InGameId, std::optional<std::string>("player-9"));

    httplib::Result Cleared = Patch({{"sessionId", Id}, {"inGameId", nullptr}});
    ASSERT_TRUE(Cleared);
    EXPECT_EQ(JsonOf(Cleared)["data"]["inGameId"], nullptr);
    EXPECT_FALSE(Server->Sessions().Find(Id)->InGameId);

    httplib::Result Unknown = Patch({{"sessionId", "nope"}, {"inGameId", "x"}});
    ASSERT_TRUE(Unknown);
    EXPECT_EQ(Unknown->status, 404);

    Server->Sessions().MarkInactive(Id);
    httplib::Result Inactive = Patch({{"sessionId", Id}, {"inGameId", "x"}});
    ASSERT_TRUE(Inactive);
    EXPECT_EQ(Inactive->status, 401);
    EXPECT_EQ(JsonOf(Inactive)["success"], false);
}

TEST_F(FDevBackendSessionTest, RefreshIssuesNewCredentialsOfTheSessionsOwnStore)
{
    Server->SetStore(EDevBackendStore::B2);
    const std::string Id = CreateSession();
    const std::string FirstToken = Server->Sessions().Find(Id)->UploadToken;
    // Sessions created from now on would get GCS; this one stays on B2.
    Server->SetStore(EDevBackendStore::Gcs);

    httplib::Result Result =
        PostJson("/api/v4/sessions/" + Id + "/refresh-upload-url", nlohmann::json::object());
    ASSERT_TRUE(Result);
    ASSERT_EQ(Result->status, 200);
    const nlohmann::json Answer = JsonOf(Result);
    ASSERT_TRUE(Answer.contains("uploadCredentials")) << "carried at the top level";
    const nlohmann::json& Credentials = Answer["uploadCredentials"];
    EXPECT_EQ(Credentials["storageProvider"], "B2");

    const FDevBackendSession Session = *Server->Sessions().Find(Id);
    EXPECT_EQ(Session.CredentialsIssued, 2);
    EXPECT_NE(Session.UploadToken, FirstToken);
    EXPECT_EQ(Credentials["authorizationToken"], Session.UploadToken);
}

TEST_F(FDevBackendSessionTest, RefreshIsRefusedForInactiveAndUnknownSessions)
{
    const std::string Id = CreateSession();
    Server->Sessions().MarkInactive(Id);
    httplib::Result Inactive =
        PostJson("/api/v4/sessions/" + Id + "/refresh-upload-url", nlohmann::json::object());
    ASSERT_TRUE(Inactive);
    EXPECT_EQ(Inactive->status, 401);
    EXPECT_EQ(JsonOf(Inactive)["data"]["code"], "InvalidSessionToken");
    EXPECT_EQ(Server->Sessions().Find(Id)->CredentialsIssued, 1);

    httplib::Result Unknown =
        PostJson("/api/v4/sessions/nope/refresh-upload-url", nlohmann::json::object());
    ASSERT_TRUE(Unknown);
    EXPECT_EQ(Unknown->status, 404);
}

TEST_F(FDevBackendSessionTest, GameEventsAreAcceptedWithOrWithoutASession)
{
    const std::string Id = CreateSession();
    httplib::Result WithSession = PostJson("/api/v4/send_game_event", ValidGameEventBody(Id));
    ASSERT_TRUE(WithSession);
    EXPECT_EQ(WithSession->status, 200);
    EXPECT_EQ(JsonOf(WithSession)["data"]["sessionKnown"], true);
    EXPECT_EQ(Server->Sessions().Find(Id)->GameEvents, 1);

    httplib::Result Before = PostJson("/api/v4/send_game_event", ValidGameEventBody(""));
    ASSERT_TRUE(Before);
    EXPECT_EQ(Before->status, 200);
    EXPECT_EQ(JsonOf(Before)["data"]["sessionKnown"], false);

    const std::vector<FDevBackendRecordedRequest> Events =
        Server->Requests().ForEndpoint(EDevBackendEndpoint::GameEvent);
    ASSERT_EQ(Events.size(), 2u);
    EXPECT_EQ(Events[0].JsonBody()["eventDataJson"], "{\"level\":4}");
}

// Session ids are free text to the client, which percent-encodes them into paths.
TEST_F(FDevBackendSessionTest, SessionIdsWithSlashAndSpaceRouteWhenEncoded)
{
    FDevBackendOptions Options;
    Options.SessionIdFactory = [] { return std::string("team a/42"); };
    StartServer(Options);
    const std::string Id = CreateSession();
    ASSERT_EQ(Id, "team a/42");

    const std::string Encoded = FGenericPlatformHttp::UrlEncode(Id);
    EXPECT_EQ(JsonOf(PostJson(HeartbeatPath(Encoded), nlohmann::json::object()))["success"], true);
    const FDevBackendRecordedRequest Beat =
        Server->Requests().ForEndpoint(EDevBackendEndpoint::Heartbeat).at(0);
    EXPECT_EQ(Beat.PathSessionId, Id);
    EXPECT_EQ(Beat.Target, "/api/v4/sessions/team%20a%2F42/heartbeat");

    // The factory repeating itself is reported, not turned into a shared session.
    httplib::Result Collision = PostJson("/api/v4/session", ValidCreateBody());
    ASSERT_TRUE(Collision);
    EXPECT_EQ(Collision->status, 500);
    EXPECT_EQ(Server->Sessions().Count(), 1u);
}
