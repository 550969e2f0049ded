// The heartbeat that keeps the session alive on the backend, the re-check after a
// resume, and the rollover to a fresh session when the backend says the current one
// is no longer active.
#include "QuorvexSubsystem.h"

#include "QuorvexApiClient.h"
#include "QuorvexLog.h"
#include "QuorvexUploadOrchestrator.h"

namespace
{
int32 HeartbeatIntervalOf(const std::shared_ptr<FQuorvexSessionData>& Session)
{
    return Session && !Session->SessionId.empty() ? Session->CaptureConfig.HeartbeatIntervalSeconds
                                                  : 0;
}
} // namespace

void UQuorvexSubsystem::TickHeartbeat(float DeltaTime)
{
    const int32 Interval = HeartbeatIntervalOf(Session);
    if (Interval < 1)
    {
        return;
    }
    Heartbeat.AccumulatorSeconds += DeltaTime;
    if (Heartbeat.AccumulatorSeconds >= static_cast<float>(Interval))
    {
        Heartbeat.AccumulatorSeconds = 0.f;
        ++Cadences.Counters.Heartbeats;
        SendHeartbeat();
    }
}

void UQuorvexSubsystem::SendHeartbeat()
{
    // A heartbeat due while the previous one is outstanding is skipped, not deferred.
    if (Heartbeat.bInFlight || !Session || Session->SessionId.empty())
    {
        return;
    }
    Heartbeat.bInFlight = true;
    ApiClient->HeartbeatAsync(Session->SessionId,
                              [WeakThis = Lifetime.MakeWeak(this),
                               Generation = SessionGeneration.load(),
                               SessionId = Session->SessionId](const FQuorvexHttpResult& Result)
                              {
                                  if (UQuorvexSubsystem* Self = WeakThis.Get())
                                  {
                                      Self->HandleHeartbeatResult(Result, Generation, SessionId);
                                  }
                              });
}

void UQuorvexSubsystem::HandleHeartbeatResult(const FQuorvexHttpResult& Result, int32 Generation,
                                              const FString& SessionId)
{
    FLifecycleOperation Operation(*this);
    if (!IsCurrentGeneration(Generation))
    {
        // The in-flight flag now belongs to a later session.
        QUORVEX_LOG_DEBUG("QuorvexSDK: heartbeat answer of an ended session ignored. sessionId=%s",
                          SessionId.c_str());
        return;
    }
    Heartbeat.bInFlight = false;
    if (SessionId != GetCurrentSessionId())
    {
        // A rollover replaced the session meanwhile: this answer says nothing of the new one.
        QUORVEX_LOG_DEBUG(
            "QuorvexSDK: heartbeat answer of a replaced session ignored. sessionId=%s",
            SessionId.c_str());
        return;
    }
    bool bReached = false;
    FString Code, Message;
    const bool bAlive = FQuorvexApiClient::ParseHeartbeatAlive(Result, bReached, Code, Message);
    // A backend that answers a dead session with an error status still reached us.
    bReached = bReached || FQuorvexApiClient::IsInactiveSessionResponse(Result);
    if (!bReached)
    {
        QUORVEX_LOG(Warning, "QuorvexSDK: heartbeat failed to reach the server. status=%d error=%s",
                    Result.StatusCode, FQuorvexApiClient::RedactForLog(Result.Error).c_str());
        return;
    }
    if (!bAlive)
    {
        QUORVEX_LOG(Warning,
                    "QuorvexSDK: heartbeat reported the session is no longer active. code=%s "
                    "message=%s",
                    Code.c_str(), Message.c_str());
        if (IsCaptureRunning())
        {
            BeginSessionRollover("HeartbeatInactiveSession");
        }
        else
        {
            QUORVEX_LOG_DEBUG("QuorvexSDK: skipping rollover: state is %s, not capturing.",
                              GetSdkStatusString().c_str());
        }
        return;
    }
    Heartbeat.LastOkMs = NowMs();
    QUORVEX_LOG_DEBUG("QuorvexSDK: heartbeat ok. sessionId=%s", GetCurrentSessionId().c_str());
}

void UQuorvexSubsystem::BeginSessionRollover(const char* Reason)
{
    const FString ReasonText = Reason ? Reason : "";
    if (Heartbeat.bRolloverInFlight)
    {
        QUORVEX_LOG_DEBUG("QuorvexSDK: rollover already in flight; not starting another. reason=%s",
                          ReasonText.c_str());
        return;
    }
    Heartbeat.bRolloverInFlight = true;
    QUORVEX_LOG(Log, "QuorvexSDK: Rolling the session over. reason=%s", ReasonText.c_str());
    ApiClient->RefreshSessionAsync(
        [WeakThis = Lifetime.MakeWeak(this), ReasonText,
         Generation = SessionGeneration.load()](std::shared_ptr<FQuorvexSessionData> NewSession)
        {
            if (UQuorvexSubsystem* Self = WeakThis.Get())
            {
                Self->OnSessionRolledOver(std::move(NewSession), ReasonText, Generation);
            }
        });
}

void UQuorvexSubsystem::OnSessionRolledOver(std::shared_ptr<FQuorvexSessionData> NewSession,
                                            const FString& Reason, int32 Generation)
{
    FLifecycleOperation Operation(*this);
    const bool bUsable = NewSession && !NewSession->SessionId.empty();
    // The session the rollover replaced was stopped (or a new one started) while the
    // replay was out: the replacement belongs to nothing, so it is ended, not adopted.
    if (!IsCurrentGeneration(Generation) || (!IsCaptureRunning() && !IsCapturePaused()))
    {
        if (IsCurrentGeneration(Generation))
        {
            Heartbeat.bRolloverInFlight = false;
        }
        if (bUsable)
        {
            EndAbandonedSession(*NewSession, "its rollover completed after the stop");
        }
        return;
    }
    Heartbeat.bRolloverInFlight = false;
    if (!bUsable)
    {
        QUORVEX_LOG(Error, "QuorvexSDK: Session rollover failed; stopping capture. reason=%s",
                    Reason.c_str());
        Lifecycle.LastSessionFailureMessage = "session rollover failed";
        StopCaptureInternal("SessionRolloverFailed");
        return;
    }
    if (NewSession->UploadCredentials.UploadUrl.empty())
    {
        QUORVEX_LOG(Error, "QuorvexSDK: Session rollover returned no usable upload credentials; "
                           "stopping capture.");
        Lifecycle.LastSessionFailureMessage = "session rollover returned no upload credentials";
        StopCaptureInternal("SessionRolloverNoCredentials");
        return;
    }
    AdoptRolledOverSession(std::move(NewSession));
    Heartbeat.AccumulatorSeconds = 0.f;
    QUORVEX_LOG(Log, "QuorvexSDK: Session rolled over. newSessionId=%s provider=%s",
                Session->SessionId.c_str(), Session->StorageProvider.c_str());
}

void UQuorvexSubsystem::AdoptRolledOverSession(std::shared_ptr<FQuorvexSessionData> NewSession)
{
    Session = std::move(NewSession);
    SessionContext.NextBatchSequence = 1;
    Uploads->ResetRefreshAttempts();
    Heartbeat.LastOkMs = NowMs();
    ApplyServerCaptureInterval();
}

void UQuorvexSubsystem::ValidateSessionAfterResumeIfStale()
{
    const int32 Interval = HeartbeatIntervalOf(Session);
    if (Interval <= 0)
    {
        return;
    }
    const int64 Age = NowMs() - Heartbeat.LastOkMs;
    if (Heartbeat.LastOkMs <= 0 || Age >= static_cast<int64>(Interval) * 1000)
    {
        QUORVEX_LOG_DEBUG(
            "QuorvexSDK: last heartbeat is stale (%lldms); re-validating the session now.",
            static_cast<long long>(Age));
        Heartbeat.AccumulatorSeconds = 0.f;
        SendHeartbeat();
    }
}
