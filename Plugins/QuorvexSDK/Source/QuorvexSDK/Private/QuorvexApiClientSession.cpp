// The backend's session endpoints: create, heartbeat, end, rollover, in-game id and
// game events, and the parsers of their answers.
#include "QuorvexApiClient.h"

#include "JsonSerializer.h"
#include "QuorvexLog.h"
#include "StringUtils.h"
#include "UrlEncoding.h"

namespace
{
FQuorvexHttpResult FailedAtOnce(const char* Error)
{
    FQuorvexHttpResult Result;
    Result.Error = Error;
    return Result;
}

void ReadCaptureConfig(const FJsonObject& Object, FQuorvexCaptureConfig& Config)
{
    Object.TryGetNumberField("uploadIntervalMs", Config.UploadIntervalMs);
    Object.TryGetNumberField("imageQuality", Config.ImageQuality);
    Object.TryGetNumberField("maxStorageSizeMb", Config.MaxStorageSizeMb);
    Object.TryGetBoolField("useMobileDataForUploads", Config.bUseMobileDataForUploads);
    Object.TryGetStringField("captureMode", Config.CaptureMode);
    Object.TryGetNumberField("captureIntervalSeconds", Config.CaptureIntervalSeconds);
    Object.TryGetStringField("imageFormat", Config.ImageFormat);
    Object.TryGetNumberField("minUploadBitsPerSecond", Config.MinUploadBitsPerSecond);
    Object.TryGetNumberField("stopCaptureCpuUsagePercent", Config.StopCaptureCpuUsagePercent);
    Object.TryGetNumberField("heartbeatIntervalSeconds", Config.HeartbeatIntervalSeconds);
    FJsonObjectPtr Resolution;
    if (Object.TryGetObjectField("resolution", Resolution))
    {
        Resolution->TryGetNumberField("width", Config.Resolution.Width);
        Resolution->TryGetNumberField("height", Config.Resolution.Height);
    }
}
} // namespace

// ---- Endpoints ----

FString FQuorvexApiClient::GetBaseUrl() const
{
    FString Base = BaseHostUrlProvider ? BaseHostUrlProvider() : FString();
    Base = FStringUtils::TrimEnd(Base);
    while (!Base.empty() && Base.back() == '/')
    {
        Base.pop_back();
    }
    return Base;
}

FString FQuorvexApiClient::BuildSessionEndpoint() const
{
    const FString Base = GetBaseUrl();
    return Base.empty() ? FString() : Base + "/api/v4/session";
}

FString FQuorvexApiClient::BuildSendGameEventEndpoint() const
{
    const FString Base = GetBaseUrl();
    return Base.empty() ? FString() : Base + "/api/v4/send_game_event";
}

namespace
{
FString SessionScoped(const FString& Base, const FString& SessionId, const char* Action)
{
    if (Base.empty() || SessionId.empty())
    {
        return FString();
    }
    return FStringUtils::Printf("%s/api/v4/sessions/%s/%s", Base.c_str(),
                                FGenericPlatformHttp::UrlEncode(SessionId).c_str(), Action);
}
} // namespace

FString FQuorvexApiClient::BuildHeartbeatEndpoint(const FString& SessionId) const
{
    return SessionScoped(GetBaseUrl(), SessionId, "heartbeat");
}

FString FQuorvexApiClient::BuildEndSessionEndpoint(const FString& SessionId) const
{
    return SessionScoped(GetBaseUrl(), SessionId, "end");
}

FString FQuorvexApiClient::BuildRefreshUploadUrlEndpoint(const FString& SessionId) const
{
    return SessionScoped(GetBaseUrl(), SessionId, "refresh-upload-url");
}

void FQuorvexApiClient::ResetSessionState()
{
    LastSessionEndpoint.clear();
    LastConfigPayload.reset();
}

// ---- Calls ----

void FQuorvexApiClient::CreateSessionAsync(const FQuorvexConfigRequest& Request,
                                           FQuorvexHttpComplete OnComplete)
{
    LastConfigPayload = std::make_shared<FQuorvexConfigRequest>(Request);
    LastConfigPayload->bIsRollover = false;
    const FString Endpoint = BuildSessionEndpoint();
    QUORVEX_LOG_DEBUG("QuorvexSDK: CreateSession -> POST %s", Endpoint.c_str());
    if (Endpoint.empty())
    {
        QUORVEX_LOG(Error, "QuorvexSDK: CreateSession: session endpoint is empty");
        if (OnComplete)
        {
            OnComplete(FailedAtOnce("Session endpoint is empty"));
        }
        return;
    }
    LastSessionEndpoint = Endpoint;
    // Not cancelable: once sent, the backend may create the session whatever the
    // client does, and only its answer tells the caller which session to end.
    PostJsonAsync(Endpoint, ConfigRequestToJson(*LastConfigPayload), std::move(OnComplete), "POST",
                  false);
}

void FQuorvexApiClient::HeartbeatAsync(const FString& SessionId, FQuorvexHttpComplete OnComplete)
{
    const FString Endpoint = BuildHeartbeatEndpoint(SessionId);
    if (Endpoint.empty())
    {
        if (OnComplete)
        {
            OnComplete(FailedAtOnce("Heartbeat endpoint is empty"));
        }
        return;
    }
    QUORVEX_LOG_DEBUG("QuorvexSDK: Heartbeat -> POST %s", Endpoint.c_str());
    PostJsonAsync(Endpoint, "{}", std::move(OnComplete), "POST", true);
}

void FQuorvexApiClient::SendEndSessionAsync(const FString& SessionId,
                                            const FQuorvexEndSessionRequest& Request,
                                            FQuorvexHttpComplete OnComplete)
{
    const FString Endpoint = BuildEndSessionEndpoint(SessionId);
    if (Endpoint.empty())
    {
        QUORVEX_LOG(Error, "QuorvexSDK: EndSession: endpoint is empty");
        if (OnComplete)
        {
            OnComplete(FailedAtOnce("End-session endpoint is empty"));
        }
        return;
    }
    QUORVEX_LOG_DEBUG("QuorvexSDK: EndSession -> POST %s", Endpoint.c_str());
    PostJsonAsync(Endpoint, EndSessionRequestToJson(Request), std::move(OnComplete), "POST", false);
}

void FQuorvexApiClient::SendGameEventAsync(const FQuorvexGameEventRequest& Request,
                                           FQuorvexHttpComplete OnComplete)
{
    const FString Endpoint = BuildSendGameEventEndpoint();
    if (Endpoint.empty())
    {
        QUORVEX_LOG(Error, "QuorvexSDK: SendGameEvent: endpoint is empty");
        if (OnComplete)
        {
            OnComplete(FailedAtOnce("send_game_event endpoint is empty"));
        }
        return;
    }
    QUORVEX_LOG_DEBUG("QuorvexSDK: SendGameEvent -> POST %s", Endpoint.c_str());
    PostJsonAsync(Endpoint, GameEventRequestToJson(Request), std::move(OnComplete), "POST", false);
}

void FQuorvexApiClient::RefreshSessionAsync(
    std::function<void(std::shared_ptr<FQuorvexSessionData>)> OnDone)
{
    QUORVEX_LOG_DEBUG("QuorvexSDK: RefreshSession -> POST %s", LastSessionEndpoint.c_str());
    if (LastSessionEndpoint.empty() || !LastConfigPayload)
    {
        QUORVEX_LOG(Error,
                    "QuorvexSDK: RefreshSession: no cached endpoint or config payload available");
        if (OnDone)
        {
            OnDone(nullptr);
        }
        return;
    }
    LastConfigPayload->bIsRollover = true;
    PostJsonAsync(
        LastSessionEndpoint, ConfigRequestToJson(*LastConfigPayload),
        [OnDone = std::move(OnDone)](const FQuorvexHttpResult& Result)
        {
            std::shared_ptr<FQuorvexSessionData> Data;
            if (!Result.bSuccess)
            {
                QUORVEX_LOG(Error, "QuorvexSDK: RefreshSession: HTTP failed: %s",
                            RedactForLog(Result.Error).c_str());
            }
            else
            {
                auto Parsed = std::make_shared<FQuorvexSessionData>();
                FString Error;
                if (!ParseSessionResponse(Result.ResponseBody, *Parsed, Error))
                {
                    QUORVEX_LOG(Error, "QuorvexSDK: RefreshSession: %s", Error.c_str());
                }
                else
                {
                    QUORVEX_LOG_DEBUG("QuorvexSDK: Session refreshed. sessionId=%s provider=%s",
                                      Parsed->SessionId.c_str(), Parsed->StorageProvider.c_str());
                    Data = std::move(Parsed);
                }
            }
            if (OnDone)
            {
                OnDone(Data);
            }
        },
        // Not cancelable, like the create it replays: a stop ends what it created.
        "POST", false);
}

void FQuorvexApiClient::UpdateSessionInGameIdAsync(const FString& SessionId,
                                                   const FString& InGameId,
                                                   std::function<void(bool)> OnDone)
{
    const FString Endpoint = BuildSessionEndpoint();
    if (Endpoint.empty())
    {
        if (OnDone)
        {
            OnDone(false);
        }
        return;
    }
    FJsonObject Body;
    Body.SetStringField("sessionId", SessionId);
    Body.SetField("inGameId",
                  InGameId.empty() ? FJsonValue::MakeNull() : FJsonValue::MakeString(InGameId));
    QUORVEX_LOG_DEBUG("QuorvexSDK: UpdateSessionInGameId -> PATCH %s", Endpoint.c_str());
    PostJsonAsync(
        Endpoint, FJsonSerializer::Serialize(Body),
        [OnDone = std::move(OnDone)](const FQuorvexHttpResult& Result)
        {
            bool bOk = false;
            FJsonObjectPtr Root;
            if (Result.bSuccess && FJsonSerializer::Deserialize(Result.ResponseBody, Root))
            {
                const FJsonValuePtr Success = Root->GetField("success");
                bOk = Success && Success->Type() == EJson::Boolean && Success->AsBool();
            }
            if (OnDone)
            {
                OnDone(bOk);
            }
        },
        "PATCH", true);
}

void FQuorvexApiClient::UpdateLastConfigPayloadInGameId(const FString& InGameId)
{
    if (LastConfigPayload)
    {
        LastConfigPayload->InGameId = InGameId;
    }
}

// ---- Parsers ----

bool FQuorvexApiClient::IsUsableSessionId(const FString& SessionId)
{
    if (SessionId.empty() || SessionId.size() > MaxSessionIdLength)
    {
        return false;
    }
    for (const char C : SessionId)
    {
        const bool bUnreserved = (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') ||
                                 (C >= '0' && C <= '9') || C == '-' || C == '_' || C == '.' ||
                                 C == '~';
        if (!bUnreserved)
        {
            return false;
        }
    }
    return true;
}

bool FQuorvexApiClient::ParseSessionResponse(const FString& Body, FQuorvexSessionData& OutData,
                                             FString& OutError)
{
    FJsonObjectPtr Root;
    if (!FJsonSerializer::Deserialize(Body, Root))
    {
        OutError = "session-response-parse-failed";
        return false;
    }
    bool bSuccess = false;
    FJsonObjectPtr Data;
    if (!Root->TryGetBoolField("success", bSuccess) || !bSuccess ||
        !Root->TryGetObjectField("data", Data))
    {
        OutError = "session-response-no-data";
        return false;
    }
    Data->TryGetStringField("sessionId", OutData.SessionId);
    Data->TryGetStringField("expiresAt", OutData.ExpiresAt);
    Data->TryGetStringField("storageProvider", OutData.StorageProvider);
    FJsonObjectPtr Config;
    if (Data->TryGetObjectField("captureConfig", Config))
    {
        ReadCaptureConfig(*Config, OutData.CaptureConfig);
    }
    FJsonObjectPtr Credentials;
    if (Data->TryGetObjectField("uploadCredentials", Credentials))
    {
        ParseUploadCredentials(Credentials, OutData.UploadCredentials);
    }
    if (OutData.UploadCredentials.StorageProvider.empty())
    {
        OutData.UploadCredentials.StorageProvider = OutData.StorageProvider;
    }
    if (OutData.SessionId.empty())
    {
        OutError = "session-response-no-session-id";
        return false;
    }
    if (!IsUsableSessionId(OutData.SessionId))
    {
        // The id goes into every session URL path and many log lines: an absurd one
        // is refused rather than kept.
        OutError = "session-response-unusable-session-id";
        OutData.SessionId.clear();
        return false;
    }
    return true;
}

bool FQuorvexApiClient::ParseHeartbeatAlive(const FQuorvexHttpResult& Result, bool& bOutHttpSuccess,
                                            FString& OutCode, FString& OutMessage)
{
    bOutHttpSuccess = Result.bSuccess;
    if (!Result.bSuccess)
    {
        return false;
    }
    FJsonObjectPtr Root;
    if (!FJsonSerializer::Deserialize(Result.ResponseBody, Root))
    {
        return true; // an answer we cannot read still proves the session is served
    }
    bool bAlive = false;
    Root->TryGetBoolField("success", bAlive);
    FJsonObjectPtr Data;
    if (Root->TryGetObjectField("data", Data))
    {
        Data->TryGetStringField("code", OutCode);
        Data->TryGetStringField("message", OutMessage);
    }
    return bAlive;
}
