#include "EngineLoop.h"

#include "Clock.h"
#include "DynamicRhi.h"
#include "GameEngine.h"
#include "SlateApplication.h"
#include "Tasks.h"
#include "Tickable.h"
#include "Viewport.h"

FEngineLoop::FEngineLoop()
{
    FTaskGraph::SetGameThread();
}

void FEngineLoop::SetHostTick(std::function<void(float)> InHostTick)
{
    HostTick = std::move(InHostTick);
}

void FEngineLoop::Tick(float DeltaSeconds, bool bAdvanceClock)
{
    if (bAdvanceClock && FClock::IsFrozen())
    {
        FClock::Advance(DeltaSeconds);
    }
    ++FrameCount;
    FTaskGraph::BeginRenderFrame();
    FTaskGraph::PumpGameThreadTasks();
    if (FSlateApplication::IsInitialized())
    {
        // The input step: the platform's messages reach Slate's preprocessors and
        // the game before anything ticks this frame.
        FSlateApplication::Get().PumpMessages();
    }
    FTickableGameObject::TickObjects(DeltaSeconds);
    if (HostTick)
    {
        HostTick(DeltaSeconds);
    }
    RenderFrame();
    FTaskGraph::EndRenderFrame();
}

void FEngineLoop::RenderFrame()
{
    if (GEngine && GEngine->GameViewport)
    {
        GEngine->GameViewport->Draw(FrameCount);
    }
    if (FSlateApplication::IsInitialized())
    {
        FSlateApplication::Get().DrawWindows();
    }
    if (GDynamicRHI)
    {
        EnqueueRenderCommand("RHIEndFrame",
                             []
                             {
                                 if (GDynamicRHI)
                                 {
                                     GDynamicRHI->EndFrame_RenderThread();
                                 }
                             });
    }
}
