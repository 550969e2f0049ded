#include "DevBackendRequestLog.h"

#include <algorithm>

std::string FDevBackendRecordedRequest::Header(std::string_view Name) const
{
    return FindDevBackendHeader(Headers, Name);
}

nlohmann::json FDevBackendRecordedRequest::JsonBody() const
{
    return nlohmann::json::parse(Body, nullptr, /*allow_exceptions=*/false);
}

std::size_t FDevBackendRequestLog::Append(const FDevBackendRequest& Request,
                                          EDevBackendEndpoint Endpoint)
{
    FDevBackendRecordedRequest Record;
    Record.Endpoint = Endpoint;
    Record.Method = Request.Method;
    Record.Target = Request.Target;
    Record.Path = Request.Path;
    Record.Headers = Request.Headers;
    Record.Body = Request.Body;
    Record.PathSessionId = Request.PathSessionId;
    Record.ReceivedAt = std::chrono::steady_clock::now();
    std::size_t Index = 0;
    {
        std::lock_guard Lock(Mutex);
        Index = Records.size();
        Record.Index = Index;
        Records.push_back(std::move(Record));
    }
    Changed.notify_all();
    return Index;
}

void FDevBackendRequestLog::Complete(std::size_t Index, const FDevBackendReply& Reply)
{
    {
        std::lock_guard Lock(Mutex);
        if (Index >= Records.size())
        {
            return;
        }
        FDevBackendRecordedRequest& Record = Records[Index];
        Record.bAnswered = true;
        Record.bDropped = Reply.bDrop;
        Record.Status = Reply.bDrop ? 0 : Reply.Status;
        Record.ResponseBody = Reply.bDrop ? std::string() : Reply.Body;
    }
    Changed.notify_all();
}

std::vector<FDevBackendRecordedRequest> FDevBackendRequestLog::All() const
{
    std::lock_guard Lock(Mutex);
    return Records;
}

std::optional<FDevBackendRecordedRequest> FDevBackendRequestLog::At(std::size_t Index) const
{
    std::lock_guard Lock(Mutex);
    if (Index >= Records.size())
    {
        return std::nullopt;
    }
    return Records[Index];
}

std::vector<FDevBackendRecordedRequest>
FDevBackendRequestLog::ForEndpoint(EDevBackendEndpoint Endpoint) const
{
    std::lock_guard Lock(Mutex);
    std::vector<FDevBackendRecordedRequest> Matching;
    std::copy_if(Records.begin(), Records.end(), std::back_inserter(Matching),
                 [Endpoint](const FDevBackendRecordedRequest& R)
                 { return R.Endpoint == Endpoint; });
    return Matching;
}

std::size_t FDevBackendRequestLog::Count(EDevBackendEndpoint Endpoint) const
{
    std::lock_guard Lock(Mutex);
    return static_cast<std::size_t>(std::count_if(Records.begin(), Records.end(),
                                                  [Endpoint](const FDevBackendRecordedRequest& R)
                                                  { return R.Endpoint == Endpoint; }));
}

bool FDevBackendRequestLog::WaitUntil(const FPredicate& Predicate,
                                      std::chrono::milliseconds Timeout) const
{
    std::unique_lock Lock(Mutex);
    return Changed.wait_for(Lock, Timeout, [&] { return Predicate(Records); });
}

bool FDevBackendRequestLog::WaitForCount(EDevBackendEndpoint Endpoint, std::size_t Count,
                                         std::chrono::milliseconds Timeout) const
{
    return WaitUntil(
        [Endpoint, Count](const std::vector<FDevBackendRecordedRequest>& All)
        {
            return static_cast<std::size_t>(
                       std::count_if(All.begin(), All.end(),
                                     [Endpoint](const FDevBackendRecordedRequest& R)
                                     { return R.Endpoint == Endpoint; })) >= Count;
        },
        Timeout);
}

bool FDevBackendRequestLog::WaitForAnswered(EDevBackendEndpoint Endpoint, std::size_t Count,
                                            std::chrono::milliseconds Timeout) const
{
    return WaitUntil(
        [Endpoint, Count](const std::vector<FDevBackendRecordedRequest>& All)
        {
            std::size_t Seen = 0;
            for (const FDevBackendRecordedRequest& R : All)
            {
                if (R.Endpoint != Endpoint)
                {
                    continue;
                }
                if (!R.bAnswered)
                {
                    return false;
                }
                ++Seen;
            }
            return Seen >= Count;
        },
        Timeout);
}
