// Records that cross the wire between the SDK and its backend, and the records of
// one uploaded batch. Plain value types: a default-constructed record holds the
// defaults the backend expects. Empty text means "unknown" and is still sent.
#pragma once

#include "CaseInsensitiveMap.h"
#include "CoreTypes.h"

#include <vector>

// ---------------------------------------------------------------------------
// Session request / response models
// ---------------------------------------------------------------------------

// A width/height pair in pixels.
struct FQuorvexDeviceResolution
{
    int32 Width = 0;
    int32 Height = 0;
};

// What the device can do, independent of what the engine chose. The D3d fields are
// meaningful only when Source is "probe"; elsewhere their defaults mean "not
// applicable", never "unsupported".
struct FQuorvexDeviceGraphicsConfig
{
    // "probe", "probeUnavailable" or "activeRhi".
    FString Source;
    FString Api;
    // Direct3D feature level such as "12_1"; empty off Direct3D 12.
    FString D3dFeatureLevel;
    // Direct3D shader model such as "6.7"; empty off Direct3D 12.
    FString D3dShaderModel;
    // Resource binding tier 1..3; 0 means not applicable.
    int32 D3dResourceBindingTier = 0;
    bool bD3dSupportsWaveOps = false;
    // The raw typed-resource 64-bit atomics bit, without vendor emulation paths.
    bool bD3dSupportsAtomic64 = false;
};

// What the engine actually selected at run time, after any fallback.
struct FQuorvexUeGraphicsConfig
{
    FString Api;
    // The engine's scale: "SM6", "SM5", "ES3_1".
    FString FeatureLevel;
    FString ShaderPlatform;
    // The advanced shader platform was targeted and refused (Windows only).
    bool bAdvancedPlatformDenied = false;
    // No rendering: a session with this set can never produce a frame.
    bool bIsNullRhi = false;
};

struct FQuorvexDeviceInfo
{
    FString Id; // persistent device id
    FString Name;
    FString Brand;
    FString Manufacturer;
    FString Model;
    FString Locale;   // hyphenated BCP-47 tag ("en-US"), never underscore-separated
    FString Language; // lowercase ISO-639-1
    FString Country;  // uppercase ISO-3166-1 alpha-2
    FString Platform;
    FString OsVersion; // full build/patch string
    FString OsName;    // marketing generation, e.g. "Windows 11"
    FString CpuType;
    int32 CpuCores = 0;
    int32 MemoryMb = 0;
    FString GpuName;
    FString GpuVendor;
    FString GpuDriverVersion;
    int32 GpuMemoryMb = 0;
    float Dpi = 0.f;
    FString Orientation;
    float BatteryLevel = -1.f; // 0..1, -1 when unknown
    FString BatteryStatus;
    FQuorvexDeviceResolution Resolution;
    FQuorvexDeviceGraphicsConfig DeviceGraphicsConfig;
    FQuorvexUeGraphicsConfig UeSelectedConfig;
    // True when capture reads frames back through the platform-native path.
    bool bUsesNativeReadbackPath = false;
};

struct FQuorvexAppInfo
{
    FString PackageName;
    FString Name;
    FString Version;
    int32 VersionCode = 0;
    FQuorvexDeviceResolution Resolution;
    FString InstallReferrer;
    FString AdvertisingId;
};

struct FQuorvexSdkInfo
{
    FString Version;
    // Set here so that no request path can omit it.
    FString Engine = "unreal";
};

struct FQuorvexExtraPayload
{
    float ScreenOccupancyPercent = 0.f;
};

// The session-create body; also replayed to roll a dead session over.
struct FQuorvexConfigRequest
{
    // True only when the cached payload is replayed for a rollover.
    bool bIsRollover = false;
    FString InGameId;
    FString DeveloperPayload; // host text, sent as a JSON string
    FString NetworkType;
    FQuorvexExtraPayload ExtraPayload;
    FQuorvexDeviceInfo Device;
    FQuorvexAppInfo App;
    FQuorvexSdkInfo Sdk;
};

// Body of a custom game event.
struct FQuorvexGameEventRequest
{
    FString InGameId;
    FString DeveloperPayload;
    FString SessionId;
    int64 Timestamp = 0; // ms since the Unix epoch
    FString NetworkType;
    FQuorvexDeviceInfo Device;
    FQuorvexAppInfo App;
    FQuorvexSdkInfo Sdk;
    FString EventName;
    // The host's JSON text, sent as one escaped JSON string, never parsed.
    FString EventDataJson;
};

// The server's capture configuration.
struct FQuorvexCaptureConfig
{
    int32 UploadIntervalMs = 60000;
    int32 MaxBatchSizeBytes = 5242880;   // not read from the server
    FQuorvexDeviceResolution Resolution; // 0 means no server preference
    FString CaptureMode;
    FString ImageFormat;
    int32 ImageQuality = 75;
    int32 MaxStorageSizeMb = 0;
    bool bUseMobileDataForUploads = false;
    // The game's own CPU share above which capture pauses; <= 0 disables the gate.
    int32 StopCaptureCpuUsagePercent = 80;
    float CaptureIntervalSeconds = 0.f; // 0 means use the local default
    int32 MinUploadBitsPerSecond = 1000000;
    // How often to POST the heartbeat; <= 0 disables it.
    int32 HeartbeatIntervalSeconds = 0;
};

// Short-lived credentials for the object store a session uploads to.
struct FQuorvexUploadCredentials
{
    FString StorageProvider;
    FString UploadUrl; // required
    FString AuthorizationToken;
    FString BucketId;
    FString BucketName;
    FString KeyPrefix;
    FString ObjectKeyTemplate; // wins over KeyPrefix
    FString ExpiresAt;         // ISO 8601
    int32 TtlSeconds = 0;
    FString UploadMethod; // empty: chosen by provider
    TCaseInsensitiveOrderedMap<FString> RequiredHeaders;
    TCaseInsensitiveOrderedMap<FString> FormFields;
    std::vector<FString> PerFileHeaders;
};

// A parsed session-create (or rollover) response.
struct FQuorvexSessionData
{
    FString SessionId; // empty means failure
    FString ExpiresAt;
    FQuorvexCaptureConfig CaptureConfig;
    // Decided at create and never changed mid-session.
    FString StorageProvider;
    FQuorvexUploadCredentials UploadCredentials;
};

// Body of the end-session call.
struct FQuorvexEndSessionRequest
{
    FString Reason;
    int32 TotalFramesCaptured = 0;
    int32 TotalEventsRecorded = 0;
    FString ErrorDetails;
};

// ---------------------------------------------------------------------------
// Event upload models
// ---------------------------------------------------------------------------

struct FQuorvexTapEvent
{
    float X = 0.f;
    float Y = 0.f;
    float Pressure = 0.f;
    int64 Timestamp = 0;
};

struct FQuorvexSwipeEvent
{
    float StartX = 0.f;
    float StartY = 0.f;
    float EndX = 0.f;
    float EndY = 0.f;
    int32 DurationMs = 0;
    int64 Timestamp = 0;
};

struct FQuorvexLongPressEvent
{
    float X = 0.f;
    float Y = 0.f;
    int32 DurationMs = 0;
    int64 Timestamp = 0;
};

struct FQuorvexKeyEventData
{
    int32 KeyCode = 0;
    FString Key;
    FString Action;
    int64 Timestamp = 0;
};

struct FQuorvexMouseButtonEvent
{
    int32 Button = 0;
    FString Action;
    float X = 0.f;
    float Y = 0.f;
    int64 Timestamp = 0;
};

struct FQuorvexScrollEvent
{
    float DeltaX = 0.f;
    float DeltaY = 0.f;
    float X = 0.f;
    float Y = 0.f;
    int64 Timestamp = 0;
};

// The six kinds of recorded input, each in arrival order.
struct FQuorvexGestures
{
    std::vector<FQuorvexTapEvent> Taps;
    std::vector<FQuorvexSwipeEvent> Swipes;
    std::vector<FQuorvexLongPressEvent> LongPresses;
    std::vector<FQuorvexKeyEventData> KeyEvents;
    std::vector<FQuorvexMouseButtonEvent> MouseButtons;
    std::vector<FQuorvexScrollEvent> Scrolls;

    bool IsEmpty() const
    {
        return Taps.empty() && Swipes.empty() && LongPresses.empty() && KeyEvents.empty() &&
               MouseButtons.empty() && Scrolls.empty();
    }
    // Appends each kind of Later's events after this one's.
    void Append(FQuorvexGestures&& Later)
    {
        const auto Add = [](auto& Into, auto& From)
        { Into.insert(Into.end(), From.begin(), From.end()); };
        Add(Taps, Later.Taps);
        Add(Swipes, Later.Swipes);
        Add(LongPresses, Later.LongPresses);
        Add(KeyEvents, Later.KeyEvents);
        Add(MouseButtons, Later.MouseButtons);
        Add(Scrolls, Later.Scrolls);
    }
};

// One screenshot of a batch. The JPEG is stored at frames/{AttachmentId}.jpeg.
struct FQuorvexMediaFrame
{
    int64 Timestamp = 0; // capture time, ms since the epoch
    int32 CaptureDurationMs = 0;
    int32 MainThreadCaptureMs = 0;
    FString AttachmentId; // always "frame_{index}"
    int32 Width = 0;
    int32 Height = 0;
};

// Per-batch system snapshot.
struct FQuorvexEventMetadata
{
    int32 MemoryUsageMb = 0;
    int32 CpuUsagePercent = -1; // -1: not sampled yet
    int32 BatteryLevel = 0;
    FString ScreenOrientation;
};
