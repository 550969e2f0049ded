// The per-session capture counters a stop reports: a session against the dev
// backend on a GPU that never finishes its work, driven only through the public API.
#include "Clock.h"
#include "DynamicRhi.h"
#include "QuorvexCapturePipeline.h"
#include "SceneBackendTestBase.h"

#include <gtest/gtest.h>

namespace
{
const char* const BusyLine = "QuorvexSDK: Frames skipped due to readback-busy this session: ";
const char* const DroppedLine =
    "QuorvexSDK: Frames dropped by the readback watchdog this session: ";
const char* const WatchdogWarning = "QuorvexSDK: Frame dropped: readback did not complete";

class CaptureStopCounters : public FSceneBackendTestBase
{
protected:
    void TearDown() override
    {
        GDynamicRHI->GetTimeline().SetWorkNeverCompletes(false);
        FSceneBackendTestBase::TearDown();
    }
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
