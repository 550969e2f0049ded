// A recording scene against the dev backend with uploads on a short send interval,
// parameterised by the store the backend hands out, and the frame ledger to audit
// what reached the stores.
#pragma once

#include "FrameLedger.h"
#include "SceneBackendTestBase.h"

#include <gtest/gtest.h>

class FUploadScenarioTestBase : public FSceneBackendTestBase,
                                public ::testing::WithParamInterface<EDevBackendStore>
{
public:
    static std::string StoreParamName(const ::testing::TestParamInfo<EDevBackendStore>& Info)
    {
        return DevBackendStoreName(Info.param);
    }

protected:
    // A batch goes out every SendEveryFrames engine frames of TickSeconds.
    static constexpr int SendEveryFrames = 4;

    void SetUp() override
    {
        FSceneBackendTestBase::SetUp();
        Server.SetStore(GetParam());
    }

    nlohmann::json CaptureConfig() const override
    {
        nlohmann::json Config = FSceneBackendTestBase::CaptureConfig();
        Config["uploadIntervalMs"] = static_cast<int>(TickSeconds * 1000.f) * SendEveryFrames;
        // Loopback uploads of a few kilobytes are latency, not bandwidth: the slow-network
        // threshold is set where a scenario tests it.
        Config["minUploadBitsPerSecond"] = 1;
        Config["heartbeatIntervalSeconds"] = 0;
        return Config;
    }

    // Game time runs faster than wall time here, but an upload over loopback takes far
    // less than a frame's TickSeconds of real time: each frame first gives the upload
    // in flight that long to finish, so a send tick finds the previous upload busy only
    // when the store really is slow. A scenario about slow or stalled stores turns it off.
    void BeforeFrame() override
    {
        if (!bPaceFramesToUploads || Peer->InFlightUploads() < 1)
        {
            return;
        }
        PumpUntil([&] { return Peer->InFlightUploads() < 1; },
                  std::chrono::milliseconds(static_cast<int>(TickSeconds * 1000.f)));
    }

    bool bPaceFramesToUploads = true;

    // Runs engine frames until Count more batch uploads have completed in the store.
    bool FramesUntilObjects(size_t Count)
    {
        return FramesUntil([&] { return ObjectCount() >= Count; });
    }

    size_t ObjectCount() const
    {
        size_t Count = 0;
        for (const FDevBackendSession& Session : Server.Sessions().All())
        {
            Count += Server.Objects(Session.Id).size();
        }
        return Count;
    }

    // The ledger of everything logged and stored so far; a failed balance prints it all.
    void ExpectLedgerBalances(int MinUploaded = 1)
    {
        const FLedgerBalance Balance = FFrameLedger::Balance(Log, Server);
        EXPECT_TRUE(Balance.Balances()) << Balance.Describe();
        EXPECT_GE(Balance.Uploaded, MinUploaded) << Balance.Describe();
    }

    // The store endpoint of the store under test, for scripting its answers.
    static EDevBackendEndpoint StoreEndpoint() { return DevBackendStoreEndpoint(GetParam()); }
};

#define QUORVEX_UPLOAD_SCENARIOS(Fixture)                                                          \
    INSTANTIATE_TEST_SUITE_P(EveryStore, Fixture,                                                  \
                             ::testing::Values(EDevBackendStore::Gcs, EDevBackendStore::B2,        \
                                               EDevBackendStore::SignedPut),                       \
                             FUploadScenarioTestBase::StoreParamName)
