// Reaches into the subsystem's private state for tests, so a test can put the
// state machine where it needs it and observe the cadences.
#pragma once

#include "QuorvexCapturePipeline.h"
#include "QuorvexDetachedBatchData.h"
#include "QuorvexOfflineStore.h"
#include "QuorvexSubsystem.h"
#include "QuorvexUploadOrchestrator.h"

class FQuorvexSubsystemTestPeer
{
public:
    explicit FQuorvexSubsystemTestPeer(UQuorvexSubsystem& InSubsystem) : Subsystem(InSubsystem) {}

    void SetSdkStatus(EQuorvexInternalState State, const char* Reason)
    {
        Subsystem.SetSdkStatus(State, Reason);
    }
    EQuorvexInternalState InternalState() const { return Subsystem.Lifecycle.InternalState; }
    static EQuorvexSdkState ResolvePublicState(EQuorvexInternalState Internal,
                                               EQuorvexSdkState Current)
    {
        return UQuorvexSubsystem::ResolvePublicState(Internal, Current);
    }
    static FString BuildGateRejectionMessage(EQuorvexSdkResponse Response)
    {
        return UQuorvexSubsystem::BuildGateRejectionMessage(Response);
    }
    static const char* InternalStateWord(EQuorvexInternalState State)
    {
        return UQuorvexSubsystem::InternalStateWord(State);
    }

    // Completes the pending session create as a usable server response would. The
    // real create request (sent to a port nobody listens on) is disowned, so its
    // late failure is ignored the way any stale response is.
    void CreateSession(const FQuorvexSessionData& Data)
    {
        Subsystem.SessionGeneration.fetch_add(1);
        Subsystem.OnSessionCreated(std::make_shared<FQuorvexSessionData>(Data));
    }
    void DropSession() { Subsystem.Session.reset(); }
    void SetInFlightUploads(int32 Count) { Subsystem.Uploads->InFlightUploadCount = Count; }
    int32 InFlightUploads() const { return Subsystem.Uploads->GetInFlightUploadCount(); }
    int32 UploadUrlRefreshAttempts() const { return Subsystem.Uploads->UploadUrlRefreshAttempts; }
    int32 TotalFramesCaptured() const { return Subsystem.SessionContext.TotalFramesCaptured; }
    int32 TotalEventsRecorded() const { return Subsystem.SessionContext.TotalEventsRecorded; }
    void SendDataPayload(bool bFinalFlush, bool bDrainOnly)
    {
        Subsystem.SendDataPayload(bFinalFlush, bDrainOnly);
    }
    void ReleaseInFlightUpload() { Subsystem.ReleaseInFlightUpload(); }
    // Slow-network mode.
    bool IsSlowNetworkMode() const { return Subsystem.SlowNetwork.bSlowNetworkMode; }
    int32 ConsecutiveSlowTicks() const { return Subsystem.SlowNetwork.ConsecutiveSlowTicks; }
    void UpdateUploadSpeedState(int32 Bytes, double Seconds, const FQuorvexHttpResult& Result)
    {
        Subsystem.UpdateUploadSpeedState(Bytes, Seconds, Result);
    }
    bool HandleSlowNetworkTick(double BytesPerSecond, const char* Reason, bool bHasMeasurement)
    {
        return Subsystem.HandleSlowNetworkTick(BytesPerSecond, Reason, bHasMeasurement);
    }
    static FString NetworkTypeToString(EQuorvexNetworkType Type)
    {
        return UQuorvexSubsystem::NetworkTypeToString(Type);
    }
    int32 GetCurrentMinUploadBitsPerSecond() const
    {
        return Subsystem.GetCurrentMinUploadBitsPerSecond();
    }

    int32 Heartbeats() const { return Subsystem.Cadences.Counters.Heartbeats; }
    int32 Captures() const { return Subsystem.Cadences.Counters.Captures; }
    int32 Sends() const { return Subsystem.Cadences.Counters.Sends; }
    float CaptureAccumulator() const { return Subsystem.Cadences.CaptureAccumulatorSeconds; }
    float SendInterval() const { return Subsystem.GetSendIntervalSeconds(); }
    float TickThermalBackoff() { return Subsystem.TickThermalBackoff(); }
    int32 CachedCpu() const { return Subsystem.SystemSample.CpuUsagePercent; }
    int32 CachedMemory() const { return Subsystem.SystemSample.MemoryUsageMb; }
    int32 SessionGeneration() const { return Subsystem.SessionGeneration.load(); }
    bool IsRestartQueued() const { return Subsystem.QueuedStart.bQueued; }
    FString QueuedInGameId() const { return Subsystem.QueuedStart.InGameId; }
    FString InGameId() const { return Subsystem.SessionContext.InGameId; }
    FString ResolveBaseHostUrl() const { return Subsystem.ResolveBaseHostUrl(); }
    void LoadPersistedPreferences() { Subsystem.LoadPersistedPreferences(); }

    FQuorvexConfigRequest BuildConfigPayload() { return Subsystem.BuildConfigPayload(); }
    FQuorvexEventMetadata BuildMetadataSnapshot() const
    {
        return Subsystem.BuildMetadataSnapshot();
    }
    static int32 ParseVersionCode(const FString& Version)
    {
        return UQuorvexSubsystem::ParseVersionCode(Version);
    }
    static FString SanitizeIdentifier(const FString& Text)
    {
        return UQuorvexSubsystem::SanitizeIdentifier(Text);
    }
    // Storage guards (callable from any thread) and the process-wide graphics probe.
    void RequestStopCaptureDueToStorageLimit() { Subsystem.RequestStopCaptureDueToStorageLimit(); }
    void RequestStopCaptureDueToPersistentStorageFailure()
    {
        Subsystem.RequestStopCaptureDueToPersistentStorageFailure();
    }
    static bool IsDeviceGraphicsProbed() { return UQuorvexSubsystem::IsDeviceGraphicsProbed(); }

    // Offline store and storage limit.
    FQuorvexOfflineStore& OfflineStore() { return *Subsystem.OfflineStore; }
    int64 CurrentMaxStorageSizeBytes() const { return Subsystem.GetCurrentMaxStorageSizeBytes(); }
    FString MediaZipDirectory() const { return Subsystem.GetMediaZipDirectory(); }
    bool ShouldEnforceBufferedStorageLimit() const
    {
        return Subsystem.ShouldEnforceBufferedStorageLimit();
    }
    void DispatchStartupReclamationAsync(bool bIncludeScreenshots)
    {
        Subsystem.DispatchStartupReclamationAsync(bIncludeScreenshots);
    }

    // Screenshot step.
    void CaptureScreenshot() { Subsystem.CaptureScreenshot(); }
    int32 GetCurrentJpegQuality() const { return Subsystem.GetCurrentJpegQuality(); }
    int32 PendingEncodes() const { return Subsystem.Capture.PendingEncodeCount->load(); }
    void SetPendingEncodes(int32 Count) { Subsystem.Capture.PendingEncodeCount->store(Count); }
    // No encode pending and the pipeline ready for the next frame (it returns to idle
    // in a game-thread task after its worker finished).
    bool IsCaptureIdle() const
    {
        return PendingEncodes() == 0 && !Subsystem.Capture.Pipeline->IsFrameInFlight();
    }
    // Requests the pipeline turned away because a frame was still in flight.
    int32 ReadbackBusySkips() const
    {
        return Subsystem.Capture.Pipeline->GetReadbackBusySkipCount();
    }
    const std::vector<FQuorvexScreenshotRecord>& PendingScreenshots() const
    {
        return Subsystem.LiveBatch.Screenshots;
    }
    // The live batch: screenshot records and the gestures parked by pause and stop.
    const auto& LiveBatch() const { return Subsystem.LiveBatch; }
    FQuorvexGestures& LiveGestures() { return Subsystem.LiveBatch.Gestures; }
    std::vector<FQuorvexScreenshotRecord>& LiveScreenshots()
    {
        return Subsystem.LiveBatch.Screenshots;
    }
    bool TryDetachCurrentBatch(FQuorvexDetachedBatchData& Out)
    {
        return Subsystem.TryDetachCurrentBatch(Out);
    }
    bool BuildBatchZip(const FQuorvexDetachedBatchData& Batch,
                       std::vector<FQuorvexMediaFrame>& Frames, FString& ZipPath, int64& ZipSize)
    {
        return UQuorvexSubsystem::BuildBatchZip(Batch, *Subsystem.OfflineStore, Frames, ZipPath,
                                                ZipSize);
    }
    void TrimBatchForSynchronousFlush(FQuorvexDetachedBatchData& Batch)
    {
        Subsystem.TrimBatchForSynchronousFlush(Batch);
    }
    void SetFinalFlushInline(bool bInline) { Subsystem.Uploads->bFinalFlushInline = bInline; }
    void ReleaseCaptureResources() { Subsystem.ReleaseCaptureResources(); }
    void WaitForPendingEncodes() { Subsystem.WaitForPendingEncodes(); }
    void SetCachedCpu(int32 Percent) { Subsystem.SystemSample.CpuUsagePercent = Percent; }

private:
    UQuorvexSubsystem& Subsystem;
};
