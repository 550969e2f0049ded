// Every frame the pipeline delivers shows the frame it was requested for: the scene
// stamps each frame's number into the image, the render thread runs up to three
// frames behind the game thread, the GPU completes work up to three frames after
// that, some presents hand out no back buffer (so a copy is skipped) and the window
// is sometimes minimised. A skipped frame must be dropped by the watchdog and
// counted, never replaced by an earlier frame that a reused readback still holds.
#include "CapturePipelineTestFixture.h"
#include "Clock.h"

namespace
{
struct FIdentityCase
{
    ERHIInterfaceType Interface;
    int32 RenderLagFrames;
    int32 GpuLatencyFrames;
};

std::string CaseName(const ::testing::TestParamInfo<FIdentityCase>& Info)
{
    return std::string(Info.param.Interface == ERHIInterfaceType::D3D12 ? "D3D12" : "Generic") +
           "Lag" + std::to_string(Info.param.RenderLagFrames) + "Latency" +
           std::to_string(Info.param.GpuLatencyFrames);
}

// Render-thread test hooks must change at a point of the render thread's own
// timeline, which runs frames behind the game thread's.
void SetNullBackBufferOnRenderThread(bool bNull)
{
    EnqueueRenderCommand("TestNullBackBuffer",
                         [bNull] { GDynamicRHI->GetTestHooks().bNullBackBuffer = bNull; });
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
        Options.RenderThreadLagFrames = GetParam().RenderLagFrames;
        Options.GpuLatencyFrames = GetParam().GpuLatencyFrames;
        Options.OverlaySize = {0.f, 0.f};
        Options.bStampFrameNumber = true;
        StartScene(Options);
    }

    // The frame the next engine tick renders, as the stamp holds it.
    int64 NextFrameStamp() const { return FFrameStamp::ValueOf(Scene->Loop.GetFrameCount() + 1); }

    static int64 Shown(const FCapturedFrame& Frame)
    {
        return FFrameStamp::Read(Frame.Rgb.data(), Frame.Width, Frame.Height);
    }

    // Runs engine frames until the request is done, then lets its worker finish.
    void FinishRequest()
    {
        ASSERT_TRUE(RunFramesUntil([&] { return !Pipeline->IsFrameInFlight(); }));
        FlushRenderingCommands();
        FTaskGraph::WaitForBackgroundIdle();
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
            SetNullBackBufferOnRenderThread(true);
            Scene->Tick();
            SetNullBackBufferOnRenderThread(false);
            ++Skipped;
        }
        FinishRequest();
        if (bHiccup)
        {
            EXPECT_FALSE(Frame->bDelivered.load()) << "request " << Request << " delivered frame "
                                                   << Shown(*Frame) << " for a skipped copy";
            continue;
        }
        ASSERT_TRUE(Frame->bDelivered.load()) << "request " << Request;
        ++Delivered;
        ASSERT_EQ(Frame->Width, 64);
        EXPECT_EQ(Shown(*Frame), Expected) << "request " << Request;
    }
    EXPECT_EQ(Delivered, 6);
    EXPECT_EQ(Pipeline->GetReadbackTimeoutCount(), Skipped);
}

TEST_P(CapturePipelineFrameIdentity, MinimisedWindowDeliversTheFirstFramePresentedAfterwards)
{
    FScopedFrozenClock Clock;
    // A short hiccup: the request waits for the window's next present.
    auto Late = std::make_shared<FCapturedFrame>();
    Pipeline->RequestFrame(64, 48, Recorder(Late));
    Scene->Window->SetMinimized(true);
    Scene->Tick(3);
    Scene->Window->SetMinimized(false);
    const int64 FirstPresented = NextFrameStamp();
    FinishRequest();
    ASSERT_TRUE(Late->bDelivered.load());
    EXPECT_EQ(Shown(*Late), FirstPresented);

    // Minimised for longer than the watchdog: dropped and counted, and the next
    // request after the restore shows its own frame.
    auto Dropped = std::make_shared<FCapturedFrame>();
    Pipeline->RequestFrame(64, 48, Recorder(Dropped));
    Scene->Window->SetMinimized(true);
    ASSERT_TRUE(RunFramesUntil([&] { return !Pipeline->IsFrameInFlight(); }));
    Scene->Window->SetMinimized(false);
    FinishRequest();
    EXPECT_FALSE(Dropped->bDelivered.load());
    EXPECT_EQ(Pipeline->GetReadbackTimeoutCount(), 1);
    auto After = std::make_shared<FCapturedFrame>();
    const int64 Expected = NextFrameStamp();
    Pipeline->RequestFrame(64, 48, Recorder(After));
    FinishRequest();
    ASSERT_TRUE(After->bDelivered.load());
    EXPECT_EQ(Shown(*After), Expected);
}

INSTANTIATE_TEST_SUITE_P(EveryPathLagAndLatency, CapturePipelineFrameIdentity,
                         ::testing::Values(FIdentityCase{ERHIInterfaceType::Vulkan, 0, 0},
                                           FIdentityCase{ERHIInterfaceType::Vulkan, 0, 2},
                                           FIdentityCase{ERHIInterfaceType::Vulkan, 1, 1},
                                           FIdentityCase{ERHIInterfaceType::Vulkan, 2, 3},
                                           FIdentityCase{ERHIInterfaceType::Vulkan, 3, 0},
                                           FIdentityCase{ERHIInterfaceType::Vulkan, 3, 3},
                                           FIdentityCase{ERHIInterfaceType::D3D12, 0, 0},
                                           FIdentityCase{ERHIInterfaceType::D3D12, 1, 2},
                                           FIdentityCase{ERHIInterfaceType::D3D12, 3, 3}),
                         CaseName);
