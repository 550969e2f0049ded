// Defaults of the wire records and the request bodies, byte for byte.
#include "JsonSerializer.h"
#include "QuorvexApiClientTestPeer.h"
#include "StringUtils.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace
{
// The expected text is written with LF and single-space indents for readability;
// the printer's form has CRLF and tabs.
FString Pretty(const char* Readable)
{
    FString Text = FStringUtils::ReplaceAll(Readable, "\n", "\r\n");
    return FStringUtils::ReplaceAll(Text, "  ", "\t");
}
} // namespace

TEST(WireModels, DefaultsMatchWhatTheBackendExpects)
{
    const FQuorvexCaptureConfig Config;
    EXPECT_EQ(Config.UploadIntervalMs, 60000);
    EXPECT_EQ(Config.MaxBatchSizeBytes, 5242880);
    EXPECT_EQ(Config.Resolution.Width, 0);
    EXPECT_EQ(Config.Resolution.Height, 0);
    EXPECT_EQ(Config.CaptureMode, "");
    EXPECT_EQ(Config.ImageFormat, "");
    EXPECT_EQ(Config.ImageQuality, 75);
    EXPECT_EQ(Config.MaxStorageSizeMb, 0);
    EXPECT_FALSE(Config.bUseMobileDataForUploads);
    EXPECT_EQ(Config.StopCaptureCpuUsagePercent, 80);
    EXPECT_EQ(Config.CaptureIntervalSeconds, 0.0f);
    EXPECT_EQ(Config.MinUploadBitsPerSecond, 1000000);
    EXPECT_EQ(Config.HeartbeatIntervalSeconds, 0);
    EXPECT_EQ(FQuorvexEventMetadata().CpuUsagePercent, -1);
    EXPECT_EQ(FQuorvexDeviceInfo().BatteryLevel, -1.0f);
    EXPECT_EQ(FQuorvexSdkInfo().Engine, "unreal");
}

TEST(WireModels, DefaultConfigRequestIsByteExact)
{
    const FString Expected = Pretty(R"({
  "isRollover": false,
  "inGameId": "",
  "developerPayload": "",
  "networkType": "",
  "extraPayload": {
    "screenOccupancyPercent": 0
  },
  "device": {
    "id": "",
    "name": "",
    "brand": "",
    "manufacturer": "",
    "model": "",
    "locale": "",
    "language": "",
    "country": "",
    "platform": "",
    "osVersion": "",
    "osName": "",
    "cpuType": "",
    "cpuCores": 0,
    "memoryMb": 0,
    "gpuName": "",
    "gpuVendor": "",
    "gpuDriverVersion": "",
    "gpuMemoryMb": 0,
    "dpi": 0,
    "orientation": "",
    "batteryLevel": -1,
    "batteryStatus": "",
    "resolution": {
      "width": 0,
      "height": 0
    },
    "deviceGraphicsConfig": {
      "source": "",
      "api": "",
      "d3dFeatureLevel": "",
      "d3dShaderModel": "",
      "d3dResourceBindingTier": 0,
      "d3dSupportsWaveOps": false,
      "d3dSupportsAtomic64": false
    },
    "ueSelectedConfig": {
      "api": "",
      "featureLevel": "",
      "shaderPlatform": "",
      "advancedPlatformDenied": false,
      "isNullRhi": false
    },
    "usesNativeReadbackPath": false
  },
  "app": {
    "packageName": "",
    "name": "",
    "version": "",
    "versionCode": 0,
    "resolution": {
      "width": 0,
      "height": 0
    },
    "installReferrer": "",
    "advertisingId": ""
  },
  "sdk": {
    "version": "",
    "engine": "unreal"
  }
})");
    EXPECT_EQ(FQuorvexApiClientTestPeer::ConfigRequestToJson(FQuorvexConfigRequest()), Expected);
}

TEST(WireModels, NumbersPrintAsDoublesWithSeventeenDigits)
{
    FQuorvexConfigRequest Request;
    Request.bIsRollover = true;
    Request.ExtraPayload.ScreenOccupancyPercent = 0.1f;
    Request.Device.Dpi = 96.0f;
    Request.Device.CpuCores = 1920;
    Request.App.Resolution = {1280, 720};
    const nlohmann::json Parsed =
        nlohmann::json::parse(FQuorvexApiClientTestPeer::ConfigRequestToJson(Request));
    EXPECT_EQ(Parsed["isRollover"], true);
    const FString Text = FQuorvexApiClientTestPeer::ConfigRequestToJson(Request);
    EXPECT_NE(Text.find("\"screenOccupancyPercent\": 0.10000000149011612"), FString::npos);
    EXPECT_NE(Text.find("\"cpuCores\": 1920,"), FString::npos);
    EXPECT_NE(Text.find("\"dpi\": 96,"), FString::npos);
    EXPECT_EQ(Parsed["app"]["resolution"]["width"], 1280);
}

TEST(WireModels, GameEventCarriesTheHostJsonAsOneEscapedString)
{
    FQuorvexGameEventRequest Request;
    Request.SessionId = "s-1";
    Request.Timestamp = 1796904000250;
    Request.EventName = " level up ";
    Request.EventDataJson = R"({"level":3,"name":"boss \"A\""})";
    const FString Text = FQuorvexApiClientTestPeer::GameEventRequestToJson(Request);
    EXPECT_NE(Text.find(R"("eventDataJson": "{\"level\":3,\"name\":\"boss \\\"A\\\"\"}")"),
              FString::npos)
        << Text;
    EXPECT_NE(Text.find("\"timestamp\": 1796904000250,"), FString::npos);

    // A second parser sees the keys in order and the event data as a string.
    const nlohmann::ordered_json Parsed = nlohmann::ordered_json::parse(Text);
    std::vector<FString> Keys;
    for (const auto& Item : Parsed.items())
    {
        Keys.push_back(Item.key());
    }
    const std::vector<FString> ExpectedKeys = {
        "inGameId", "developerPayload", "sessionId",    "timestamp", "networkType", "device", "app",
        "sdk",      "eventName",        "eventDataJson"};
    EXPECT_EQ(Keys, ExpectedKeys);
    ASSERT_TRUE(Parsed["eventDataJson"].is_string());
    EXPECT_EQ(Parsed["eventDataJson"].get<FString>(), Request.EventDataJson);
    EXPECT_EQ(Parsed["eventName"], " level up ");
    EXPECT_EQ(Parsed["device"]["batteryLevel"], -1);
}

TEST(WireModels, EndSessionRequestIsByteExact)
{
    FQuorvexEndSessionRequest Request;
    Request.Reason = "UserStopped";
    Request.TotalFramesCaptured = 120;
    Request.TotalEventsRecorded = 2;
    EXPECT_EQ(FQuorvexApiClientTestPeer::EndSessionRequestToJson(Request), Pretty(R"({
  "reason": "UserStopped",
  "totalFramesCaptured": 120,
  "totalEventsRecorded": 2,
  "errorDetails": ""
})"));
}
