// The per-session capture counters a stop reports: a session against the dev
// backend on a GPU that never finishes its work, driven only through the public API.
#include "Clock.h"
#include "DynamicRhi.h"
#include "QuorvexCapturePipeline.h"
#include "SubsystemBackendTestBase.h"
#include "TestEngineScene.h"

#include <gtest/gtest.h>
#include <memory>

namespace
{
using EResp = EQuorvexSdkResponse;

const char* const BusyLine = "QuorvexSDK: Frames skipped due to readback-busy this session: ";
const char* const DroppedLine =
    "QuorvexSDK: Frames dropped by the readback watchdog this session: ";
const char* const WatchdogWarning = "QuorvexSDK: Frame dropped: readback did not complete";

class CaptureStopCounters : public FSubsystemBackendTestBase
{
protected:
    // Every engine frame of TickSeconds asks for one capture.
    static constexpr float TickSeconds = 0.5f;

    void SetUp() override
    {
        Scene = std::make_unique<FTestEngineScene>();
        FSubsystemBackendTestBase::SetUp();
        Scene->Tick(2);
    }

    void TearDown() override
    {
        GDynamicRHI->GetTimeline().SetWorkNeverCompletes(false);
        FSubsystemBackendTestBase::TearDown();
        Scene.reset();
    }

    nlohmann::json CaptureConfig() const override
    {
        nlohmann::json Config = FDevBackendOptions::DefaultCaptureConfig();
        Config["captureIntervalSeconds"] = TickSeconds;
        Config["stopCaptureCpuUsagePercent"] = 0;
        return Config;
    }

    // Runs engine frames (each ticks the subsystem) until Condition holds.
    bool FramesUntil(const std::function<bool()>& Condition)
    {
        return PumpUntil(
            [&]
            {
                if (Condition())
                {
                    return true;
                }
                Scene->Loop.Tick(TickSeconds);
                return false;
            });
    }

    void Start()
    {
        FCompletionProbe Started;
        Subsystem->StartSessionNative("p", "", Started.Callback());
        ASSERT_TRUE(FramesUntil([&] { return Started.Calls > 0; }));
        ASSERT_EQ(Started.Response, EResp::QUORVEX_SUCCESS);
    }

    void Stop()
    {
        FCompletionProbe Stopped;
        Subsystem->StopSessionNative(Stopped.Callback());
        ASSERT_TRUE(FramesUntil([&] { return Stopped.Calls > 0; }));
    }

    std::unique_ptr<FTestEngineScene> Scene;
};
} // namespace

TEST_F(CaptureStopCounters, StopReportsTheSessionsBusySkipsAndWatchdogDrops)
{
    FScopedFrozenClock Clock;
    GDynamicRHI->GetTimeline().SetWorkNeverCompletes(true);
    Start();
    // The first frame after the warm-up never completes, until the watchdog gives up.
    ASSERT_TRUE(FramesUntil([&] { return Log.Contains(WatchdogWarning); }));
    Stop();
    // While the frame is in flight the subsystem's encode backlog turns the requests
    // away before they reach the pipeline; the request of the frame the watchdog
    // dropped it in comes after the drop released the backlog, while the pipeline
    // is still cancelling, and is the one busy skip.
    EXPECT_TRUE(Log.Has(ELogVerbosity::Log, FString(BusyLine) + "1"));
    EXPECT_TRUE(Log.Has(ELogVerbosity::Log, FString(DroppedLine) + "1"));
    EXPECT_EQ(Log.Count(BusyLine), 1);
    EXPECT_EQ(Log.Count(DroppedLine), 1);

    // The counters belong to a session: a healthy one reports neither.
    GDynamicRHI->GetTimeline().SetWorkNeverCompletes(false);
    Log.Clear();
    Start();
    const int32 Captures = FQuorvexCapturePipeline::WarmupTarget + 2;
    for (int32 Frame = 0; Frame < Captures; ++Frame)
    {
        Scene->Loop.Tick(TickSeconds);
    }
    Stop();
    EXPECT_EQ(Log.Count(BusyLine), 0);
    EXPECT_EQ(Log.Count(DroppedLine), 0);
    EXPECT_TRUE(Log.Contains("QuorvexSDK: Capture stopped. reason="));
}
