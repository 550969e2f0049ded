// Reaches the backend client's private request writers for tests.
#pragma once

#include "QuorvexApiClient.h"

class FQuorvexApiClientTestPeer
{
public:
    static FString ConfigRequestToJson(const FQuorvexConfigRequest& Request)
    {
        return FQuorvexApiClient::ConfigRequestToJson(Request);
    }
    static FString GameEventRequestToJson(const FQuorvexGameEventRequest& Request)
    {
        return FQuorvexApiClient::GameEventRequestToJson(Request);
    }
    static FString EndSessionRequestToJson(const FQuorvexEndSessionRequest& Request)
    {
        return FQuorvexApiClient::EndSessionRequestToJson(Request);
    }

    static void PostJson(FQuorvexApiClient& Client, const FString& Url, const FString& Body,
                         FQuorvexHttpComplete OnComplete, bool bCancelable = true)
    {
        Client.PostJsonAsync(Url, Body, std::move(OnComplete), "POST", bCancelable);
    }
    // Sends a file or bytes the way an upload does, optionally with a retry veto.
    static void SendContent(FQuorvexApiClient& Client, const FString& Url, const FString& Verb,
                            const FString& FilePath, const std::vector<uint8>& Bytes,
                            FQuorvexHttpComplete OnComplete,
                            std::function<bool(const FQuorvexHttpResult&)> Veto = nullptr)
    {
        auto Body = std::make_shared<FQuorvexApiClient::FRequestBody>();
        Body->FilePath = FilePath;
        Body->Bytes = Bytes;
        Client.SendContentAsync(Url, "application/zip", Body, {}, "<zip>", std::move(OnComplete),
                                Verb, std::move(Veto), true);
    }
    static std::shared_ptr<FQuorvexConfigRequest> LastConfigPayload(const FQuorvexApiClient& Client)
    {
        return Client.LastConfigPayload;
    }
};
