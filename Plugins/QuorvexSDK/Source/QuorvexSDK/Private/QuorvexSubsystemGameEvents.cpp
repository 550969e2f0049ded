// Custom game events and the host's in-game player id.
#include "QuorvexSubsystem.h"

#include "CoreDelegates.h"
#include "QuorvexApiClient.h"
#include "QuorvexLog.h"
#include "StringUtils.h"

namespace
{
const char* ShownId(const FString& Id)
{
    return Id.empty() ? "<null>" : Id.c_str();
}
} // namespace

bool UQuorvexSubsystem::SendGameEvent(const FString& EventName, const FString& EventDataJson)
{
    if (GIsEditor)
    {
        QUORVEX_LOG(Log, "QuorvexSDK: SendGameEvent is not supported in the editor.");
        return false;
    }
    if (FStringUtils::TrimStartAndEnd(EventName).empty())
    {
        QUORVEX_LOG(Warning, "QuorvexSDK: SendGameEvent requires a non-empty EventName.");
        return false;
    }
    QUORVEX_LOG(Log, "QuorvexSDK: send_game_event dispatch requested. eventName=%s",
                EventName.c_str());
    if (ResolveBaseHostUrl().empty())
    {
        QUORVEX_LOG(
            Warning,
            "QuorvexSDK: SendGameEvent skipped because base host URL is not set. eventName=%s",
            EventName.c_str());
        return false;
    }
    const int64 Timestamp = NowMs();
    EnsureAttributionResolvedAsync(
        [WeakThis = Lifetime.MakeWeak(this), EventName, EventDataJson, Timestamp]
        {
            UQuorvexSubsystem* Self = WeakThis.Get();
            if (!Self)
            {
                return;
            }
            const FQuorvexConfigRequest Payload = Self->BuildConfigPayload();
            FQuorvexGameEventRequest Request;
            Request.InGameId = Payload.InGameId;
            Request.DeveloperPayload = Payload.DeveloperPayload;
            Request.NetworkType = Payload.NetworkType;
            Request.Device = Payload.Device;
            Request.App = Payload.App;
            Request.Sdk = Payload.Sdk;
            Request.SessionId = Self->GetCurrentSessionId();
            Request.Timestamp = Timestamp;
            Request.EventName = EventName;
            Request.EventDataJson = EventDataJson;
            Self->ApiClient->SendGameEventAsync(
                Request,
                [EventName](const FQuorvexHttpResult& Result)
                {
                    if (Result.bSuccess)
                    {
                        QUORVEX_LOG(Log, "QuorvexSDK: send_game_event success eventName=%s",
                                    EventName.c_str());
                        return;
                    }
                    QUORVEX_LOG(Warning,
                                "QuorvexSDK: send_game_event failed. eventName=%s error=%s",
                                EventName.c_str(),
                                Result.Error.empty()
                                    ? "<none>"
                                    : FQuorvexApiClient::RedactForLog(Result.Error).c_str());
                });
        });
    return true;
}

void UQuorvexSubsystem::SetInGameId(const FString& InGameIdArg)
{
    const FString Id = FStringUtils::TrimStartAndEnd(InGameIdArg);
    if (FStringUtils::EqualsIgnoreCase(Id, SessionContext.InGameId))
    {
        QUORVEX_LOG_DEBUG("QuorvexSDK: SetInGameId called with unchanged inGameId=%s", ShownId(Id));
        return;
    }
    if (!IsCaptureRunning())
    {
        QUORVEX_LOG_DEBUG(
            "QuorvexSDK: SetInGameId called with no active session; ignoring inGameId=%s",
            ShownId(Id));
        return;
    }
    SessionContext.InGameId = Id;
    ApiClient->UpdateLastConfigPayloadInGameId(Id);
    QUORVEX_LOG_DEBUG("QuorvexSDK: Updated inGameId=%s", ShownId(Id));
    SessionContext.PendingInGameId = Id;
    SessionContext.bInGameIdUpdatePending = true;
    if (GetCurrentSessionId().empty())
    {
        QUORVEX_LOG_DEBUG(
            "QuorvexSDK: Queued inGameId update until sessionId becomes available: %s",
            ShownId(Id));
    }
    TryStartPendingInGameIdUpdate();
}

void UQuorvexSubsystem::TryStartPendingInGameIdUpdate()
{
    const FString SessionId = GetCurrentSessionId();
    if (SessionContext.bInGameIdUpdateStarted || !IsCaptureRunning() ||
        !SessionContext.bInGameIdUpdatePending || SessionId.empty())
    {
        return;
    }
    SessionContext.bInGameIdUpdateStarted = true;
    const FString SentId = SessionContext.PendingInGameId;
    ApiClient->UpdateSessionInGameIdAsync(SessionId, SentId,
                                          [WeakThis = Lifetime.MakeWeak(this), SessionId, SentId,
                                           Generation = SessionGeneration.load()](bool bOk)
                                          {
                                              if (UQuorvexSubsystem* Self = WeakThis.Get())
                                              {
                                                  Self->OnInGameIdUpdateComplete(
                                                      bOk, SessionId, SentId, Generation);
                                              }
                                          });
}

void UQuorvexSubsystem::OnInGameIdUpdateComplete(bool bOk, const FString& SentSessionId,
                                                 const FString& SentId, int32 Generation)
{
    if (!IsCurrentGeneration(Generation))
    {
        // The update belonged to an ended session; the current one keeps its own state.
        return;
    }
    SessionContext.bInGameIdUpdateStarted = false;
    const bool bSameId = SessionContext.bInGameIdUpdatePending &&
                         FStringUtils::EqualsIgnoreCase(SessionContext.PendingInGameId, SentId);
    const bool bSameSession = FStringUtils::EqualsIgnoreCase(GetCurrentSessionId(), SentSessionId);
    if (bOk)
    {
        if (bSameId && bSameSession)
        {
            SessionContext.PendingInGameId.clear();
            SessionContext.bInGameIdUpdatePending = false;
            QUORVEX_LOG_DEBUG("QuorvexSDK: Updated server inGameId for sessionId=%s",
                              SentSessionId.c_str());
            return;
        }
        if (SessionContext.bInGameIdUpdatePending && IsCaptureRunning())
        {
            TryStartPendingInGameIdUpdate();
        }
        return;
    }
    QUORVEX_LOG(Warning, "QuorvexSDK: Failed to update server inGameId for sessionId=%s",
                SentSessionId.c_str());
    if (!SessionContext.bInGameIdUpdatePending || !IsCaptureRunning() || (bSameId && bSameSession))
    {
        return;
    }
    TryStartPendingInGameIdUpdate();
}
