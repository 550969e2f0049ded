// The screenshot step inside a running engine scene: gates, target size, quality,
// storage limit, the JPEG on disk (decoded by libjpeg-turbo) and the hand-back.
#include "DisplayMetrics.h"
#include "Files.h"
#include "JpegOracle.h"
#include "QuorvexApiClient.h"
#include "QuorvexEngineAbi.h"
#include "QuorvexSubsystemTestBase.h"
#include "RhiAdapter.h"
#include "Tasks.h"
#include "TestEngineScene.h"

#include <cmath>
#include <thread>

namespace
{
// A rectangle of the window's back buffer (B8G8R8A8) as RGB, read once the render
// thread is idle.
std::vector<uint8> BackBufferRgb(FTestEngineScene& Scene, const FIntRect& Rect)
{
    FlushRenderingCommands();
    const FRHITexture& Texture = *Scene.Window->GetViewportRHI()->GetBackBuffer();
    std::vector<uint8> Rgb;
    for (int32 Y = Rect.Min.Y; Y < Rect.Max.Y; ++Y)
    {
        const uint8* Row = Texture.GetRow(Y);
        for (int32 X = Rect.Min.X; X < Rect.Max.X; ++X)
        {
            Rgb.insert(Rgb.end(), {Row[X * 4 + 2], Row[X * 4 + 1], Row[X * 4 + 0]});
        }
    }
    return Rgb;
}

double Psnr(const std::vector<uint8>& A, const std::vector<uint8>& B)
{
    double Sum = 0;
    for (size_t I = 0; I < A.size(); ++I)
    {
        const double D = static_cast<double>(A[I]) - B[I];
        Sum += D * D;
    }
    const double Mse = Sum / static_cast<double>(A.size());
    return Mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / Mse);
}
} // namespace

class ScreenshotStep : public FQuorvexSubsystemTestBase
{
protected:
    void SetUp() override
    {
        Scene = std::make_unique<FTestEngineScene>(SceneOptions());
        FQuorvexSubsystemTestBase::SetUp();
        Scene->Tick(2);
    }

    void TearDown() override
    {
        FQuorvexSubsystemTestBase::TearDown();
        Scene.reset();
    }

    virtual FTestSceneOptions SceneOptions() const { return {}; }

    FQuorvexSessionData Session(int32 Width = 0, int32 Height = 0) const
    {
        FQuorvexSessionData Data = MakeSession();
        Data.CaptureConfig.StopCaptureCpuUsagePercent = 0; // the gate has its own test
        Data.CaptureConfig.Resolution = {Width, Height};
        return Data;
    }

    // The pipeline skips its first requests after a fresh start.
    void WarmUp()
    {
        for (int I = 0; I < 5; ++I)
        {
            Peer->CaptureScreenshot();
            Scene->Tick();
        }
        ASSERT_EQ(Peer->PendingEncodes(), 0);
    }

    // Requests a frame and runs the engine until its record reached the batch.
    const FQuorvexScreenshotRecord& CaptureOne()
    {
        const size_t Before = Peer->PendingScreenshots().size();
        Peer->CaptureScreenshot();
        EXPECT_EQ(Peer->PendingEncodes(), 1);
        EXPECT_TRUE(PumpUntil(
            [&]
            {
                Scene->Tick();
                return Peer->PendingScreenshots().size() > Before && Peer->IsCaptureIdle();
            }));
        return Peer->PendingScreenshots().back();
    }

    std::unique_ptr<FTestEngineScene> Scene;
};

TEST_F(ScreenshotStep, CapturedFrameIsAJpegOfTheCompositedWindow)
{
    StartCapturing(Session());
    WarmUp();
    const FQuorvexScreenshotRecord& Record = CaptureOne();
    // The game viewport's part of the window, interface overlay included.
    const FIntRect Rect = FQuorvexEngineAbi::GetGameViewportRect();
    const FIntPoint Size{Rect.Max.X - Rect.Min.X, Rect.Max.Y - Rect.Min.Y};
    EXPECT_EQ(Size.X, 128);
    EXPECT_EQ(Record.Width, Size.X);
    EXPECT_EQ(Record.Height, Size.Y);
    std::vector<uint8> Jpeg;
    ASSERT_TRUE(FFileHelper::LoadFileToArray(Jpeg, Record.FilePath)) << Record.FilePath;
    FDecodedJpeg Decoded;
    ASSERT_TRUE(DecodeJpeg(Jpeg, Decoded));
    ASSERT_EQ(Decoded.Width, Size.X);
    ASSERT_EQ(Decoded.Height, Size.Y);
    // Quality 75 with 4:2:0 on this scene of flat areas and hard edges measures 34.6 dB;
    // 30 dB leaves room for encoder changes while catching a wrong crop or channel order.
    EXPECT_GE(Psnr(Decoded.Rgb, BackBufferRgb(*Scene, Rect)), 30.0);
    EXPECT_EQ(Peer->PendingEncodes(), 0);
}

TEST_F(ScreenshotStep, ServerResolutionScalesAndAHalfResolutionMeansNone)
{
    StartCapturing(Session(64, 48));
    WarmUp();
    const FQuorvexScreenshotRecord& Scaled = CaptureOne();
    EXPECT_EQ(Scaled.Width, 64);
    EXPECT_EQ(Scaled.Height, 48);

    Subsystem->StopSessionNative(nullptr);
    PumpUntil(
        [&]
        {
            Scene->Tick();
            return Subsystem->GetSdkState() == EQuorvexSdkState::SDK_STATE_IDLE;
        });
    StartCapturing(Session(1280, 0));
    WarmUp();
    const FQuorvexScreenshotRecord& Native = CaptureOne();
    EXPECT_EQ(Native.Width, 128) << "the viewport's own width";
}

TEST_F(ScreenshotStep, EncodeBacklogSkipsAndLogsOnlyWithDebugLogs)
{
    StartCapturing(Session());
    Peer->SetPendingEncodes(1);
    Peer->CaptureScreenshot();
    EXPECT_TRUE(
        Log.Has(ELogVerbosity::Log, "QuorvexSDK: Frame skipped: encode backlog (1 pending)"));
    Log.Clear();
    Subsystem->SetDebugLogsEnabled(false, false);
    Peer->CaptureScreenshot();
    EXPECT_FALSE(Log.Contains("encode backlog"));
    Subsystem->SetDebugLogsEnabled(true, false);
    Peer->SetPendingEncodes(0);
}

TEST_F(ScreenshotStep, CpuGate)
{
    FQuorvexSessionData Data = Session();
    Data.CaptureConfig.StopCaptureCpuUsagePercent = 80;
    StartCapturing(Data);
    Peer->SetCachedCpu(0);
    WarmUp();
    struct FCase
    {
        int32 Cpu;
        bool bCaptures;
    };
    for (const FCase& Case : {FCase{80, true}, FCase{81, false}, FCase{-1, true}})
    {
        Log.Clear();
        Peer->SetCachedCpu(Case.Cpu);
        Peer->CaptureScreenshot();
        EXPECT_EQ(Peer->PendingEncodes(), Case.bCaptures ? 1 : 0) << Case.Cpu;
        EXPECT_EQ(
            Log.Has(ELogVerbosity::Warning, "QuorvexSDK: Frame skipped: cpu=81% threshold=80%"),
            !Case.bCaptures)
            << Case.Cpu;
        ASSERT_TRUE(PumpUntil(
            [&]
            {
                Scene->Tick();
                return Peer->IsCaptureIdle();
            }));
    }
}

TEST_F(ScreenshotStep, QualityAndStorageLimitFollowTheServer)
{
    struct FCase
    {
        int32 ServerQuality;
        int32 Expected;
    };
    for (const FCase& Case : {FCase{0, 75}, FCase{250, 100}, FCase{40, 40}})
    {
        FQuorvexSessionData Data = Session();
        Data.CaptureConfig.ImageQuality = Case.ServerQuality;
        Peer->CreateSession(Data);
        EXPECT_EQ(Peer->GetCurrentJpegQuality(), Case.Expected) << Case.ServerQuality;
    }
    Subsystem->JpegQuality = 250;
    FQuorvexSessionData NoQuality = Session();
    NoQuality.CaptureConfig.ImageQuality = 0;
    Peer->CreateSession(NoQuality);
    EXPECT_EQ(Peer->GetCurrentJpegQuality(), 100);

    for (const auto& [Mb, Bytes] : {std::pair{0, 104857600LL}, std::pair{50, 52428800LL}})
    {
        FQuorvexSessionData Data = Session();
        Data.CaptureConfig.MaxStorageSizeMb = Mb;
        Peer->CreateSession(Data);
        EXPECT_EQ(Peer->CurrentMaxStorageSizeBytes(), Bytes) << Mb;
    }
}

TEST_F(ScreenshotStep, ReleasedFrameLeavesNoRecordAndALateRecordLeavesNoFile)
{
    StartCapturing(Session());
    WarmUp();
    Peer->CaptureScreenshot();
    EXPECT_EQ(Peer->PendingEncodes(), 1);
    Peer->ReleaseCaptureResources();
    Scene->Tick(4);
    EXPECT_EQ(Peer->PendingEncodes(), 0);
    EXPECT_TRUE(Peer->PendingScreenshots().empty());

    // Let a frame reach the store, then stop before its record reaches the batch.
    Peer->CaptureScreenshot();
    const FString Folder = FQuorvexOfflineStore::GetBufferedScreenshotDirectory();
    ASSERT_TRUE(PumpUntil(
        [&]
        {
            Scene->Tick();
            FlushRenderingCommands(); // the readback's hand-off to the encoder
            FTaskGraph::WaitForBackgroundIdle();
            return !IFileManager::Get().FindFiles(Folder, "frame_*").empty();
        }));
    ASSERT_TRUE(Peer->PendingScreenshots().empty()) << "the record is still on its way";
    FCompletionProbe Stopped;
    Subsystem->StopSessionNative(Stopped.Callback());
    Pump();
    // The frame belongs to the session being stopped: it joins the final batch.
    EXPECT_EQ(Peer->PendingScreenshots().size(), 1u);
    ASSERT_TRUE(PumpUntil(
        [&]
        {
            Subsystem->Tick(0.01f);
            return Stopped.Calls > 0;
        }));
    EXPECT_TRUE(IFileManager::Get().FindFiles(Folder, "frame_*").empty());
    EXPECT_TRUE(Peer->PendingScreenshots().empty());
}

TEST_F(ScreenshotStep, StuckEncodeBoundsTheTeardownWait)
{
    Peer->SetPendingEncodes(1);
    Peer->WaitForPendingEncodes();
    EXPECT_TRUE(Log.Has(ELogVerbosity::Error,
                        "QuorvexSDK: Teardown: 1 JPEG encode(s) still in flight "
                        "after 3.0s; proceeding without waiting."));
    Peer->SetPendingEncodes(0);
}

class ScreenshotStepPortrait : public ScreenshotStep
{
protected:
    FTestSceneOptions SceneOptions() const override
    {
        FTestSceneOptions Options;
        Options.ViewportSize = {96, 128};
        Options.ViewportSlotSize = {96.f, 128.f};
        Options.WindowSize = {120, 150};
        return Options;
    }
};

TEST_F(ScreenshotStep, DeviceDescriptionFromTheGpuAndTheDisplays)
{
    FRHIAdapterDescription Adapter;
    Adapter.AdapterName = "Test GPU";
    Adapter.VendorId = 0x10DE;
    Adapter.UserDriverVersion = "32.0.101.7088";
    Adapter.DedicatedVideoMemoryBytes = 8LL << 30;
    FRHIAdapter::Set(Adapter);
    FDisplayMetrics Displays;
    Displays.PrimaryDisplayWidth = 2560;
    Displays.PrimaryDisplayHeight = 1440;
    Displays.MonitorInfo = {{"side", 1920, 1080, 96, false}, {"main", 2560, 1440, 144, true}};
    FDisplayMetrics::SetPlatformDisplays(Displays);

    const FQuorvexConfigRequest Request = Peer->BuildConfigPayload();
    FRHIAdapter::Set(FRHIAdapterDescription());
    FDisplayMetrics::SetPlatformDisplays(FDisplayMetrics());
    EXPECT_EQ(Request.Device.GpuName, "Test GPU");
    EXPECT_EQ(Request.Device.GpuVendor, "NVIDIA");
    EXPECT_EQ(Request.Device.GpuDriverVersion, "32.0.101.7088");
    EXPECT_EQ(Request.Device.GpuMemoryMb, 8192);
    EXPECT_EQ(Request.Device.UeSelectedConfig.Api, "Vulkan");
    EXPECT_FALSE(Request.Device.bUsesNativeReadbackPath);
    EXPECT_FLOAT_EQ(Request.Device.Dpi, 144.f);
    EXPECT_EQ(Request.Device.Resolution.Width, 2560);
    EXPECT_EQ(Request.Device.Orientation, "Landscape");
    EXPECT_EQ(Request.App.Resolution.Width, 128) << "the rendered viewport";
    EXPECT_EQ(Request.App.Resolution.Height, 96);
    // 128 x 96 of 2560 x 1440 is 0.333...%, rounded to two decimals.
    EXPECT_FLOAT_EQ(Request.ExtraPayload.ScreenOccupancyPercent, 0.33f);
    EXPECT_EQ(Peer->BuildMetadataSnapshot().ScreenOrientation, "Landscape");
}

TEST_F(ScreenshotStepPortrait, PortraitViewport)
{
    EXPECT_EQ(Peer->BuildMetadataSnapshot().ScreenOrientation, "Portrait");
    EXPECT_EQ(Peer->BuildConfigPayload().Device.Orientation, "Portrait");
}
