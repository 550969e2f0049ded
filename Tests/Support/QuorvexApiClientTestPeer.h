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
};
