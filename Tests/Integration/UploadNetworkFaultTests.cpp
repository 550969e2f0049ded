// Whole sessions whose uploads meet a failing network or a refusing store, on each of
// the dev backend's stores, audited by the frame ledger: a batch that fails for a
// passing reason waits on disk and reaches the store later, oldest first; rejected
// credentials are refreshed at most twice; a rejection that cannot pass stops capture
// and says so; and whichever way it goes, every stored frame is in the store once or
// was dropped by a rule that logged it.
#include "UploadScenarioTestBase.h"

#include "Clock.h"
#include "HttpModule.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace
{
constexpr const char* RenewingLine = "QuorvexSDK: renewing upload credentials before expiry.";
constexpr const char* RefreshLimitLine =
    "QuorvexSDK: Upload still rejected after 2 credential refreshes; stopping capture.";

class UploadNetworkFault : public FUploadScenarioTestBase
{
protected:
    void TearDown() override
    {
        FUploadScenarioTestBase::TearDown();
        FHttpModule::Get().SetHttpTimeoutCap(0.f);
        FrozenClock.reset();
    }

    // Stops the engine clock; every engine frame from then on moves it by one frame.
    void FreezeClock() { FrozenClock = std::make_unique<FScopedFrozenClock>(); }

    // Engine frames, each moving a frozen clock by its length, until Condition holds.
    bool FramesOnClockUntil(const std::function<bool()>& Condition)
    {
        return FramesUntil(
            [&]
            {
                if (Condition())
                {
                    return true;
                }
                if (FrozenClock)
                {
                    FrozenClock->Advance(TickSeconds);
                }
                return false;
            });
    }

    // Waits, without running engine frames or moving game time, until Condition holds.
    // The subsystem is still ticked, so that the client's retries (due on the clock)
    // go out; a frozen clock is moved on a little each time.
    bool SettleUntil(const std::function<bool()>& Condition)
    {
        return PumpUntil(
            [&]
            {
                if (Subsystem->IsTickable())
                {
                    Subsystem->Tick(0.f);
                }
                if (FrozenClock)
                {
                    FrozenClock->Advance(0.01);
                }
                return Condition();
            });
    }

    // Runs frames up to the next send and waits, without running more frames, until
    // the upload it started is over. Frames that ran on while an upload is out would
    // each be a slow observation; this keeps the scenarios about the failure itself.
    bool NextSendSettles()
    {
        const int32 Before = Peer->Sends();
        return FramesOnClockUntil([&] { return Peer->Sends() > Before; }) &&
               SettleUntil([&] { return Peer->InFlightUploads() == 0; });
    }

    bool SendsUntil(const std::function<bool()>& Condition)
    {
        for (int Send = 0; Send < 60; ++Send)
        {
            if (Condition())
            {
                return true;
            }
            if (!NextSendSettles())
            {
                return false;
            }
        }
        return Condition();
    }

    // Runs sends until capture stops. The store's scripts are cleared the moment the
    // stop is seen, before the stop's own final upload can go out, so that upload meets
    // a store that accepts again and the stop is the refusal's alone.
    bool SendsUntilCaptureStops()
    {
        const auto StoppedClearsScripts = [&]
        {
            if (Subsystem->IsCapturing())
            {
                return false;
            }
            Server.ClearScripts();
            return true;
        };
        for (int Send = 0; Send < 60; ++Send)
        {
            const int32 Before = Peer->Sends();
            if (!FramesOnClockUntil([&]
                                    { return StoppedClearsScripts() || Peer->Sends() > Before; }) ||
                !SettleUntil([&]
                             { return StoppedClearsScripts() || Peer->InFlightUploads() == 0; }))
            {
                return false;
            }
            if (!Subsystem->IsCapturing())
            {
                return true;
            }
        }
        return false;
    }

    // The sequence numbers of the batches the store accepted, in the order they were accepted.
    std::vector<long long> AcceptedSequences() const
    {
        std::vector<long long> Sequences;
        for (const FLogLine& Line : Log.Matching("QuorvexSDK: event upload success seq="))
        {
            long long Seq = 0;
            if (std::sscanf(Line.Message.c_str(), "QuorvexSDK: event upload success seq=%lld",
                            &Seq) == 1)
            {
                Sequences.push_back(Seq);
            }
        }
        return Sequences;
    }

    // Batches that waited on disk and then reached the store.
    int PendingAccepted() const
    {
        int Count = 0;
        for (const FLogLine& Line : Log.Matching("QuorvexSDK: event upload success seq="))
        {
            Count += Line.Message.find("source=pending") != std::string::npos ? 1 : 0;
        }
        return Count;
    }

    size_t StoreRequests() const { return Server.Requests().Count(StoreEndpoint()); }
    size_t Refreshes() const
    {
        return Server.Requests().Count(EDevBackendEndpoint::RefreshUploadUrl);
    }

    // Every frame stored reached the store: nothing was dropped.
    void ExpectNothingDropped()
    {
        const FLedgerBalance Balance = FFrameLedger::Balance(Log, Server);
        EXPECT_TRUE(Balance.Balances()) << Balance.Describe();
        EXPECT_EQ(Balance.Dropped, 0) << Balance.Describe();
        EXPECT_GT(Balance.Uploaded, 0) << Balance.Describe();
    }

    std::unique_ptr<FScopedFrozenClock> FrozenClock;
};

// ---- A store that cannot be reached for a while ----

TEST_P(UploadNetworkFault, BatchesWaitOnDiskWhileTheStoreRefusesAndDrainOldestFirstOnceItIsBack)
{
    // The session's credentials name a port nobody listens on: every upload is refused.
    FreezeClock();
    FDevBackendStoreOptions Unreachable;
    Unreachable.Style = GetParam();
    Unreachable.UploadBaseUrl = "http://127.0.0.1:" + std::to_string(ClosedLoopbackPort());
    Unreachable.TtlSeconds = 30;
    Server.SetStoreOptions(Unreachable);
    Start();
    ASSERT_TRUE(SendsUntil([&] { return Log.Count("QuorvexSDK: Event upload failed") >= 3; }));
    EXPECT_EQ(ObjectCount(), 0u);
    EXPECT_TRUE(Log.Contains("savedFallback=true status=0"));
    EXPECT_TRUE(Peer->OfflineStore().HasPendingBatches());
    EXPECT_TRUE(FFrameLedger::Balance(Log, Server).DroppedByRule.empty());

    // The store is back for credentials issued from now on; the renewal before expiry
    // fetches them, and the backlog goes out ahead of anything newer.
    FDevBackendStoreOptions Reachable;
    Reachable.Style = GetParam();
    Server.SetStoreOptions(Reachable);
    ASSERT_TRUE(SendsUntil(
        [&] { return PendingAccepted() >= 2 && !Peer->OfflineStore().HasPendingBatches(); }));
    EXPECT_TRUE(Log.Contains(RenewingLine));
    Stop();

    const std::vector<long long> Accepted = AcceptedSequences();
    EXPECT_TRUE(std::is_sorted(Accepted.begin(), Accepted.end()))
        << "batches reached the store out of order";
    EXPECT_EQ(Subsystem->GetSdkState(), EQuorvexSdkState::SDK_STATE_IDLE);
    ExpectNothingDropped();
}

// ---- One upload fails for a passing reason; its batch goes out later ----

struct FPassingFailure
{
    const char* Name;
    std::function<FDevBackendAnswer(const std::string& BaseUrl)> Answer;
    const char* FailureLine;
};

TEST_P(UploadNetworkFault, AnUploadThatFailsForAPassingReasonIsSavedAndSentAgainLater)
{
    const std::vector<FPassingFailure> Cases = {
        {"connection dropped", [](const std::string&) { return FDevBackendAnswer::Drop(); },
         "savedFallback=true status=0"},
        {"reset in the middle of the body",
         [](const std::string&) { return FDevBackendAnswer::ResetMidBody(200); },
         "savedFallback=true status=0"},
        {"429",
         [](const std::string&)
         { return FDevBackendAnswer::Error(429, "rate_limited", "Too many requests"); },
         "savedFallback=true status=429"},
        {"302 redirect",
         [](const std::string& Base)
         { return FDevBackendAnswer::Redirect(302, Base + "/elsewhere/take-it-here"); },
         "savedFallback=true status=302"},
        {"307 redirect",
         [](const std::string& Base)
         { return FDevBackendAnswer::Redirect(307, Base + "/elsewhere/take-it-here"); },
         "savedFallback=true status=307"},
    };
    Start();
    ASSERT_TRUE(SendsUntil([&] { return ObjectCount() >= 1; }));
    for (const FPassingFailure& Case : Cases)
    {
        SCOPED_TRACE(Case.Name);
        const size_t Objects = ObjectCount();
        const int32 Failures = Log.Count(Case.FailureLine);
        // Every attempt of the client's own retries meets the failure.
        Server.ScriptAlways(StoreEndpoint(), Case.Answer(Server.BaseUrl()));
        ASSERT_TRUE(SendsUntil([&] { return Log.Count(Case.FailureLine) > Failures; }));
        Server.ClearScripts();
        // The failed batch and the next live one both reach the store.
        ASSERT_TRUE(SendsUntil([&] { return ObjectCount() >= Objects + 2; }));
        EXPECT_TRUE(Subsystem->IsCapturing());
    }
    Stop();

    for (const FDevBackendRecordedRequest& Request : Server.Requests().All())
    {
        EXPECT_EQ(Request.Path.find("/elsewhere/"), std::string::npos)
            << "a redirect was followed to " << Request.Path;
    }
    const std::vector<long long> Accepted = AcceptedSequences();
    EXPECT_TRUE(std::is_sorted(Accepted.begin(), Accepted.end()));
    EXPECT_EQ(Peer->UploadUrlRefreshAttempts(), 0);
    EXPECT_EQ(Refreshes(), 0u);
    ExpectNothingDropped();
}

TEST_P(UploadNetworkFault, AStallPastTheTimeoutIsASlowObservationAndTheBatchGoesOutLater)
{
    Start();
    ASSERT_TRUE(SendsUntil([&] { return ObjectCount() >= 1; }));
    FHttpModule::Get().SetHttpTimeoutCap(0.3f);
    // Held without an answer, and never stored: a store that went silent.
    Server.ScriptAlways(StoreEndpoint(), FDevBackendAnswer::Drop().Stalled());
    // A send of a busy machine may find no frame yet: run on to one that uploads.
    const int32 Dispatched = Log.Count("QuorvexSDK: dispatching live batch");
    ASSERT_TRUE(
        FramesUntil([&] { return Log.Count("QuorvexSDK: dispatching live batch") > Dispatched; }));
    // No frames run while it is held, so the timeout is the only slow observation.
    ASSERT_TRUE(
        SettleUntil([&] { return Log.Contains("QuorvexSDK: upload timed out, slow tick"); }));
    ASSERT_TRUE(SettleUntil([&] { return Peer->InFlightUploads() == 0; }));
    EXPECT_TRUE(Log.Contains("QuorvexSDK: Entered slow network mode. reason=timeout"));
    EXPECT_TRUE(Peer->IsSlowNetworkMode());
    EXPECT_TRUE(Log.Contains("savedFallback=true"));
    FHttpModule::Get().SetHttpTimeoutCap(0.f);
    Server.ClearScripts();
    Server.ReleaseStalled();

    const size_t Objects = ObjectCount();
    ASSERT_TRUE(SendsUntil([&] { return ObjectCount() >= Objects + 2; }));
    EXPECT_FALSE(Peer->IsSlowNetworkMode());
    EXPECT_TRUE(Subsystem->IsCapturing());
    Stop();
    ExpectNothingDropped();
}

// ---- Rejected credentials ----

TEST_P(UploadNetworkFault, A503OnceIsOneRefreshRoundAndTheRefreshCountReturnsToZero)
{
    Start();
    ASSERT_TRUE(SendsUntil([&] { return ObjectCount() >= 1; }));
    const size_t Objects = ObjectCount();
    Server.Script(StoreEndpoint(),
                  {FDevBackendAnswer::Error(503, "unavailable", "Service unavailable")});
    ASSERT_TRUE(SendsUntil([&] { return ObjectCount() >= Objects + 1; }));
    EXPECT_TRUE(Log.Has(ELogVerbosity::Log, "QuorvexSDK: Upload rejected (status=503); "
                                            "refreshing upload URL and retrying (1/2)."));
    EXPECT_EQ(Refreshes(), 1u);
    EXPECT_EQ(Peer->UploadUrlRefreshAttempts(), 0);
    EXPECT_FALSE(Log.Contains("savedFallback="));
    Stop();
    ExpectNothingDropped();
}

TEST_P(UploadNetworkFault, CredentialsThatExpireWhileTheUploadIsOnItsWayAreRefreshedOnRejection)
{
    // The SDK judges the credentials good for two more minutes; the request is held
    // at the store past their expiry, which the store itself then enforces.
    FreezeClock();
    FDevBackendStoreOptions Store;
    Store.Style = GetParam();
    Store.TtlSeconds = 10; // the SDK renews one second before expiry
    Store.ExpiresInSeconds = 120;
    Server.SetStoreOptions(Store);
    Start();
    ASSERT_TRUE(SendsUntil([&] { return ObjectCount() >= 1; }));
    Server.Script(StoreEndpoint(), {FDevBackendAnswer::Stall()});
    // A send of a busy machine may find no frame yet: run on to one that uploads.
    const int32 Dispatched = Log.Count("QuorvexSDK: dispatching live batch");
    ASSERT_TRUE(FramesOnClockUntil(
        [&] { return Log.Count("QuorvexSDK: dispatching live batch") > Dispatched; }));
    ASSERT_TRUE(SettleUntil([&] { return Server.StalledCount() >= 1; }));
    FrozenClock->Advance(600.0);
    const size_t Objects = ObjectCount();
    Server.ReleaseStalled();
    ASSERT_TRUE(
        SettleUntil([&] { return ObjectCount() > Objects && Peer->InFlightUploads() == 0; }));

    const std::vector<FDevBackendRecordedRequest> Uploads =
        Server.Requests().ForEndpoint(StoreEndpoint());
    ASSERT_GE(Uploads.size(), 2u);
    const FDevBackendRecordedRequest& Held = Uploads[Uploads.size() - 2];
    EXPECT_TRUE(Held.Status == 400 || Held.Status == 401 || Held.Status == 403) << Held.Status;
    EXPECT_NE(Held.ResponseBody.find("xpired"), std::string::npos) << Held.ResponseBody;
    EXPECT_TRUE(Log.Contains("refreshing upload URL and retrying (1/2)."));
    EXPECT_EQ(Peer->UploadUrlRefreshAttempts(), 0);
    Stop();
    ExpectNothingDropped();
}

TEST_P(UploadNetworkFault, ShortLivedCredentialsAreRenewedBeforeTheyExpireAndNothingIsRejected)
{
    FreezeClock();
    FDevBackendStoreOptions Store;
    Store.Style = GetParam();
    Store.TtlSeconds = 20; // renewed two seconds before expiry: every eight sends or so
    Server.SetStoreOptions(Store);
    Start();
    ASSERT_TRUE(SendsUntil([&] { return Refreshes() >= 2 && ObjectCount() >= 12; }));
    Stop();

    EXPECT_GE(Log.Count(RenewingLine), 2);
    for (const FDevBackendRecordedRequest& Upload : Server.Requests().ForEndpoint(StoreEndpoint()))
    {
        EXPECT_TRUE(Upload.Status >= 200 && Upload.Status < 300)
            << Upload.Status << " " << Upload.ResponseBody;
    }
    EXPECT_FALSE(Log.Contains("refreshing upload URL and retrying"));
    EXPECT_EQ(Subsystem->GetSdkState(), EQuorvexSdkState::SDK_STATE_IDLE);
    ExpectNothingDropped();
}

TEST_P(UploadNetworkFault, AClockJumpOfAnHourIsJudgedAsExpiredCredentialsAndUploadsGoOn)
{
    FreezeClock();
    Start();
    ASSERT_TRUE(SendsUntil([&] { return ObjectCount() >= 2; }));
    EXPECT_FALSE(Log.Contains(RenewingLine));
    FrozenClock->Advance(3600.0);
    const size_t Objects = ObjectCount();
    ASSERT_TRUE(SendsUntil([&] { return ObjectCount() >= Objects + 3; }));
    EXPECT_TRUE(Log.Contains(RenewingLine));
    EXPECT_GE(Refreshes(), 1u);
    EXPECT_TRUE(Subsystem->IsCapturing());
    EXPECT_FALSE(Log.Contains("savedFallback="));
    Stop();
    ExpectNothingDropped();
}

// ---- Rejections that cannot pass: capture stops and says why ----

struct FStoppingRejection
{
    const char* Name;
    FDevBackendAnswer Answer;
    size_t ExpectedRefreshes;
    const char* StopLine;
};

TEST_P(UploadNetworkFault, ARejectionThatCannotPassStopsCaptureAndEveryFrameIsAccountedFor)
{
    const std::vector<FStoppingRejection> Cases = {
        {"503 for good", FDevBackendAnswer::Error(503, "unavailable", "Service unavailable"), 2,
         RefreshLimitLine},
        {"signature mismatch for good",
         FDevBackendAnswer::Error(403, "SignatureDoesNotMatch",
                                  "The request signature we calculated does not match"),
         2, RefreshLimitLine},
        {"403 terminal", FDevBackendAnswer::Error(403, "AccessDenied", "The bucket is closed"), 0,
         "QuorvexSDK: Upload rejected terminally (status=403); stopping capture."},
        {"404 terminal", FDevBackendAnswer::Error(404, "no_such_bucket", "No such bucket"), 0,
         "QuorvexSDK: Upload rejected terminally (status=404); stopping capture."},
    };
    for (const FStoppingRejection& Case : Cases)
    {
        SCOPED_TRACE(Case.Name);
        // One session after another in the same run: the ledger audits them all.
        const size_t RefreshesBefore = Refreshes();
        const size_t ObjectsBefore = ObjectCount();
        const int32 StopsBefore = Log.Count(Case.StopLine);
        const int DroppedBefore = FFrameLedger::Balance(Log, Server).Dropped;
        Start();
        ASSERT_TRUE(SendsUntil([&] { return ObjectCount() > ObjectsBefore; }));
        const size_t StoreRequestsBefore = StoreRequests();
        Server.ScriptAlways(StoreEndpoint(), Case.Answer);
        ASSERT_TRUE(SendsUntilCaptureStops());
        // The first send and one retry per refresh, no more.
        EXPECT_EQ(StoreRequests() - StoreRequestsBefore, Case.ExpectedRefreshes + 1);
        EXPECT_EQ(Refreshes() - RefreshesBefore, Case.ExpectedRefreshes);
        ASSERT_TRUE(SettleUntil([&] { return Peer->InFlightUploads() == 0; }));
        EXPECT_EQ(Log.Count(Case.StopLine), StopsBefore + 1);
        Stop();
        // The next case's counts start once this session's last upload is over.
        ASSERT_TRUE(SettleUntil([&] { return Peer->InFlightUploads() == 0; }));

        const FLedgerBalance Balance = FFrameLedger::Balance(Log, Server);
        EXPECT_TRUE(Balance.Balances()) << Balance.Describe();
        EXPECT_GT(Balance.Dropped, DroppedBefore) << Balance.Describe();
        EXPECT_FALSE(Log.Contains("savedFallback=")) << "a rejected batch was kept for later";
    }
}

// ---- An interim answer that never comes ----

TEST_P(UploadNetworkFault, AStoreThatNeverSays100ContinueStillGetsTheBodyAtOnce)
{
    // Requests that outlive one second fail: a client waiting for the interim answer
    // would run into it instead of delivering the batch.
    FHttpModule::Get().SetHttpTimeoutCap(1.f);
    Server.ScriptAlways(StoreEndpoint(), FDevBackendAnswer::NoContinue());
    Start();
    ASSERT_TRUE(SendsUntil([&] { return ObjectCount() >= 3; }));
    Stop();
    EXPECT_FALSE(Log.Contains("savedFallback="));
    EXPECT_FALSE(Log.Contains("timed out"));
    EXPECT_EQ(StoreRequests(), ObjectCount());
    ExpectNothingDropped();
}

QUORVEX_UPLOAD_SCENARIOS(UploadNetworkFault);
} // namespace
