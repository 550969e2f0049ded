#include "HttpModule.h"

#include "Logging.h"
#include "Tasks.h"

#include <chrono>
#include <condition_variable>
#include <curl/curl.h>
#include <deque>
#include <pthread.h>
#include <thread>
#include <unordered_map>

namespace
{
FLogCategory LogHttp("LogHttp", ELogVerbosity::Log);
}

struct FHttpManager::FImpl
{
    CURLM* Multi = nullptr;
    std::thread NetworkThread;

    std::mutex Mutex;
    std::condition_variable WorkReady;       // network thread waits here when idle
    std::condition_variable CompletionReady; // Flush waits here
    std::deque<FHttpRequestPtr> ToStart;     // guarded by Mutex
    std::deque<FHttpRequestPtr> ToCancel;    // guarded by Mutex
    int32 Outstanding = 0;                   // started and not yet delivered; guarded by Mutex
    int32 PostedCompletions = 0;             // guarded by Mutex
    bool bStopping = false;                  // guarded by Mutex
    bool bStarted = false;                   // guarded by Mutex
    double SoftLimitSeconds = 2.0;           // guarded by Mutex
    double HardLimitSeconds = 4.0;           // guarded by Mutex

    // Network thread only.
    std::unordered_map<FHttpRequest*, FHttpRequestPtr> Active;

    void Run();
    void TakeQueued();
    void StartOne(const FHttpRequestPtr& Request);
    void Finish(FHttpRequest* Request, int CurlCode, bool bCancelled);
    void ReapFinished();
};

FHttpManager::FHttpManager() : Impl(std::make_unique<FImpl>())
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    Impl->Multi = curl_multi_init();
}

FHttpManager::~FHttpManager()
{
    {
        std::lock_guard Lock(Impl->Mutex);
        Impl->bStopping = true;
    }
    Impl->WorkReady.notify_all();
    curl_multi_wakeup(Impl->Multi);
    if (Impl->NetworkThread.joinable())
    {
        Impl->NetworkThread.join();
    }
    curl_multi_cleanup(Impl->Multi);
}

void FHttpManager::Start(FHttpRequestPtr Request)
{
    {
        std::lock_guard Lock(Impl->Mutex);
        ++Impl->Outstanding;
        Impl->ToStart.push_back(std::move(Request));
        if (!Impl->bStarted)
        {
            Impl->bStarted = true;
            Impl->NetworkThread = std::thread(
                [this]
                {
                    pthread_setname_np(pthread_self(), "HttpNetwork");
                    Impl->Run();
                });
        }
    }
    Impl->WorkReady.notify_one();
    curl_multi_wakeup(Impl->Multi);
}

void FHttpManager::Cancel(FHttpRequestPtr Request)
{
    {
        std::lock_guard Lock(Impl->Mutex);
        Impl->ToCancel.push_back(std::move(Request));
    }
    Impl->WorkReady.notify_one();
    curl_multi_wakeup(Impl->Multi);
}

void FHttpManager::OnCompletionPosted()
{
    {
        std::lock_guard Lock(Impl->Mutex);
        ++Impl->PostedCompletions;
    }
    Impl->CompletionReady.notify_all();
}

void FHttpManager::OnCompletionDelivered()
{
    std::lock_guard Lock(Impl->Mutex);
    --Impl->PostedCompletions;
    --Impl->Outstanding;
}

int32 FHttpManager::NumOutstanding() const
{
    std::lock_guard Lock(Impl->Mutex);
    return Impl->Outstanding;
}

void FHttpManager::SetFlushLimits(double SoftSeconds, double HardSeconds)
{
    std::lock_guard Lock(Impl->Mutex);
    Impl->SoftLimitSeconds = SoftSeconds;
    Impl->HardLimitSeconds = HardSeconds;
}

void FHttpManager::CancelAll()
{
    {
        std::lock_guard Lock(Impl->Mutex);
        Impl->ToCancel.push_back(nullptr); // marker: cancel everything started so far
    }
    Impl->WorkReady.notify_one();
    curl_multi_wakeup(Impl->Multi);
}

void FHttpManager::Flush(EHttpFlushReason Reason)
{
    using FClockType = std::chrono::steady_clock;
    const auto Start = FClockType::now();
    double Soft = 0, Hard = 0;
    {
        std::lock_guard Lock(Impl->Mutex);
        Soft = Impl->SoftLimitSeconds;
        Hard = Impl->HardLimitSeconds;
    }
    const bool bLimited = Reason != EHttpFlushReason::FullFlush;
    bool bCancelled = false;
    while (true)
    {
        FTaskGraph::PumpGameThreadTasks();
        std::unique_lock Lock(Impl->Mutex);
        if (Impl->Outstanding <= 0)
        {
            return;
        }
        const double Elapsed = std::chrono::duration<double>(FClockType::now() - Start).count();
        if (bLimited && Elapsed >= Hard)
        {
            LogPrintf(LogHttp, ELogVerbosity::Warning,
                      "Flush gave up after %.1fs with %d request(s) outstanding", Elapsed,
                      Impl->Outstanding);
            return;
        }
        if (bLimited && Elapsed >= Soft && !bCancelled)
        {
            bCancelled = true;
            Lock.unlock();
            CancelAll();
            continue;
        }
        const double Next = !bLimited ? 3600.0 : (bCancelled ? Hard : Soft) - Elapsed;
        Impl->CompletionReady.wait_for(Lock, std::chrono::duration<double>(Next),
                                       [this] { return Impl->PostedCompletions > 0; });
    }
}

void FHttpManager::FImpl::Run()
{
    while (true)
    {
        {
            std::unique_lock Lock(Mutex);
            WorkReady.wait(
                Lock, [this]
                { return bStopping || !ToStart.empty() || !ToCancel.empty() || !Active.empty(); });
            if (bStopping)
            {
                break;
            }
        }
        TakeQueued();
        int Running = 0;
        curl_multi_perform(Multi, &Running);
        ReapFinished();
        if (!Active.empty())
        {
            // Blocks until a socket is ready, a timeout of curl's is due, or a wakeup.
            curl_multi_poll(Multi, nullptr, 0, 1000, nullptr);
        }
    }
    for (auto& [Raw, Request] : Active)
    {
        curl_multi_remove_handle(Multi, FHttpRequestNetworkAccess::EasyHandle(*Request));
        FHttpRequestNetworkAccess::Release(*Request);
    }
    Active.clear();
}

void FHttpManager::FImpl::TakeQueued()
{
    std::deque<FHttpRequestPtr> Starting, Cancelling;
    {
        std::lock_guard Lock(Mutex);
        Starting.swap(ToStart);
        Cancelling.swap(ToCancel);
    }
    for (const FHttpRequestPtr& Request : Starting)
    {
        StartOne(Request);
    }
    for (const FHttpRequestPtr& Request : Cancelling)
    {
        if (!Request)
        {
            std::vector<FHttpRequest*> All;
            for (auto& [Raw, Held] : Active)
            {
                All.push_back(Raw);
            }
            for (FHttpRequest* Raw : All)
            {
                Finish(Raw, CURLE_ABORTED_BY_CALLBACK, true);
            }
        }
        else if (Active.count(Request.get()))
        {
            Finish(Request.get(), CURLE_ABORTED_BY_CALLBACK, true);
        }
    }
}

void FHttpManager::FImpl::StartOne(const FHttpRequestPtr& Request)
{
    using FAccess = FHttpRequestNetworkAccess;
    if (FAccess::IsCancelRequested(*Request))
    {
        FAccess::Finish(*Request, CURLE_ABORTED_BY_CALLBACK, true);
        return;
    }
    if (!FAccess::Prepare(*Request, Multi, FHttpModule::Get().GetHttpTimeoutCap()))
    {
        FAccess::Finish(*Request, CURLE_READ_ERROR, false);
        return;
    }
    Active.emplace(Request.get(), Request);
    curl_multi_add_handle(Multi, FAccess::EasyHandle(*Request));
}

void FHttpManager::FImpl::Finish(FHttpRequest* Raw, int CurlCode, bool bCancelled)
{
    auto It = Active.find(Raw);
    if (It == Active.end())
    {
        return;
    }
    FHttpRequestPtr Request = It->second;
    Active.erase(It);
    curl_multi_remove_handle(Multi, FHttpRequestNetworkAccess::EasyHandle(*Request));
    FHttpRequestNetworkAccess::Finish(*Request, CurlCode, bCancelled);
}

void FHttpManager::FImpl::ReapFinished()
{
    int Left = 0;
    while (CURLMsg* Message = curl_multi_info_read(Multi, &Left))
    {
        if (Message->msg != CURLMSG_DONE)
        {
            continue;
        }
        void* Private = nullptr;
        curl_easy_getinfo(Message->easy_handle, CURLINFO_PRIVATE, &Private);
        Finish(static_cast<FHttpRequest*>(Private), Message->data.result, false);
    }
}

FHttpModule& FHttpModule::Get()
{
    static FHttpModule Instance;
    return Instance;
}

FHttpModule::FHttpModule() = default;

FHttpManager& FHttpModule::GetHttpManager()
{
    // Never destroyed, like the task queues: its network thread may be finishing a
    // transfer while the process exits.
    static FHttpManager* Manager = new FHttpManager();
    return *Manager;
}

FHttpRequestPtr FHttpModule::CreateRequest()
{
    GetHttpManager(); // make sure the manager outlives every request
    return FHttpRequestPtr(new FHttpRequest());
}

void FHttpModule::SetHttpTimeout(float Seconds)
{
    DefaultTimeout = Seconds;
}

float FHttpModule::GetHttpTimeout() const
{
    return DefaultTimeout;
}

void FHttpModule::SetHttpTimeoutCap(float Seconds)
{
    TimeoutCap = Seconds;
}

float FHttpModule::GetHttpTimeoutCap() const
{
    return TimeoutCap;
}
