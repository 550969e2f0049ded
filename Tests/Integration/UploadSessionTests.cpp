// Whole sessions that upload to each of the dev backend's stores over loopback, audited
// by the frame ledger: on a healthy network every frame the session stored is in the
// store once the stop has completed.
#include "UploadScenarioTestBase.h"

namespace
{
class UploadSession : public FUploadScenarioTestBase
{
};

TEST_P(UploadSession, EveryStoredFrameIsInTheStoreOnceTheStopCompletes)
{
    Start();
    ASSERT_TRUE(FramesUntilObjects(3));
    Stop();
    // Nothing was dropped: the final batch and the end-session request went out.
    const FLedgerBalance Balance = FFrameLedger::Balance(Log, Server);
    EXPECT_TRUE(Balance.Balances()) << Balance.Describe();
    EXPECT_EQ(Balance.Dropped, 0) << Balance.Describe();
    EXPECT_GE(Balance.Uploaded, 3) << Balance.Describe();
    EXPECT_EQ(Subsystem->GetSdkState(), EQuorvexSdkState::SDK_STATE_IDLE);
    // The request is logged when it arrives; the session ends once it is handled.
    EXPECT_TRUE(TickUntil(
        [&]
        {
            const auto Session = Server.Sessions().Find(Subsystem->GetCurrentSessionId());
            return Session && Session->State == EDevBackendSessionState::Ended;
        }));
    EXPECT_EQ(Server.Requests().Count(EDevBackendEndpoint::EndSession), 1u);
}

QUORVEX_UPLOAD_SCENARIOS(UploadSession);
} // namespace
