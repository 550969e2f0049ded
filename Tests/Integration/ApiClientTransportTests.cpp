// The backend client's transport and session endpoints over real HTTP to the dev
// backend on loopback: attempts, retries, vetoes, cancellation, streamed bodies,
// timeouts, connection failures and the rollover replay.
#include "DevBackendServer.h"
#include "Files.h"
#include "Hashing.h"
#include "HttpModule.h"
#include "Logging.h"
#include "QuorvexApiClientTestPeer.h"
#include "Tasks.h"
#include "TestSupport.h"

#include <optional>

namespace
{
using EEndpoint = EDevBackendEndpoint;
constexpr auto Deadline = TestDeadline;

// Holds retries instead of running them, so a test decides when (and whether) they run.
struct FHeldRetries
{
    std::vector<std::pair<float, std::function<void()>>> Pending;
    std::vector<float> Delays;

    FQuorvexRetryScheduler Scheduler()
    {
        return [this](float Delay, std::function<void()> Retry)
        {
            Delays.push_back(Delay);
            Pending.emplace_back(Delay, std::move(Retry));
        };
    }
    // Runs every held retry (and those they schedule) until none is left, pumping the
    // game thread for the completions in between.
    void RunUntilDone(const std::function<bool()>& bDone)
    {
        ASSERT_TRUE(PumpUntil(
            [&]
            {
                if (!Pending.empty())
                {
                    auto Retry = std::move(Pending.front().second);
                    Pending.erase(Pending.begin());
                    Retry();
                }
                return bDone();
            }));
    }
};
} // namespace

class ApiClientTransport : public FEngineTestBase
{
protected:
    void SetUp() override
    {
        FEngineTestBase::SetUp();
        std::string Error;
        ASSERT_TRUE(Server.Start(Error)) << Error;
        BaseUrl = Server.BaseUrl();
        Client = std::make_unique<FQuorvexApiClient>();
        Client->SetBaseHostUrlProvider([this] { return BaseUrl; });
        Client->SetRetryScheduler(Retries.Scheduler());
    }

    void TearDown() override
    {
        Server.ReleaseStalled();
        FHttpModule::Get().SetHttpTimeoutCap(0.f);
        FHttpModule::Get().GetHttpManager().Flush(EHttpFlushReason::FullFlush);
        Client.reset();
        Server.Stop();
        FEngineTestBase::TearDown();
    }

    // Sends a heartbeat and runs it (with its retries) to the end.
    FQuorvexHttpResult Heartbeat()
    {
        std::optional<FQuorvexHttpResult> Result;
        Client->HeartbeatAsync("sess 1", [&](const FQuorvexHttpResult& R) { Result = R; });
        Retries.RunUntilDone([&] { return Result.has_value(); });
        return Result.value_or(FQuorvexHttpResult());
    }

    FDevBackendServer Server;
    FString BaseUrl;
    FHeldRetries Retries;
    std::unique_ptr<FQuorvexApiClient> Client;
    FLogCapture Log;
};

TEST_F(ApiClientTransport, RejectionIsDeliveredAfterOneAttempt)
{
    Server.Script(EEndpoint::Heartbeat, {FDevBackendAnswer::Respond(404, "no such session")});
    const FQuorvexHttpResult Result = Heartbeat();
    EXPECT_FALSE(Result.bSuccess);
    EXPECT_EQ(Result.StatusCode, 404);
    EXPECT_EQ(Result.Error, "404 no such session");
    EXPECT_EQ(Result.RequestBytes, 2);
    EXPECT_EQ(Server.Requests().Count(EEndpoint::Heartbeat), 1u);
    EXPECT_EQ(Server.Requests().ForEndpoint(EEndpoint::Heartbeat)[0].PathSessionId, "sess 1");
    EXPECT_EQ(Log.Count("QuorvexSDK: HTTP rejected (no retry): url="), 1);
    EXPECT_TRUE(Retries.Delays.empty());
}

TEST_F(ApiClientTransport, ServerErrorIsRetriedTwiceWithGrowingDelays)
{
    Server.ScriptAlways(EEndpoint::Heartbeat,
                        FDevBackendAnswer::Respond(500, "boom", "text/plain"));
    const FQuorvexHttpResult Result = Heartbeat();
    EXPECT_EQ(Result.StatusCode, 500);
    EXPECT_EQ(Result.Error, "500 boom");
    EXPECT_EQ(Server.Requests().Count(EEndpoint::Heartbeat), 3u);
    EXPECT_EQ(Log.Count("QuorvexSDK: HTTP retry 1/2 url="), 1);
    EXPECT_EQ(Log.Count("QuorvexSDK: HTTP retry 2/2 url="), 1);
    EXPECT_EQ(Log.Count("QuorvexSDK: HTTP failed (after retries): url="), 1);
    ASSERT_EQ(Retries.Delays.size(), 2u);
    EXPECT_GE(Retries.Delays[0], 0.2f);
    EXPECT_LE(Retries.Delays[0], 0.3f);
    EXPECT_GE(Retries.Delays[1], 0.4f);
    EXPECT_LE(Retries.Delays[1], 0.6f);
}

TEST_F(ApiClientTransport, ClosedPortFailsEveryAttemptWithoutAStatus)
{
    BaseUrl = "http://127.0.0.1:" + std::to_string(ClosedLoopbackPort());
    const FQuorvexHttpResult Result = Heartbeat();
    EXPECT_EQ(Result.StatusCode, 0);
    EXPECT_FALSE(Result.bTimedOut);
    EXPECT_EQ(Result.Error, "Connection failed (DNS or transport error)");
    const auto Failures = Log.Matching("QuorvexSDK: HTTP connection failed: url=");
    ASSERT_EQ(Failures.size(), 3u);
    EXPECT_EQ(Failures[0].Verbosity, ELogVerbosity::Error);
    EXPECT_NE(Failures[2].Message.find("attempt=3 timedOut=false"), FString::npos);
    EXPECT_EQ(Log.Count("QuorvexSDK: HTTP failed (after retries): url="), 1);
}

TEST_F(ApiClientTransport, StalledResponseTimesOut)
{
    FHttpModule::Get().SetHttpTimeoutCap(0.25f);
    Server.ScriptAlways(EEndpoint::Heartbeat, FDevBackendAnswer::Stall());
    const FQuorvexHttpResult Result = Heartbeat();
    EXPECT_TRUE(Result.bTimedOut);
    EXPECT_EQ(Result.StatusCode, 0);
    EXPECT_EQ(Result.Error, "Connection timed out");
    EXPECT_EQ(Log.Count("timedOut=true"), 3);
}

TEST_F(ApiClientTransport, VetoedUploadFailureIsNotRetried)
{
    Server.ScriptAlways(EEndpoint::RefreshUploadUrl, FDevBackendAnswer::Respond(503, "slow down"));
    std::optional<FQuorvexHttpResult> Result;
    FQuorvexApiClientTestPeer::SendContent(
        *Client, Client->BuildRefreshUploadUrlEndpoint("s"), "POST", "", {1, 2, 3},
        [&](const FQuorvexHttpResult& R) { Result = R; },
        [](const FQuorvexHttpResult& R) { return R.StatusCode == 503; });
    Retries.RunUntilDone([&] { return Result.has_value(); });
    EXPECT_EQ(Result->StatusCode, 503);
    EXPECT_EQ(Server.Requests().Count(EEndpoint::RefreshUploadUrl), 1u);
    EXPECT_EQ(Log.Count("QuorvexSDK: HTTP retry vetoed by caller"), 1);
    EXPECT_EQ(FQuorvexApiClient::ClassifyUploadFailure(*Result),
              EQuorvexUploadFailureKind::CredentialsRejected);
}

TEST_F(ApiClientTransport, CancelWhileARetryWaitsSendsNothingMore)
{
    Server.ScriptAlways(EEndpoint::Heartbeat, FDevBackendAnswer::Respond(500));
    std::optional<FQuorvexHttpResult> Result;
    Client->HeartbeatAsync("s", [&](const FQuorvexHttpResult& R) { Result = R; });
    ASSERT_TRUE(PumpUntil([&] { return !Retries.Pending.empty(); }));
    Client->CancelInFlightRequests();
    Retries.RunUntilDone([&] { return Result.has_value(); });
    EXPECT_TRUE(Result->bCanceled);
    EXPECT_EQ(Result->Error, "Canceled");
    EXPECT_EQ(Server.Requests().Count(EEndpoint::Heartbeat), 1u);
}

TEST_F(ApiClientTransport, CancelReachesEveryChainOnTheWireAndWaitingToRetryOnce)
{
    Server.Script(EEndpoint::Heartbeat, {FDevBackendAnswer::Respond(500)});
    std::optional<FQuorvexHttpResult> Parked;
    Client->HeartbeatAsync("parked", [&](const FQuorvexHttpResult& R) { Parked = R; });
    ASSERT_TRUE(PumpUntil([&] { return !Retries.Pending.empty(); }));
    // Three more on the wire, held by the server; older ones must be cancelled too.
    Server.ScriptAlways(EEndpoint::Heartbeat, FDevBackendAnswer::Stall());
    std::vector<int> Calls(3, 0);
    std::vector<FQuorvexHttpResult> Results(3);
    for (int Index = 0; Index < 3; ++Index)
    {
        Client->HeartbeatAsync("wire-" + std::to_string(Index),
                               [&, Index](const FQuorvexHttpResult& R)
                               {
                                   ++Calls[Index];
                                   Results[Index] = R;
                               });
    }
    ASSERT_TRUE(Server.WaitForStalled(3, Deadline));
    Client->CancelInFlightRequests();
    EXPECT_FALSE(Parked.has_value()) << "never inside the cancelling call";
    ASSERT_TRUE(PumpUntil(
        [&] {
            return Parked.has_value() && Calls == std::vector<int>{1, 1, 1};
        }));
    EXPECT_TRUE(Parked->bCanceled);
    for (const FQuorvexHttpResult& Result : Results)
    {
        EXPECT_TRUE(Result.bCanceled);
    }
    // The parked retry, run now, sends nothing; the held requests, released, report
    // nothing more.
    Server.ReleaseStalled();
    Retries.RunUntilDone([&] { return Retries.Pending.empty(); });
    FTaskGraph::WaitForGameThreadTask(0.2);
    while (FTaskGraph::PumpGameThreadTasks() > 0)
    {
    }
    EXPECT_EQ(Calls, (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(Server.Requests().Count(EEndpoint::Heartbeat), 4u);
}

TEST_F(ApiClientTransport, NonCancelableCallsSurviveACancel)
{
    Server.Script(EEndpoint::EndSession, {FDevBackendAnswer::Respond(200, "{}").WithDelay(
                                             std::chrono::milliseconds(100))});
    std::optional<FQuorvexHttpResult> Result;
    FQuorvexEndSessionRequest Request;
    Request.Reason = "UserStopped";
    Client->SendEndSessionAsync("s", Request, [&](const FQuorvexHttpResult& R) { Result = R; });
    Client->CancelInFlightRequests();
    ASSERT_TRUE(PumpUntil([&] { return Result.has_value(); }));
    EXPECT_TRUE(Result->bSuccess);
}

TEST_F(ApiClientTransport, ClientDestroyedMidRequestReportsCanceled)
{
    Server.ScriptAlways(EEndpoint::Heartbeat, FDevBackendAnswer::Stall());
    std::optional<FQuorvexHttpResult> Result;
    Client->HeartbeatAsync("s", [&](const FQuorvexHttpResult& R) { Result = R; });
    ASSERT_TRUE(Server.WaitForStalled(1, Deadline));
    Client.reset();
    Server.ReleaseStalled();
    ASSERT_TRUE(PumpUntil([&] { return Result.has_value(); }));
    EXPECT_TRUE(Result->bCanceled);
}

TEST_F(ApiClientTransport, StreamedFileArrivesByteIdentical)
{
    const FString Path = Saved.File("batch.zip");
    std::vector<uint8> Bytes(3 * 1024 * 1024 + 5);
    for (size_t I = 0; I < Bytes.size(); ++I)
    {
        Bytes[I] = static_cast<uint8>(I * 31 + (I >> 9));
    }
    ASSERT_TRUE(FFileHelper::SaveArrayToFile(Bytes, Path));
    Server.ScriptAlways(EEndpoint::RefreshUploadUrl, FDevBackendAnswer::Respond(200, "{}"));
    std::optional<FQuorvexHttpResult> Result;
    FQuorvexApiClientTestPeer::SendContent(*Client, Client->BuildRefreshUploadUrlEndpoint("s"),
                                           "POST", Path, {},
                                           [&](const FQuorvexHttpResult& R) { Result = R; });
    Retries.RunUntilDone([&] { return Result.has_value(); });
    ASSERT_TRUE(Result->bSuccess) << Result->Error;
    EXPECT_EQ(Result->RequestBytes, static_cast<int32>(Bytes.size()));
    const auto Received = Server.Requests().ForEndpoint(EEndpoint::RefreshUploadUrl);
    ASSERT_EQ(Received.size(), 1u);
    EXPECT_EQ(FSHA1::ToHex(FSHA1::HashBuffer(Received[0].Body.data(), Received[0].Body.size())),
              FSHA1::ToHex(FSHA1::HashBuffer(Bytes.data(), Bytes.size())));
    EXPECT_EQ(Received[0].Header("Content-Type"), "application/zip");
    EXPECT_EQ(Received[0].Header("Expect"), "");

    std::optional<FQuorvexHttpResult> Missing;
    FQuorvexApiClientTestPeer::SendContent(*Client, Client->BuildRefreshUploadUrlEndpoint("s"),
                                           "POST", Saved.File("gone.zip"), {},
                                           [&](const FQuorvexHttpResult& R) { Missing = R; });
    ASSERT_TRUE(Missing.has_value()) << "delivered at once";
    EXPECT_EQ(Missing->Error, "Could not stream upload body from " + Saved.File("gone.zip"));
}

TEST_F(ApiClientTransport, CreateThenRolloverReplaysTheCachedRequest)
{
    FQuorvexConfigRequest Request;
    Request.bIsRollover = true;
    Request.InGameId = "player";
    Request.Sdk.Version = "2.0.0";
    std::optional<FQuorvexHttpResult> Created;
    Client->CreateSessionAsync(Request, [&](const FQuorvexHttpResult& R) { Created = R; });
    Retries.RunUntilDone([&] { return Created.has_value(); });
    ASSERT_TRUE(Created->bSuccess) << Created->Error;
    FQuorvexSessionData Session;
    FString Error;
    ASSERT_TRUE(FQuorvexApiClient::ParseSessionResponse(Created->ResponseBody, Session, Error))
        << Error;
    EXPECT_FALSE(Session.SessionId.empty());
    EXPECT_FALSE(Session.UploadCredentials.UploadUrl.empty());

    Client->UpdateLastConfigPayloadInGameId("renamed");
    for (int Round = 0; Round < 2; ++Round)
    {
        bool bDone = false;
        std::shared_ptr<FQuorvexSessionData> Refreshed;
        Client->RefreshSessionAsync(
            [&](std::shared_ptr<FQuorvexSessionData> Data)
            {
                Refreshed = Data;
                bDone = true;
            });
        Retries.RunUntilDone([&] { return bDone; });
        ASSERT_TRUE(Refreshed);
        EXPECT_NE(Refreshed->SessionId, Session.SessionId);
    }
    const auto Bodies = Server.Requests().ForEndpoint(EEndpoint::SessionCreate);
    ASSERT_EQ(Bodies.size(), 3u);
    EXPECT_EQ(Bodies[0].JsonBody()["isRollover"], false);
    EXPECT_EQ(Bodies[1].JsonBody()["isRollover"], true);
    EXPECT_EQ(Bodies[2].JsonBody()["isRollover"], true);
    EXPECT_EQ(Bodies[2].JsonBody()["inGameId"], "renamed");

    Client->ResetSessionState();
    bool bDone = false;
    Client->RefreshSessionAsync(
        [&](std::shared_ptr<FQuorvexSessionData> Data)
        {
            EXPECT_FALSE(Data);
            bDone = true;
        });
    EXPECT_TRUE(bDone);
    EXPECT_TRUE(Log.Contains("RefreshSession: no cached endpoint or config payload available"));
}

TEST_F(ApiClientTransport, InGameIdPatchSendsNullForAnEmptyId)
{
    std::optional<bool> Ok;
    Client->UpdateSessionInGameIdAsync("s", "", [&](bool bOk) { Ok = bOk; });
    Retries.RunUntilDone([&] { return Ok.has_value(); });
    const auto Patches = Server.Requests().ForEndpoint(EEndpoint::SessionUpdate);
    ASSERT_EQ(Patches.size(), 1u);
    EXPECT_EQ(Patches[0].Method, "PATCH");
    EXPECT_TRUE(Patches[0].JsonBody()["inGameId"].is_null());
    EXPECT_EQ(Patches[0].JsonBody()["sessionId"], "s");
}

TEST_F(ApiClientTransport, EmptyBaseUrlCompletesAtOnce)
{
    BaseUrl = "  ";
    std::optional<FQuorvexHttpResult> Result;
    Client->CreateSessionAsync(FQuorvexConfigRequest(),
                               [&](const FQuorvexHttpResult& R) { Result = R; });
    ASSERT_TRUE(Result.has_value());
    EXPECT_EQ(Result->Error, "Session endpoint is empty");
    std::optional<bool> Refreshed;
    Client->RefreshUploadUrlAsync("s", [&](bool bOk, const FQuorvexUploadCredentials&)
                                  { Refreshed = bOk; });
    EXPECT_EQ(Refreshed, false);
}

TEST_F(ApiClientTransport, UploadUrlRefreshReportsEachOutcomeOnce)
{
    struct FCase
    {
        const char* Name;
        int Status;
        const char* Body;
        bool bOk;
        const char* Warning;
    };
    const FCase Cases[] = {
        {"refused", 403, "{}", false, "QuorvexSDK: RefreshUploadUrl: HTTP failed status=403"},
        {"not JSON", 200, "<html>", false,
         "QuorvexSDK: RefreshUploadUrl: could not parse response"},
        {"no credentials at the top level", 200,
         R"({"data":{"uploadCredentials":{"uploadUrl":"u"}}})", false,
         "QuorvexSDK: RefreshUploadUrl: response carried no uploadCredentials"},
        {"no upload URL", 200, R"({"uploadCredentials":{"bucketName":"b"}})", false,
         "QuorvexSDK: RefreshUploadUrl: uploadCredentials had no usable uploadUrl"},
        {"fresh credentials", 200,
         R"({"uploadCredentials":{"uploadUrl":"https://u","storageProvider":"B2","expiresAt":"2030-01-01T00:00:00Z"}})",
         true, nullptr},
    };
    for (const FCase& Case : Cases)
    {
        SCOPED_TRACE(Case.Name);
        Log.Clear();
        Server.Script(EEndpoint::RefreshUploadUrl,
                      {FDevBackendAnswer::Respond(Case.Status, Case.Body)});
        int32 Calls = 0;
        bool bOk = false;
        FQuorvexUploadCredentials Got;
        Client->RefreshUploadUrlAsync("s",
                                      [&](bool bInOk, const FQuorvexUploadCredentials& Credentials)
                                      {
                                          ++Calls;
                                          bOk = bInOk;
                                          Got = Credentials;
                                      });
        Retries.RunUntilDone([&] { return Calls > 0; });
        EXPECT_EQ(Calls, 1);
        EXPECT_EQ(bOk, Case.bOk);
        if (Case.Warning)
        {
            EXPECT_EQ(Log.Count(Case.Warning), 1);
        }
        else
        {
            EXPECT_EQ(Got.UploadUrl, "https://u");
            EXPECT_TRUE(Log.Contains("QuorvexSDK: Upload credentials refreshed. provider=B2"));
        }
    }
}
