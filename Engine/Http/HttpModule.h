// The HTTP module: creates requests and owns the manager that runs them.
#pragma once

#include "HttpRequest.h"

enum class EHttpFlushReason : uint8
{
    Default,
    Background,
    Shutdown,
    FullFlush, // no time limits
};

// Runs every request on one network thread over libcurl's multi interface. An idle
// manager blocks its thread; it uses no CPU.
class FHttpManager
{
public:
    // Blocks the game thread until every started request has completed and its
    // completion has run, pumping game-thread tasks meanwhile. Past the soft limit
    // the remaining requests are cancelled; past the hard limit it gives up.
    void Flush(EHttpFlushReason Reason = EHttpFlushReason::Default);
    // Requests started and not yet delivered.
    int32 NumOutstanding() const;
    // Seconds for the soft and hard flush limits (Default reason).
    void SetFlushLimits(double SoftSeconds, double HardSeconds);

private:
    friend class FHttpModule;
    friend class FHttpRequest;
    FHttpManager();
    ~FHttpManager();
    FHttpManager(const FHttpManager&) = delete;
    FHttpManager& operator=(const FHttpManager&) = delete;

    void Start(FHttpRequestPtr Request);
    void Cancel(FHttpRequestPtr Request);
    void OnCompletionPosted();
    void OnCompletionDelivered();
    void CancelAll();

    struct FImpl;
    std::unique_ptr<FImpl> Impl;
};

class FHttpModule
{
public:
    static FHttpModule& Get();

    FHttpRequestPtr CreateRequest();
    FHttpManager& GetHttpManager();

    // Timeout of requests that set none (seconds).
    void SetHttpTimeout(float Seconds);
    float GetHttpTimeout() const;
    // Upper bound on every request's timeout, as an engine setting would impose;
    // 0 means no cap. Lets tests exercise timeouts in well under a second.
    void SetHttpTimeoutCap(float Seconds);
    float GetHttpTimeoutCap() const;

private:
    FHttpModule();
    std::atomic<float> DefaultTimeout{180.f};
    std::atomic<float> TimeoutCap{0.f};
};
