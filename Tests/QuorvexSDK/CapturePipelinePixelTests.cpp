// Pixels through every capture path: the composite and viewport sources, through
// the generic readback and the D3D12-like native readback, in every handled
// format, cropped, clamped, scaled and stretched.
#include "CapturePipelineTestFixture.h"
#include "QuorvexCapturePipelineRows.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

namespace
{
const char* InterfaceName(ERHIInterfaceType Type)
{
    return Type == ERHIInterfaceType::D3D12 ? "D3D12" : "Vulkan";
}

class CapturePipelinePixelTest : public CapturePipelineTestBase,
                                 public ::testing::WithParamInterface<ERHIInterfaceType>
{
protected:
    FTestSceneOptions Options()
    {
        FTestSceneOptions Result;
        Result.Interface = GetParam();
        return Result;
    }

    // The last screen pass the pipeline drew.
    static FRHIDrawRecord LastDownscale()
    {
        FRHIDrawRecord Found;
        for (const FRHIDrawRecord& Draw : GDynamicRHI->GetRecentDraws())
        {
            if (Draw.PassName == "QuorvexDownscale")
            {
                Found = Draw;
            }
        }
        return Found;
    }
};

bool Near(const std::array<uint8, 3>& A, const std::array<uint8, 3>& B, int32 Tolerance)
{
    for (int32 I = 0; I < 3; ++I)
    {
        if (std::abs(int32{A[I]} - int32{B[I]}) > Tolerance)
        {
            return false;
        }
    }
    return true;
}
} // namespace

TEST(CapturePipelineRowsTest, ConvertsEachHandledFormatToRgb)
{
    struct FCase
    {
        EPixelFormat Format;
        uint8 Pixel[4];
        std::array<uint8, 3> Rgb;
    };
    const FCase Cases[] = {
        {PF_B8G8R8A8, {10, 20, 30, 40}, {30, 20, 10}},
        {PF_R8G8B8A8, {10, 20, 30, 40}, {10, 20, 30}},
        {PF_R8G8B8A8_SNORM, {0x81, 0x7F, 0x00, 0x55}, {0x81, 0x7F, 0x00}},
        // 0x3FF003FF little-endian: R = 0x3FF, G = 0, B = 0x3FF.
        {PF_A2B10G10R10, {0xFF, 0x03, 0xF0, 0x3F}, {255, 0, 255}},
        // R = 0x204, G = 0x0FC, B = 0x3FC: the top 8 bits of each.
        {PF_A2B10G10R10, {0x04, 0xF2, 0xC3, 0xFF}, {0x81, 0x3F, 0xFF}},
    };
    for (const FCase& Case : Cases)
    {
        SCOPED_TRACE(GetPixelFormatString(Case.Format));
        EXPECT_TRUE(IsHandledCaptureFormat(Case.Format));
        uint8 Two[8];
        std::memcpy(Two, Case.Pixel, 4);
        std::memcpy(Two + 4, Case.Pixel, 4);
        uint8 Out[6] = {};
        ConvertCaptureRow(Case.Format, Two, Out, 2);
        EXPECT_EQ((std::array<uint8, 3>{Out[3], Out[4], Out[5]}), Case.Rgb);
    }
    EXPECT_FALSE(IsHandledCaptureFormat(PF_A32B32G32R32F));
    EXPECT_FALSE(IsHandledCaptureFormat(PF_Unknown));
}

TEST_P(CapturePipelinePixelTest, CompositeFrameIsTheViewportRectangleWithTheInterface)
{
    StartScene(Options());
    const auto Frame = CaptureOne();
    ASSERT_EQ(Frame->Width, 128);
    ASSERT_EQ(Frame->Height, 96);
    ASSERT_EQ(Frame->Rgb.size(), 128u * 96 * 3);
    EXPECT_EQ(Frame->Calls.load(), 1);
    EXPECT_TRUE(Frame->bOnWorker);
    // Wall-clock spans cannot be compared exactly; the measured one must sit inside
    // the span the recorder saw.
    EXPECT_GE(Frame->DurationMs, 0);
    EXPECT_LE(Frame->DurationMs, Frame->ElapsedBoundMs);
    // The box sits at (20, 10)-(28, 14) in the window, (4, 2)-(12, 6) in the frame.
    int32 Mismatches = 0;
    for (int32 Y = 0; Y < 96; ++Y)
    {
        for (int32 X = 0; X < 128; ++X)
        {
            const bool bBox = X >= 4 && X < 12 && Y >= 2 && Y < 6;
            const auto Expected =
                bBox ? FTestEngineScene::OverlayRgb : FTestEngineScene::ScenePixel(X, Y);
            Mismatches += Frame->At(X, Y) != Expected;
        }
    }
    EXPECT_EQ(Mismatches, 0);
    EXPECT_EQ(LastDownscale().Filter, ESamplerFilter::Point);
    EXPECT_EQ(GDynamicRHI->GetValidationErrorCount(), 0);
}

TEST_P(CapturePipelinePixelTest, ViewportFrameHasTheSceneWithoutTheInterface)
{
    StartScene(Options(), /*bCompositeHook=*/false);
    const auto Frame = CaptureOne();
    ASSERT_EQ(Frame->Width, 128);
    ASSERT_EQ(Frame->Height, 96);
    int32 Mismatches = 0;
    for (int32 Y = 0; Y < 96; ++Y)
    {
        for (int32 X = 0; X < 128; ++X)
        {
            Mismatches += Frame->At(X, Y) != FTestEngineScene::ScenePixel(X, Y);
        }
    }
    EXPECT_EQ(Mismatches, 0);
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning,
                        "QuorvexSDK: Capturing from the viewport render target: Slate composite "
                        "hook unavailable, game window resolved. Frames will contain the 3D scene "
                        "and HUD canvas but NOT Slate/UMG UI."));
    // Later requests in the same session do not repeat the notice.
    CaptureOne();
    EXPECT_EQ(Log.Count("Capturing from the viewport render target"), 1);
}

TEST_P(CapturePipelinePixelTest, EveryHandledViewportFormatConvertsExactly)
{
    for (const EPixelFormat Format : {PF_B8G8R8A8, PF_R8G8B8A8, PF_R8G8B8A8_SNORM, PF_A2B10G10R10})
    {
        SCOPED_TRACE(GetPixelFormatString(Format));
        FTestSceneOptions SceneOptions = Options();
        SceneOptions.ViewportFormat = Format;
        StartScene(SceneOptions, /*bCompositeHook=*/false);
        const auto Frame = CaptureOne();
        ASSERT_EQ(Frame->Rgb.size(), 128u * 96 * 3);
        int32 Mismatches = 0;
        for (int32 Y = 0; Y < 96; ++Y)
        {
            for (int32 X = 0; X < 128; ++X)
            {
                Mismatches += Frame->At(X, Y) != FTestEngineScene::ScenePixel(X, Y);
            }
        }
        EXPECT_EQ(Mismatches, 0);
        TearDown();
        FEngineTestBase::SetUp();
    }
}

TEST_P(CapturePipelinePixelTest, ResizeIsBilinearAndADifferentAspectIsStretched)
{
    StartScene(Options());
    const auto Half = CaptureOne(64, 48);
    ASSERT_EQ(Half->Width, 64);
    ASSERT_EQ(Half->Height, 48);
    EXPECT_EQ(LastDownscale().Filter, ESamplerFilter::Bilinear);
    // Away from the box each pixel is the mean of a 2 x 2 block of the scene.
    const auto Mean = [](int32 X, int32 Y)
    {
        std::array<uint8, 3> Out{};
        for (int32 C = 0; C < 3; ++C)
        {
            const int32 Sum = FTestEngineScene::ScenePixel(2 * X, 2 * Y)[C] +
                              FTestEngineScene::ScenePixel(2 * X + 1, 2 * Y)[C] +
                              FTestEngineScene::ScenePixel(2 * X, 2 * Y + 1)[C] +
                              FTestEngineScene::ScenePixel(2 * X + 1, 2 * Y + 1)[C];
            Out[C] = static_cast<uint8>((Sum + 2) / 4);
        }
        return Out;
    };
    for (const auto& [X, Y] : {std::pair{40, 30}, std::pair{20, 40}, std::pair{10, 20}})
    {
        EXPECT_TRUE(Near(Half->At(X, Y), Mean(X, Y), 1)) << X << "," << Y;
    }

    // 128 x 96 into 100 x 20: filled edge to edge, no bars.
    const auto Wide = CaptureOne(100, 20);
    ASSERT_EQ(Wide->Width, 100);
    ASSERT_EQ(Wide->Height, 20);
    EXPECT_EQ(LastDownscale().DestSize, (FIntPoint{100, 20}));
    for (int32 Y = 0; Y < 20; ++Y)
    {
        EXPECT_GE(Wide->At(99, Y)[0], 250) << Y; // the scene's right edge (red 254)
    }
    for (int32 X = 30; X < 100; X += 7)
    {
        EXPECT_GE(Wide->At(X, 19)[1], 185) << X; // the scene's bottom edge (green 191)
    }
    EXPECT_LE(Wide->At(0, 0)[0], 2);

    // A target equal to the source is a 1:1 copy.
    CaptureOne(128, 96);
    EXPECT_EQ(LastDownscale().Filter, ESamplerFilter::Point);
}

TEST_P(CapturePipelinePixelTest, ViewportPathScalesOnlyWhenTheTargetDiffers)
{
    FTestSceneOptions SceneOptions = Options();
    SceneOptions.ViewportSize = {192, 108};
    StartScene(SceneOptions, /*bCompositeHook=*/false);
    GDynamicRHI->ClearRecentDraws();
    const auto Same = CaptureOne(192, 108);
    EXPECT_EQ(Same->Width, 192);
    EXPECT_EQ(LastDownscale().PassName, ""); // no pass: the target is copied as it is
    EXPECT_EQ(Same->At(100, 50), FTestEngineScene::ScenePixel(100, 50));
    const auto Scaled = CaptureOne(128, 72);
    EXPECT_EQ(Scaled->Width, 128);
    EXPECT_EQ(Scaled->Height, 72);
    EXPECT_EQ(LastDownscale().Filter, ESamplerFilter::Bilinear);
}

TEST_P(CapturePipelinePixelTest, CaptureRectangleIsClampedToTheBackBuffer)
{
    // The viewport hangs off the window's bottom-right corner: (100, 80)-(228, 176).
    FTestSceneOptions Partly = Options();
    Partly.ViewportPosition = {100.f, 80.f};
    Partly.OverlaySize = {0.f, 0.f};
    StartScene(Partly);
    EXPECT_EQ(FQuorvexEngineAbi::GetGameViewportRect(), FIntRect(100, 80, 228, 176));
    const auto Clamped = CaptureOne();
    ASSERT_EQ(Clamped->Width, 60);
    ASSERT_EQ(Clamped->Height, 40);
    EXPECT_EQ(Clamped->At(0, 0), FTestEngineScene::ScenePixel(0, 0));
    EXPECT_EQ(Clamped->At(59, 39), FTestEngineScene::ScenePixel(59, 39));
    TearDown();
    FEngineTestBase::SetUp();

    // Wholly outside: the whole back buffer is captured instead.
    FTestSceneOptions Outside = Options();
    Outside.ViewportPosition = {300.f, 200.f};
    StartScene(Outside);
    const auto Whole = CaptureOne();
    ASSERT_EQ(Whole->Width, 160);
    ASSERT_EQ(Whole->Height, 120);
    EXPECT_EQ(Whole->At(20, 10), FTestEngineScene::OverlayRgb);
    EXPECT_EQ(Whole->At(0, 0), (std::array<uint8, 3>{13, 13, 13}));
}

INSTANTIATE_TEST_SUITE_P(BothReadbacks, CapturePipelinePixelTest,
                         ::testing::Values(ERHIInterfaceType::Vulkan, ERHIInterfaceType::D3D12),
                         [](const auto& Info) { return InterfaceName(Info.param); });

TEST_F(CapturePipelineTestBase, NativeRowPitchIsAlignedTo256Bytes)
{
    FQuorvexLogSwitches::SetTimingLogsEnabled(true);
    FTestSceneOptions Options;
    Options.Interface = ERHIInterfaceType::D3D12;
    Options.ViewportSize = {1000, 10};
    StartScene(Options, /*bCompositeHook=*/false);
    const auto Frame = CaptureOne();
    EXPECT_TRUE(Log.Has(ELogVerbosity::Log, "QuorvexSDK: [NativeRecord] DX12 staging: "
                                            "res=1000x10 RowPitch=4096 (raw=4000 bpp=4)"));
    ASSERT_EQ(Frame->Width, 1000);
    ASSERT_EQ(Frame->Height, 10);
    EXPECT_EQ(Frame->At(999, 9), FTestEngineScene::ScenePixel(999, 9));
    EXPECT_EQ(Frame->At(500, 5), FTestEngineScene::ScenePixel(500, 5));
    EXPECT_EQ(Log.Count("[NativeReadback] [BG]"), 1);
}
