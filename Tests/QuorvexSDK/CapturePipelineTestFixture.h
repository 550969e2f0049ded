// A running scene with a capture pipeline wired to the engine hooks the way the
// subsystem wires it, and a frame callback that records what it was handed.
#pragma once

#include "Logging.h"
#include "PlatformTime.h"
#include "QuorvexCapturePipeline.h"
#include "QuorvexEngineAbi.h"
#include "QuorvexLog.h"
#include "Reflection.h"
#include "Tasks.h"
#include "TestEngineScene.h"
#include "TestSupport.h"

#include <array>
#include <atomic>
#include <cmath>
#include <memory>
#include <vector>

// What one frame callback received. Written on the worker before bDelivered.
struct FCapturedFrame
{
    std::atomic<bool> bDelivered{false};
    std::atomic<int32> Calls{0};
    int32 Width = 0;
    int32 Height = 0;
    int32 DurationMs = -1;
    // Rounded milliseconds from before the request until the callback ran: the
    // pipeline's own measurement lies inside that span, so it can be at most this.
    int32 ElapsedBoundMs = -2;
    bool bOnWorker = false;
    std::vector<uint8> Rgb;

    std::array<uint8, 3> At(int32 X, int32 Y) const
    {
        const uint8* P = Rgb.data() + (static_cast<size_t>(Y) * Width + X) * 3;
        return {P[0], P[1], P[2]};
    }
};

class CapturePipelineTestBase : public FEngineTestBase
{
protected:
    // Builds the scene, the pipeline and its hooks, renders one frame so the hooks
    // know the window and viewport, and finishes the warm-up.
    void StartScene(const FTestSceneOptions& Options = {}, bool bCompositeHook = true)
    {
        Scene = std::make_unique<FTestEngineScene>(Options);
        Pipeline = std::make_unique<FQuorvexCapturePipeline>();
        FQuorvexEngineAbi::SetSlateCaptureDisabled(!bCompositeHook);
        FQuorvexEngineAbi::SetBackBufferReadyHandler(
            [P = Pipeline.get()](SWindow* Window, FRHITexture* BackBuffer)
            { P->OnBackBufferReadyToPresent_RenderThread(Window, BackBuffer); });
        FQuorvexEngineAbi::SetViewportRenderedHandler([P = Pipeline.get()](FViewport* Viewport)
                                                      { P->OnViewportRendered(Viewport); });
        FQuorvexEngineAbi::Activate();
        Scene->Loop.SetHostTick([P = Pipeline.get()](float) { P->TickReadback(); });
        Scene->Tick();
        SkipWarmup();
    }

    void TearDown() override
    {
        FQuorvexEngineAbi::SetBackBufferReadyHandler(nullptr);
        FQuorvexEngineAbi::SetViewportRenderedHandler(nullptr);
        FQuorvexEngineAbi::Deactivate();
        FQuorvexEngineAbi::SetSlateCaptureDisabled(false);
        Pipeline.reset();
        // Reading a readback before its copy completed is a fault of the pipeline.
        if (GDynamicRHI)
        {
            EXPECT_EQ(GDynamicRHI->GetValidationErrorCount(), 0);
        }
        Scene.reset();
        FReflectionRegistry::ResetToEngineLayout();
        FQuorvexEngineAbi::ResetLayoutVerdictForTests();
        FQuorvexLogSwitches::SetTimingLogsEnabled(false);
        FQuorvexLogSwitches::SetDebugLogsEnabled(true);
        FEngineTestBase::TearDown();
    }

    void SkipWarmup()
    {
        Pipeline->ResetSessionState();
        for (int32 I = 0; I < FQuorvexCapturePipeline::WarmupTarget; ++I)
        {
            Pipeline->RequestFrame(0, 0, [](FQuorvexRowSource, int32, int32, int32) {});
        }
    }

    // A callback that copies every row into Frame. Token lives as long as the callback.
    static FQuorvexFrameCallback Recorder(std::shared_ptr<FCapturedFrame> Frame,
                                          std::shared_ptr<int> Token = nullptr)
    {
        return [Frame, Token, Start = FPlatformTime::Seconds()](FQuorvexRowSource Rows, int32 W,
                                                                int32 H, int32 DurationMs)
        {
            ++Frame->Calls;
            Frame->bOnWorker = !IsInGameThread() && !IsInRenderingThread();
            Frame->Width = W;
            Frame->Height = H;
            Frame->DurationMs = DurationMs;
            Frame->ElapsedBoundMs =
                static_cast<int32>(std::floor((FPlatformTime::Seconds() - Start) * 1000.0 + 0.5));
            Frame->Rgb.clear();
            for (int32 Row = 0; Row < H; ++Row)
            {
                const uint8* Data = Rows(Row);
                if (!Data)
                {
                    break;
                }
                Frame->Rgb.insert(Frame->Rgb.end(), Data, Data + W * 3);
            }
            Frame->bDelivered.store(true);
        };
    }

    // Requests a frame and runs engine frames until it was delivered.
    std::shared_ptr<FCapturedFrame> CaptureOne(int32 TargetWidth = 0, int32 TargetHeight = 0)
    {
        auto Frame = std::make_shared<FCapturedFrame>();
        Pipeline->RequestFrame(TargetWidth, TargetHeight, Recorder(Frame));
        EXPECT_TRUE(RunFramesUntil([&] { return Frame->bDelivered.load(); }));
        // Let the worker's hand-back return the pipeline to Idle.
        EXPECT_TRUE(PumpUntil([&] { return !Pipeline->IsFrameInFlight(); }));
        return Frame;
    }

    // Runs engine frames (pumping game-thread tasks) until Condition holds.
    bool RunFramesUntil(const std::function<bool()>& Condition)
    {
        return PumpUntil(
            [&]
            {
                if (Condition())
                {
                    return true;
                }
                Scene->Tick();
                return false;
            });
    }

    std::unique_ptr<FTestEngineScene> Scene;
    std::unique_ptr<FQuorvexCapturePipeline> Pipeline;
    FLogCapture Log;
};
