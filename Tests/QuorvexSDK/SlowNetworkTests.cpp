// Upload speed and slow-network mode: which completed uploads count as slow, the
// three-strike stop, recovery, the threshold, and the in-flight slot's floor.
#include "QuorvexApiClient.h"
#include "QuorvexSubsystemTestBase.h"

namespace
{
FQuorvexHttpResult Succeeded()
{
    FQuorvexHttpResult Result;
    Result.bSuccess = true;
    Result.StatusCode = 200;
    return Result;
}

class SlowNetwork : public FQuorvexSubsystemTestBase
{
protected:
    // 50000 bytes in 0.5 s: 800000 bits/s, below the default threshold of 1000000.
    void SlowUpload() { Peer->UpdateUploadSpeedState(50000, 0.5, Succeeded()); }
    void FastUpload() { Peer->UpdateUploadSpeedState(500000, 0.5, Succeeded()); }
};

TEST_F(SlowNetwork, AnUploadBelowTheThresholdEntersTheMode)
{
    StartCapturing();
    SlowUpload();
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning,
                        "QuorvexSDK: upload below threshold. bps=800000 thresholdBps=1000000"));
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning, "QuorvexSDK: Entered slow network mode. "
                                                "reason=throughput bytesPerSecond=100000"));
    EXPECT_TRUE(Peer->IsSlowNetworkMode());
    EXPECT_EQ(Peer->ConsecutiveSlowTicks(), 1);
    EXPECT_EQ(Peer->InternalState(), EQuorvexInternalState::SlowNetwork);
    EXPECT_EQ(Subsystem->GetSdkState(), EQuorvexSdkState::SDK_STATE_CAPTURING);
}

TEST_F(SlowNetwork, TheThirdSlowObservationInARowStopsCaptureAndEndsTheSession)
{
    StartCapturing();
    Changes.clear();
    SlowUpload();
    SlowUpload();
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning, "QuorvexSDK: Slow network still active. "
                                                "consecutiveSlowTicks=2/3 reason=throughput "
                                                "bytesPerSecond=100000"));
    EXPECT_EQ(Subsystem->GetSdkState(), EQuorvexSdkState::SDK_STATE_CAPTURING);
    SlowUpload();
    Pump();
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning,
                        "QuorvexSDK: Slow network threshold hit 3 times. Stopping capture."));
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning,
                        "QuorvexSDK: Capture stopped. "
                        "reason=SlowNetwork(SlowNetwork) sessionId=session-1"));
    EXPECT_TRUE(Log.Has(ELogVerbosity::Log, "QuorvexSDK: EndSession sessionId=session-1"));
    const std::vector<FStateChange> Expected = {
        {EQuorvexSdkState::SDK_STATE_CAPTURING, EQuorvexSdkState::SDK_STATE_STOPPING,
         "SlowNetwork"},
        {EQuorvexSdkState::SDK_STATE_STOPPING, EQuorvexSdkState::SDK_STATE_IDLE, "SlowNetwork"}};
    EXPECT_EQ(Changes, Expected);
    EXPECT_FALSE(Peer->IsSlowNetworkMode());
    EXPECT_EQ(Peer->ConsecutiveSlowTicks(), 0);
}

TEST_F(SlowNetwork, AFastUploadInBetweenResetsTheCount)
{
    StartCapturing();
    SlowUpload();
    FastUpload();
    EXPECT_TRUE(Log.Has(ELogVerbosity::Log,
                        "QuorvexSDK: Exited slow network mode. bytesPerSecond=1000000"));
    EXPECT_EQ(Peer->InternalState(), EQuorvexInternalState::Capturing);
    SlowUpload();
    SlowUpload();
    EXPECT_EQ(Peer->ConsecutiveSlowTicks(), 2) << "the slow upload after the fast one came first";
    EXPECT_EQ(Subsystem->GetSdkState(), EQuorvexSdkState::SDK_STATE_CAPTURING);
    EXPECT_EQ(Log.Count("Entered slow network mode"), 2);
}

TEST_F(SlowNetwork, OnlyTimeoutsAmongFailuresAreSlowObservations)
{
    StartCapturing();
    FastUpload(); // the speed a timeout is reported with
    FQuorvexHttpResult Refused;
    Refused.StatusCode = 500;
    Peer->UpdateUploadSpeedState(50000, 0.5, Refused);
    FQuorvexHttpResult Canceled = Succeeded();
    Canceled.bCanceled = true;
    Peer->UpdateUploadSpeedState(50, 0.5, Canceled);
    EXPECT_FALSE(Peer->IsSlowNetworkMode());

    FQuorvexHttpResult TimedOut;
    TimedOut.bTimedOut = true;
    Peer->UpdateUploadSpeedState(0, 120.0, TimedOut);
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning, "QuorvexSDK: upload timed out, slow tick"));
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning, "QuorvexSDK: Entered slow network mode. "
                                                "reason=timeout bytesPerSecond=1000000"));
}

TEST_F(SlowNetwork, ASendThatFindsTheUploadStillInFlightIsASlowObservation)
{
    StartCapturing();
    Peer->SetInFlightUploads(1);
    Peer->SendDataPayload(false, false);
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning,
                        "QuorvexSDK: Entered slow network mode. reason=upload-in-flight"));
    EXPECT_TRUE(
        Log.Has(ELogVerbosity::Log, "QuorvexSDK: upload still in flight, no live batch to buffer"));
    Peer->SetInFlightUploads(0);
}

TEST_F(SlowNetwork, TheServersThresholdWinsWhenSet)
{
    FQuorvexSessionData Data = MakeSession();
    Data.CaptureConfig.MinUploadBitsPerSecond = 250000;
    StartCapturing(Data);
    EXPECT_EQ(Peer->GetCurrentMinUploadBitsPerSecond(), 250000);
}

TEST_F(SlowNetwork, WithoutAServerThresholdThePropertysAtLeastOneBitPerSecond)
{
    EXPECT_EQ(Peer->GetCurrentMinUploadBitsPerSecond(), 1000000) << "no session: the property";
    Subsystem->MinUploadBitsPerSecond = 0; // clamped to 1
    FQuorvexSessionData Data = MakeSession();
    Data.CaptureConfig.MinUploadBitsPerSecond = 0;
    StartCapturing(Data);
    EXPECT_EQ(Peer->GetCurrentMinUploadBitsPerSecond(), 1);
}

TEST(NetworkType, NamesAndTheDesktopAnswers)
{
    EXPECT_EQ(FQuorvexSubsystemTestPeer::NetworkTypeToString(EQuorvexNetworkType::Wifi), "Wifi");
    EXPECT_EQ(FQuorvexSubsystemTestPeer::NetworkTypeToString(EQuorvexNetworkType::MobileData),
              "MobileData");
    for (const uint8 Value : {2, 3, 255})
    {
        EXPECT_EQ(
            FQuorvexSubsystemTestPeer::NetworkTypeToString(static_cast<EQuorvexNetworkType>(Value)),
            "Offline");
    }
}

TEST_F(SlowNetwork, ReleasingAnEmptySlotLogsAndKeepsTheCountAtZero)
{
    Peer->ReleaseInFlightUpload();
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning, "QuorvexSDK: In-flight upload released while the "
                                                "count was already 0; ignoring."));
    EXPECT_EQ(Peer->InFlightUploads(), 0);
}
} // namespace
