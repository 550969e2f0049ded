// The backend client: builds request bodies from the wire records, sends every
// backend call and object-store upload through one retrying transport, and parses
// the backend's answers.
//
// Threads: call it on the game thread. Completions run on the game thread (the HTTP
// module delivers them there); retries run where the retry scheduler runs them.
#pragma once

#include "CaseInsensitiveMap.h"
#include "HttpRequest.h"
#include "JsonValue.h"
#include "QuorvexModels.h"
#include "WeakObjectPtr.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <vector>

struct FQuorvexDetachedBatchData;
class FQuorvexMultipartFormBuilder;

// One upload of one batch, built from the session's credentials.
struct FQuorvexUploadTarget
{
    FString UploadUrl; // the credentials' URL, with placeholders in its path expanded
    FString Verb;
    FString AuthorizationToken;
    FString ObjectKey;
    FString StorageProvider;
    TCaseInsensitiveOrderedMap<FString> Headers;    // expanded
    TCaseInsensitiveOrderedMap<FString> FormFields; // expanded
};

// Exactly what one upload sends. When Error is set nothing may be sent.
struct FQuorvexPreparedUpload
{
    FString Error;
    FString ContentType;
    FString Verb;
    FString BodyFilePath; // streamed as the request body
    FString LogBody;      // logged in place of the body
    TCaseInsensitiveOrderedMap<FString> Headers;
    // For a GCS form: owns the body file, deleted when the last reference goes.
    std::shared_ptr<FQuorvexMultipartFormBuilder> MultipartBody;
};

// The outcome of one request chain (all its attempts).
struct FQuorvexHttpResult
{
    bool bSuccess = false; // a response with a status from 200 to 299 arrived
    int32 StatusCode = 0;  // 0 when no response arrived
    FString ResponseBody;
    FString Error; // empty on success
    bool bTimedOut = false;
    bool bCanceled = false;
    int32 RequestBytes = 0;      // body size of the last attempt, capped at INT32_MAX
    double ElapsedSeconds = 0.0; // wall time of the last attempt
};

// What a failed upload means for the uploader.
enum class EQuorvexUploadFailureKind : uint8
{
    Other,               // success, or nothing more specific
    CredentialsRejected, // refresh the upload URL and try again
    SessionInactive,     // roll the session over
    RequestRejected,     // a 4xx rejection a retry cannot fix
};

using FQuorvexHttpComplete = std::function<void(const FQuorvexHttpResult&)>;
// (bOk, credentials)
using FQuorvexUploadUrlRefreshed = std::function<void(bool, const FQuorvexUploadCredentials&)>;
// Runs a function after a delay in seconds; the subsystem binds its tick schedule.
using FQuorvexRetryScheduler = std::function<void(float, std::function<void()>)>;

class FQuorvexApiClient
{
public:
    FQuorvexApiClient();
    // Cancels cancelable requests; completions of any request still in flight find
    // the client gone and report "Canceled".
    ~FQuorvexApiClient();
    FQuorvexApiClient(const FQuorvexApiClient&) = delete;
    FQuorvexApiClient& operator=(const FQuorvexApiClient&) = delete;

    // ---- Configuration ----

    void SetBaseHostUrlProvider(std::function<FString()> Provider);
    void SetRetryScheduler(FQuorvexRetryScheduler Scheduler);
    // Cancels every cancelable request chain started so far, on the wire or waiting
    // to retry: each reports "Canceled" once, in a later game-thread task.
    void CancelInFlightRequests();
    // Forgets the cached session-create endpoint and payload.
    void ResetSessionState();

    // ---- Endpoints (empty when there is no base URL, or no session id) ----

    FString BuildSessionEndpoint() const;
    FString BuildHeartbeatEndpoint(const FString& SessionId) const;
    FString BuildEndSessionEndpoint(const FString& SessionId) const;
    FString BuildRefreshUploadUrlEndpoint(const FString& SessionId) const;
    FString BuildSendGameEventEndpoint() const;

    // ---- Backend calls ----

    // Sends the request with isRollover false and caches it for rollovers.
    void CreateSessionAsync(const FQuorvexConfigRequest& Request, FQuorvexHttpComplete OnComplete);
    void HeartbeatAsync(const FString& SessionId, FQuorvexHttpComplete OnComplete);
    // Not cancelable: a stop does not cancel the end of its own session.
    void SendEndSessionAsync(const FString& SessionId, const FQuorvexEndSessionRequest& Request,
                             FQuorvexHttpComplete OnComplete);
    // Not cancelable.
    void SendGameEventAsync(const FQuorvexGameEventRequest& Request,
                            FQuorvexHttpComplete OnComplete);
    // Replays the cached create request with isRollover true; OnDone gets the new
    // session, or null on any failure.
    void RefreshSessionAsync(std::function<void(std::shared_ptr<FQuorvexSessionData>)> OnDone);
    // PATCHes the player id (JSON null when empty); OnDone(true) only when the
    // backend answered success true.
    void UpdateSessionInGameIdAsync(const FString& SessionId, const FString& InGameId,
                                    std::function<void(bool)> OnDone);
    // Keeps the cached create request's player id current for later rollovers.
    void UpdateLastConfigPayloadInGameId(const FString& InGameId);
    // Asks for fresh upload credentials for the session's store.
    void RefreshUploadUrlAsync(const FString& SessionId, FQuorvexUploadUrlRefreshed OnDone);

    // ---- Parsers and classifiers ----

    static bool ParseSessionResponse(const FString& Body, FQuorvexSessionData& OutData,
                                     FString& OutError);
    // At most MaxSessionIdLength URL-unreserved characters (A-Z a-z 0-9 - _ . ~): the
    // id is put into URL paths as it stands.
    static bool IsUsableSessionId(const FString& SessionId);
    static constexpr size_t MaxSessionIdLength = 256;
    // Alive or not; bOutHttpSuccess tells a network failure from a dead session.
    static bool ParseHeartbeatAlive(const FQuorvexHttpResult& Result, bool& bOutHttpSuccess,
                                    FString& OutCode, FString& OutMessage);
    // True when the credentials end up with an upload URL.
    static bool ParseUploadCredentials(const FJsonObjectPtr& Object,
                                       FQuorvexUploadCredentials& OutCredentials);
    static bool IsGcsProvider(const FString& Provider);
    // True in the last tenth of the credentials' life (at most five minutes before
    // expiry); false when the expiry is missing or unreadable.
    static bool ShouldRefreshCredentialsBeforeExpiry(const FQuorvexUploadCredentials& Credentials);
    // Builds the upload of batch SequenceNumber (its archive at FilePath); false when
    // the credentials have no upload URL.
    static bool TryBuildUploadTarget(const FQuorvexUploadCredentials& Credentials,
                                     const FString& SessionId, int64 SequenceNumber,
                                     int64 TimestampMs, const FString& FilePath,
                                     FQuorvexUploadTarget& OutTarget);

    // ---- Uploads ----

    // Works out verb, headers and body for sending ZipPath to Target (any thread:
    // touches only its arguments and the file system). Failures set Error.
    static void PrepareUploadBody(const FQuorvexUploadTarget& Target, const FString& ZipPath,
                                  FQuorvexPreparedUpload& OutPrepared);
    // Sends a prepared upload; a preparation error is delivered at once as a failure.
    // A 503 from the store is not retried: it means the credentials were refused.
    void SendPreparedUploadAsync(const FQuorvexUploadTarget& Target,
                                 FQuorvexPreparedUpload Prepared, FQuorvexHttpComplete OnComplete);
    // PrepareUploadBody then SendPreparedUploadAsync, on the calling thread.
    void UploadEventZipAsync(const FQuorvexUploadTarget& Target, const FString& ZipPath,
                             FQuorvexHttpComplete OnComplete);
    static EQuorvexUploadFailureKind ClassifyUploadFailure(const FQuorvexHttpResult& Result);
    static bool IsInactiveSessionResponse(const FQuorvexHttpResult& Result);
    static bool IsTerminalSessionCreateResponse(const FQuorvexHttpResult& Result, FString& OutCode,
                                                FString& OutMessage);
    // Text safe to log or hand to the host: credentials replaced (token, upload URL,
    // form fields, required headers, URL queries) and cut to its first 2 KiB.
    static FString RedactForLog(const FString& Text);
    // Backoff before attempt Attempt + 1, given 15 random bits (0..32767).
    static int32 ComputeRetryDelayMs(int32 Attempt, uint32 Random15);

    // ---- Batch documents (any thread) ----

    // The text of a batch's "events.json": identity, input events, frames, metadata.
    static FString BuildEventJson(const FQuorvexDetachedBatchData& Batch,
                                  const std::vector<FQuorvexMediaFrame>& Frames);
    // The text of a batch's "manifest.json": a short index of its frames.
    static FString BuildManifestJson(const FQuorvexDetachedBatchData& Batch,
                                     const std::vector<FQuorvexMediaFrame>& Frames);

private:
    friend class FQuorvexApiClientTestPeer;

    // The body of one request chain, shared by its attempts.
    struct FRequestBody
    {
        std::vector<uint8> Bytes;
        FString FilePath; // when set, the body is streamed from this file
    };
    using FRequestBodyPtr = std::shared_ptr<const FRequestBody>;
    using FRetryVeto = std::function<bool(const FQuorvexHttpResult&)>;

    // One request chain: its attempts share it, and it delivers exactly one result,
    // whichever of its answer, its retries or a cancellation comes first. Game thread.
    struct FRequestChain
    {
        FQuorvexHttpComplete OnComplete;
        bool bDelivered = false;
        bool bCancelable = true;
        uint64 Id = 0;          // key in CancelableChains
        FHttpRequestPtr OnWire; // the attempt being sent; null while a retry waits
    };
    using FRequestChainPtr = std::shared_ptr<FRequestChain>;

    // Everything an attempt needs, kept for its retries.
    struct FAttempt
    {
        FString Url;
        FString ContentType;
        FRequestBodyPtr Body;
        TCaseInsensitiveOrderedMap<FString> Headers;
        FRequestChainPtr Chain;
        int32 Attempt = 1;
        FString Verb;
        FRetryVeto RetryVeto;
        FString LogBody; // what the first attempt logs as its body
    };

    void SendContentAsync(const FString& Url, const FString& ContentType, FRequestBodyPtr Body,
                          const TCaseInsensitiveOrderedMap<FString>& Headers,
                          const FString& LogBody, FQuorvexHttpComplete OnComplete,
                          const FString& Verb, FRetryVeto RetryVeto, bool bCancelable);
    static bool LooksLikeBackblazeCredentials(const FQuorvexUploadCredentials& Credentials);
    // Expands the upload placeholders of Template (case-blind); a fresh GUID each call.
    static FString ApplyUploadTemplate(const FString& Template, const FString& SessionId,
                                       int64 SequenceNumber, int64 TimestampMs,
                                       const FString& FilePath, const FString& ObjectKey);
    // The credentials' URL with the upload placeholders in its path expanded (values
    // percent-encoded, '/' kept); the query is left as issued.
    static FString ExpandUploadUrlPath(const FString& Url, const FString& SessionId,
                                       int64 SequenceNumber, int64 TimestampMs,
                                       const FString& FilePath, const FString& ObjectKey);
    // 40 lower-case hex digits of the file's SHA-1, read in 64 KiB chunks; empty when
    // the file cannot be opened or read.
    static FString ComputeFileSha1Hex(const FString& Path);
    void PostJsonAsync(const FString& Url, const FString& JsonBody, FQuorvexHttpComplete OnComplete,
                       const FString& Verb, bool bCancelable);
    void StartAttempt(FAttempt Attempt);
    // Turns a finished engine request into a result, then delivers it or retries.
    void OnAttemptComplete(const FAttempt& Attempt, const FString& LogUrl, int32 RequestBytes,
                           double StartSeconds, const FHttpRequestPtr& Request,
                           const FHttpResponsePtr& Response, bool bConnected);
    void ScheduleRetry(const FAttempt& Attempt, int32 DelayMs);
    // Hands the chain its one result (later calls do nothing) and forgets it.
    void Deliver(FRequestChain& Chain, const FQuorvexHttpResult& Result);
    FString GetBaseUrl() const;

    // ---- Request bodies ----

    static FString ConfigRequestToJson(const FQuorvexConfigRequest& Request);
    static FString GameEventRequestToJson(const FQuorvexGameEventRequest& Request);
    static FString EndSessionRequestToJson(const FQuorvexEndSessionRequest& Request);
    static void DeviceInfoToJson(const FQuorvexDeviceInfo& Device, const FJsonObjectPtr& Object);
    static void AppInfoToJson(const FQuorvexAppInfo& App, const FJsonObjectPtr& Object);

    // ---- State (game thread unless noted) ----

    std::function<FString()> BaseHostUrlProvider;
    FString LastSessionEndpoint;
    std::shared_ptr<FQuorvexConfigRequest> LastConfigPayload;
    // Every cancelable chain not yet delivered, attempts on the wire and retries
    // waiting in the schedule alike: a cancellation reaches them all.
    std::map<uint64, FRequestChainPtr> CancelableChains;
    uint64 NextChainId = 1;
    FQuorvexRetryScheduler RetryScheduler;
    // In-flight attempts and waiting retries hold weak references made from this and
    // check them before using the client; declared last so it expires first.
    FLifetimeToken Lifetime;
};
