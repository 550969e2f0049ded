// One HTTP request and its response, shaped like the engine's IHttpRequest.
//
// Configure the request on one thread, then ProcessRequest. The transfer runs on the
// HTTP manager's network thread; the completion runs on the game thread through its
// task queue. A request is used for one attempt: retries create new requests.
#pragma once

#include "CaseInsensitiveMap.h"
#include "CoreTypes.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class FHttpRequest;
class FHttpResponse;
using FHttpRequestPtr = std::shared_ptr<FHttpRequest>;
using FHttpResponsePtr = std::shared_ptr<FHttpResponse>;

enum class EHttpRequestStatus : uint8
{
    NotStarted,
    Processing,
    Failed,
    Succeeded, // a response arrived, whatever its status code
};

// Why a request produced no response.
enum class EHttpFailureReason : uint8
{
    None,
    ConnectionError, // DNS, connect, TLS, a dropped connection, an unreadable body
    Cancelled,
    TimedOut,
    Other,
};

const char* LexToString(EHttpFailureReason Reason);

class FHttpResponse
{
public:
    int32 GetResponseCode() const { return ResponseCode; }
    FString GetContentAsString() const { return FString(Content.begin(), Content.end()); }
    const std::vector<uint8>& GetContent() const { return Content; }
    // The value of a response header (name compared ignoring case), or empty.
    FString GetHeader(const FString& Name) const;

private:
    friend class FHttpRequest;
    friend struct FCurlCallbacks;
    int32 ResponseCode = 0;
    std::vector<uint8> Content;
    TCaseInsensitiveOrderedMap<FString> Headers;
};

// (Request, Response or null, bConnectedSuccessfully)
// What the HTTP manager's network thread may do with a request.
struct FHttpRequestNetworkAccess
{
    static bool IsCancelRequested(const FHttpRequest& Request);
    static bool Prepare(FHttpRequest& Request, void* Multi, float TimeoutCapSeconds);
    static void Finish(FHttpRequest& Request, int CurlCode, bool bCancelled);
    static void* EasyHandle(const FHttpRequest& Request);
    static void Release(FHttpRequest& Request);
};

using FHttpRequestCompleteDelegate = std::function<void(
    FHttpRequestPtr Request, FHttpResponsePtr Response, bool bConnectedSuccessfully)>;

class FHttpRequest : public std::enable_shared_from_this<FHttpRequest>
{
public:
    ~FHttpRequest();

    void SetURL(const FString& Url);
    void SetVerb(const FString& Verb);
    void SetHeader(const FString& Name, const FString& Value);
    void SetContent(std::vector<uint8> Bytes);
    void SetContentAsString(const FString& Text);
    // Streams the body from a file, opened afresh when the transfer starts and read
    // in chunks. False (nothing changed) when the file cannot be opened now.
    bool SetContentAsStreamedFile(const FString& Path);
    // Seconds for the whole transfer; the module's cap applies when lower.
    void SetTimeout(float Seconds);
    FHttpRequestCompleteDelegate& OnProcessRequestComplete() { return CompleteDelegate; }

    // Starts the transfer. False when the request was already started or has no URL.
    bool ProcessRequest();
    // Ends an in-flight request; its completion reports Cancelled. Any thread.
    void CancelRequest();

    const FString& GetURL() const { return Url; }
    const FString& GetVerb() const { return Verb; }
    FString GetHeader(const FString& Name) const;
    EHttpRequestStatus GetStatus() const { return Status.load(); }
    EHttpFailureReason GetFailureReason() const { return FailureReason.load(); }
    FHttpResponsePtr GetResponse() const;
    // Size of the body that will be or was sent.
    int64 GetContentLength() const;

private:
    friend class FHttpModule;
    friend struct FCurlCallbacks;
    friend struct FHttpRequestNetworkAccess;
    FHttpRequest();

    // Network thread: builds the transfer. False when the body cannot be opened.
    bool PrepareTransfer(void* Multi, float TimeoutCapSeconds);
    // Network thread: records the outcome and hands the completion to the game thread.
    void FinishTransfer(int CurlCode, bool bCancelled);
    // Network thread: the libcurl easy handle of the prepared transfer.
    void* GetEasyHandle() const;
    // Game thread: runs the completion delegate once.
    void DeliverCompletion();

    // Configuration: set before ProcessRequest, read-only afterwards.
    FString Url;
    FString Verb = "GET";
    TCaseInsensitiveOrderedMap<FString> Headers;
    std::vector<uint8> Body;
    FString BodyFilePath;
    float TimeoutSeconds = 0.f; // 0: the module default
    FHttpRequestCompleteDelegate CompleteDelegate;

    // Progress, shared between the caller and the network thread.
    std::atomic<EHttpRequestStatus> Status{EHttpRequestStatus::NotStarted};
    std::atomic<EHttpFailureReason> FailureReason{EHttpFailureReason::None};
    std::atomic<bool> bCancelRequested{false};
    mutable std::mutex ResponseMutex;
    FHttpResponsePtr Response; // guarded by ResponseMutex; set by the network thread

    // The libcurl transfer; network thread only.
    std::unique_ptr<struct FCurlTransfer> Transfer;
};
