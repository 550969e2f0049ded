// The one transport behind every backend call and upload: attempts, capped and
// jittered retries, cancellation by generation, and exactly one delivered result per
// request chain.
#include "QuorvexApiClient.h"

#include "Files.h"
#include "HttpModule.h"
#include "PlatformProcess.h"
#include "PlatformTime.h"
#include "QuorvexLog.h"
#include "StringUtils.h"
#include "Tasks.h"

#include <climits>
#include <random>

namespace
{
constexpr int32 MaxAttempts = 3;
constexpr float RequestTimeoutSeconds = 120.f;

bool IsNoRetryStatus(int32 Status)
{
    return Status >= 400 && Status <= 404;
}

uint32 DrawRandom15()
{
    thread_local std::minstd_rand Engine{std::random_device{}()};
    return static_cast<uint32>(Engine()) & 0x7FFFu;
}

FQuorvexHttpResult CanceledResult()
{
    FQuorvexHttpResult Result;
    Result.bCanceled = true;
    Result.Error = "Canceled";
    return Result;
}

} // namespace

FQuorvexApiClient::FQuorvexApiClient() = default;

FQuorvexApiClient::~FQuorvexApiClient()
{
    CancelInFlightRequests();
}

void FQuorvexApiClient::SetBaseHostUrlProvider(std::function<FString()> Provider)
{
    BaseHostUrlProvider = std::move(Provider);
}

void FQuorvexApiClient::SetRetryScheduler(FQuorvexRetryScheduler Scheduler)
{
    RetryScheduler = std::move(Scheduler);
}

void FQuorvexApiClient::CancelInFlightRequests()
{
    // Taken out first: a chain leaves the registry when it delivers.
    const std::map<uint64, FRequestChainPtr> Chains = std::exchange(CancelableChains, {});
    for (const auto& [Id, Chain] : Chains)
    {
        Chain->bDelivered = true;
        if (const FHttpRequestPtr OnWire = std::exchange(Chain->OnWire, nullptr))
        {
            OnWire->CancelRequest();
        }
        // A later task, like every completion: never inside the caller's own call.
        AsyncTask(ENamedThreads::GameThread,
                  [OnComplete = std::move(Chain->OnComplete)]
                  {
                      if (OnComplete)
                      {
                          OnComplete(CanceledResult());
                      }
                  });
    }
}

void FQuorvexApiClient::Deliver(FRequestChain& Chain, const FQuorvexHttpResult& Result)
{
    if (Chain.bDelivered)
    {
        return;
    }
    Chain.bDelivered = true;
    Chain.OnWire = nullptr;
    if (Chain.bCancelable)
    {
        CancelableChains.erase(Chain.Id);
    }
    if (FQuorvexHttpComplete OnComplete = std::move(Chain.OnComplete))
    {
        OnComplete(Result);
    }
}

int32 FQuorvexApiClient::ComputeRetryDelayMs(int32 Attempt, uint32 Random15)
{
    const int32 Shift = std::clamp(Attempt - 1, 0, 8);
    const int32 Capped = std::min(250 << Shift, 2000);
    const int32 Jitter = Capped / 5;
    const double Unit = static_cast<double>(Random15 & 0x7FFFu) / 32767.0;
    const int32 Draw = std::min(static_cast<int32>(Unit * (2 * Jitter + 1)), 2 * Jitter);
    return Capped - Jitter + Draw;
}

void FQuorvexApiClient::PostJsonAsync(const FString& Url, const FString& JsonBody,
                                      FQuorvexHttpComplete OnComplete, const FString& Verb,
                                      bool bCancelable)
{
    auto Body = std::make_shared<FRequestBody>();
    Body->Bytes.assign(JsonBody.begin(), JsonBody.end());
    SendContentAsync(Url, "application/json", std::move(Body), {}, JsonBody, std::move(OnComplete),
                     Verb, nullptr, bCancelable);
}

void FQuorvexApiClient::SendContentAsync(const FString& Url, const FString& ContentType,
                                         FRequestBodyPtr Body,
                                         const TCaseInsensitiveOrderedMap<FString>& Headers,
                                         const FString& LogBody, FQuorvexHttpComplete OnComplete,
                                         const FString& Verb, FRetryVeto RetryVeto,
                                         bool bCancelable)
{
    auto Chain = std::make_shared<FRequestChain>();
    Chain->OnComplete = std::move(OnComplete);
    Chain->bCancelable = bCancelable;
    if (bCancelable)
    {
        Chain->Id = NextChainId++;
        CancelableChains.emplace(Chain->Id, Chain);
    }
    FAttempt First;
    First.LogBody = LogBody;
    First.Url = Url;
    First.ContentType = ContentType;
    First.Body = std::move(Body);
    First.Headers = Headers;
    First.Chain = std::move(Chain);
    First.Verb = Verb;
    First.RetryVeto = std::move(RetryVeto);
    StartAttempt(std::move(First));
}

void FQuorvexApiClient::StartAttempt(FAttempt Attempt)
{
    const FString LogUrl = RedactForLog(Attempt.Url);
    QUORVEX_LOG_DEBUG("QuorvexSDK: %s %s", Attempt.Verb.c_str(), LogUrl.c_str());
    if (Attempt.Attempt <= 1)
    {
        QUORVEX_LOG_DEBUG("QuorvexSDK: request -> %s", RedactForLog(Attempt.LogBody).c_str());
    }
    if (Attempt.Chain->bDelivered)
    {
        return; // cancelled while its retry waited
    }

    FHttpRequestPtr Request = FHttpModule::Get().CreateRequest();
    Request->SetURL(Attempt.Url);
    Request->SetVerb(Attempt.Verb);
    Request->SetHeader("Content-Type", Attempt.ContentType);
    for (const auto& [Name, Value] : Attempt.Headers)
    {
        Request->SetHeader(Name, Value);
    }
    int32 RequestBytes = 0;
    if (Attempt.Body->FilePath.empty())
    {
        Request->SetContent(Attempt.Body->Bytes);
        RequestBytes = static_cast<int32>(std::min<size_t>(Attempt.Body->Bytes.size(), INT32_MAX));
    }
    else if (!Request->SetContentAsStreamedFile(Attempt.Body->FilePath))
    {
        FQuorvexHttpResult Result;
        Result.Error = FStringUtils::Printf("Could not stream upload body from %s",
                                            Attempt.Body->FilePath.c_str());
        QUORVEX_LOG(Error, "QuorvexSDK: %s", Result.Error.c_str());
        Deliver(*Attempt.Chain, Result);
        return;
    }
    else
    {
        const int64 Size = std::max<int64>(0, IFileManager::Get().FileSize(Attempt.Body->FilePath));
        RequestBytes = static_cast<int32>(std::min<int64>(Size, INT32_MAX));
    }
    Request->SetTimeout(RequestTimeoutSeconds);
    Attempt.Chain->OnWire = Request;

    const double StartSeconds = FPlatformTime::Seconds();
    Request->OnProcessRequestComplete() =
        [WeakThis = Lifetime.MakeWeak(this), Attempt, LogUrl, RequestBytes,
         StartSeconds](FHttpRequestPtr Finished, FHttpResponsePtr Response, bool bConnected)
    {
        FQuorvexApiClient* Self = WeakThis.Get();
        if (Attempt.Chain->bDelivered)
        {
            QUORVEX_LOG_DEBUG("QuorvexSDK: HTTP completion ignored (already delivered): url=%s "
                              "attempt=%d",
                              LogUrl.c_str(), Attempt.Attempt);
            return;
        }
        if (!Self)
        {
            // The client is gone: the chain still reports, as cancelled.
            Attempt.Chain->bDelivered = true;
            Attempt.Chain->OnWire = nullptr;
            if (Attempt.Chain->OnComplete)
            {
                Attempt.Chain->OnComplete(CanceledResult());
            }
            return;
        }
        Self->OnAttemptComplete(Attempt, LogUrl, RequestBytes, StartSeconds, Finished, Response,
                                bConnected);
    };
    Request->ProcessRequest();
}

void FQuorvexApiClient::OnAttemptComplete(const FAttempt& Attempt, const FString& LogUrl,
                                          int32 RequestBytes, double StartSeconds,
                                          const FHttpRequestPtr& Request,
                                          const FHttpResponsePtr& Response, bool bConnected)
{
    FQuorvexHttpResult Result;
    Result.ElapsedSeconds = FPlatformTime::Seconds() - StartSeconds;
    Result.RequestBytes = RequestBytes;
    Result.bTimedOut = Request->GetFailureReason() == EHttpFailureReason::TimedOut;
    Result.bCanceled = Request->GetFailureReason() == EHttpFailureReason::Cancelled;
    Attempt.Chain->OnWire = nullptr;
    if (Result.bCanceled)
    {
        Result.Error = "Canceled";
        QUORVEX_LOG_DEBUG("QuorvexSDK: HTTP request canceled: url=%s attempt=%d", LogUrl.c_str(),
                          Attempt.Attempt);
        Deliver(*Attempt.Chain, Result);
        return;
    }

    if (!bConnected || !Response)
    {
        Result.Error = Result.bTimedOut ? "Connection timed out"
                                        : "Connection failed (DNS or transport error)";
        QUORVEX_LOG(Error, "QuorvexSDK: HTTP connection failed: url=%s attempt=%d timedOut=%s",
                    LogUrl.c_str(), Attempt.Attempt, Result.bTimedOut ? "true" : "false");
    }
    else
    {
        Result.StatusCode = Response->GetResponseCode();
        Result.ResponseBody = Response->GetContentAsString();
        Result.bSuccess = Result.StatusCode >= 200 && Result.StatusCode <= 299;
        if (!Result.bSuccess)
        {
            Result.Error =
                FStringUtils::Printf("%d %s", Result.StatusCode, Result.ResponseBody.c_str());
        }
        QUORVEX_LOG_DEBUG("QuorvexSDK: response <- %d %s", Result.StatusCode,
                          RedactForLog(Result.ResponseBody).c_str());
    }

    if (Result.bSuccess)
    {
        Deliver(*Attempt.Chain, Result);
        return;
    }
    if (Attempt.Attempt >= MaxAttempts)
    {
        QUORVEX_LOG(Error, "QuorvexSDK: HTTP failed (after retries): url=%s status=%d error=%s",
                    LogUrl.c_str(), Result.StatusCode, RedactForLog(Result.Error).c_str());
        Deliver(*Attempt.Chain, Result);
        return;
    }
    if (IsNoRetryStatus(Result.StatusCode))
    {
        QUORVEX_LOG(Error, "QuorvexSDK: HTTP rejected (no retry): url=%s status=%d", LogUrl.c_str(),
                    Result.StatusCode);
        Deliver(*Attempt.Chain, Result);
        return;
    }
    if (Attempt.RetryVeto && Attempt.RetryVeto(Result))
    {
        QUORVEX_LOG_DEBUG("QuorvexSDK: HTTP retry vetoed by caller: url=%s status=%d",
                          LogUrl.c_str(), Result.StatusCode);
        Deliver(*Attempt.Chain, Result);
        return;
    }
    QUORVEX_LOG(Warning, "QuorvexSDK: HTTP retry %d/%d url=%s status=%d error=%s", Attempt.Attempt,
                MaxAttempts - 1, LogUrl.c_str(), Result.StatusCode,
                RedactForLog(Result.Error).c_str());
    ScheduleRetry(Attempt, ComputeRetryDelayMs(Attempt.Attempt, DrawRandom15()));
}

void FQuorvexApiClient::ScheduleRetry(const FAttempt& Attempt, int32 DelayMs)
{
    FAttempt Next = Attempt;
    ++Next.Attempt;
    Next.LogBody.clear();
    auto Retry = [WeakThis = Lifetime.MakeWeak(this), Next]() mutable
    {
        if (FQuorvexApiClient* Self = WeakThis.Get())
        {
            Self->StartAttempt(std::move(Next));
        }
    };
    if (RetryScheduler)
    {
        RetryScheduler(static_cast<float>(DelayMs) / 1000.f, std::move(Retry));
        return;
    }
    // Without a scheduler a worker waits out the delay, then hands the attempt back
    // to the game thread, where the client lives and completions are expected.
    AsyncTask(ENamedThreads::AnyBackgroundThreadNormalTask,
              [DelayMs, Retry = std::move(Retry)]() mutable
              {
                  FPlatformProcess::Sleep(static_cast<float>(DelayMs) / 1000.f);
                  AsyncTask(ENamedThreads::GameThread, std::move(Retry));
              });
}
