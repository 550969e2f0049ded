// Scripted misbehaviour: queued and standing answers, fixed answers that bypass the
// backend, dropped connections, delays and stalls, and that stopping never hangs on
// a held request.
#include "DevBackendTestFixture.h"

#include <future>
#include <thread>

class FDevBackendScriptingTest : public FDevBackendTest
{
protected:
    // Sends a heartbeat on another thread; the future holds the status, -1 without answer.
    std::future<int> HeartbeatAsync(const std::string& Id, time_t ReadTimeoutSeconds = 10)
    {
        const std::string Base = Server->BaseUrl();
        return std::async(std::launch::async,
                          [Base, Id, ReadTimeoutSeconds]
                          {
                              httplib::Client C(Base);
                              C.set_read_timeout(ReadTimeoutSeconds, 0);
                              httplib::Result R =
                                  C.Post(HeartbeatPath(Id), "{}", "application/json");
                              return R ? R->status : -1;
                          });
    }

    std::vector<int> HeartbeatStatuses(const std::string& Id, int Count)
    {
        std::vector<int> Statuses;
        for (int I = 0; I < Count; ++I)
        {
            httplib::Result R = PostJson(HeartbeatPath(Id), nlohmann::json::object());
            Statuses.push_back(R ? R->status : -1);
        }
        return Statuses;
    }
};

TEST_F(FDevBackendScriptingTest, QueuedAnswersAreUsedOnceInOrderThenNormalHandlingResumes)
{
    const std::string Id = CreateSession();
    Server->Script(EDevBackendEndpoint::Heartbeat,
                   {FDevBackendAnswer::Respond(500, "boom", "text/plain"),
                    FDevBackendAnswer::Error(503, "Busy", "try later")});
    Server->Script(EDevBackendEndpoint::Heartbeat, {FDevBackendAnswer::Respond(502)});
    EXPECT_EQ(HeartbeatStatuses(Id, 4), (std::vector<int>{500, 503, 502, 200}));

    const std::vector<FDevBackendRecordedRequest> Beats =
        Server->Requests().ForEndpoint(EDevBackendEndpoint::Heartbeat);
    ASSERT_EQ(Beats.size(), 4u);
    EXPECT_EQ(Beats[0].ResponseBody, "boom");
    EXPECT_EQ(Beats[1].ResponseBody,
              "{\"data\":{\"code\":\"Busy\",\"message\":\"try later\"},\"success\":false}");
    // Only the handled heartbeat reached the session.
    EXPECT_EQ(Server->Sessions().Find(Id)->Heartbeats, 1);
}

TEST_F(FDevBackendScriptingTest, StandingAnswerAppliesWhenTheQueueIsEmpty)
{
    const std::string Id = CreateSession();
    Server->ScriptAlways(EDevBackendEndpoint::Heartbeat, FDevBackendAnswer::Respond(429));
    Server->Script(EDevBackendEndpoint::Heartbeat, {FDevBackendAnswer::Respond(500)});
    EXPECT_EQ(HeartbeatStatuses(Id, 3), (std::vector<int>{500, 429, 429}));
    // Other endpoints are unaffected.
    EXPECT_EQ(PostJson("/api/v4/sessions/" + Id + "/end", ValidEndBody())->status, 200);
    Server->ClearScripts();
    EXPECT_EQ(HeartbeatStatuses(Id, 1), (std::vector<int>{200}));
}

TEST_F(FDevBackendScriptingTest, FixedAnswerSkipsValidationAndState)
{
    Server->Script(EDevBackendEndpoint::SessionCreate,
                   {FDevBackendAnswer::Error(422, "PlatformNotAllowed", "no")});
    httplib::Result Result = Client()->Post("/api/v4/session", "not json", "text/plain");
    ASSERT_TRUE(Result);
    EXPECT_EQ(Result->status, 422);
    EXPECT_EQ(JsonOf(Result)["data"]["code"], "PlatformNotAllowed");
    EXPECT_EQ(Server->Sessions().Count(), 0u);
}

TEST_F(FDevBackendScriptingTest, DropClosesTheConnectionWithoutAnAnswer)
{
    const std::string Id = CreateSession();
    Server->Script(EDevBackendEndpoint::Heartbeat, {FDevBackendAnswer::Drop()});
    httplib::Result Dropped = PostJson(HeartbeatPath(Id), nlohmann::json::object());
    EXPECT_FALSE(Dropped);
    EXPECT_EQ(Dropped.error(), httplib::Error::Read) << httplib::to_string(Dropped.error());

    const FDevBackendRecordedRequest Record =
        Server->Requests().ForEndpoint(EDevBackendEndpoint::Heartbeat).at(0);
    EXPECT_TRUE(Record.bAnswered);
    EXPECT_TRUE(Record.bDropped);
    EXPECT_EQ(Record.Status, 0);
    EXPECT_EQ(Server->Sessions().Find(Id)->Heartbeats, 0);
    // The server carries on.
    EXPECT_EQ(HeartbeatStatuses(Id, 1), (std::vector<int>{200}));
}

TEST_F(FDevBackendScriptingTest, DelayedAnswerComesAfterTheDelay)
{
    const std::string Id = CreateSession();
    Server->Script(EDevBackendEndpoint::Heartbeat,
                   {FDevBackendAnswer::Respond(500).WithDelay(150ms)});
    const auto Before = std::chrono::steady_clock::now();
    EXPECT_EQ(HeartbeatStatuses(Id, 1), (std::vector<int>{500}));
    // A lower bound only: the answer cannot come before the delay ran out.
    EXPECT_GE(std::chrono::steady_clock::now() - Before, 150ms);
}

TEST_F(FDevBackendScriptingTest, StalledRequestOutlivesTheClientTimeoutAndGoesOnWhenReleased)
{
    const std::string Id = CreateSession();
    Server->Script(EDevBackendEndpoint::Heartbeat, {FDevBackendAnswer::Stall()});
    // The client gives up while the server still holds the request.
    std::future<int> GaveUp = HeartbeatAsync(Id, /*ReadTimeoutSeconds=*/1);
    ASSERT_TRUE(Server->WaitForStalled(1, TestDeadline));
    EXPECT_EQ(GaveUp.get(), -1);
    EXPECT_EQ(Server->StalledCount(), 1);
    EXPECT_FALSE(Server->Requests().At(1)->bAnswered);

    Server->ReleaseStalled();
    ASSERT_TRUE(
        Server->Requests().WaitForAnswered(EDevBackendEndpoint::Heartbeat, 1, TestDeadline));
    EXPECT_EQ(Server->Requests().At(1)->Status, 200);
    EXPECT_EQ(Server->StalledCount(), 0);
    EXPECT_EQ(Server->Sessions().Find(Id)->Heartbeats, 1) << "handled normally once released";
}

TEST_F(FDevBackendScriptingTest, ReleaseLetsGoOnlyOfRequestsHeldAtThatMoment)
{
    const std::string Id = CreateSession();
    Server->ScriptAlways(EDevBackendEndpoint::Heartbeat, FDevBackendAnswer::Respond(503).Stalled());
    std::future<int> First = HeartbeatAsync(Id);
    ASSERT_TRUE(Server->WaitForStalled(1, TestDeadline));
    Server->ReleaseStalled();
    EXPECT_EQ(First.get(), 503);
    ASSERT_TRUE(
        Server->Requests().WaitForAnswered(EDevBackendEndpoint::Heartbeat, 1, TestDeadline));

    // A request arriving after the release is held until the next one.
    std::future<int> Second = HeartbeatAsync(Id);
    ASSERT_TRUE(Server->WaitForStalled(1, TestDeadline));
    EXPECT_FALSE(Server->Requests().At(2)->bAnswered);
    Server->ReleaseStalled();
    EXPECT_EQ(Second.get(), 503);
    EXPECT_EQ(Server->StalledCount(), 0);
}

TEST_F(FDevBackendScriptingTest, StopDropsHeldAndDelayedRequestsInsteadOfHanging)
{
    const std::string Id = CreateSession();
    Server->Script(EDevBackendEndpoint::Heartbeat,
                   {FDevBackendAnswer::Stall(), FDevBackendAnswer::Handle().WithDelay(1h)});
    std::future<int> Held = HeartbeatAsync(Id);
    std::future<int> Delayed = HeartbeatAsync(Id);
    ASSERT_TRUE(Server->WaitForStalled(1, TestDeadline));
    ASSERT_TRUE(Server->Requests().WaitForCount(EDevBackendEndpoint::Heartbeat, 2, TestDeadline));

    Server->Stop();
    EXPECT_FALSE(Server->IsRunning());
    EXPECT_EQ(Held.get(), -1);
    EXPECT_EQ(Delayed.get(), -1);
    for (const FDevBackendRecordedRequest& Record :
         Server->Requests().ForEndpoint(EDevBackendEndpoint::Heartbeat))
    {
        EXPECT_TRUE(Record.bDropped);
    }
    EXPECT_EQ(Server->Sessions().Find(Id)->Heartbeats, 0);
}

TEST_F(FDevBackendScriptingTest, WaitingForRequestsGivesUpAtTheDeadline)
{
    EXPECT_FALSE(Server->Requests().WaitForCount(EDevBackendEndpoint::Heartbeat, 1, 20ms));
    const std::string Id = CreateSession();
    std::future<int> Beat = HeartbeatAsync(Id);
    EXPECT_TRUE(Server->Requests().WaitForCount(EDevBackendEndpoint::Heartbeat, 1, TestDeadline));
    EXPECT_EQ(Beat.get(), 200);
}

TEST_F(FDevBackendScriptingTest, ConcurrentRequestsAreAllRecordedAndCounted)
{
    const std::string Id = CreateSession();
    constexpr int Threads = 8;
    constexpr int PerThread = 10;
    std::vector<std::thread> Senders;
    for (int T = 0; T < Threads; ++T)
    {
        Senders.emplace_back([this, &Id] { HeartbeatStatuses(Id, PerThread); });
    }
    for (std::thread& Sender : Senders)
    {
        Sender.join();
    }
    EXPECT_EQ(Server->Sessions().Find(Id)->Heartbeats, Threads * PerThread);
    const std::vector<FDevBackendRecordedRequest> All = Server->Requests().All();
    ASSERT_EQ(All.size(), 1u + Threads * PerThread);
    for (std::size_t I = 0; I < All.size(); ++I)
    {
        EXPECT_EQ(All[I].Index, I);
        EXPECT_TRUE(All[I].bAnswered);
    }
}

TEST_F(FDevBackendScriptingTest, RecordsHoldVerbPathHeadersAndBody)
{
    const std::string Id = CreateSession();
    httplib::Headers Headers = {{"X-Trace", "abc"}};
    Client()->Post(HeartbeatPath(Id) + "?probe=1", Headers, "{}", "application/json");
    const FDevBackendRecordedRequest Record = *Server->Requests().At(1);
    EXPECT_EQ(Record.Endpoint, EDevBackendEndpoint::Heartbeat);
    EXPECT_EQ(Record.Method, "POST");
    EXPECT_EQ(Record.Target, HeartbeatPath(Id) + "?probe=1");
    EXPECT_EQ(Record.Path, HeartbeatPath(Id));
    EXPECT_EQ(Record.PathSessionId, Id);
    EXPECT_EQ(Record.Header("x-trace"), "abc");
    EXPECT_EQ(Record.Header("content-type"), "application/json");
    EXPECT_EQ(Record.Body, "{}");
    EXPECT_EQ(Record.Status, 200);
}

TEST_F(FDevBackendScriptingTest, RestartKeepsSessionsAndABusyPortIsReported)
{
    const std::string Id = CreateSession();
    Server->Stop();
    EXPECT_TRUE(Server->BaseUrl().empty());
    std::string Error;
    ASSERT_TRUE(Server->Start(Error)) << Error;
    EXPECT_EQ(HeartbeatStatuses(Id, 1), (std::vector<int>{200}));

    FDevBackendOptions Clash;
    Clash.Port = Server->Port();
    FDevBackendServer Second(Clash);
    EXPECT_FALSE(Second.Start(Error));
    EXPECT_NE(Error.find(std::to_string(Clash.Port)), std::string::npos) << Error;
    EXPECT_FALSE(Server->Start(Error)) << "already running";
}
