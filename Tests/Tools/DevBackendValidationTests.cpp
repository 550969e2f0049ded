// Bodies the backend refuses: 400 with the error shape naming the faulty key, 415 for
// a body that is not declared JSON, 404/405 for routes it does not serve. A refused
// request changes no state.
#include "DevBackendTestFixture.h"

#include <functional>

namespace
{
struct FBodyCase
{
    const char* Name;
    EDevBackendEndpoint Endpoint;
    std::function<void(nlohmann::json&)> Break;
    const char* Message; // expected error message
};

nlohmann::json ValidBodyFor(EDevBackendEndpoint Endpoint, const std::string& SessionId)
{
    switch (Endpoint)
    {
    case EDevBackendEndpoint::SessionCreate:
        return ValidCreateBody();
    case EDevBackendEndpoint::SessionUpdate:
        return {{"sessionId", SessionId}, {"inGameId", "p"}};
    case EDevBackendEndpoint::EndSession:
        return ValidEndBody();
    case EDevBackendEndpoint::GameEvent:
        return ValidGameEventBody(SessionId);
    default:
        return nlohmann::json::object();
    }
}
} // namespace

class FDevBackendValidationTest : public FDevBackendTest
{
protected:
    httplib::Result Send(EDevBackendEndpoint Endpoint, const std::string& Id,
                         const std::string& Body, const char* ContentType = "application/json")
    {
        const auto C = Client();
        switch (Endpoint)
        {
        case EDevBackendEndpoint::SessionCreate:
            return C->Post("/api/v4/session", Body, ContentType);
        case EDevBackendEndpoint::SessionUpdate:
            return C->Patch("/api/v4/session", Body, ContentType);
        case EDevBackendEndpoint::Heartbeat:
            return C->Post(HeartbeatPath(Id), Body, ContentType);
        case EDevBackendEndpoint::EndSession:
            return C->Post("/api/v4/sessions/" + Id + "/end", Body, ContentType);
        case EDevBackendEndpoint::RefreshUploadUrl:
            return C->Post("/api/v4/sessions/" + Id + "/refresh-upload-url", Body, ContentType);
        default:
            return C->Post("/api/v4/send_game_event", Body, ContentType);
        }
    }
};

TEST_F(FDevBackendValidationTest, BrokenBodiesAreRefusedNamingTheKey)
{
    using E = EDevBackendEndpoint;
    const FBodyCase Cases[] = {
        {"rollover as text", E::SessionCreate, [](auto& B) { B["isRollover"] = "false"; },
         "isRollover must be a boolean"},
        {"no device", E::SessionCreate, [](auto& B) { B.erase("device"); }, "missing key device"},
        {"app not an object", E::SessionCreate, [](auto& B) { B["app"] = "demo"; },
         "app must be an object"},
        {"fractional width", E::SessionCreate,
         [](auto& B) { B["device"]["resolution"]["width"] = 1.5; },
         "device.resolution.width must be an integer"},
        {"wave ops as text", E::SessionCreate,
         [](auto& B) { B["device"]["deviceGraphicsConfig"]["d3dSupportsWaveOps"] = "yes"; },
         "device.deviceGraphicsConfig.d3dSupportsWaveOps must be a boolean"},
        {"no sdk engine", E::SessionCreate, [](auto& B) { B["sdk"].erase("engine"); },
         "missing key sdk.engine"},
        {"sdk version as number", E::SessionCreate, [](auto& B) { B["sdk"]["version"] = 2; },
         "sdk.version must be a string"},
        {"end without reason", E::EndSession, [](auto& B) { B.erase("reason"); },
         "missing key reason"},
        {"frames as text", E::EndSession, [](auto& B) { B["totalFramesCaptured"] = "3"; },
         "totalFramesCaptured must be an integer"},
        {"fractional events", E::EndSession, [](auto& B) { B["totalEventsRecorded"] = 2.5; },
         "totalEventsRecorded must be an integer"},
        {"negative frames", E::EndSession, [](auto& B) { B["totalFramesCaptured"] = -1; },
         "totalFramesCaptured and totalEventsRecorded must not be negative"},
        {"in-game id as number", E::SessionUpdate, [](auto& B) { B["inGameId"] = 5; },
         "inGameId must be a string or null"},
        {"empty session id", E::SessionUpdate, [](auto& B) { B["sessionId"] = ""; },
         "sessionId must not be empty"},
        {"event data embedded as object", E::GameEvent,
         [](auto& B) {
             B["eventDataJson"] = {{"level", 4}};
         },
         "eventDataJson must be a string"},
        {"blank event name", E::GameEvent, [](auto& B) { B["eventName"] = "  "; },
         "eventName must not be blank"},
        {"timestamp as text", E::GameEvent, [](auto& B) { B["timestamp"] = "1700000000123"; },
         "timestamp must be an integer"},
    };
    const std::string Id = CreateSession();
    for (const FBodyCase& Case : Cases)
    {
        SCOPED_TRACE(Case.Name);
        nlohmann::json Body = ValidBodyFor(Case.Endpoint, Id);
        Case.Break(Body);
        httplib::Result Result = Send(Case.Endpoint, Id, Body.dump());
        ASSERT_TRUE(Result);
        EXPECT_EQ(Result->status, 400);
        const nlohmann::json Answer = JsonOf(Result);
        EXPECT_EQ(Answer["success"], false);
        EXPECT_EQ(Answer["data"]["code"], "InvalidRequest");
        EXPECT_EQ(Answer["data"]["message"], Case.Message);
    }
    // Nothing refused left a trace in the sessions.
    EXPECT_EQ(Server->Sessions().Count(), 1u);
    const FDevBackendSession Session = *Server->Sessions().Find(Id);
    EXPECT_EQ(Session.State, EDevBackendSessionState::Active);
    EXPECT_EQ(Session.InGameId, std::optional<std::string>("player-7"));
    EXPECT_EQ(Session.GameEvents, 0);
}

TEST_F(FDevBackendValidationTest, ValidBodiesOfEveryEndpointAreAccepted)
{
    const std::string Id = CreateSession();
    nlohmann::json Create = ValidCreateBody();
    Create["device"]["resolution"]["width"] = 1920.0; // numbers travel as doubles
    for (const auto& [Endpoint, Body] : std::vector<std::pair<EDevBackendEndpoint, nlohmann::json>>{
             {EDevBackendEndpoint::SessionCreate, Create},
             {EDevBackendEndpoint::SessionUpdate,
              ValidBodyFor(EDevBackendEndpoint::SessionUpdate, Id)},
             {EDevBackendEndpoint::Heartbeat, nlohmann::json::object()},
             {EDevBackendEndpoint::RefreshUploadUrl, nlohmann::json::object()},
             {EDevBackendEndpoint::GameEvent, ValidGameEventBody(Id)},
             {EDevBackendEndpoint::EndSession, ValidEndBody()},
         })
    {
        SCOPED_TRACE(DevBackendEndpointName(Endpoint));
        httplib::Result Result = Send(Endpoint, Id, Body.dump());
        ASSERT_TRUE(Result);
        EXPECT_EQ(Result->status, 200) << Result->body;
    }
}

TEST_F(FDevBackendValidationTest, BodiesThatAreNotJsonObjectsAreRefused)
{
    const std::string Id = CreateSession();
    struct FRawCase
    {
        const char* Body;
        const char* ContentType;
        int Status;
        const char* Code;
    };
    const FRawCase Cases[] = {
        {"{", "application/json", 400, "InvalidRequest"},
        {"[]", "application/json", 400, "InvalidRequest"},
        {"", "application/json", 400, "InvalidRequest"},
        {"{}", "text/plain", 415, "UnsupportedMediaType"},
    };
    for (const FRawCase& Case : Cases)
    {
        for (EDevBackendEndpoint Endpoint :
             {EDevBackendEndpoint::SessionCreate, EDevBackendEndpoint::Heartbeat,
              EDevBackendEndpoint::RefreshUploadUrl})
        {
            SCOPED_TRACE(std::string(Case.Body) + " as " + Case.ContentType + " to " +
                         DevBackendEndpointName(Endpoint));
            httplib::Result Result = Send(Endpoint, Id, Case.Body, Case.ContentType);
            ASSERT_TRUE(Result);
            EXPECT_EQ(Result->status, Case.Status);
            EXPECT_EQ(JsonOf(Result)["data"]["code"], Case.Code);
        }
    }
    EXPECT_EQ(Server->Sessions().Find(Id)->Heartbeats, 0);
    EXPECT_EQ(Server->Sessions().Find(Id)->CredentialsIssued, 1);
}

TEST_F(FDevBackendValidationTest, UnservedRoutesAreRecordedAndRefused)
{
    const auto C = Client();
    httplib::Result Missing = C->Post("/api/v4/sessions/x/pause", "{}", "application/json");
    ASSERT_TRUE(Missing);
    EXPECT_EQ(Missing->status, 404);
    EXPECT_EQ(JsonOf(Missing)["data"]["code"], "NotFound");

    httplib::Result WrongVerb = C->Get("/api/v4/sessions/x/heartbeat");
    ASSERT_TRUE(WrongVerb);
    EXPECT_EQ(WrongVerb->status, 405);

    httplib::Result EmptyId = C->Post("/api/v4/sessions//end", "{}", "application/json");
    ASSERT_TRUE(EmptyId);
    EXPECT_EQ(EmptyId->status, 404);

    const std::vector<FDevBackendRecordedRequest> Unknown =
        Server->Requests().ForEndpoint(EDevBackendEndpoint::Unknown);
    ASSERT_EQ(Unknown.size(), 3u);
    EXPECT_EQ(Unknown[1].Method, "GET");
    EXPECT_EQ(Unknown[1].Status, 405);
}
