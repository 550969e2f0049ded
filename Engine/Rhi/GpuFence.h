// GPU fences and the GPU timeline of the software GPU.
//
// GPU work recorded on the render thread is submitted when the frame ends and
// completes LatencyFrames frame ends after the frame it was recorded in. A fence
// write counts as pending until its frame is submitted; Poll reports true once
// the write has completed. The timeline and fences are safe to use from any thread.
#pragma once

#include "CoreTypes.h"

#include <atomic>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

class FRHIGPUFence;
using FGPUFenceRHIRef = std::shared_ptr<FRHIGPUFence>;

class FRHIGpuTimeline
{
public:
    static constexpr uint64 NeverFrame = std::numeric_limits<uint64>::max();

    // Frame ends between recording and completion; 0 completes at submission.
    void SetLatencyFrames(int32 Frames) { LatencyFrames.store(Frames < 0 ? 0 : Frames); }
    int32 GetLatencyFrames() const { return LatencyFrames.load(); }
    // While set, work submitted never completes (a hung GPU for watchdog tests).
    void SetWorkNeverCompletes(bool bNever) { bNeverCompletes.store(bNever); }

    // Render thread: queues a fence write for submission at the end of the frame.
    void WriteFence(const FGPUFenceRHIRef& Fence);
    // Render thread: submits the frame's fence writes and advances one frame.
    void EndFrame();
    uint64 GetCompletedFrame() const { return CompletedFrame.load(); }
    // Drops fence writes that were never submitted. Fences refer back to their
    // timeline, so the device does this when it goes away to break the cycle.
    void DiscardUnsubmitted();

private:
    std::atomic<uint64> CompletedFrame{0};
    std::atomic<int32> LatencyFrames{2};
    std::atomic<bool> bNeverCompletes{false};
    std::mutex Mutex;
    std::vector<FGPUFenceRHIRef> Unsubmitted; // guarded by Mutex
};

class FRHIGPUFence
{
public:
    FRHIGPUFence(FString InName, std::shared_ptr<const FRHIGpuTimeline> InTimeline);

    const FString& GetFName() const { return Name; }
    // Forgets an earlier write: Poll is false until the next write completes.
    void Clear() { SignalFrame.store(FRHIGpuTimeline::NeverFrame); }
    // True once the last write has completed on the GPU.
    bool Poll() const;

    // Writes recorded but not yet submitted to the GPU.
    std::atomic<int32> NumPendingWriteCommands{0};

private:
    friend class FRHIGpuTimeline;
    FString Name;
    std::shared_ptr<const FRHIGpuTimeline> Timeline;
    std::atomic<uint64> SignalFrame{FRHIGpuTimeline::NeverFrame};
};
