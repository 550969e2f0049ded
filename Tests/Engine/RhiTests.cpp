// The software GPU: pixel formats, the GPU timeline with fences, the generic
// readback, the D3D12-like staging path and the screen pass.
#include "D3D12Resource.h"
#include "DynamicRhi.h"
#include "GpuTextureReadback.h"
#include "Logging.h"
#include "RhiCommandList.h"
#include "Tasks.h"
#include "TestSupport.h"

#include <cstring>
#include <gtest/gtest.h>

namespace
{
// Runs Work on the render thread with its command list and waits for it.
void OnRenderThread(const std::function<void(FRHICommandListImmediate&)>& Work)
{
    EnqueueRenderCommand("RhiTest",
                         [&] { Work(FRHICommandListExecutor::GetImmediateCommandList()); });
    FlushRenderingCommands();
}

void EndFrames(int32 Count)
{
    for (int32 I = 0; I < Count; ++I)
    {
        OnRenderThread([](FRHICommandListImmediate&) { GDynamicRHI->EndFrame_RenderThread(); });
    }
}

// A B8G8R8A8 texture whose pixel (x, y) is (R = x, G = y, B = x + y) in bytes.
FTextureRHIRef MakeGradient(int32 W, int32 H, ETextureCreateFlags Flags = ETextureCreateFlags::None)
{
    FTextureRHIRef Texture = GDynamicRHI->RHICreateTexture(
        FRHITextureCreateDesc::Create2D("Gradient", W, H, PF_B8G8R8A8).SetFlags(Flags));
    for (int32 Y = 0; Y < H; ++Y)
    {
        for (int32 X = 0; X < W; ++X)
        {
            uint8* P = Texture->GetRow(Y) + X * 4;
            P[0] = static_cast<uint8>(X + Y);
            P[1] = static_cast<uint8>(Y);
            P[2] = static_cast<uint8>(X);
            P[3] = 255;
        }
    }
    return Texture;
}

class RhiTest : public FEngineTestBase
{
protected:
    void SetUp() override
    {
        FEngineTestBase::SetUp();
        RHIInit(ERHIInterfaceType::Vulkan);
    }
    void TearDown() override
    {
        RHIExit();
        FEngineTestBase::TearDown();
    }
};
} // namespace

TEST(RhiPixelFormatTest, DecodesEveryHandledFormatAndRoundTrips)
{
    struct FCase
    {
        EPixelFormat Format;
        uint8 Bytes[4];
        FLinearColor Expected;
    };
    const FCase Cases[] = {
        {PF_B8G8R8A8, {0, 128, 255, 255}, {1.f, 128.f / 255, 0.f, 1.f}},
        {PF_R8G8B8A8, {255, 128, 0, 255}, {1.f, 128.f / 255, 0.f, 1.f}},
        {PF_R8G8B8A8_SNORM, {127, 0, 0x81, 127}, {1.f, 0.f, -1.f, 1.f}},
        // 0x3FF003FF: R = 0x3FF, G = 0, B = 0x3FF, A = 0.
        {PF_A2B10G10R10, {0xFF, 0x03, 0xF0, 0x3F}, {1.f, 0.f, 1.f, 0.f}},
    };
    for (const FCase& Case : Cases)
    {
        SCOPED_TRACE(GetPixelFormatString(Case.Format));
        EXPECT_EQ(GetPixelFormatBlockBytes(Case.Format), 4);
        const FLinearColor C = DecodePixel(Case.Format, Case.Bytes);
        EXPECT_NEAR(C.R, Case.Expected.R, 1e-6);
        EXPECT_NEAR(C.G, Case.Expected.G, 1e-6);
        EXPECT_NEAR(C.B, Case.Expected.B, 1e-6);
        EXPECT_NEAR(C.A, Case.Expected.A, 1e-6);
        uint8 Encoded[4] = {};
        EncodePixel(Case.Format, C, Encoded);
        EXPECT_EQ(std::memcmp(Encoded, Case.Bytes, 4), 0);
    }
    EXPECT_EQ(GetPixelFormatBlockBytes(PF_A32B32G32R32F), 16);
    EXPECT_EQ(GetPixelFormatBlockBytes(PF_Unknown), 0);
}

TEST_F(RhiTest, FenceSignalsOnlyAfterItsFrameIsSubmittedAndTheLatencyPassed)
{
    for (const int32 Latency : {0, 1, 3})
    {
        SCOPED_TRACE(Latency);
        GDynamicRHI->GetTimeline().SetLatencyFrames(Latency);
        FGPUFenceRHIRef Fence = GDynamicRHI->RHICreateGPUFence("TestFence");
        EXPECT_FALSE(Fence->Poll());
        OnRenderThread([&](FRHICommandListImmediate& CmdList)
                       { RHIWriteGPUFence(CmdList, Fence); });
        EXPECT_EQ(Fence->NumPendingWriteCommands.load(), 1);
        EXPECT_FALSE(Fence->Poll());
        EndFrames(1);
        EXPECT_EQ(Fence->NumPendingWriteCommands.load(), 0);
        EXPECT_EQ(Fence->Poll(), Latency <= 1);
        EndFrames(Latency > 1 ? Latency - 1 : 0);
        EXPECT_TRUE(Fence->Poll());
        Fence->Clear();
        EXPECT_FALSE(Fence->Poll());
    }
}

TEST_F(RhiTest, WorkSubmittedWhileTheGpuHangsNeverCompletes)
{
    GDynamicRHI->GetTimeline().SetLatencyFrames(1);
    GDynamicRHI->GetTimeline().SetWorkNeverCompletes(true);
    FGPUFenceRHIRef Fence = GDynamicRHI->RHICreateGPUFence("Hung");
    OnRenderThread([&](FRHICommandListImmediate& CmdList) { RHIWriteGPUFence(CmdList, Fence); });
    EndFrames(20);
    EXPECT_FALSE(Fence->Poll());
    GDynamicRHI->GetTimeline().SetWorkNeverCompletes(false);
    OnRenderThread([&](FRHICommandListImmediate& CmdList) { RHIWriteGPUFence(CmdList, Fence); });
    EndFrames(1);
    EXPECT_TRUE(Fence->Poll());
}

TEST_F(RhiTest, ReadbackCopiesTheWholeTextureWithAPaddedPitchOnceReady)
{
    GDynamicRHI->GetTimeline().SetLatencyFrames(2);
    FTextureRHIRef Source = MakeGradient(100, 3);
    FRHIGPUTextureReadback Readback("TestReadback");
    OnRenderThread(
        [&](FRHICommandListImmediate& CmdList)
        {
            CmdList.Transition({Source.get(), ERHIAccess::Unknown, ERHIAccess::CopySrc});
            Readback.EnqueueCopy(CmdList, Source.get());
        });
    EXPECT_FALSE(Readback.IsReady());
    EndFrames(1);
    EXPECT_FALSE(Readback.IsReady());
    EndFrames(1);
    ASSERT_TRUE(Readback.IsReady());
    OnRenderThread(
        [&](FRHICommandListImmediate&)
        {
            int32 Pitch = 0;
            int32 Height = 0;
            const uint8* Data = static_cast<const uint8*>(Readback.Lock(Pitch, &Height));
            ASSERT_NE(Data, nullptr);
            EXPECT_EQ(Pitch, 128);
            EXPECT_EQ(Height, 3);
            const uint8* Pixel = Data + (2 * Pitch + 99) * 4;
            EXPECT_EQ(Pixel[2], 99);
            EXPECT_EQ(Pixel[1], 2);
            EXPECT_EQ(Pixel[0], 101);
            Readback.Unlock();
        });
    EXPECT_EQ(GDynamicRHI->GetValidationErrorCount(), 0);
}

TEST_F(RhiTest, ReadbackLockFailsUnderTheHookBeforeAnyCopyAndBeforeTheCopyCompletes)
{
    FLogCapture Log;
    FRHIGPUTextureReadback Readback("Empty");
    FTextureRHIRef Source = MakeGradient(4, 4);
    GDynamicRHI->GetTimeline().SetLatencyFrames(1);
    int32 Pitch = -1;
    OnRenderThread(
        [&](FRHICommandListImmediate& CmdList)
        {
            EXPECT_EQ(Readback.Lock(Pitch), nullptr);
            EXPECT_EQ(Pitch, 0);
            CmdList.Transition({Source.get(), ERHIAccess::Unknown, ERHIAccess::CopySrc});
            Readback.EnqueueCopy(CmdList, Source.get());
            // Read before the GPU got to the copy: a validation error, no bytes.
            EXPECT_EQ(Readback.Lock(Pitch), nullptr);
        });
    EXPECT_EQ(GDynamicRHI->GetValidationErrorCount(), 1);
    EXPECT_TRUE(Log.Contains("read before its copy completed"));
    EndFrames(2);
    OnRenderThread(
        [&](FRHICommandListImmediate&)
        {
            GDynamicRHI->GetTestHooks().bFailReadbackLock = true;
            EXPECT_EQ(Readback.Lock(Pitch), nullptr);
            GDynamicRHI->GetTestHooks().bFailReadbackLock = false;
            EXPECT_NE(Readback.Lock(Pitch), nullptr);
            Readback.Unlock();
        });
    EXPECT_EQ(GDynamicRHI->GetValidationErrorCount(), 1);
}

TEST_F(RhiTest, CopyFromATextureInTheWrongStateIsReported)
{
    FLogCapture Log;
    FTextureRHIRef Source = MakeGradient(4, 4);
    FTextureRHIRef Dest =
        GDynamicRHI->RHICreateTexture(FRHITextureCreateDesc::Create2D("Dest", 4, 4, PF_B8G8R8A8));
    OnRenderThread([&](FRHICommandListImmediate& CmdList)
                   { CmdList.CopyTexture(Source.get(), Dest.get()); });
    EXPECT_EQ(GDynamicRHI->GetValidationErrorCount(), 2);
    EXPECT_TRUE(
        Log.Has(ELogVerbosity::Error,
                "CopyTexture source: texture Gradient is in state Unknown, expected CopySrc"));
}

TEST_F(RhiTest, NativeLayerExistsOnlyOnD3D12)
{
    EXPECT_EQ(GetID3D12DynamicRHI(), nullptr);
    EXPECT_EQ(MakeGradient(4, 4)->GetNativeResource(), nullptr);
    RHIInit(ERHIInterfaceType::D3D12);
    ASSERT_NE(GetID3D12DynamicRHI(), nullptr);
    FTextureRHIRef Texture = MakeGradient(4, 4);
    ID3D12Resource* Native = GetID3D12DynamicRHI()->RHIGetResource(Texture.get());
    ASSERT_NE(Native, nullptr);
    EXPECT_EQ(Native->GetDesc().Dimension, D3D12_RESOURCE_DIMENSION_TEXTURE2D);
    void* Data = nullptr;
    EXPECT_EQ(Native->Map(0, nullptr, &Data), E_INVALIDARG); // GPU-only memory
}

TEST_F(RhiTest, D3D12StagingRowsArePaddedTo256BytesAndMapSeesOnlyCompletedCopies)
{
    RHIInit(ERHIInterfaceType::D3D12);
    GDynamicRHI->GetTimeline().SetLatencyFrames(1);
    FTextureRHIRef Source = MakeGradient(1000, 2);
    FTextureRHIRef Staging =
        GDynamicRHI->RHICreateTexture(FRHITextureCreateDesc::FromDesc("Staging", Source->GetDesc())
                                          .SetFlags(ETextureCreateFlags::CPUReadback)
                                          .SetInitialState(ERHIAccess::CopyDest));
    EXPECT_EQ(Staging->GetRowPitchBytes(), 4096);
    ID3D12Resource* Native = GetID3D12DynamicRHI()->RHIGetResource(Staging.get());
    ASSERT_NE(Native, nullptr);
    EXPECT_EQ(Native->GetDesc().Dimension, D3D12_RESOURCE_DIMENSION_BUFFER);
    EXPECT_EQ(Native->GetDesc().Width, 4096u * 2);

    FGPUFenceRHIRef Fence = GDynamicRHI->RHICreateGPUFence("Copy");
    OnRenderThread(
        [&](FRHICommandListImmediate& CmdList)
        {
            CmdList.Transition({Source.get(), ERHIAccess::Unknown, ERHIAccess::CopySrc});
            CmdList.CopyTexture(Source.get(), Staging.get());
            RHIWriteGPUFence(CmdList, Fence);
        });
    void* Data = nullptr;
    const D3D12_RANGE Whole{0, 4096u * 2};
    // Mapped before the copy completed: the memory does not hold it yet, and the
    // read is reported.
    ASSERT_EQ(Native->Map(0, &Whole, &Data), S_OK);
    EXPECT_NE(static_cast<const uint8*>(Data)[4096 + 999 * 4 + 2], static_cast<uint8>(999));
    Native->Unmap(0, nullptr);
    EXPECT_EQ(GDynamicRHI->GetValidationErrorCount(), 1);

    EndFrames(1);
    ASSERT_TRUE(Fence->Poll());
    const D3D12_RANGE TooFar{0, 4096u * 2 + 1};
    EXPECT_EQ(Native->Map(0, &TooFar, &Data), E_INVALIDARG);
    ASSERT_EQ(Native->Map(0, &Whole, &Data), S_OK);
    const uint8* Second = static_cast<const uint8*>(Data) + 4096 + 999 * 4;
    EXPECT_EQ(Second[2], static_cast<uint8>(999));
    EXPECT_EQ(Second[1], 1);
    EXPECT_EQ(Native->GetMapCount(), 1);
    const D3D12_RANGE Nothing{0, 0};
    Native->Unmap(0, &Nothing);
    EXPECT_EQ(Native->GetMapCount(), 0);

    GDynamicRHI->GetTestHooks().MapFailure = E_FAIL;
    EXPECT_EQ(Native->Map(0, &Whole, &Data), E_FAIL);
    EXPECT_EQ(Data, nullptr);
}

namespace
{
// Draws Source's UV rectangle into a new W x H target and returns the target.
FTextureRHIRef Draw(const FTextureRHIRef& Source, int32 W, int32 H, FVector2f Offset,
                    FVector2f Size, ESamplerFilter Filter)
{
    FTextureRHIRef Dest =
        GDynamicRHI->RHICreateTexture(FRHITextureCreateDesc::Create2D("Dest", W, H, PF_B8G8R8A8));
    OnRenderThread(
        [&](FRHICommandListImmediate& CmdList)
        {
            CmdList.Transition({Source.get(), ERHIAccess::Unknown, ERHIAccess::SRVGraphics});
            CmdList.Transition({Dest.get(), ERHIAccess::Unknown, ERHIAccess::RTV});
            FScreenPassDesc Pass;
            Pass.PassName = "TestPass";
            Pass.Source = Source.get();
            Pass.Dest = Dest.get();
            Pass.UVOffset = Offset;
            Pass.UVSize = Size;
            Pass.Filter = Filter;
            CmdList.DrawScreenPass(Pass);
        });
    return Dest;
}

uint8 Red(const FTextureRHIRef& T, int32 X, int32 Y)
{
    return T->GetRow(Y)[X * 4 + 2];
}
} // namespace

TEST_F(RhiTest, PointSampledCropIsAnExactCopy)
{
    FTextureRHIRef Source = MakeGradient(64, 32);
    // The 20 x 10 block at (8, 4).
    FTextureRHIRef Dest =
        Draw(Source, 20, 10, {8.f / 64, 4.f / 32}, {20.f / 64, 10.f / 32}, ESamplerFilter::Point);
    for (int32 Y = 0; Y < 10; ++Y)
    {
        for (int32 X = 0; X < 20; ++X)
        {
            ASSERT_EQ(std::memcmp(Dest->GetRow(Y) + X * 4, Source->GetRow(Y + 4) + (X + 8) * 4, 4),
                      0)
                << X << "," << Y;
        }
    }
    const std::vector<FRHIDrawRecord> Draws = GDynamicRHI->GetRecentDraws();
    ASSERT_EQ(Draws.size(), 1u);
    EXPECT_EQ(Draws[0].PassName, "TestPass");
    EXPECT_EQ(Draws[0].Filter, ESamplerFilter::Point);
    EXPECT_EQ(Draws[0].DestSize, (FIntPoint{20, 10}));
}

TEST_F(RhiTest, BilinearUpscaleBlendsAndClampsAtTheEdges)
{
    // Two pixels: red 0 and red 200.
    FTextureRHIRef Source = MakeGradient(2, 1);
    Source->GetRow(0)[2] = 0;
    Source->GetRow(0)[6] = 200;
    FTextureRHIRef Dest = Draw(Source, 4, 1, {0.f, 0.f}, {1.f, 1.f}, ESamplerFilter::Bilinear);
    // Centres at texel 0.25, 0.75, 1.25, 1.75 -> clamped, 1/4, 3/4, clamped.
    EXPECT_EQ(Red(Dest, 0, 0), 0);
    EXPECT_EQ(Red(Dest, 1, 0), 50);
    EXPECT_EQ(Red(Dest, 2, 0), 150);
    EXPECT_EQ(Red(Dest, 3, 0), 200);
    FTextureRHIRef Pointed = Draw(Source, 4, 1, {0.f, 0.f}, {1.f, 1.f}, ESamplerFilter::Point);
    EXPECT_EQ(Red(Pointed, 1, 0), 0);
    EXPECT_EQ(Red(Pointed, 2, 0), 200);
}

TEST_F(RhiTest, BilinearAtOneToOneIsAnExactCopy)
{
    // Every pixel centre falls on a texel centre: the pass is a copy, alpha included.
    FTextureRHIRef Source = MakeGradient(37, 11);
    Source->GetRow(5)[3] = 77;
    FTextureRHIRef Dest = Draw(Source, 37, 11, {0.f, 0.f}, {1.f, 1.f}, ESamplerFilter::Bilinear);
    for (int32 Y = 0; Y < 11; ++Y)
    {
        ASSERT_EQ(std::memcmp(Dest->GetRow(Y), Source->GetRow(Y), 37 * 4), 0) << "row " << Y;
    }
}

TEST_F(RhiTest, ADifferentAspectRatioIsStretchedOverTheWholeTarget)
{
    FTextureRHIRef Source = MakeGradient(200, 100);
    FTextureRHIRef Dest = Draw(Source, 50, 50, {0.f, 0.f}, {1.f, 1.f}, ESamplerFilter::Point);
    // Every target pixel comes from the source: x scaled by 4, y by 2.
    for (const int32 X : {0, 25, 49})
    {
        for (const int32 Y : {0, 30, 49})
        {
            EXPECT_EQ(Red(Dest, X, Y), X * 4 + 2);
            EXPECT_EQ(Dest->GetRow(Y)[X * 4 + 1], Y * 2 + 1);
        }
    }
}
