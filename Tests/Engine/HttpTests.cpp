// The HTTP module against a real loopback server: verbs, bodies, streamed files,
// redirects, timeouts, cancellation, connection failures and Flush.
#include "FileFaults.h"
#include "Files.h"
#include "Hashing.h"
#include "HttpModule.h"
#include "Tasks.h"
#include "TestSupport.h"

#include <condition_variable>
#include <gtest/gtest.h>
#include <httplib.h>
#include <thread>

namespace
{
struct FSeen
{
    FString Method;
    FString Body;
    FString ExpectHeader;
    bool bHadExpect = false;
    FString ContentType;
};

class FLoopbackServer
{
public:
    FLoopbackServer()
    {
        Server.Get("/hello",
                   [](const httplib::Request&, httplib::Response& Res)
                   {
                       Res.set_header("X-Test", "yes");
                       Res.set_content("hello world", "text/plain");
                   });
        Server.Get("/redirect",
                   [](const httplib::Request&, httplib::Response& Res)
                   {
                       Res.status = 302;
                       Res.set_header("Location", "/hello");
                   });
        auto Echo = [this](const httplib::Request& Req, httplib::Response& Res)
        {
            {
                std::lock_guard Lock(Mutex);
                Seen.push_back({Req.method, Req.body, Req.get_header_value("Expect"),
                                Req.has_header("Expect"), Req.get_header_value("Content-Type")});
            }
            const auto Digest = FSHA1::HashBuffer(Req.body.data(), Req.body.size());
            Res.status = 201;
            Res.set_content(FSHA1::ToHex(Digest), "text/plain");
        };
        Server.Post("/echo", Echo);
        Server.Put("/echo", Echo);
        Server.Patch("/echo", Echo);
        Server.Get("/stall",
                   [this](const httplib::Request&, httplib::Response& Res)
                   {
                       std::unique_lock Lock(Mutex);
                       Released.wait_for(Lock, TestDeadline, [this] { return bReleased; });
                       Res.set_content("late", "text/plain");
                   });
        // One request per connection, so stopping the server never waits on an idle
        // keep-alive connection.
        Server.set_keep_alive_max_count(1);
        Port = Server.bind_to_any_port("127.0.0.1");
        Thread = std::thread([this] { Server.listen_after_bind(); });
    }

    ~FLoopbackServer()
    {
        Release();
        Server.stop();
        Thread.join();
    }

    void Release()
    {
        {
            std::lock_guard Lock(Mutex);
            bReleased = true;
        }
        Released.notify_all();
    }

    FString Url(const FString& Path) const
    {
        return "http://127.0.0.1:" + std::to_string(Port) + Path;
    }

    std::vector<FSeen> Requests()
    {
        std::lock_guard Lock(Mutex);
        return Seen;
    }

private:
    httplib::Server Server;
    std::thread Thread;
    int Port = 0;
    std::mutex Mutex;
    std::condition_variable Released;
    bool bReleased = false;  // guarded by Mutex
    std::vector<FSeen> Seen; // guarded by Mutex
};

struct FOutcome
{
    bool bDone = false;
    bool bConnected = false;
    bool bOnGameThread = false;
    FHttpResponsePtr Response;
    EHttpFailureReason Reason = EHttpFailureReason::None;
};

// Starts the request and returns the outcome holder its completion fills.
std::shared_ptr<FOutcome> Send(const FHttpRequestPtr& Request)
{
    auto Outcome = std::make_shared<FOutcome>();
    Request->OnProcessRequestComplete() =
        [Outcome](FHttpRequestPtr Req, FHttpResponsePtr Response, bool bConnected)
    {
        Outcome->bDone = true;
        Outcome->bConnected = bConnected;
        Outcome->bOnGameThread = IsInGameThread();
        Outcome->Response = Response;
        Outcome->Reason = Req->GetFailureReason();
    };
    EXPECT_TRUE(Request->ProcessRequest());
    return Outcome;
}

FHttpRequestPtr Make(const FString& Verb, const FString& Url)
{
    FHttpRequestPtr Request = FHttpModule::Get().CreateRequest();
    Request->SetVerb(Verb);
    Request->SetURL(Url);
    return Request;
}
} // namespace

class HttpTest : public FEngineTestBase
{
protected:
    void TearDown() override
    {
        FHttpModule::Get().SetHttpTimeoutCap(0.f);
        FHttpModule::Get().GetHttpManager().Flush(EHttpFlushReason::FullFlush);
        FEngineTestBase::TearDown();
    }
    FLoopbackServer Server;
};

TEST_F(HttpTest, GetDeliversStatusBodyAndHeadersOnTheGameThread)
{
    auto Outcome = Send(Make("GET", Server.Url("/hello")));
    ASSERT_TRUE(PumpUntil([&] { return Outcome->bDone; }));
    EXPECT_TRUE(Outcome->bConnected);
    EXPECT_TRUE(Outcome->bOnGameThread);
    ASSERT_TRUE(Outcome->Response);
    EXPECT_EQ(Outcome->Response->GetResponseCode(), 200);
    EXPECT_EQ(Outcome->Response->GetContentAsString(), "hello world");
    EXPECT_EQ(Outcome->Response->GetHeader("x-test"), "yes");
}

TEST_F(HttpTest, RedirectIsAnAnswerNotFollowed)
{
    auto Outcome = Send(Make("GET", Server.Url("/redirect")));
    ASSERT_TRUE(PumpUntil([&] { return Outcome->bDone; }));
    ASSERT_TRUE(Outcome->Response);
    EXPECT_EQ(Outcome->Response->GetResponseCode(), 302);
}

TEST_F(HttpTest, InMemoryBodiesForEachVerbWithoutExpectContinue)
{
    const FString Big(3 * 1024 * 1024, 'z');
    for (const char* Verb : {"POST", "PUT", "PATCH"})
    {
        FHttpRequestPtr Request = Make(Verb, Server.Url("/echo"));
        Request->SetHeader("Content-Type", "application/json");
        Request->SetContentAsString(Big);
        auto Outcome = Send(Request);
        ASSERT_TRUE(PumpUntil([&] { return Outcome->bDone; })) << Verb;
        ASSERT_TRUE(Outcome->Response) << Verb;
        EXPECT_EQ(Outcome->Response->GetResponseCode(), 201);
        EXPECT_EQ(Outcome->Response->GetContentAsString(),
                  FSHA1::ToHex(FSHA1::HashBuffer(Big.data(), Big.size())));
    }
    const auto Seen = Server.Requests();
    ASSERT_EQ(Seen.size(), 3u);
    EXPECT_EQ(Seen[0].Method, "POST");
    EXPECT_EQ(Seen[1].Method, "PUT");
    EXPECT_EQ(Seen[2].Method, "PATCH");
    for (const FSeen& Request : Seen)
    {
        EXPECT_FALSE(Request.bHadExpect) << Request.Method;
        EXPECT_EQ(Request.ContentType, "application/json");
    }
}

TEST_F(HttpTest, StreamedFileArrivesByteIdenticalOnEveryAttempt)
{
    const FString Path = Saved.File("upload.zip");
    std::vector<uint8> Bytes(5 * 1024 * 1024 + 17);
    for (size_t I = 0; I < Bytes.size(); ++I)
    {
        Bytes[I] = static_cast<uint8>((I * 2654435761u) >> 13);
    }
    ASSERT_TRUE(FFileHelper::SaveArrayToFile(Bytes, Path));
    const FString Expected = FSHA1::ToHex(FSHA1::HashBuffer(Bytes.data(), Bytes.size()));
    for (int Attempt = 0; Attempt < 2; ++Attempt)
    {
        FHttpRequestPtr Request = Make("PUT", Server.Url("/echo"));
        ASSERT_TRUE(Request->SetContentAsStreamedFile(Path));
        EXPECT_EQ(Request->GetContentLength(), static_cast<int64>(Bytes.size()));
        auto Outcome = Send(Request);
        ASSERT_TRUE(PumpUntil([&] { return Outcome->bDone; }));
        ASSERT_TRUE(Outcome->Response);
        EXPECT_EQ(Outcome->Response->GetContentAsString(), Expected);
    }
    EXPECT_FALSE(Make("PUT", Server.Url("/echo"))->SetContentAsStreamedFile(Saved.File("missing")));
}

TEST_F(HttpTest, FileVanishingMidUploadFailsTheTransfer)
{
    const FString Path = Saved.File("vanishing.zip");
    ASSERT_TRUE(FFileHelper::SaveArrayToFile(std::vector<uint8>(1024 * 1024, 1), Path));
    FHttpRequestPtr Request = Make("PUT", Server.Url("/echo"));
    ASSERT_TRUE(Request->SetContentAsStreamedFile(Path));
    FScopedFileFault Fault(EFileFault::VanishDuringRead, "vanishing.zip", 64 * 1024);
    auto Outcome = Send(Request);
    ASSERT_TRUE(PumpUntil([&] { return Outcome->bDone; }));
    EXPECT_FALSE(Outcome->bConnected);
    EXPECT_EQ(Outcome->Reason, EHttpFailureReason::ConnectionError);
}

TEST_F(HttpTest, FailureReasonsTellTimeoutCancelAndConnectionApart)
{
    FHttpModule::Get().SetHttpTimeoutCap(0.3f);
    auto TimedOut = Send(Make("GET", Server.Url("/stall")));
    ASSERT_TRUE(PumpUntil([&] { return TimedOut->bDone; }));
    EXPECT_EQ(TimedOut->Reason, EHttpFailureReason::TimedOut);
    EXPECT_FALSE(TimedOut->Response);
    FHttpModule::Get().SetHttpTimeoutCap(0.f);

    FHttpRequestPtr Stalled = Make("GET", Server.Url("/stall"));
    auto Cancelled = Send(Stalled);
    Stalled->CancelRequest();
    ASSERT_TRUE(PumpUntil([&] { return Cancelled->bDone; }));
    EXPECT_EQ(Cancelled->Reason, EHttpFailureReason::Cancelled);
    EXPECT_EQ(Stalled->GetStatus(), EHttpRequestStatus::Failed);

    auto Refused =
        Send(Make("GET", "http://127.0.0.1:" + std::to_string(ClosedLoopbackPort()) + "/"));
    ASSERT_TRUE(PumpUntil([&] { return Refused->bDone; }));
    EXPECT_EQ(Refused->Reason, EHttpFailureReason::ConnectionError);
    Server.Release();
}

TEST_F(HttpTest, FlushRunsCompletionsAndCancelsPastItsSoftLimit)
{
    auto Quick = Send(Make("GET", Server.Url("/hello")));
    FHttpModule::Get().GetHttpManager().Flush();
    EXPECT_TRUE(Quick->bDone) << "Flush returns only after the completion ran";

    FHttpModule::Get().GetHttpManager().SetFlushLimits(0.2, 5.0);
    auto Stalled = Send(Make("GET", Server.Url("/stall")));
    FHttpModule::Get().GetHttpManager().Flush();
    EXPECT_TRUE(Stalled->bDone);
    EXPECT_EQ(Stalled->Reason, EHttpFailureReason::Cancelled);
    EXPECT_EQ(FHttpModule::Get().GetHttpManager().NumOutstanding(), 0);
    FHttpModule::Get().GetHttpManager().SetFlushLimits(2.0, 4.0);
}
