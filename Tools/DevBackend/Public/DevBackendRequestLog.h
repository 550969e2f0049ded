// The dev backend's record of every request it received, in arrival order, for tests
// to inspect. A request is recorded when it arrives (before any scripted delay or
// stall), and its outcome is filled in once it has been answered or dropped. Records
// hold no credentials: Authorization headers, signature parameters and the secrets of
// issued credentials read "<redacted>". Store uploads are streamed, so their Body is
// empty; the stores' objects hold what was uploaded.
//
// Thread safety: every member may be called from any thread. The server's worker
// threads append and complete records; tests read copies and wait on a condition.
#pragma once

#include "DevBackendTypes.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct FDevBackendRecordedRequest
{
    std::size_t Index = 0; // 0-based arrival order across all endpoints
    EDevBackendEndpoint Endpoint = EDevBackendEndpoint::Unknown;
    std::string Method;
    std::string Target; // raw, query included
    std::string Path;   // decoded, no query
    FDevBackendHeaders Headers;
    std::string Body;
    std::string PathSessionId; // decoded {id} of session-scoped routes
    std::chrono::steady_clock::time_point ReceivedAt;

    bool bAnswered = false; // set once the request has been answered or dropped
    bool bDropped = false;  // closed without a response
    int Status = 0;         // status sent; 0 while unanswered or when dropped
    std::string ResponseBody;

    // First value of a header, ignoring case; empty when absent.
    std::string Header(std::string_view Name) const;
    // The body parsed as JSON; a discarded value when it is not JSON.
    nlohmann::json JsonBody() const;
};

class FDevBackendRequestLog
{
public:
    using FPredicate = std::function<bool(const std::vector<FDevBackendRecordedRequest>&)>;

    // Records an arriving request and returns its index.
    std::size_t Append(const FDevBackendRequest& Request, EDevBackendEndpoint Endpoint);
    // Fills in how the request at Index was answered.
    void Complete(std::size_t Index, const FDevBackendReply& Reply);

    std::vector<FDevBackendRecordedRequest> All() const;
    // A copy of the record at Index; nullopt when there is none.
    std::optional<FDevBackendRecordedRequest> At(std::size_t Index) const;
    std::vector<FDevBackendRecordedRequest> ForEndpoint(EDevBackendEndpoint Endpoint) const;
    std::size_t Count(EDevBackendEndpoint Endpoint) const;

    // Waits until Predicate holds for the records (checked at once and after every
    // change) or Timeout passes; returns whether it held.
    bool WaitUntil(const FPredicate& Predicate, std::chrono::milliseconds Timeout) const;
    // Waits until at least Count requests reached Endpoint.
    bool WaitForCount(EDevBackendEndpoint Endpoint, std::size_t Count,
                      std::chrono::milliseconds Timeout) const;
    // Waits until at least Count requests reached Endpoint and all of them were answered.
    bool WaitForAnswered(EDevBackendEndpoint Endpoint, std::size_t Count,
                         std::chrono::milliseconds Timeout) const;

private:
    mutable std::mutex Mutex;
    mutable std::condition_variable Changed;
    std::vector<FDevBackendRecordedRequest> Records; // guarded by Mutex
};
