// Every frame the pipeline delivers shows the frame it was requested for: the scene
// stamps each frame's number into the image, the GPU completes work up to three
// frames late, and some presents hand out no back buffer, so a copy is skipped. A
// skipped frame must be dropped by the watchdog and counted, never replaced by an
// earlier frame that a reused readback still holds.
#include "CapturePipelineTestFixture.h"
#include "Clock.h"

namespace
{
struct FIdentityCase
{
    ERHIInterfaceType Interface;
    int32 LatencyFrames;
};

std::string CaseName(const ::testing::TestParamInfo<FIdentityCase>& Info)
{
    return std::string(Info.param.Interface == ERHIInterfaceType::D3D12 ? "D3D12" : "Generic") +
           "Latency" + std::to_string(Info.param.LatencyFrames);
}
} // namespace

class CapturePipelineFrameIdentity : public CapturePipelineTestBase,
                                     public ::testing::WithParamInterface<FIdentityCase>
{
protected:
    void SetUp() override
    {
        CapturePipelineTestBase::SetUp();
        FTestSceneOptions Options;
        Options.Interface = GetParam().Interface;
        Options.GpuLatencyFrames = GetParam().LatencyFrames;
        Options.OverlaySize = {0.f, 0.f};
        Options.bStampFrameNumber = true;
        StartScene(Options);
    }

    // The frame the next engine tick renders, as the stamp holds it.
    int64 NextFrameStamp() const
    {
        return static_cast<int64>((Scene->Loop.GetFrameCount() + 1) &
                                  ((1u << FTestEngineScene::FrameStampBits) - 1));
    }
};

TEST_P(CapturePipelineFrameIdentity, DeliveredFramesShowTheirOwnFrameAndSkippedOnesAreDropped)
{
    FScopedFrozenClock Clock; // each engine tick moves it by one frame
    int32 Skipped = 0;
    int32 Delivered = 0;
    for (int32 Request = 0; Request < 9; ++Request)
    {
        // Scaled, so the generic path reuses its cached readback from frame to frame.
        const bool bHiccup = Request % 3 == 1;
        auto Frame = std::make_shared<FCapturedFrame>();
        const int64 Expected = NextFrameStamp();
        Pipeline->RequestFrame(64, 48, Recorder(Frame));
        if (bHiccup)
        {
            // The present of the requested frame has no back buffer: no copy.
            GDynamicRHI->GetTestHooks().bNullBackBuffer = true;
            Scene->Tick();
            GDynamicRHI->GetTestHooks().bNullBackBuffer = false;
            ++Skipped;
        }
        ASSERT_TRUE(RunFramesUntil([&] { return !Pipeline->IsFrameInFlight(); }));
        FTaskGraph::WaitForBackgroundIdle();
        if (bHiccup)
        {
            EXPECT_FALSE(Frame->bDelivered.load())
                << "request " << Request << " delivered frame "
                << FTestEngineScene::ReadFrameStamp(Frame->Rgb.data(), Frame->Width, Frame->Height)
                << " for a skipped copy";
            continue;
        }
        ASSERT_TRUE(Frame->bDelivered.load()) << "request " << Request;
        ++Delivered;
        ASSERT_EQ(Frame->Width, 64);
        EXPECT_EQ(FTestEngineScene::ReadFrameStamp(Frame->Rgb.data(), Frame->Width, Frame->Height),
                  Expected)
            << "request " << Request;
    }
    EXPECT_EQ(Delivered, 6);
    EXPECT_EQ(Pipeline->GetReadbackTimeoutCount(), Skipped);
}

INSTANTIATE_TEST_SUITE_P(EveryPathAndLatency, CapturePipelineFrameIdentity,
                         ::testing::Values(FIdentityCase{ERHIInterfaceType::Vulkan, 0},
                                           FIdentityCase{ERHIInterfaceType::Vulkan, 1},
                                           FIdentityCase{ERHIInterfaceType::Vulkan, 2},
                                           FIdentityCase{ERHIInterfaceType::Vulkan, 3},
                                           FIdentityCase{ERHIInterfaceType::D3D12, 0},
                                           FIdentityCase{ERHIInterfaceType::D3D12, 3}),
                         CaseName);
