// The heartbeat that keeps the session alive on the backend, the re-check after a
// resume, and the rollover to a fresh session when the backend says the current one
// is no longer active.
#include "QuorvexSubsystem.h"

#include "QuorvexApiClient.h"
#include "QuorvexLog.h"

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
    HeartbeatAccumulatorSeconds += DeltaTime;
    if (HeartbeatAccumulatorSeconds >= static_cast<float>(Interval))
    {
        HeartbeatAccumulatorSeconds = 0.f;
        ++CadenceCounters.Heartbeats;
        SendHeartbeat();
    }
}

void UQuorvexSubsystem::SendHeartbeat()
{
    // A heartbeat due while the previous one is outstanding is skipped, not deferred.
    if (bHeartbeatInFlight || !Session || Session->SessionId.empty())
    {
        return;
    }
    bHeartbeatInFlight = true;
    ApiClient->HeartbeatAsync(Session->SessionId,
                              [WeakThis = Lifetime.MakeWeak(this)](const FQuorvexHttpResult& Result)
                              {
                                  if (UQuorvexSubsystem* Self = WeakThis.Get())
                                  {
                                      Self->HandleHeartbeatResult(Result);
                                  }
                              });
}

void UQuorvexSubsystem::HandleHeartbeatResult(const FQuorvexHttpResult& Result)
{
    bHeartbeatInFlight = false;
    bool bReached = false;
    FString Code, Message;
    const bool bAlive = FQuorvexApiClient::ParseHeartbeatAlive(Result, bReached, Code, Message);
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
        if (PublicState == EQuorvexSdkState::SDK_STATE_CAPTURING)
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
    LastHeartbeatOkMs = NowMs();
    QUORVEX_LOG_DEBUG("QuorvexSDK: heartbeat ok. sessionId=%s", GetCurrentSessionId().c_str());
}

void UQuorvexSubsystem::BeginSessionRollover(const char* Reason)
{
    const FString ReasonText = Reason ? Reason : "";
    if (bRolloverInFlight)
    {
        // A second replay would create a second backend session that nothing ends.
        QUORVEX_LOG_DEBUG("QuorvexSDK: rollover already in flight; not starting another. reason=%s",
                          ReasonText.c_str());
        return;
    }
    bRolloverInFlight = true;
    QUORVEX_LOG(Log, "QuorvexSDK: Rolling the session over. reason=%s", ReasonText.c_str());
    // A stop and a new start while the replay is out must not get the old session's
    // replacement installed over the new session.
    const int32 Generation = SessionGeneration.load();
    ApiClient->RefreshSessionAsync(
        [WeakThis = Lifetime.MakeWeak(this), ReasonText,
         Generation](std::shared_ptr<FQuorvexSessionData> NewSession)
        {
            UQuorvexSubsystem* Self = WeakThis.Get();
            if (Self && Self->SessionGeneration.load() == Generation)
            {
                Self->OnSessionRolledOver(std::move(NewSession), ReasonText);
            }
        });
}

void UQuorvexSubsystem::OnSessionRolledOver(std::shared_ptr<FQuorvexSessionData> NewSession,
                                            const FString& Reason)
{
    bRolloverInFlight = false;
    if (!NewSession || NewSession->SessionId.empty())
    {
        QUORVEX_LOG(Error, "QuorvexSDK: Session rollover failed; stopping capture. reason=%s",
                    Reason.c_str());
        LastSessionFailureMessage = "session rollover failed";
        StopCaptureInternal("SessionRolloverFailed");
        return;
    }
    if (NewSession->UploadCredentials.UploadUrl.empty())
    {
        QUORVEX_LOG(Error, "QuorvexSDK: Session rollover returned no usable upload credentials; "
                           "stopping capture.");
        LastSessionFailureMessage = "session rollover returned no upload credentials";
        StopCaptureInternal("SessionRolloverNoCredentials");
        return;
    }
    Session = std::move(NewSession);
    NextBatchSequence = 1;
    LastHeartbeatOkMs = NowMs();
    HeartbeatAccumulatorSeconds = 0.f;
    if (Session->CaptureConfig.CaptureIntervalSeconds > 0.f)
    {
        CaptureIntervalSeconds.SetUnclamped(Session->CaptureConfig.CaptureIntervalSeconds);
    }
    QUORVEX_LOG(Log, "QuorvexSDK: Session rolled over. newSessionId=%s provider=%s",
                Session->SessionId.c_str(), Session->StorageProvider.c_str());
}

void UQuorvexSubsystem::ResumeCaptureAfterSessionRollover()
{
    if (!Session || Session->SessionId.empty())
    {
        return;
    }
    bIsCapturing = true;
    bCaptureStopRequested = false;
    bStorageLimitStopRequested.store(0);
    bStorageFailureStopRequested.store(0);
    BeginCaptureLoops();
    QUORVEX_LOG(Log, "QuorvexSDK: Resumed capture after session rollover. sessionId=%s",
                Session->SessionId.c_str());
}

void UQuorvexSubsystem::ValidateSessionAfterResumeIfStale()
{
    const int32 Interval = HeartbeatIntervalOf(Session);
    if (Interval <= 0)
    {
        return;
    }
    const int64 Age = NowMs() - LastHeartbeatOkMs;
    if (LastHeartbeatOkMs <= 0 || Age >= static_cast<int64>(Interval) * 1000)
    {
        QUORVEX_LOG_DEBUG(
            "QuorvexSDK: last heartbeat is stale (%lldms); re-validating the session now.",
            static_cast<long long>(Age));
        HeartbeatAccumulatorSeconds = 0.f;
        SendHeartbeat();
    }
}
