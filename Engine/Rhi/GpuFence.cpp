#include "GpuFence.h"

void FRHIGpuTimeline::WriteFence(const FGPUFenceRHIRef& Fence)
{
    Fence->SignalFrame.store(NeverFrame);
    Fence->NumPendingWriteCommands.fetch_add(1);
    std::lock_guard Lock(Mutex);
    Unsubmitted.push_back(Fence);
}

void FRHIGpuTimeline::DiscardUnsubmitted()
{
    std::vector<FGPUFenceRHIRef> Dropped;
    std::lock_guard Lock(Mutex);
    Dropped.swap(Unsubmitted);
}

void FRHIGpuTimeline::EndFrame()
{
    std::vector<FGPUFenceRHIRef> Submitted;
    {
        std::lock_guard Lock(Mutex);
        Submitted.swap(Unsubmitted);
    }
    const uint64 Signal = bNeverCompletes.load()
                              ? NeverFrame
                              : CompletedFrame.load() + static_cast<uint64>(LatencyFrames.load());
    for (const FGPUFenceRHIRef& Fence : Submitted)
    {
        Fence->SignalFrame.store(Signal);
        Fence->NumPendingWriteCommands.fetch_sub(1);
    }
    CompletedFrame.fetch_add(1);
}

FRHIGPUFence::FRHIGPUFence(FString InName, std::shared_ptr<const FRHIGpuTimeline> InTimeline)
    : Name(std::move(InName)), Timeline(std::move(InTimeline))
{
}

bool FRHIGPUFence::Poll() const
{
    const uint64 Signal = SignalFrame.load();
    return Signal != FRHIGpuTimeline::NeverFrame && Timeline->GetCompletedFrame() >= Signal;
}
