// Uploads around the life of a session, against each of the dev backend's stores and
// audited by the frame ledger: the store's backend forgetting the session, a slow
// uplink, a backlog that outgrows the storage limit, a stop or a teardown while an
// upload is still going, and send ticks that find the previous upload still busy.
#include "UploadScenarioTestBase.h"

#include "Clock.h"
#include "HttpModule.h"
#include "Logging.h"
#include "Tasks.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <map>

namespace
{
// The answer of a backend that no longer knows the session an upload names.
FDevBackendAnswer SessionGone()
{
    return FDevBackendAnswer::Error(404, "SessionNotFound", "no such session");
}

class UploadLifecycle : public FUploadScenarioTestBase
{
protected:
    void TearDown() override
    {
        FUploadScenarioTestBase::TearDown();
        FHttpModule::Get().SetHttpTimeoutCap(0.f);
    }

    // Session-create answers from now on carry Config's keys over the fixture's.
    void OverrideCaptureConfig(const nlohmann::json& Changes)
    {
        nlohmann::json Config = CaptureConfig();
        Config.update(Changes);
        Server.SetCaptureConfig(Config);
    }

    // Index of the last request that reached Endpoint; -1 when none did.
    long LastRequestIndex(EDevBackendEndpoint Endpoint) const
    {
        const auto Requests = Server.Requests().ForEndpoint(Endpoint);
        return Requests.empty() ? -1 : static_cast<long>(Requests.back().Index);
    }

    // The sessions named by end-session requests, once at least Count have arrived.
    std::vector<std::string> EndedSessionIds(size_t Count = 1)
    {
        EXPECT_TRUE(TickUntil(
            [&] { return Server.Requests().Count(EDevBackendEndpoint::EndSession) >= Count; }));
        return EndedSessionIdsSoFar();
    }

    std::vector<std::string> EndedSessionIdsSoFar() const
    {
        std::vector<std::string> Ids;
        for (const auto& Request : Server.Requests().ForEndpoint(EDevBackendEndpoint::EndSession))
        {
            Ids.push_back(Request.PathSessionId);
        }
        return Ids;
    }

    // One engine frame, and the JPEG encode it started (if any) finished.
    bool TickFrame()
    {
        Scene->Loop.Tick(TickSeconds);
        return PumpUntil([&] { return Peer->PendingEncodes() == 0; });
    }

    // Runs engine frames until the subsystem has a batch upload in flight.
    bool FramesUntilUploadDispatched()
    {
        return FramesUntil([&] { return Peer->InFlightUploads() > 0; });
    }

    // Lets the upload in flight finish without running a frame, so no send tick sees it.
    bool PumpUntilUploadsSettled()
    {
        return PumpUntil([&] { return Peer->InFlightUploads() == 0; });
    }

    // Everything the game wrote under its saved folder, in bytes.
    uint64_t SavedFolderBytes() const
    {
        uint64_t Total = 0;
        std::error_code Error;
        for (const auto& Entry : std::filesystem::recursive_directory_iterator(Saved.Path(), Error))
        {
            if (Entry.is_regular_file(Error))
            {
                Total += Entry.file_size(Error);
            }
        }
        return Total;
    }

    // Frames still being read back or encoded when the stop took the final batch are
    // discarded with the session's leftovers (and say so); nothing else may be.
    static void ExpectAtMostTheLastFramesDropped(const FLedgerBalance& Balance)
    {
        EXPECT_LE(Balance.Dropped, 2) << Balance.Describe();
        for (const auto& [Rule, Count] : Balance.DroppedByRule)
        {
            EXPECT_TRUE(Rule.find("discarded") != std::string::npos) << Balance.Describe();
        }
    }

    bool HasStateChange(EQuorvexSdkState Old, EQuorvexSdkState New, const FString& Reason) const
    {
        return std::find(Changes.begin(), Changes.end(), FStateChange{Old, New, Reason}) !=
               Changes.end();
    }
};

// ---- The store's backend forgets the session ----

TEST_P(UploadLifecycle, InactiveSessionRollsOverAndTheBatchIsResentUnderTheNewSession)
{
    Start();
    ASSERT_TRUE(FramesUntilObjects(1));
    const std::string FirstId = Subsystem->GetCurrentSessionId();
    ASSERT_TRUE(PumpUntilUploadsSettled());
    Server.Script(StoreEndpoint(), {SessionGone()});
    ASSERT_TRUE(FramesUntil([&] { return Server.Sessions().Count() == 2; }));
    const std::string SecondId = Server.Sessions().All().back().Id;
    ASSERT_TRUE(FramesUntil([&] { return !Server.Objects(SecondId).empty(); }));

    EXPECT_EQ(
        Log.Count("QuorvexSDK: Upload reports an inactive session; rolling the session over."), 1);
    EXPECT_TRUE(Server.Sessions().All().back().bRollover);
    EXPECT_NE(SecondId, FirstId);
    EXPECT_EQ(Subsystem->GetCurrentSessionId(), SecondId);
    EXPECT_EQ(Subsystem->GetSdkState(), EQuorvexSdkState::SDK_STATE_CAPTURING);
    Stop();
    EXPECT_EQ(EndedSessionIds(), std::vector<std::string>{SecondId});
    const FLedgerBalance Balance = FFrameLedger::Balance(Log, Server);
    EXPECT_TRUE(Balance.Balances()) << Balance.Describe();
    ExpectAtMostTheLastFramesDropped(Balance);
}

TEST_P(UploadLifecycle, InactiveSessionAtTheFinalFlushEndsTheNewSessionAfterTheResentBatch)
{
    Start();
    ASSERT_TRUE(FramesUntilObjects(1));
    // The stop must find no upload in flight and frames in the live batch, so the final
    // flush's own batch is the one the store refuses.
    ASSERT_TRUE(FramesUntil(
        [&]
        {
            return Peer->InFlightUploads() == 0 && Peer->PendingEncodes() == 0 &&
                   !Peer->PendingScreenshots().empty();
        }));
    const std::string FirstId = Subsystem->GetCurrentSessionId();
    Server.Script(StoreEndpoint(), {SessionGone()});
    Stop();

    ASSERT_EQ(Server.Sessions().Count(), 2u);
    const std::string SecondId = Server.Sessions().All().back().Id;
    EXPECT_EQ(
        Log.Count("QuorvexSDK: Upload reports an inactive session; rolling the session over."), 1);
    ASSERT_EQ(Server.Objects(SecondId).size(), 1u);
    ASSERT_TRUE(
        TickUntil([&] { return Server.Requests().Count(EDevBackendEndpoint::EndSession) >= 1; }));
    // The end goes to the session the batch was re-sent under, after that upload.
    EXPECT_EQ(EndedSessionIds(), std::vector<std::string>{SecondId});
    EXPECT_GT(LastRequestIndex(EDevBackendEndpoint::EndSession), LastRequestIndex(StoreEndpoint()));
    // The request is logged when it arrives; the session ends once it is handled.
    EXPECT_TRUE(TickUntil(
        [&]
        {
            const auto Second = Server.Sessions().Find(SecondId);
            return Second && Second->State == EDevBackendSessionState::Ended;
        }));
    EXPECT_EQ(Subsystem->GetSdkState(), EQuorvexSdkState::SDK_STATE_IDLE);
    (void)FirstId;
    const FLedgerBalance Balance = FFrameLedger::Balance(Log, Server);
    EXPECT_TRUE(Balance.Balances()) << Balance.Describe();
    ExpectAtMostTheLastFramesDropped(Balance);
}

// ---- A slow uplink ----

// Uploads below this many bits a second are slow; a loopback upload at full speed is
// far above it (a batch of a few kilobytes would have to take over 100 ms, which even a
// sanitizer build on a loaded machine does not), one read by a dripping store far below.
constexpr int SlowThresholdBitsPerSecond = 8 * 40 * 1024;
constexpr long long DripBytesPerSecond = 8 * 1024;

class UploadLifecycleSpeed : public UploadLifecycle
{
protected:
    // Lets one upload after another go out at the given speeds; no frame runs while an
    // upload is in flight, so only the measured uploads count as slow observations.
    void RunUploads(const std::vector<bool>& SlowUploads)
    {
        std::vector<FDevBackendAnswer> Answers;
        for (const bool bSlow : SlowUploads)
        {
            Answers.push_back(bSlow ? FDevBackendAnswer::Drip(DripBytesPerSecond)
                                    : FDevBackendAnswer::Handle());
        }
        Server.Script(StoreEndpoint(), Answers);
        for (size_t Index = 0; Index < SlowUploads.size(); ++Index)
        {
            ASSERT_TRUE(FramesUntilUploadDispatched()) << "upload " << Index;
            ASSERT_TRUE(PumpUntilUploadsSettled()) << "upload " << Index;
        }
    }
};

TEST_P(UploadLifecycleSpeed, ThreeSlowUploadsInARowStopCaptureAndEndTheSession)
{
    OverrideCaptureConfig({{"minUploadBitsPerSecond", SlowThresholdBitsPerSecond}});
    Start();
    Changes.clear();
    RunUploads({true, true, true});
    const auto Entered =
        Log.Matching("QuorvexSDK: Entered slow network mode. reason=throughput bytesPerSecond=");
    ASSERT_EQ(Entered.size(), 1u);
    long long Measured = -1;
    EXPECT_EQ(std::sscanf(Entered[0].Message.c_str(),
                          "QuorvexSDK: Entered slow network mode. reason=throughput "
                          "bytesPerSecond=%lld",
                          &Measured),
              1);
    EXPECT_GT(Measured, 0);
    EXPECT_LT(Measured * 8, SlowThresholdBitsPerSecond);
    EXPECT_EQ(Log.Count("QuorvexSDK: Slow network threshold hit 3 times. Stopping capture."), 1);
    EXPECT_EQ(Log.Count("QuorvexSDK: Capture stopped. reason=SlowNetwork(SlowNetwork)"), 1);
    EXPECT_TRUE(HasStateChange(EQuorvexSdkState::SDK_STATE_CAPTURING,
                               EQuorvexSdkState::SDK_STATE_STOPPING, "SlowNetwork"));
    EXPECT_TRUE(HasStateChange(EQuorvexSdkState::SDK_STATE_STOPPING,
                               EQuorvexSdkState::SDK_STATE_IDLE, "SlowNetwork"));
    EXPECT_EQ(Subsystem->GetSdkState(), EQuorvexSdkState::SDK_STATE_IDLE);
    const std::string SessionId = Subsystem->GetCurrentSessionId();
    ASSERT_TRUE(
        TickUntil([&] { return Server.Requests().Count(EDevBackendEndpoint::EndSession) == 1; }));
    EXPECT_EQ(EndedSessionIds(), std::vector<std::string>{SessionId});
    // The three slow uploads themselves were accepted.
    EXPECT_EQ(ObjectCount(), 3u);
    ExpectLedgerBalances(3);
}

TEST_P(UploadLifecycleSpeed, AFastUploadBetweenSlowOnesLeavesSlowModeAndCaptureGoesOn)
{
    OverrideCaptureConfig({{"minUploadBitsPerSecond", SlowThresholdBitsPerSecond}});
    Start();
    RunUploads({true, false, true, true});
    EXPECT_EQ(Log.Count("QuorvexSDK: Entered slow network mode. reason=throughput"), 2);
    EXPECT_EQ(Log.Count("QuorvexSDK: Exited slow network mode. bytesPerSecond="), 1);
    EXPECT_EQ(Log.Count("QuorvexSDK: Slow network threshold hit"), 0);
    EXPECT_TRUE(Peer->IsSlowNetworkMode());
    EXPECT_EQ(Peer->ConsecutiveSlowTicks(), 2);
    EXPECT_EQ(Subsystem->GetSdkState(), EQuorvexSdkState::SDK_STATE_CAPTURING);
    EXPECT_EQ(Server.Requests().Count(EDevBackendEndpoint::EndSession), 0u);
    Stop();
    const FLedgerBalance Balance = FFrameLedger::Balance(Log, Server);
    EXPECT_TRUE(Balance.Balances()) << Balance.Describe();
    ExpectAtMostTheLastFramesDropped(Balance);
    EXPECT_GE(Balance.Objects, 4) << Balance.Describe();
}

// ---- A backlog larger than the storage limit ----

TEST_P(UploadLifecycle, BacklogBeyondTheStorageLimitStopsCaptureAndWritesNothingPastIt)
{
    constexpr uint64_t LimitBytes = 1024 * 1024;
    // Large batches, so that a backlog of a megabyte takes a dozen refused uploads.
    OverrideCaptureConfig({{"maxStorageSizeMb", 1}, {"uploadIntervalMs", 30 * 1000}});
    Server.ScriptAlways(StoreEndpoint(), FDevBackendAnswer::Respond(500, "busy", "text/plain"));
    Start();
    const std::string SessionId = Subsystem->GetCurrentSessionId();
    const FString StopLine =
        "QuorvexSDK: Capture stopped. reason=StorageLimit(1MB) sessionId=" + SessionId;
    // A refused upload is retried after a pause before it counts as failed. While one
    // is going only the subsystem ticks and the frozen clock moves on, so no send tick
    // finds it busy and the refusals pile up on disk rather than tripping slow mode.
    FScopedFrozenClock Clock;
    auto UploadsSettled = [&]
    {
        return PumpUntil(
            [&]
            {
                if (Peer->InFlightUploads() == 0)
                {
                    return true;
                }
                Clock.Advance(0.05);
                Subsystem->Tick(0.01f);
                return false;
            });
    };
    uint64_t MostSaved = 0;
    for (int Frame = 0; Frame < 5000 && Log.Count(StopLine) == 0; ++Frame)
    {
        Scene->Loop.Tick(TickSeconds);
        ASSERT_TRUE(UploadsSettled());
        MostSaved = std::max(MostSaved, SavedFolderBytes());
    }
    ASSERT_EQ(Log.Count(StopLine), 1);
    // An upload the stop caught in flight ends too, and with it the sweep it held back.
    ASSERT_TRUE(UploadsSettled());
    ASSERT_TRUE(PumpUntil([&] { return Peer->PendingEncodes() == 0; }));
    MostSaved = std::max(MostSaved, SavedFolderBytes());
    std::printf("[ figures  ] most saved=%llu bytes, limit=%llu bytes\n",
                static_cast<unsigned long long>(MostSaved),
                static_cast<unsigned long long>(LimitBytes));
    EXPECT_LE(MostSaved, LimitBytes);
    EXPECT_GE(Log.Count("QuorvexSDK: Event upload failed seq="), 10);
    EXPECT_EQ(ObjectCount(), 0u);
    EXPECT_NE(Subsystem->GetSdkState(), EQuorvexSdkState::SDK_STATE_CAPTURING);
    // The stop throws the backlog away, and says how much.
    const FLedgerBalance Balance = FFrameLedger::Balance(Log, Server);
    EXPECT_TRUE(Balance.Balances()) << Balance.Describe();
    EXPECT_GT(Balance.Stored, 100) << Balance.Describe();
    EXPECT_EQ(Balance.Dropped, Balance.Stored) << Balance.Describe();
}

// ---- Stop while an upload is in flight ----

class UploadLifecycleStop : public UploadLifecycle
{
protected:
    // Takes a batch upload the store holds, then frames into the live batch (three
    // frames, fewer than a send interval, so no send tick sees the busy upload).
    void StartWithStalledUpload()
    {
        Start();
        Server.Script(StoreEndpoint(), {FDevBackendAnswer::Stall()});
        ASSERT_TRUE(FramesUntilUploadDispatched());
        ASSERT_TRUE(PumpUntil([&] { return Server.StalledCount() == 1; }));
        // The held request keeps a worker busy, so these frames' encodes may wait for it.
        for (int Frame = 0; Frame < SendEveryFrames - 1; ++Frame)
        {
            Scene->Loop.Tick(TickSeconds);
            Pump();
        }
        ASSERT_EQ(Peer->InFlightUploads(), 1);
    }

    // Stops while the store holds an upload, which it then lets go of (or which times
    // out): the stop completes only once the final batch is stored and the session ended.
    void StopWhileUploadIsHeld(bool bTimesOut)
    {
        if (bTimesOut)
        {
            FHttpModule::Get().SetHttpTimeoutCap(0.3f);
        }
        StartWithStalledUpload();
        const std::string SessionId = Subsystem->GetCurrentSessionId();
        size_t ObjectsAtCompletion = 0;
        int EndsAtCompletion = 0;
        int Completions = 0;
        Subsystem->StopSessionNative(
            [&](EQuorvexSdkResponse, const FString&)
            {
                ObjectsAtCompletion = Server.Objects(SessionId).size();
                EndsAtCompletion = Log.Count("QuorvexSDK: EndSession sessionId=" + SessionId);
                ++Completions;
            });
        if (!bTimesOut)
        {
            // Frames pass while the store holds the upload: the stop is still waiting.
            for (int Frame = 0; Frame < 3; ++Frame)
            {
                Scene->Loop.Tick(TickSeconds);
                Pump();
            }
            EXPECT_EQ(Completions, 0);
            EXPECT_EQ(Subsystem->GetSdkState(), EQuorvexSdkState::SDK_STATE_STOPPING);
            Server.ReleaseStalled();
        }
        ASSERT_TRUE(FramesUntil([&] { return Completions > 0; }));
        EXPECT_EQ(Completions, 1);
        EXPECT_EQ(Subsystem->GetSdkState(), EQuorvexSdkState::SDK_STATE_IDLE);
        EXPECT_EQ(EndedSessionIds(), std::vector<std::string>{SessionId});
        EXPECT_EQ(EndsAtCompletion, 1);
        // The final batch was in the store before the stop reported completion.
        EXPECT_GE(ObjectsAtCompletion, 1u);
        EXPECT_EQ(ObjectsAtCompletion, Server.Objects(SessionId).size());
        EXPECT_GT(LastRequestIndex(EDevBackendEndpoint::EndSession),
                  LastRequestIndex(StoreEndpoint()));
        ExpectLedgerBalances();
    }
};

TEST_P(UploadLifecycleStop, StopWaitsForAReleasedUploadThenSendsTheFinalBatch)
{
    StopWhileUploadIsHeld(false);
}

TEST_P(UploadLifecycleStop, StartRightAfterStopRunsOnceTheStopIsDoneAndEachSessionKeepsItsFrames)
{
    StartWithStalledUpload();
    const std::string FirstId = Subsystem->GetCurrentSessionId();
    FCompletionProbe Stopped;
    FCompletionProbe Started;
    Subsystem->StopSessionNative(Stopped.Callback());
    Subsystem->StartSessionNative("p2", "", Started.Callback());
    EXPECT_TRUE(Peer->IsRestartQueued());
    Server.ReleaseStalled();
    ASSERT_TRUE(FramesUntil([&] { return Started.Calls > 0; }));
    EXPECT_EQ(Stopped.Calls, 1);
    EXPECT_EQ(Started.Response, EQuorvexSdkResponse::QUORVEX_SUCCESS);
    const std::string SecondId = Subsystem->GetCurrentSessionId();
    ASSERT_NE(SecondId, FirstId);
    ASSERT_TRUE(FramesUntil([&] { return Server.Objects(SecondId).size() >= 2; }));
    Stop();
    EXPECT_EQ(EndedSessionIds(2), (std::vector<std::string>{FirstId, SecondId}));
    ExpectLedgerBalances();

    // Frames stored before the second session existed went to the first, later ones to
    // the second.
    const auto Lines = Log.Lines();
    const auto Created = std::find_if(Lines.begin(), Lines.end(),
                                      [&](const FLogLine& Line) {
                                          return Line.Message.find("Session created. sessionId=" +
                                                                   SecondId) != std::string::npos;
                                      });
    ASSERT_NE(Created, Lines.end());
    std::map<FLedgerFrame, std::string> SessionOfFrame;
    std::vector<std::string> Faults;
    for (const FLedgerObject& Object : FFrameLedger::ReadObjects(Server, Faults))
    {
        for (const FLedgerFrame& Frame : Object.Frames)
        {
            SessionOfFrame[Frame] = Object.SessionId;
        }
    }
    EXPECT_TRUE(Faults.empty());
    int Checked = 0;
    for (auto Line = Lines.begin(); Line != Lines.end(); ++Line)
    {
        FLedgerFrame Frame;
        if (std::sscanf(Line->Message.c_str(), "QuorvexSDK: screenshot stored ts=%lld bytes=%lld",
                        &Frame.Timestamp, &Frame.Bytes) != 2 ||
            !SessionOfFrame.contains(Frame))
        {
            continue;
        }
        EXPECT_EQ(SessionOfFrame[Frame], Line < Created ? FirstId : SecondId)
            << "frame ts=" << Frame.Timestamp;
        ++Checked;
    }
    EXPECT_GE(Checked, 3);
}

// ---- Teardown during a session ----

class UploadLifecycleTeardown : public UploadLifecycle
{
protected:
    // Tears the subsystem down as the host's shutdown does and returns how long it took.
    double TimedDeinitialize()
    {
        const auto Begin = std::chrono::steady_clock::now();
        Subsystem->Deinitialize();
        const double Seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - Begin).count();
        std::printf("[ figures  ] Deinitialize took %.3f s\n", Seconds);
        return Seconds;
    }

    // What a finished teardown must leave: the session ended once, the books balanced,
    // and a second teardown (the fixture's own) changing nothing.
    void ExpectSessionEndedOnce(const std::string& SessionId)
    {
        EXPECT_EQ(EndedSessionIds(), std::vector<std::string>{SessionId});
        const auto Ended = Server.Sessions().Find(SessionId);
        ASSERT_TRUE(Ended.has_value());
        EXPECT_EQ(Ended->State, EDevBackendSessionState::Ended);
        const size_t Requests = Server.Requests().All().size();
        Subsystem->Deinitialize();
        Pump();
        EXPECT_EQ(Server.Requests().All().size(), Requests);
    }
};

TEST_P(UploadLifecycleTeardown, TeardownWithAnUploadInFlightSendsTheFinalBatchInline)
{
    Start();
    // The store reads this upload slowly: it is still going when the game shuts down.
    Server.Script(StoreEndpoint(), {FDevBackendAnswer::Drip(DripBytesPerSecond)});
    ASSERT_TRUE(FramesUntilUploadDispatched());
    for (int Frame = 0; Frame < SendEveryFrames - 1; ++Frame)
    {
        Scene->Loop.Tick(TickSeconds);
        Pump();
    }
    ASSERT_EQ(Peer->InFlightUploads(), 1);
    const std::string SessionId = Subsystem->GetCurrentSessionId();
    TimedDeinitialize();
    // The upload that was in flight is in the store, and so is the final batch when
    // any frame reached it.
    EXPECT_GE(Server.Objects(SessionId).size(), 1u);
    EXPECT_GT(LastRequestIndex(EDevBackendEndpoint::EndSession), LastRequestIndex(StoreEndpoint()));
    const FLedgerBalance Balance = FFrameLedger::Balance(Log, Server);
    EXPECT_TRUE(Balance.Balances()) << Balance.Describe();
    ExpectAtMostTheLastFramesDropped(Balance);
    ExpectSessionEndedOnce(SessionId);
}

// Holds every background worker until released, so that work posted meanwhile waits.
class FWorkerGate
{
public:
    FWorkerGate()
    {
        std::shared_future<void> Opened = Gate.get_future().share();
        for (int32 Worker = 0; Worker < FTaskGraph::NumBackgroundWorkers(); ++Worker)
        {
            AsyncTask(ENamedThreads::AnyThread, [Opened] { Opened.wait(); });
        }
    }
    ~FWorkerGate() { Open(); }

    void Open()
    {
        if (!bOpen.exchange(true))
        {
            Gate.set_value();
        }
    }

private:
    std::promise<void> Gate;
    std::atomic<bool> bOpen{false};
};

// Opens a worker gate from the thread that logs a line containing Needle.
class FOpenGateOnLine : public FOutputDevice
{
public:
    FOpenGateOnLine(FWorkerGate& InGate, FString InNeedle)
        : Gate(InGate), Needle(std::move(InNeedle))
    {
        FLogSinks::Add(this);
    }
    ~FOpenGateOnLine() override { FLogSinks::Remove(this); }

    void Serialize(const FLogLine& Line) override
    {
        if (Line.Message.find(Needle) != FString::npos)
        {
            Gate.Open();
        }
    }

private:
    FWorkerGate& Gate;
    const FString Needle;
};

TEST_P(UploadLifecycleTeardown, TeardownWhileTheArchiveIsBeingBuiltEndsTheSessionAfterItsUpload)
{
    Start();
    ASSERT_TRUE(FramesUntil(
        [&] { return Peer->InFlightUploads() == 0 && !Peer->PendingScreenshots().empty(); }));
    // The archive's worker starts only once teardown has begun: the upload has no
    // request yet when the game shuts down.
    FWorkerGate Gate;
    ASSERT_TRUE(FramesUntilUploadDispatched());
    const std::string SessionId = Subsystem->GetCurrentSessionId();
    {
        FOpenGateOnLine OpenAtStop(Gate, "QuorvexSDK: Capture stopped. reason=Deinitialize");
        TimedDeinitialize();
    }
    EXPECT_GE(Server.Objects(SessionId).size(), 1u);
    EXPECT_GT(LastRequestIndex(EDevBackendEndpoint::EndSession), LastRequestIndex(StoreEndpoint()));
    const FLedgerBalance Balance = FFrameLedger::Balance(Log, Server);
    EXPECT_TRUE(Balance.Balances()) << Balance.Describe();
    ExpectSessionEndedOnce(SessionId);
}

TEST_P(UploadLifecycleTeardown, TeardownTrimsALargeFinalBatchAndLogsWhatItDrops)
{
    // No send tick comes during the test: the frames pile up in the live batch.
    OverrideCaptureConfig({{"uploadIntervalMs", 3600 * 1000}});
    Start();
    ASSERT_TRUE(FramesUntil([&] { return Peer->PendingScreenshots().size() >= 200; }));
    ASSERT_EQ(ObjectCount(), 0u);
    const std::string SessionId = Subsystem->GetCurrentSessionId();
    TimedDeinitialize();
    // A frame still being encoded may join the batch before it is taken: 200 or more.
    const auto Trims = Log.Matching("QuorvexSDK: Final flush is inline at teardown; dropping ");
    ASSERT_EQ(Trims.size(), 1u);
    int Trimmed = 0;
    int Buffered = 0;
    ASSERT_EQ(std::sscanf(Trims[0].Message.c_str(),
                          "QuorvexSDK: Final flush is inline at teardown; dropping %d of %d",
                          &Trimmed, &Buffered),
              2);
    EXPECT_GE(Buffered, 200);
    EXPECT_EQ(Trimmed, Buffered - 120);
    ASSERT_EQ(Server.Objects(SessionId).size(), 1u);
    EXPECT_GT(LastRequestIndex(EDevBackendEndpoint::EndSession), LastRequestIndex(StoreEndpoint()));
    const FLedgerBalance Balance = FFrameLedger::Balance(Log, Server);
    EXPECT_TRUE(Balance.Balances()) << Balance.Describe();
    EXPECT_EQ(Balance.Uploaded, 120) << Balance.Describe();
    EXPECT_GE(Balance.Dropped, Trimmed) << Balance.Describe();
    ExpectSessionEndedOnce(SessionId);
}

// ---- Send ticks that find the previous upload busy ----

TEST_P(UploadLifecycle, BatchesParkedBehindASlowUploadGoOutOldestFirstAndDrainOnTheirOwn)
{
    // A send tick that finds no frame parks nothing but still counts as slow, and the
    // third would stop capture: twice the usual frames per send interval leave room
    // for a machine that encodes slowly (a sanitizer build on a busy machine).
    OverrideCaptureConfig(
        {{"uploadIntervalMs", static_cast<int>(TickSeconds * 1000.f) * SendEveryFrames * 2}});
    Start();
    Server.Script(StoreEndpoint(), {FDevBackendAnswer::Stall()});
    ASSERT_TRUE(FramesUntilUploadDispatched());
    ASSERT_TRUE(PumpUntil([&] { return Server.StalledCount() == 1; }));
    const char* Parked = "QuorvexSDK: buffered batch while previous upload still in flight";
    // Two send ticks while the store holds the upload (a third would be the third slow
    // observation in a row and stop capture).
    ASSERT_TRUE(FramesUntil([&] { return Log.Count(Parked) == 2; }));
    EXPECT_TRUE(Peer->IsSlowNetworkMode());
    EXPECT_EQ(Peer->ConsecutiveSlowTicks(), 2);
    EXPECT_TRUE(Peer->OfflineStore().HasPendingBatches());
    Server.ReleaseStalled();
    ASSERT_TRUE(PumpUntilUploadsSettled());
    EXPECT_EQ(ObjectCount(), 1u);
    EXPECT_FALSE(Peer->IsSlowNetworkMode());

    // The next send tick sends the oldest parked batch and parks the live one behind
    // it; every success then sends the next one without waiting for a send tick.
    ASSERT_TRUE(FramesUntilUploadDispatched());
    EXPECT_LE(Log.Count("QuorvexSDK: queued live batch while draining backlog"), 1);
    ASSERT_TRUE(PumpUntil(
        [&] { return !Peer->OfflineStore().HasPendingBatches() && Peer->InFlightUploads() == 0; }));
    // The held one and the two parked ones, and the live batch queued behind them
    // when a frame had reached it by then.
    EXPECT_GE(ObjectCount(), 3u);

    // Uploads succeeded in sequence order, and each object holds only frames newer
    // than those of the object before it.
    long long LastSequence = -1;
    for (const FLogLine& Line : Log.Matching("QuorvexSDK: event upload success seq="))
    {
        long long Sequence = 0;
        ASSERT_EQ(std::sscanf(Line.Message.c_str(), "QuorvexSDK: event upload success seq=%lld",
                              &Sequence),
                  1);
        EXPECT_GT(Sequence, LastSequence);
        LastSequence = Sequence;
    }
    std::vector<std::string> Faults;
    long long Newest = -1;
    for (const FLedgerObject& Object : FFrameLedger::ReadObjects(Server, Faults))
    {
        ASSERT_FALSE(Object.Frames.empty()) << Object.Name;
        for (const FLedgerFrame& Frame : Object.Frames)
        {
            EXPECT_GT(Frame.Timestamp, Newest) << Object.Name;
        }
        for (const FLedgerFrame& Frame : Object.Frames)
        {
            Newest = std::max(Newest, Frame.Timestamp);
        }
    }
    EXPECT_TRUE(Faults.empty());
    Stop();
    const FLedgerBalance Balance = FFrameLedger::Balance(Log, Server);
    EXPECT_TRUE(Balance.Balances()) << Balance.Describe();
    ExpectAtMostTheLastFramesDropped(Balance);
}

QUORVEX_UPLOAD_SCENARIOS(UploadLifecycleSpeed);
QUORVEX_UPLOAD_SCENARIOS(UploadLifecycleTeardown);
QUORVEX_UPLOAD_SCENARIOS(UploadLifecycleStop);

QUORVEX_UPLOAD_SCENARIOS(UploadLifecycle);
} // namespace
