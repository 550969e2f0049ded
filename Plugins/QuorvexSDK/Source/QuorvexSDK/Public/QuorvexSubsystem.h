// The SDK's only public object: a game-instance subsystem that records the play
// session. The host drives it with StartSession / StopSession / PauseSession /
// ResumeSession on the game thread, and hears back through completions (always
// delivered in a later game-thread task, never inside the call) and the
// OnSdkStateChanged event.
#pragma once

#include "ClampedProperty.h"
#include "CoreDelegates.h"
#include "CoreTypes.h"
#include "Delegates.h"
#include "GameInstance.h"
#include "QuorvexModels.h"
#include "Tickable.h"
#include "WeakObjectPtr.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class FHttpManager;
class FQuorvexApiClient;
class FQuorvexCapturePipeline;
class FQuorvexInputTracker;
class FQuorvexOfflineStore;
class FQuorvexUploadOrchestrator;
struct FQuorvexBatchUpload;
struct FQuorvexDetachedBatchData;
struct FQuorvexHttpResult;
struct FQuorvexScreenshotRecord;
struct FQuorvexJpegBufferPool;
struct FQuorvexEncodeScratch;

// What the host sees. The numbers are a wire contract.
enum class EQuorvexSdkState : uint8
{
    SDK_STATE_UNSET = 0, // default-constructed value only; never entered
    SDK_STATE_IDLE = 100,
    SDK_STATE_CAPTURING = 101,
    SDK_STATE_STOPPING = 102,
    SDK_STATE_PAUSED = 103,
};

// Result of a lifecycle call; GetSdkResponseCode gives its numeric code.
enum class EQuorvexSdkResponse : uint8
{
    QUORVEX_SUCCESS = 0,
    QUORVEX_ERROR_STATE_NOT_IDLE = 1,
    QUORVEX_ERROR_STATE_NOT_CAPTURING = 2,
    QUORVEX_ERROR_NOT_SUPPORTED = 3,
    QUORVEX_ERROR_STATE_NOT_PAUSED = 4,
    QUORVEX_ERROR_SESSION_FAILED = 5,
};

// The granular state behind the public one; its status words appear in logs.
enum class EQuorvexInternalState : uint8
{
    Idle = 0,
    Initializing = 1,
    RequestingSession = 2,
    SessionReady = 3,
    Capturing = 4,
    Uploading = 5,
    WaitingForNetwork = 6,
    BufferingOffline = 7,
    SlowNetwork = 8,
    Stopping = 9,
    Stopped = 10,
    Paused = 11,
    Failed = 12,
    Aborted = 13,
};

// How the device reaches the network.
enum class EQuorvexNetworkType : uint8
{
    Wifi = 0,
    MobileData = 1,
    Offline = 2,
};

// Status word of a public state: "idle", "capturing", "stopping", "paused", or "unknown".
const char* GetQuorvexSdkStateName(EQuorvexSdkState State);

// Blueprint display name of a response ("Success", "Error State Not Idle", ...).
const char* GetQuorvexSdkResponseDisplayName(EQuorvexSdkResponse Response);

// Completion of a lifecycle call. An empty callable means no completion is wanted.
using FQuorvexLifecycleCompleteNative =
    std::function<void(EQuorvexSdkResponse Response, const FString& ErrorMessage)>;

// The Blueprint-facing single-cast completion: executed only when bound.
class FQuorvexLifecycleComplete
{
public:
    FQuorvexLifecycleComplete() = default;
    explicit FQuorvexLifecycleComplete(FQuorvexLifecycleCompleteNative InFunction)
        : Function(std::move(InFunction))
    {
    }
    void BindLambda(FQuorvexLifecycleCompleteNative InFunction)
    {
        Function = std::move(InFunction);
    }
    void Unbind() { Function = nullptr; }
    bool IsBound() const { return static_cast<bool>(Function); }
    void ExecuteIfBound(EQuorvexSdkResponse Response, const FString& ErrorMessage) const
    {
        if (Function)
        {
            Function(Response, ErrorMessage);
        }
    }

private:
    FQuorvexLifecycleCompleteNative Function;
};

// (OldState, NewState, Reason): the reason text of the internal move that changed
// the public state, empty when there was none.
using FQuorvexSdkStateChanged =
    TMulticastDelegate<EQuorvexSdkState, EQuorvexSdkState, const FString&>;

class UQuorvexSubsystem : public UGameInstanceSubsystem, public FTickableGameObject
{
public:
    UQuorvexSubsystem();
    ~UQuorvexSubsystem() override;

    // ---- Lifecycle (game thread) ----

    // Creates a backend session and starts capture. Completes with success once
    // capture runs, or with an error; queued when a stop is still flushing.
    void StartSession(const FString& InGameId, const FString& DeveloperPayload,
                      const FQuorvexLifecycleComplete& OnComplete);
    void StartSessionNative(const FString& InGameId, const FString& DeveloperPayload,
                            FQuorvexLifecycleCompleteNative OnComplete);
    // Stops capture, uploads what is buffered, ends the session; completes after that.
    void StopSession(const FQuorvexLifecycleComplete& OnComplete);
    void StopSessionNative(FQuorvexLifecycleCompleteNative OnComplete);
    // Suspends screenshots and input while keeping the session open.
    EQuorvexSdkResponse PauseSession();
    void ResumeSession(const FQuorvexLifecycleComplete& OnComplete);
    void ResumeSessionNative(FQuorvexLifecycleCompleteNative OnComplete);

    // Sends a custom event straight to the backend; EventDataJson is sent as-is.
    // False only on validation failure; true means dispatched, not accepted.
    bool SendGameEvent(const FString& EventName, const FString& EventDataJson);
    // Attaches the host's player id to the running session (queued until the
    // session exists; ignored when capture is not running).
    void SetInGameId(const FString& InGameId);

    // ---- Switches (game thread); persisted to Prefs.json when bPersist ----

    void SetDebugLogsEnabled(bool bEnabled, bool bPersist = true);
    void SetTimingLogsEnabled(bool bEnabled, bool bPersist = true);
    void SetUseStagingServer(bool bUseStaging, bool bPersist = true);
    bool AreDebugLogsEnabled() const;
    bool AreTimingLogsEnabled() const;
    bool IsUsingStagingServer() const { return bUseStagingServer; }

    // ---- Getters ----

    // True while a start is being served and while capture runs.
    bool IsCapturing() const { return IsCaptureRunning(); }
    EQuorvexSdkState GetSdkState() const { return Lifecycle.PublicState; }
    // "idle", "capturing", "stopping", "paused", or "unknown".
    FString GetSdkStatusString() const;
    // The plugin descriptor's version name, or "unknown".
    FString GetSdkVersion() const;
    // The current (or last ended) session's id; empty before the first session.
    FString GetCurrentSessionId() const;
    // 0 for success, 1000..1004 for the errors, -1 for any other value.
    static int32 GetSdkResponseCode(EQuorvexSdkResponse Response);

    // ---- Engine overrides ----

    void Initialize(FSubsystemCollectionBase& Collection) override;
    void Deinitialize() override;
    void Tick(float DeltaTime) override;
    bool IsTickable() const override;
    bool IsTickableInEditor() const override { return false; }
    TStatId GetStatId() const override { return TStatId{"STAT_UQuorvexSubsystem"}; }

    // Runs Callback on the game thread in the first tick at or after now +
    // DelaySeconds. Callable from any thread; callbacks run outside the lock.
    void ScheduleSdkCallback(float DelaySeconds, std::function<void()> Callback);

    // Milliseconds since 1970-01-01 00:00 UTC.
    static int64 NowMs();
    static bool IsMobilePlatform() { return false; }

    // ---- Properties (editable; assignments are clamped) ----

    // Fires when the public state moves; always on the game thread.
    FQuorvexSdkStateChanged OnSdkStateChanged;
    // Backend base URL; empty means the built-in default.
    FString BaseHostUrlOverride;
    // Seconds between screenshots; replaced by the server's interval when above 0.
    TClampedProperty<float> CaptureIntervalSeconds{1.0f, 1.0f};
    TClampedProperty<int32> JpegQuality{75, 1, 100};
    // Slow-network threshold; the server's value wins when above 0.
    TClampedProperty<int32> MinUploadBitsPerSecond{1000000, 1};

    // ---- Class constants ----

    // Deployment settings: hosts under the reserved .example domain, so nothing
    // real is contacted unless the host configures a backend.
    inline static const FString DefaultBaseUrl = "https://api.quorvex.example";
    inline static const FString StagingBaseUrl = "https://staging-api.quorvex.example";
    static constexpr int32 DefaultMaxStorageSizeMb = 100;
    static constexpr float StopFlushUploadWaitTimeoutSeconds = 10.0f;
    static constexpr float MetadataRefreshIntervalSeconds = 5.0f;
    static constexpr float EncodeDrainTimeoutSeconds = 3.0f;
    static constexpr int32 MaxPendingEncodes = 1;
    static constexpr int32 MaxFramesInSynchronousFinalFlush = 120;
    static constexpr int32 UploadUrlRefreshRetryLimit = 2;

private:
    // A server capture interval at or above this captures nothing in practice.
    static constexpr float MaxUsefulCaptureIntervalSeconds = 3600.0f;

    friend class FQuorvexSubsystemTestPeer;
    friend class FQuorvexUploadOrchestrator;

    // ---- State machine ----

    // The only way the state changes: logs, updates the public state, raises the
    // event (hopping to the game thread when called elsewhere), fires completions.
    void SetSdkStatus(EQuorvexInternalState NewState, const char* Reason);
    static EQuorvexSdkState ResolvePublicState(EQuorvexInternalState Internal,
                                               EQuorvexSdkState Current);
    void FireLifecycleCompletions(EQuorvexInternalState NewState);
    // Delivers the held state-change events once no lifecycle operation is running.
    void DeliverHeldStateChanges();
    // Posts the completion to a later game-thread task, even from the game thread.
    static void InvokeLifecycleCallback(FQuorvexLifecycleCompleteNative Callback,
                                        EQuorvexSdkResponse Response, const FString& Message);
    static FString BuildGateRejectionMessage(EQuorvexSdkResponse Response);
    static const char* InternalStateWord(EQuorvexInternalState State);
    static FString SdkVersion();

    // ---- Session start, stop, pause, resume ----

    void StartCaptureInternal(const FString& InGameIdArg, const FString& DeveloperPayloadArg);
    void PrepareFreshStart();
    void QueuePendingRestart(const FString& InGameIdArg, const FString& DeveloperPayloadArg);
    void EnsureConfigRequested();
    void OnConfigResponse(const FQuorvexHttpResult& Result, int32 Generation);
    // The end of a failed start: disowns its work and moves to Failed.
    void FailSessionStart(const char* Reason);
    // Installs a usable session from the create response and, unless a pause came
    // in meanwhile, begins capture.
    void OnSessionCreated(std::shared_ptr<FQuorvexSessionData> NewSession);
    // Keeps server text for a failing start completion, redacted and bounded.
    void SetSessionFailureMessage(const FString& ServerText);
    // Takes the current session's capture interval when the server sent one.
    void ApplyServerCaptureInterval();
    // Sends the end-session request of SessionId with this session's totals (not
    // cancelable).
    void SendEndSessionAsync(const FString& SessionId);
    // Ends a backend session created for work that was disowned meanwhile, so that
    // no backend session is left open that nothing ends.
    void EndAbandonedSession(const FQuorvexSessionData& Abandoned, const char* Why);
    // Ends the session a create answer made for a start that was stopped meanwhile.
    void EndSessionOfAbandonedCreate(const FQuorvexHttpResult& Result);
    // True when the session has an id the backend can end.
    bool HasEndableSession() const;
    void BeginCaptureLoops();
    // bAbort: a teardown stop, which ends in Aborted rather than Stopped.
    void StopCaptureInternal(const char* Reason, bool bAbort = false);
    void TickStopFlush(float DeltaTime);
    void FinalizeStopFlush();
    // Teardown's end of a stop flush: the final flush runs now, on this thread.
    void FinishStopFlushInline(FHttpManager& Http);
    void ClearBufferedEvents(bool bPreservePendingBatches);
    // Deletes every buffered screenshot file and logs how many frames that were, which
    // never reached the store.
    void DiscardAllBufferedScreenshots(const char* Why);
    // The sweep a stop deferred while uploads could still read the files: runs once
    // the last of them is over (at its release, or at the latest in the next tick).
    void RunDeferredScreenshotSweep();
    // Storage guards may ask for a stop from any thread; at most one stop per session.
    void RequestStopCaptureDueToStorageLimit();
    void RequestStopCaptureDueToPersistentStorageFailure();
    void StopCaptureDueToStorageLimit();
    void StopCaptureDueToPersistentStorageFailure();
    // Stops capture at once, without a stop flush or an end-session request.
    void StopCaptureForStorage(std::atomic<int32>& OnceFlag, const FString& LogReason,
                               const char* StateReason);
    void ReleaseCaptureResources();
    // Moves the tracker's completed gestures into the live batch, then resets it.
    void MoveTrackedInputToLiveBatch();

    // ---- Device description and game events ----

    // Calls back once attribution data is settled (at once on desktop platforms).
    void EnsureAttributionResolvedAsync(std::function<void()> Callback);
    // Fills the device, app and SDK description once per subsystem.
    void ResolveStaticPayloadOnce();
    // The session-create payload: the cached description plus current values.
    FQuorvexConfigRequest BuildConfigPayload();
    // Per-batch system snapshot from the cached samples.
    FQuorvexEventMetadata BuildMetadataSnapshot() const;
    // The GPU, graphics-stack and display parts of the static description.
    void ResolveGraphicsAndDisplay();
    // The device's graphics capabilities, probed once per process; any thread.
    static FQuorvexDeviceGraphicsConfig ProbeDeviceGraphicsOnce();
    static bool IsDeviceGraphicsProbed();
    // Size of the viewport the engine rendered last; false when there is none.
    bool GetRenderedViewportSize(int32& OutWidth, int32& OutHeight) const;
    // "1.2.3" -> 123; no digits -> 0; clamped to int32.
    static int32 ParseVersionCode(const FString& Version);
    // Keeps letters, digits, "-", "." and "_"; white space becomes "."; trims dots.
    static FString SanitizeIdentifier(const FString& Text);
    void TryStartPendingInGameIdUpdate();
    void OnInGameIdUpdateComplete(bool bOk, const FString& SentSessionId, const FString& SentId,
                                  int32 Generation);

    // ---- Tick steps ----

    void TickSdkSchedules();
    // Polls finished GPU copies and requests a screenshot at the capture interval.
    void TickCapture(float DeltaTime);
    void TickMetadataRefresh(float DeltaTime);
    // The effective capture interval in seconds, or 0 while capture is suspended.
    float TickThermalBackoff();
    float GetSendIntervalSeconds() const;
    // ---- Heartbeat and session rollover ----

    // The heartbeat cadence; runs while capturing and while paused.
    void TickHeartbeat(float DeltaTime);
    void SendHeartbeat();
    // Generation and SessionId are those the heartbeat was sent for.
    void HandleHeartbeatResult(const FQuorvexHttpResult& Result, int32 Generation,
                               const FString& SessionId);
    // Replays the session create as a rollover; capture goes on meanwhile.
    void BeginSessionRollover(const char* Reason);
    void OnSessionRolledOver(std::shared_ptr<FQuorvexSessionData> NewSession, const FString& Reason,
                             int32 Generation);
    // Installs the session a rollover created: fresh sequence numbers, refresh budget
    // and proof of life, and its capture interval.
    void AdoptRolledOverSession(std::shared_ptr<FQuorvexSessionData> NewSession);
    // After a resume: checks at once that a session not heard from lately is alive.
    void ValidateSessionAfterResumeIfStale();

    // ---- Screenshot step ----

    // Gates, then requests one frame; the pipeline's worker encodes and stores it.
    void CaptureScreenshot();
    int32 GetCurrentJpegQuality() const;
    // Waits (at most EncodeDrainTimeoutSeconds) for encodes in flight.
    void WaitForPendingEncodes();

    // ---- Uploads (game thread; the orchestrator does the work) ----

    // One send decision: the send tick (false, false), the final flush (true, false),
    // the drain after a successful pending upload (false, true).
    void SendDataPayload(bool bFinalFlush, bool bDrainOnly);
    void UploadBatchAsync(FQuorvexBatchUpload Upload);
    void UploadZipWithRefreshRetry(FQuorvexBatchUpload Upload, bool bCredentialsJustRefreshed);
    void ReleaseInFlightUpload();
    // Disowns every upload so far and cancels the client's cancelable requests.
    void CancelEventUploads();
    // A stop was asked for (or capture never started): only a final flush still sends.
    bool IsCaptureStopRequested() const { return !IsCaptureRunning() && !IsCapturePaused(); }

    // ---- Upload speed and slow-network mode ----

    // Every completed upload of the current session that was not canceled.
    void UpdateUploadSpeedState(int32 BytesSent, double Seconds, const FQuorvexHttpResult& Result);
    // One slow observation; true when it requested the slow-network stop.
    bool HandleSlowNetworkTick(double BytesPerSecond, const char* Reason, bool bHasMeasurement);
    void HandleRecoveredUpload(double BytesPerSecond);
    // Any thread; the stop runs on the game thread.
    void RequestStopCaptureDueToSlowNetwork(const char* Reason);
    // Stops at once, dropping what was not uploaded, and ends the session.
    void StopCaptureDueToSlowNetwork(const char* Reason);
    // The session's threshold when above 0, else the property's (at least 1).
    int32 GetCurrentMinUploadBitsPerSecond() const;
    bool IsUploadAllowedForCurrentNetwork() const { return true; } // desktop: always
    EQuorvexNetworkType ResolveConnectionType() const { return EQuorvexNetworkType::Wifi; }
    // "Wifi", "MobileData", or "Offline" for any other value.
    static FString NetworkTypeToString(EQuorvexNetworkType Type);

    // ---- Batches ----

    // Moves everything gathered since the last batch into Out (the tracker's
    // gestures first, then those parked by pause or stop); false when there is nothing.
    bool TryDetachCurrentBatch(FQuorvexDetachedBatchData& Out);
    // Writes the batch's archive into the media folder: the two documents, then one
    // entry per readable frame (unreadable ones are left out, logged and purged).
    // Touches no subsystem state, so the upload worker may call it.
    static bool BuildBatchZip(const FQuorvexDetachedBatchData& Batch, FQuorvexOfflineStore& Store,
                              std::vector<FQuorvexMediaFrame>& OutFrames, FString& OutZipPath,
                              int64& OutZipSize);
    // At teardown's inline flush, keeps only the oldest MaxFramesInSynchronousFinalFlush
    // frames and deletes the others' files.
    void TrimBatchForSynchronousFlush(FQuorvexDetachedBatchData& Batch);
    void SeedCachedMetadata();
    void StoreSystemSample(int32 MemoryMb, int32 CpuPercent, int32 BatteryLevel);

    // ---- Platform notifications (any thread; each stores one value) ----

    void HandleTemperatureChanged(FCoreDelegates::ETemperatureSeverity Severity);
    void HandleLowPowerModeChanged(bool bLowPower);
    void HandleApplicationBackgrounding();

    // ---- Preferences and backend selection ----

    void LoadPersistedPreferences();
    void SavePrefsToDisk() const;
    static FString GetPrefsFilePath();
    FString ResolveBaseHostUrl() const;

    // ---- State, grouped by concern; each group has one owner ----

    // The state machine and what the host is still owed. Game thread. Whether capture
    // runs or is paused is read from PublicState (IsCaptureRunning, IsCapturePaused).
    struct FLifecycleState
    {
        EQuorvexInternalState InternalState = EQuorvexInternalState::Idle;
        EQuorvexSdkState PublicState = EQuorvexSdkState::SDK_STATE_IDLE;
        FQuorvexLifecycleCompleteNative PendingStartCompletion;
        FQuorvexLifecycleCompleteNative PendingStopCompletion;
        FString LastSessionFailureMessage;
    };

    // One public state move, held until the operation that caused it has finished.
    struct FHeldStateChange
    {
        EQuorvexSdkState Old;
        EQuorvexSdkState New;
        FString Reason;
    };
    // State-change events are delivered once the outermost lifecycle operation has
    // made its fields consistent, so a handler that calls back into the subsystem
    // (a stop from the capturing event, a start from the stopping event) finds a
    // finished transition. Game thread.
    struct FStateChangeDelivery
    {
        std::vector<FHeldStateChange> Held;
        int32 OperationDepth = 0;
        bool bDelivering = false;
    };
    // Marks a lifecycle operation; held events go out when the outermost one ends.
    class FLifecycleOperation
    {
    public:
        explicit FLifecycleOperation(UQuorvexSubsystem& InOwner);
        ~FLifecycleOperation();
        FLifecycleOperation(const FLifecycleOperation&) = delete;
        FLifecycleOperation& operator=(const FLifecycleOperation&) = delete;

    private:
        UQuorvexSubsystem& Owner;
    };

    // What belongs to one session; a start replaces it with one assignment. Game thread.
    struct FSessionContext
    {
        FString InGameId;
        FString DeveloperPayload;
        bool bConfigRequested = false;
        int64 NextBatchSequence = 1;
        int32 TotalFramesCaptured = 0;
        int32 TotalEventsRecorded = 0;
        bool bEndSessionSent = false;
        // The host's player id waiting to reach the backend.
        FString PendingInGameId;
        bool bInGameIdUpdatePending = false;
        bool bInGameIdUpdateStarted = false;
    };

    // Heartbeat cadence and rollover of the current session. Game thread.
    struct FHeartbeatState
    {
        float AccumulatorSeconds = 0.f;
        bool bInFlight = false;
        // NowMs() of the last proof that the session is alive; 0 before any.
        int64 LastOkMs = 0;
        // A second replay would create a second backend session that nothing ends.
        bool bRolloverInFlight = false;
    };

    // The stop being flushed (its upload phase is the orchestrator's). Game thread.
    struct FStopFlushState
    {
        FString Reason;
        bool bAbort = false; // teardown stop: ends in Aborted rather than Stopped
    };

    // A start that arrived during a stop flush. Game thread.
    struct FQueuedStart
    {
        bool bQueued = false;
        FString InGameId;
        FString DeveloperPayload;
    };

    // Slow-network mode. Game thread; reset at every start.
    struct FSlowNetworkState
    {
        bool bSlowNetworkMode = false;
        // Slow observations since the mode was entered, the entering one included.
        int32 ConsecutiveSlowTicks = 0;
        bool bSlowNetworkStopInProgress = false;
        double LastUploadBytesPerSecond = 0.0;
    };

    // How many heartbeats, screenshots and batch sends the cadences requested.
    struct FCadenceCounters
    {
        int32 Heartbeats = 0;
        int32 Captures = 0;
        int32 Sends = 0;
    };
    // The tick's accumulators and backoff. Game thread.
    struct FCadenceState
    {
        float CaptureAccumulatorSeconds = 0.f;
        float SendAccumulatorSeconds = 0.f;
        float MetadataRefreshAccumulatorSeconds = 0.f;
        bool bRealignCaptureSchedule = false;
        float ThermalIntervalFactor = 1.0f;
        FCadenceCounters Counters;
    };

    // Platform notifications, written on any thread and read by the tick.
    struct FPlatformSignals
    {
        std::atomic<FCoreDelegates::ETemperatureSeverity> TemperatureSeverity{
            FCoreDelegates::ETemperatureSeverity::Unknown};
        std::atomic<bool> bLowPowerMode{false};
    };

    // Once-flags of the two storage stops; set from any thread.
    struct FStorageStops
    {
        std::atomic<int32> bLimitRequested{0};
        std::atomic<int32> bFailureRequested{0};
        void Reset()
        {
            bLimitRequested.store(0);
            bFailureRequested.store(0);
        }
    };

    // The device, app and SDK description of session creates. Game thread.
    struct FDeviceDescription
    {
        FQuorvexConfigRequest CachedConfigRequest; // Device, App and Sdk filled once
        bool bAttributionResolved = false;
        bool bStaticPayloadResolved = false;
        int32 LogicalDisplayWidth = 0; // primary display size
        int32 LogicalDisplayHeight = 0;
    };

    // The latest CPU, memory and battery sample. Game thread.
    struct FSystemSample
    {
        int32 MemoryUsageMb = 0;
        int32 CpuUsagePercent = -1; // -1: not sampled yet
        int32 BatteryLevel = -1;
    };

    // What the screenshot step works with. The shared parts are handed to frame
    // callbacks on workers and are safe to use there as each says.
    struct FCaptureResources
    {
        std::unique_ptr<FQuorvexCapturePipeline> Pipeline; // game thread
        // Requests from the frame request until their callback is gone; any thread.
        std::shared_ptr<std::atomic<int32>> PendingEncodeCount;
        // The reused JPEG output buffer; locked internally, any thread.
        std::shared_ptr<FQuorvexJpegBufferPool> JpegPool;
        // Resample row and last JPEG size; only the one callback in flight touches them.
        std::shared_ptr<FQuorvexEncodeScratch> EncodeScratch;
    };

    // The batch being collected. Game thread.
    // The live batch: screenshot records, and the gestures that pause and stop moved
    // out of the input tracker. Game thread.
    struct FLiveBatch
    {
        std::vector<FQuorvexScreenshotRecord> Screenshots;
        FQuorvexGestures Gestures;
    };

    // Handles of the core-delegate bindings, from Initialize to Deinitialize. Game thread.
    struct FEngineBindings
    {
        FDelegateHandle Background;
        FDelegateHandle Deactivate;
        FDelegateHandle Temperature;
        FDelegateHandle LowPower;
    };

    // Capture runs (a start being served, or capturing), or a paused session is held.
    bool IsCaptureRunning() const
    {
        return Lifecycle.PublicState == EQuorvexSdkState::SDK_STATE_CAPTURING;
    }
    bool IsCapturePaused() const
    {
        return Lifecycle.PublicState == EQuorvexSdkState::SDK_STATE_PAUSED;
    }
    bool IsStopFlushing() const;
    // True while Generation is the current session's: the one test of whether an
    // answer or a finished piece of work still belongs to the session.
    bool IsCurrentGeneration(int32 Generation) const
    {
        return SessionGeneration.load() == Generation;
    }
    // Disowns every callback of the session so far and cancels its cancelable requests.
    void DisownSessionWork();

    FLifecycleState Lifecycle;
    FStateChangeDelivery StateChanges;
    // The current backend session; null from the start of each start until created.
    std::shared_ptr<FQuorvexSessionData> Session; // game thread
    // Bumped to disown in-flight work of an earlier session; read on any thread.
    std::atomic<int32> SessionGeneration{0};
    FSessionContext SessionContext;
    FHeartbeatState Heartbeat;
    FStopFlushState StopFlush;
    FQueuedStart QueuedStart;
    FSlowNetworkState SlowNetwork;
    // Deleting buffered screenshot files waits until no upload can read them. Game thread.
    bool bScreenshotSweepDeferred = false;
    FCadenceState Cadences;
    FPlatformSignals PlatformSignals;
    FStorageStops StorageStops;
    bool bUseStagingServer = false; // game thread
    FDeviceDescription DeviceDescription;
    FSystemSample SystemSample;
    FEngineBindings EngineBindings;

    // Delayed callbacks of the tick schedule. Any thread, under ScheduleLock.
    struct FScheduledCallback
    {
        double DueSeconds = 0.0; // on the FPlatformTime::Seconds() clock
        std::function<void()> Callback;
    };
    mutable std::mutex ScheduleLock;
    std::vector<FScheduledCallback> Schedules; // guarded by ScheduleLock

    // ---- Components ----

    std::unique_ptr<FQuorvexApiClient> ApiClient; // game thread; lives as long as the subsystem
    // Lives as long as the subsystem; locked internally, callable from any thread.
    // Shared with frame callbacks still running on a worker.
    std::shared_ptr<FQuorvexOfflineStore> OfflineStore;
    FCaptureResources Capture;
    std::unique_ptr<FQuorvexInputTracker>
        InputTracker; // game thread; lives as long as the subsystem
    FLiveBatch LiveBatch;
    // Batch uploads and the upload half of the stop flush; lives as long as the subsystem.
    std::unique_ptr<FQuorvexUploadOrchestrator> Uploads;

    // ---- Offline store: storage limit and start-up reclamation ----

    // Where batch archives and upload bodies are written.
    FString GetMediaZipDirectory() const;
    // The session's MaxStorageSizeMb (when at least 1) in bytes, else 100 MiB.
    int64 GetCurrentMaxStorageSizeBytes() const;
    bool ShouldEnforceBufferedStorageLimit() const { return true; }
    // Deletes an earlier run's pending batch files (and, when bIncludeScreenshots,
    // its buffered screenshots) and sweeps stranded upload files, on a background
    // task that touches no subsystem state and spares what the new session writes.
    void DispatchStartupReclamationAsync(bool bIncludeScreenshots);

    // Posted work holds weak references made from this token; declared last so
    // it expires first when the subsystem is destroyed.
    FLifetimeToken Lifetime;
};
