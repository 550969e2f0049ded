// The backend client: turns the wire records into request bodies and talks to the
// recording backend.
#pragma once

#include "JsonValue.h"
#include "QuorvexModels.h"

class FQuorvexApiClient
{
public:
    FQuorvexApiClient() = default;
    FQuorvexApiClient(const FQuorvexApiClient&) = delete;
    FQuorvexApiClient& operator=(const FQuorvexApiClient&) = delete;

private:
    friend class FQuorvexApiClientTestPeer;

    // Request bodies: every key always written, in the backend's order, printed
    // with the engine's pretty printer.
    static FString ConfigRequestToJson(const FQuorvexConfigRequest& Request);
    static FString GameEventRequestToJson(const FQuorvexGameEventRequest& Request);
    static FString EndSessionRequestToJson(const FQuorvexEndSessionRequest& Request);
    // Fill a given object with the device or app description.
    static void DeviceInfoToJson(const FQuorvexDeviceInfo& Device, const FJsonObjectPtr& Object);
    static void AppInfoToJson(const FQuorvexAppInfo& App, const FJsonObjectPtr& Object);
};
