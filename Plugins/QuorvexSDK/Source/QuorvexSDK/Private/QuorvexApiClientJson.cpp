// Request bodies of the backend client.
#include "QuorvexApiClient.h"

#include "JsonSerializer.h"

namespace
{
FJsonObjectPtr ResolutionToJson(const FQuorvexDeviceResolution& Resolution)
{
    FJsonObjectPtr Object = FJsonObject::Make();
    Object->SetNumberField("width", Resolution.Width);
    Object->SetNumberField("height", Resolution.Height);
    return Object;
}

FJsonObjectPtr SdkInfoToJson(const FQuorvexSdkInfo& Sdk)
{
    FJsonObjectPtr Object = FJsonObject::Make();
    Object->SetStringField("version", Sdk.Version);
    Object->SetStringField("engine", Sdk.Engine);
    return Object;
}

FJsonObjectPtr DeviceGraphicsToJson(const FQuorvexDeviceGraphicsConfig& Graphics)
{
    FJsonObjectPtr Object = FJsonObject::Make();
    Object->SetStringField("source", Graphics.Source);
    Object->SetStringField("api", Graphics.Api);
    Object->SetStringField("d3dFeatureLevel", Graphics.D3dFeatureLevel);
    Object->SetStringField("d3dShaderModel", Graphics.D3dShaderModel);
    Object->SetNumberField("d3dResourceBindingTier", Graphics.D3dResourceBindingTier);
    Object->SetBoolField("d3dSupportsWaveOps", Graphics.bD3dSupportsWaveOps);
    Object->SetBoolField("d3dSupportsAtomic64", Graphics.bD3dSupportsAtomic64);
    return Object;
}

FJsonObjectPtr EngineGraphicsToJson(const FQuorvexUeGraphicsConfig& Graphics)
{
    FJsonObjectPtr Object = FJsonObject::Make();
    Object->SetStringField("api", Graphics.Api);
    Object->SetStringField("featureLevel", Graphics.FeatureLevel);
    Object->SetStringField("shaderPlatform", Graphics.ShaderPlatform);
    Object->SetBoolField("advancedPlatformDenied", Graphics.bAdvancedPlatformDenied);
    Object->SetBoolField("isNullRhi", Graphics.bIsNullRhi);
    return Object;
}
} // namespace

void FQuorvexApiClient::DeviceInfoToJson(const FQuorvexDeviceInfo& Device,
                                         const FJsonObjectPtr& Object)
{
    Object->SetStringField("id", Device.Id);
    Object->SetStringField("name", Device.Name);
    Object->SetStringField("brand", Device.Brand);
    Object->SetStringField("manufacturer", Device.Manufacturer);
    Object->SetStringField("model", Device.Model);
    Object->SetStringField("locale", Device.Locale);
    Object->SetStringField("language", Device.Language);
    Object->SetStringField("country", Device.Country);
    Object->SetStringField("platform", Device.Platform);
    Object->SetStringField("osVersion", Device.OsVersion);
    Object->SetStringField("osName", Device.OsName);
    Object->SetStringField("cpuType", Device.CpuType);
    Object->SetNumberField("cpuCores", Device.CpuCores);
    Object->SetNumberField("memoryMb", Device.MemoryMb);
    Object->SetStringField("gpuName", Device.GpuName);
    Object->SetStringField("gpuVendor", Device.GpuVendor);
    Object->SetStringField("gpuDriverVersion", Device.GpuDriverVersion);
    Object->SetNumberField("gpuMemoryMb", Device.GpuMemoryMb);
    Object->SetNumberField("dpi", Device.Dpi);
    Object->SetStringField("orientation", Device.Orientation);
    Object->SetNumberField("batteryLevel", Device.BatteryLevel);
    Object->SetStringField("batteryStatus", Device.BatteryStatus);
    Object->SetObjectField("resolution", ResolutionToJson(Device.Resolution));
    Object->SetObjectField("deviceGraphicsConfig",
                           DeviceGraphicsToJson(Device.DeviceGraphicsConfig));
    Object->SetObjectField("ueSelectedConfig", EngineGraphicsToJson(Device.UeSelectedConfig));
    Object->SetBoolField("usesNativeReadbackPath", Device.bUsesNativeReadbackPath);
}

void FQuorvexApiClient::AppInfoToJson(const FQuorvexAppInfo& App, const FJsonObjectPtr& Object)
{
    Object->SetStringField("packageName", App.PackageName);
    Object->SetStringField("name", App.Name);
    Object->SetStringField("version", App.Version);
    Object->SetNumberField("versionCode", App.VersionCode);
    Object->SetObjectField("resolution", ResolutionToJson(App.Resolution));
    Object->SetStringField("installReferrer", App.InstallReferrer);
    Object->SetStringField("advertisingId", App.AdvertisingId);
}

FString FQuorvexApiClient::ConfigRequestToJson(const FQuorvexConfigRequest& Request)
{
    FJsonObject Root;
    Root.SetBoolField("isRollover", Request.bIsRollover);
    Root.SetStringField("inGameId", Request.InGameId);
    Root.SetStringField("developerPayload", Request.DeveloperPayload);
    Root.SetStringField("networkType", Request.NetworkType);

    FJsonObjectPtr Extra = FJsonObject::Make();
    Extra->SetNumberField("screenOccupancyPercent", Request.ExtraPayload.ScreenOccupancyPercent);
    Root.SetObjectField("extraPayload", Extra);

    FJsonObjectPtr Device = FJsonObject::Make();
    DeviceInfoToJson(Request.Device, Device);
    Root.SetObjectField("device", Device);

    FJsonObjectPtr App = FJsonObject::Make();
    AppInfoToJson(Request.App, App);
    Root.SetObjectField("app", App);

    Root.SetObjectField("sdk", SdkInfoToJson(Request.Sdk));
    return FJsonSerializer::Serialize(Root);
}

FString FQuorvexApiClient::GameEventRequestToJson(const FQuorvexGameEventRequest& Request)
{
    FJsonObject Root;
    Root.SetStringField("inGameId", Request.InGameId);
    Root.SetStringField("developerPayload", Request.DeveloperPayload);
    Root.SetStringField("sessionId", Request.SessionId);
    Root.SetNumberField("timestamp", static_cast<double>(Request.Timestamp));
    Root.SetStringField("networkType", Request.NetworkType);

    FJsonObjectPtr Device = FJsonObject::Make();
    DeviceInfoToJson(Request.Device, Device);
    Root.SetObjectField("device", Device);

    FJsonObjectPtr App = FJsonObject::Make();
    AppInfoToJson(Request.App, App);
    Root.SetObjectField("app", App);

    Root.SetObjectField("sdk", SdkInfoToJson(Request.Sdk));
    Root.SetStringField("eventName", Request.EventName);
    Root.SetStringField("eventDataJson", Request.EventDataJson);
    return FJsonSerializer::Serialize(Root);
}

FString FQuorvexApiClient::EndSessionRequestToJson(const FQuorvexEndSessionRequest& Request)
{
    FJsonObject Root;
    Root.SetStringField("reason", Request.Reason);
    Root.SetNumberField("totalFramesCaptured", Request.TotalFramesCaptured);
    Root.SetNumberField("totalEventsRecorded", Request.TotalEventsRecorded);
    Root.SetStringField("errorDetails", Request.ErrorDetails);
    return FJsonSerializer::Serialize(Root);
}
