// The capture pipeline's protocol: warm-up, busy skips, the watchdog, failures at
// every stage, release while a frame is being read, and the interface name.
#include "CapturePipelineTestFixture.h"
#include "Clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace
{
class CapturePipelineTest : public CapturePipelineTestBase
{
protected:
    // A request whose callback only reports whether it ran; Token dies with it.
    void RequestWithToken(std::weak_ptr<int>& OutToken, std::atomic<bool>& bRan, int32 W = 0,
                          int32 H = 0)
    {
        auto Token = std::make_shared<int>(0);
        OutToken = Token;
        Pipeline->RequestFrame(
            W, H, [Token, &bRan](FQuorvexRowSource, int32, int32, int32) { bRan = true; });
    }
};

const char* const BusyWarning =
    "QuorvexSDK: Frame skipped: prior readback still in flight (subsequent occurrences will be "
    "aggregated and reported on Stop)";
const char* const WatchdogWarning = "QuorvexSDK: Frame dropped: readback did not complete within ";
} // namespace

TEST_F(CapturePipelineTest, FirstFiveRequestsAreSkippedAndTheSixthCaptured)
{
    StartScene();
    Pipeline->ResetSessionState();
    Log.Clear();
    for (int32 I = 1; I <= 5; ++I)
    {
        std::weak_ptr<int> Token;
        std::atomic<bool> bRan{false};
        RequestWithToken(Token, bRan);
        EXPECT_TRUE(Token.expired()) << I; // destroyed unexecuted
        EXPECT_FALSE(Pipeline->IsFrameInFlight());
        EXPECT_TRUE(Log.Has(ELogVerbosity::Log,
                            "QuorvexSDK: [Warmup] cycle " + std::to_string(I) + "/5 - skipped"));
    }
    EXPECT_EQ(Pipeline->GetReadbackBusySkipCount(), 0);
    const auto Frame = CaptureOne();
    EXPECT_EQ(Frame->Calls.load(), 1);

    // The warm-up lines are debug lines.
    FQuorvexLogSwitches::SetDebugLogsEnabled(false);
    Log.Clear();
    SkipWarmup();
    EXPECT_EQ(Log.Count("[Warmup]"), 0);
    EXPECT_EQ(CaptureOne()->Calls.load(), 1);
}

TEST_F(CapturePipelineTest, BusyRequestsAreCountedAndWarnedOncePerSession)
{
    StartScene();
    auto Frame = std::make_shared<FCapturedFrame>();
    Pipeline->RequestFrame(0, 0, Recorder(Frame));
    ASSERT_TRUE(Pipeline->IsFrameInFlight());
    for (int32 I = 0; I < 3; ++I)
    {
        std::weak_ptr<int> Token;
        std::atomic<bool> bRan{false};
        RequestWithToken(Token, bRan);
        EXPECT_TRUE(Token.expired());
    }
    EXPECT_EQ(Pipeline->GetReadbackBusySkipCount(), 3);
    EXPECT_EQ(Log.Count(BusyWarning), 1);
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning, BusyWarning));
    ASSERT_TRUE(RunFramesUntil([&] { return Frame->bDelivered.load(); }));
    ASSERT_TRUE(PumpUntil([&] { return !Pipeline->IsFrameInFlight(); }));

    // A new session counts and warns afresh.
    SkipWarmup();
    EXPECT_EQ(Pipeline->GetReadbackBusySkipCount(), 0);
    Pipeline->RequestFrame(0, 0, [](FQuorvexRowSource, int32, int32, int32) {});
    Pipeline->RequestFrame(0, 0, [](FQuorvexRowSource, int32, int32, int32) {});
    EXPECT_EQ(Pipeline->GetReadbackBusySkipCount(), 1);
    EXPECT_EQ(Log.Count(BusyWarning), 2);
}

TEST_F(CapturePipelineTest, WatchdogNeedsEightTicksAndMoreThanTwoSeconds)
{
    StartScene();
    struct FCase
    {
        int32 Ticks;
        double Seconds;
        bool bDropped;
    };
    // The window is never presented (no engine frames run), so the frame stays in flight.
    const FCase Cases[] = {{7, 3.0, false}, {8, 2.0, false}, {8, 2.01, true}, {12, 2.5, true}};
    int32 Drops = 0;
    for (const FCase& Case : Cases)
    {
        SCOPED_TRACE(testing::Message() << Case.Ticks << " ticks, " << Case.Seconds << " s");
        FScopedFrozenClock Clock;
        std::weak_ptr<int> Token;
        std::atomic<bool> bRan{false};
        RequestWithToken(Token, bRan);
        Clock.Advance(Case.Seconds);
        for (int32 I = 0; I < Case.Ticks; ++I)
        {
            Pipeline->TickReadback();
        }
        Drops += Case.bDropped;
        EXPECT_EQ(Pipeline->GetReadbackTimeoutCount(), Drops);
        EXPECT_EQ(Token.expired(), Case.bDropped);
        if (Case.bDropped)
        {
            // The render thread cancels the armed frame, then the pipeline is Idle again.
            EXPECT_TRUE(PumpUntil([&] { return !Pipeline->IsFrameInFlight(); }));
        }
        else
        {
            Pipeline->Release();
        }
        EXPECT_FALSE(bRan);
    }
    EXPECT_EQ(Log.Count(WatchdogWarning), 1);
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning,
                        "QuorvexSDK: Frame dropped: readback did not complete within 2.0s / 8 "
                        "ticks. Capture continues; subsequent occurrences will be aggregated and "
                        "reported on Stop."));
}

TEST_F(CapturePipelineTest, HungGpuFrameIsDroppedAndCaptureContinues)
{
    for (const ERHIInterfaceType Interface : {ERHIInterfaceType::Vulkan, ERHIInterfaceType::D3D12})
    {
        SCOPED_TRACE(static_cast<int>(Interface));
        FTestSceneOptions Options;
        Options.Interface = Interface;
        StartScene(Options, /*bCompositeHook=*/false);
        FScopedFrozenClock Clock;
        GDynamicRHI->GetTimeline().SetWorkNeverCompletes(true);
        std::weak_ptr<int> Token;
        std::atomic<bool> bRan{false};
        RequestWithToken(Token, bRan);
        for (int32 Frame = 0; Frame < 12 && Pipeline->GetReadbackTimeoutCount() == 0; ++Frame)
        {
            Scene->Loop.Tick(0.5f); // half a second per frame
            FlushRenderingCommands();
        }
        EXPECT_EQ(Pipeline->GetReadbackTimeoutCount(), 1);
        ASSERT_TRUE(PumpUntil([&] { return !Pipeline->IsFrameInFlight(); }));
        EXPECT_TRUE(Token.expired());
        EXPECT_FALSE(bRan);
        GDynamicRHI->GetTimeline().SetWorkNeverCompletes(false);
        EXPECT_EQ(CaptureOne()->Calls.load(), 1);
        TearDown();
        FEngineTestBase::SetUp();
    }
}

TEST_F(CapturePipelineTest, NullBackBufferLeavesTheFrameToTheWatchdog)
{
    StartScene();
    FScopedFrozenClock Clock;
    GDynamicRHI->GetTestHooks().bNullBackBuffer = true;
    std::weak_ptr<int> Token;
    std::atomic<bool> bRan{false};
    RequestWithToken(Token, bRan);
    for (int32 Frame = 0; Frame < 8; ++Frame)
    {
        Scene->Loop.Tick(0.5f);
        FlushRenderingCommands();
    }
    EXPECT_EQ(Log.Count("QuorvexSDK: Frame skipped: null back buffer at present (composite path)"),
              1);
    EXPECT_TRUE(Log.Has(ELogVerbosity::Error,
                        "QuorvexSDK: Frame skipped: null back buffer at present (composite path)"));
    EXPECT_EQ(Pipeline->GetReadbackTimeoutCount(), 1);
    EXPECT_TRUE(PumpUntil([&] { return !Pipeline->IsFrameInFlight(); }));
    EXPECT_FALSE(bRan);
    GDynamicRHI->GetTestHooks().bNullBackBuffer = false;
    EXPECT_EQ(CaptureOne()->Calls.load(), 1);
}

TEST_F(CapturePipelineTest, ReadFailuresSkipTheFrameAndTheNextOneWorks)
{
    struct FCase
    {
        ERHIInterfaceType Interface;
        bool bComposite;
        const char* Error;
    };
    const FCase Cases[] = {
        {ERHIInterfaceType::Vulkan, true,
         "QuorvexSDK: Frame skipped: Readback->Lock returned null Lock="},
        {ERHIInterfaceType::Vulkan, false,
         "QuorvexSDK: Frame skipped: Readback->Lock returned null Lock="},
        {ERHIInterfaceType::D3D12, true,
         "QuorvexSDK: Frame skipped: DX12 Map failed HR=0x80004005 ptr="},
        {ERHIInterfaceType::D3D12, false,
         "QuorvexSDK: Frame skipped: DX12 Map failed HR=0x80004005 ptr="},
    };
    for (const FCase& Case : Cases)
    {
        SCOPED_TRACE(Case.Error);
        FTestSceneOptions Options;
        Options.Interface = Case.Interface;
        StartScene(Options, Case.bComposite);
        GDynamicRHI->GetTestHooks().bFailReadbackLock = true;
        GDynamicRHI->GetTestHooks().MapFailure = E_FAIL;
        std::weak_ptr<int> Token;
        std::atomic<bool> bRan{false};
        RequestWithToken(Token, bRan);
        ASSERT_TRUE(RunFramesUntil([&] { return Token.expired(); }));
        ASSERT_TRUE(PumpUntil([&] { return !Pipeline->IsFrameInFlight(); }));
        EXPECT_FALSE(bRan);
        EXPECT_EQ(Log.Count(Case.Error), 1);
        GDynamicRHI->GetTestHooks().bFailReadbackLock = false;
        GDynamicRHI->GetTestHooks().MapFailure = 0;
        EXPECT_EQ(CaptureOne()->Calls.load(), 1);
        Log.Clear();
        TearDown();
        FEngineTestBase::SetUp();
    }
}

TEST_F(CapturePipelineTest, UnhandledFormatIsDroppedOnBothReadbacks)
{
    for (const ERHIInterfaceType Interface : {ERHIInterfaceType::Vulkan, ERHIInterfaceType::D3D12})
    {
        FTestSceneOptions Options;
        Options.Interface = Interface;
        Options.ViewportFormat = PF_A32B32G32R32F;
        StartScene(Options, /*bCompositeHook=*/false);
        std::weak_ptr<int> Token;
        std::atomic<bool> bRan{false};
        RequestWithToken(Token, bRan);
        ASSERT_TRUE(RunFramesUntil([&] { return Token.expired(); }));
        ASSERT_TRUE(PumpUntil([&] { return !Pipeline->IsFrameInFlight(); }));
        EXPECT_FALSE(bRan);
        EXPECT_TRUE(Log.Has(ELogVerbosity::Error,
                            "QuorvexSDK: Frame skipped: unhandled backbuffer format 1"));
        Log.Clear();
        TearDown();
        FEngineTestBase::SetUp();
    }
}

TEST_F(CapturePipelineTest, MissingViewportOrTargetSkipsTheFrame)
{
    StartScene({}, /*bCompositeHook=*/false);
    // No rendered viewport known.
    FQuorvexEngineAbi::Deactivate();
    std::weak_ptr<int> Token;
    std::atomic<bool> bRan{false};
    RequestWithToken(Token, bRan);
    Pipeline->OnViewportRendered(nullptr);
    EXPECT_TRUE(Token.expired());
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning, "QuorvexSDK: Frame skipped: engine-rendered "
                                                "viewport unavailable (FQuorvexEngineAbi)"));
    EXPECT_FALSE(Pipeline->IsFrameInFlight());

    // A viewport without a render target: the render thread skips, the watchdog ends it.
    FQuorvexEngineAbi::Activate();
    Scene->Tick();
    Scene->Client->GetGameViewport()->SetRenderTargetWithheld(true);
    FScopedFrozenClock Clock;
    RequestWithToken(Token, bRan);
    for (int32 Frame = 0; Frame < 9 && Pipeline->GetReadbackTimeoutCount() == 0; ++Frame)
    {
        Scene->Loop.Tick(0.5f);
        FlushRenderingCommands();
    }
    EXPECT_TRUE(Log.Has(ELogVerbosity::Error, "QuorvexSDK: Frame skipped: GetRenderTargetTexture "
                                              "returned null on RT (fallback path)"));
    EXPECT_EQ(Pipeline->GetReadbackTimeoutCount(), 1);
    EXPECT_FALSE(bRan);
}

TEST_F(CapturePipelineTest, ReleaseWhileProcessingWaitsForTheWorkerAndCaptureResumes)
{
    StartScene();
    std::atomic<bool> bEntered{false};
    std::atomic<bool> bFinished{false};
    std::shared_ptr<std::atomic<bool>> Abort = Pipeline->GetEncodeAbortFlag();
    Pipeline->RequestFrame(0, 0,
                           [&, Abort](FQuorvexRowSource Rows, int32, int32, int32)
                           {
                               bEntered = true;
                               // Like an encode, it runs until the pipeline asks it to stop.
                               Abort->wait(false);
                               bFinished = Rows(0) != nullptr;
                           });
    ASSERT_TRUE(RunFramesUntil([&] { return bEntered.load(); }));
    EXPECT_FALSE(Abort->load());
    Pipeline->Release();
    EXPECT_TRUE(bFinished);
    EXPECT_TRUE(Abort->load());
    EXPECT_FALSE(Pipeline->IsFrameInFlight());
    EXPECT_EQ(Log.Count("readback worker(s) still in flight"), 0);

    const auto Frame = CaptureOne();
    EXPECT_EQ(Frame->Calls.load(), 1);
    EXPECT_FALSE(Abort->load()); // cleared by the accepted request
}

TEST_F(CapturePipelineTest, ReleaseOfAnArmedFrameDestroysItsCallback)
{
    StartScene();
    std::weak_ptr<int> Token;
    std::atomic<bool> bRan{false};
    RequestWithToken(Token, bRan, 64, 48);
    ASSERT_TRUE(Pipeline->IsFrameInFlight());
    Pipeline->Release();
    EXPECT_TRUE(Token.expired());
    EXPECT_FALSE(Pipeline->IsFrameInFlight());
    Scene->Tick(4); // the cancelled frame is never delivered
    EXPECT_FALSE(bRan);
    EXPECT_EQ(CaptureOne(64, 48)->Width, 64);
}

TEST_F(CapturePipelineTest, ReleaseDuringAScaledFrameLeavesNoReadbackCached)
{
    StartScene();
    const int32 LiveBefore = FRHIGPUTextureReadback::GetLiveCount();
    std::atomic<bool> bEntered{false};
    std::atomic<bool> bReleaseReturned{false};
    std::shared_ptr<std::atomic<bool>> Abort = Pipeline->GetEncodeAbortFlag();
    Pipeline->RequestFrame(64, 48,
                           [&, Abort](FQuorvexRowSource, int32, int32, int32)
                           {
                               bEntered = true;
                               Abort->wait(false);
                               // Holds the render thread, so the worker's unlock (queued after
                               // this) runs only once Release flushes the render thread or has
                               // already returned.
                               EnqueueRenderCommand(
                                   "TestHoldRenderThread",
                                   [&]
                                   {
                                       const auto Deadline = std::chrono::steady_clock::now() +
                                                             std::chrono::seconds(60);
                                       while (!bReleaseReturned.load() &&
                                              FTaskGraph::NumRenderFlushWaiters() == 0 &&
                                              std::chrono::steady_clock::now() < Deadline)
                                       {
                                           std::this_thread::yield();
                                       }
                                   });
                           });
    ASSERT_TRUE(RunFramesUntil([&] { return bEntered.load(); }));
    Pipeline->Release();
    bReleaseReturned = true;
    FlushRenderingCommands();
    EXPECT_EQ(FRHIGPUTextureReadback::GetLiveCount(), LiveBefore);
    EXPECT_EQ(CaptureOne(64, 48)->Width, 64);
}

TEST_F(CapturePipelineTest, SteadyStreamReusesOneReadbackScaledOrNot)
{
    struct FCase
    {
        const char* Name;
        bool bCompositeHook;
        FIntPoint Target;
    };
    const FCase Cases[] = {
        {"composite, source size", true, {0, 0}},
        {"composite, scaled", true, {64, 48}},
        {"viewport, source size", false, {0, 0}},
        {"viewport, scaled", false, {64, 48}},
    };
    for (const FCase& Case : Cases)
    {
        SCOPED_TRACE(Case.Name);
        StartScene({}, Case.bCompositeHook);
        CaptureOne(Case.Target.X, Case.Target.Y);
        const int32 Created = FRHIGPUTextureReadback::GetCreatedCount();
        for (int32 Frame = 0; Frame < 3; ++Frame)
        {
            EXPECT_EQ(CaptureOne(Case.Target.X, Case.Target.Y)->Calls.load(), 1);
        }
        EXPECT_EQ(FRHIGPUTextureReadback::GetCreatedCount(), Created);
        TearDown();
        FEngineTestBase::SetUp();
    }
}

TEST_F(CapturePipelineTest, ViewportPathRequestIsBusyAndUnderTheWatchdog)
{
    StartScene({}, /*bCompositeHook=*/false);
    Scene->Tick();
    // The hooks are gone, so the viewport is never reported rendered again.
    FQuorvexEngineAbi::Deactivate();
    FScopedFrozenClock Clock;
    std::weak_ptr<int> Token;
    std::atomic<bool> bRan{false};
    RequestWithToken(Token, bRan);
    EXPECT_TRUE(Pipeline->IsFrameInFlight());
    std::weak_ptr<int> LaterToken;
    RequestWithToken(LaterToken, bRan);
    EXPECT_EQ(Pipeline->GetReadbackBusySkipCount(), 1);
    EXPECT_TRUE(LaterToken.expired());
    EXPECT_FALSE(Token.expired()); // the first request is not silently replaced
    for (int32 Frame = 0; Frame < 9 && Pipeline->GetReadbackTimeoutCount() == 0; ++Frame)
    {
        Scene->Loop.Tick(0.5f);
        FlushRenderingCommands();
    }
    EXPECT_EQ(Pipeline->GetReadbackTimeoutCount(), 1);
    EXPECT_EQ(Log.Count(WatchdogWarning), 1);
    EXPECT_TRUE(Token.expired());
    EXPECT_FALSE(bRan);
    ASSERT_TRUE(PumpUntil([&] { return !Pipeline->IsFrameInFlight(); }));

    FQuorvexEngineAbi::Activate();
    Scene->Tick();
    EXPECT_EQ(CaptureOne()->Width, Scene->GetOptions().ViewportSize.X);
}

TEST(CapturePipelineRhiNameTest, NamesTheActiveInterface)
{
    const std::pair<ERHIInterfaceType, const char*> Cases[] = {
        {ERHIInterfaceType::D3D11, "DirectX11"}, {ERHIInterfaceType::D3D12, "DirectX12"},
        {ERHIInterfaceType::Vulkan, "Vulkan"},   {ERHIInterfaceType::Metal, "Metal"},
        {ERHIInterfaceType::Agx, "Metal"},       {ERHIInterfaceType::OpenGL, "OpenGL"},
        {ERHIInterfaceType::Null, "Unknown"},
    };
    for (const auto& [Type, Name] : Cases)
    {
        RHIInit(Type);
        EXPECT_EQ(FQuorvexCapturePipeline::GetActiveRhiApiName(), Name);
        EXPECT_EQ(FQuorvexCapturePipeline::IsNativeReadbackPathActive(),
                  Type == ERHIInterfaceType::D3D12);
    }
    RHIExit();
    EXPECT_EQ(FQuorvexCapturePipeline::GetActiveRhiApiName(), "Unknown");
    EXPECT_FALSE(FQuorvexCapturePipeline::IsNativeReadbackPathActive());
}
