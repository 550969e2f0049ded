// The render thread's side of the capture pipeline: the present-time composite
// capture, the viewport copy, the downscale pass and recording of both readbacks.
#include "QuorvexCapturePipeline.h"

#include "D3D12Resource.h"
#include "DynamicRhi.h"
#include "PlatformTime.h"
#include "QuorvexLog.h"
#include "RhiCommandList.h"
#include "Tasks.h"
#include "Viewport.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace
{
double MsSince(double Start)
{
    return (FPlatformTime::Seconds() - Start) * 1000.0;
}
} // namespace

void FQuorvexCapturePipeline::OnBackBufferReadyToPresent_RenderThread(SWindow* Window,
                                                                      FRHITexture* BackBuffer)
{
    assert(IsInRenderingThread());
    if (!bArmed.load() || Window != ArmedWindow)
    {
        return;
    }
    bArmed.store(false); // one present serves one request
    if (!BackBuffer)
    {
        QUORVEX_LOG(Error,
                    "QuorvexSDK: Frame skipped: null back buffer at present (composite path)");
        return;
    }
    const int32 W = BackBuffer->GetSizeX();
    const int32 H = BackBuffer->GetSizeY();
    if (W < 1 || H < 1)
    {
        QUORVEX_LOG(Error,
                    "QuorvexSDK: Frame skipped: back buffer extent invalid w=%d h=%d (composite "
                    "path)",
                    W, H);
        return;
    }
    const double Start = FPlatformTime::Seconds();
    FIntRect Rect = ArmedRect;
    Rect.Min.X = std::max(Rect.Min.X, 0);
    Rect.Min.Y = std::max(Rect.Min.Y, 0);
    Rect.Max.X = std::max(std::min(Rect.Max.X, W), Rect.Min.X);
    Rect.Max.Y = std::max(std::min(Rect.Max.Y, H), Rect.Min.Y);
    if (Rect.Width() == 0 || Rect.Height() == 0)
    {
        Rect = FIntRect(0, 0, W, H);
    }
    FVector2f UVOffset{0.f, 0.f};
    FVector2f UVSize{1.f, 1.f};
    if (Rect != FIntRect(0, 0, W, H))
    {
        UVOffset = {static_cast<float>(Rect.Min.X) / W, static_cast<float>(Rect.Min.Y) / H};
        UVSize = {static_cast<float>(Rect.Width()) / W, static_cast<float>(Rect.Height()) / H};
    }
    const int32 OutW = ArmedTargetWidth >= 1 ? ArmedTargetWidth : Rect.Width();
    const int32 OutH = ArmedTargetHeight >= 1 ? ArmedTargetHeight : Rect.Height();

    FRHICommandListImmediate& CmdList = FRHICommandListExecutor::GetImmediateCommandList();
    FRHITexture* Scale = GetOrCreateScaleTarget(OutW, OutH);
    if (!Scale)
    {
        QUORVEX_LOG(Error, "QuorvexSDK: Frame skipped: no capture target of %dx%d", OutW, OutH);
        ArmedReadback = nullptr;
        return;
    }
    CmdList.Transition({BackBuffer, ERHIAccess::Unknown, ERHIAccess::SRVGraphics});
    DrawDownscale(CmdList, BackBuffer, UVOffset, UVSize, Scale);
    CmdList.Transition({Scale, ERHIAccess::RTV, ERHIAccess::CopySrc});
    const double Resolved = FPlatformTime::Seconds();
    if (ArmedReadback)
    {
        RecordFallbackReadback_RenderThread(*ArmedReadback, Scale, PF_B8G8R8A8, ArmedSerial);
        ArmedReadback = nullptr;
    }
    else
    {
        RecordNativeReadback_RenderThread(Scale, PF_B8G8R8A8, ArmedSerial);
    }
    QUORVEX_LOG_TIMING("QuorvexSDK: [Composite] [RT] Resolve=%.2fms Record=%.2fms src=%dx%d "
                       "rect=%dx%d out=%dx%d",
                       (Resolved - Start) * 1000.0, MsSince(Resolved), W, H, Rect.Width(),
                       Rect.Height(), OutW, OutH);
}

FRHITexture* FQuorvexCapturePipeline::PrepareViewportSource_RenderThread(FViewport* Viewport,
                                                                         int32 Width, int32 Height,
                                                                         bool bScaled,
                                                                         const char* PathName,
                                                                         EPixelFormat& OutFormat)
{
    const FTextureRHIRef Texture = Viewport->GetRenderTargetTexture();
    if (!Texture)
    {
        QUORVEX_LOG(Error,
                    "QuorvexSDK: Frame skipped: GetRenderTargetTexture returned null on RT (%s)",
                    PathName);
        return nullptr;
    }
    FRHICommandListImmediate& CmdList = FRHICommandListExecutor::GetImmediateCommandList();
    if (!bScaled)
    {
        OutFormat = Texture->GetFormat();
        CmdList.Transition({Texture.get(), ERHIAccess::Unknown, ERHIAccess::CopySrc});
        return Texture.get(); // the viewport keeps it alive on this thread
    }
    FRHITexture* Scale = GetOrCreateScaleTarget(Width, Height);
    if (!Scale)
    {
        QUORVEX_LOG(Error, "QuorvexSDK: Frame skipped: no capture target of %dx%d (%s)", Width,
                    Height, PathName);
        return nullptr;
    }
    CmdList.Transition({Texture.get(), ERHIAccess::Unknown, ERHIAccess::SRVGraphics});
    DrawDownscale(CmdList, Texture.get(), {0.f, 0.f}, {1.f, 1.f}, Scale);
    CmdList.Transition({Scale, ERHIAccess::RTV, ERHIAccess::CopySrc});
    OutFormat = PF_B8G8R8A8;
    return Scale;
}

FRHITexture* FQuorvexCapturePipeline::GetOrCreateScaleTarget(int32 Width, int32 Height)
{
    if (!ScaleTarget || ScaleTargetWidth != Width || ScaleTargetHeight != Height)
    {
        ScaleTarget = GDynamicRHI->RHICreateTexture(
            FRHITextureCreateDesc::Create2D("QuorvexScaleTex", Width, Height, PF_B8G8R8A8)
                .SetFlags(ETextureCreateFlags::RenderTargetable |
                          ETextureCreateFlags::ShaderResource |
                          ETextureCreateFlags::HideInVisualizeTexture)
                .SetInitialState(ERHIAccess::RTV)
                .SetClearValue({0.f, 0.f, 0.f, 1.f}));
        ScaleTargetWidth = ScaleTarget ? Width : 0;
        ScaleTargetHeight = ScaleTarget ? Height : 0;
    }
    return ScaleTarget.get();
}

void FQuorvexCapturePipeline::DrawDownscale(FRHICommandListImmediate& CmdList, FRHITexture* Source,
                                            FVector2f UVOffset, FVector2f UVSize, FRHITexture* Dest)
{
    const float SourceW = static_cast<float>(Source->GetSizeX()) * UVSize.X;
    const float SourceH = static_cast<float>(Source->GetSizeY()) * UVSize.Y;
    const bool bOneToOne = std::fabs(SourceW - static_cast<float>(Dest->GetSizeX())) <= 0.5f &&
                           std::fabs(SourceH - static_cast<float>(Dest->GetSizeY())) <= 0.5f;
    CmdList.Transition({Dest, ERHIAccess::Unknown, ERHIAccess::RTV});
    FScreenPassDesc Pass;
    Pass.PassName = "QuorvexDownscale";
    Pass.Source = Source;
    Pass.Dest = Dest;
    Pass.UVOffset = UVOffset;
    Pass.UVSize = UVSize;
    Pass.Filter = bOneToOne ? ESamplerFilter::Point : ESamplerFilter::Bilinear;
    CmdList.DrawScreenPass(Pass);
}

void FQuorvexCapturePipeline::PublishRecordedCopy_RenderThread(EPixelFormat Format, int32 Width,
                                                               int32 Height, uint64 Serial)
{
    std::lock_guard Lock(RecordedCopyMutex);
    RecordedCopy = {Format, Width, Height, Serial};
}

void FQuorvexCapturePipeline::RecordFallbackReadback_RenderThread(FRHIGPUTextureReadback& Readback,
                                                                  FRHITexture* Source,
                                                                  EPixelFormat Format,
                                                                  uint64 Serial)
{
    Readback.EnqueueCopy(FRHICommandListExecutor::GetImmediateCommandList(), Source);
    // The copy takes the whole source, so its own size is what the rows will have.
    PublishRecordedCopy_RenderThread(Format, Source->GetSizeX(), Source->GetSizeY(), Serial);
}

void FQuorvexCapturePipeline::RecordNativeReadback_RenderThread(FRHITexture* Source,
                                                                EPixelFormat Format, uint64 Serial)
{
    const double Start = FPlatformTime::Seconds();
    // The copy takes the whole source, so the staging texture must have its size.
    const int32 Width = Source->GetSizeX();
    const int32 Height = Source->GetSizeY();
    if (!StagingTexture || StagingWidth != Width || StagingHeight != Height ||
        StagingFormat != Format)
    {
        StagingTexture = GDynamicRHI->RHICreateTexture(
            FRHITextureCreateDesc::FromDesc("QuorvexStagingTex", Source->GetDesc())
                .SetExtent(Width, Height)
                .SetFlags(ETextureCreateFlags::CPUReadback |
                          ETextureCreateFlags::HideInVisualizeTexture)
                .SetInitialState(ERHIAccess::CopyDest));
        StagingWidth = Width;
        StagingHeight = Height;
        StagingFormat = Format;
        ID3D12DynamicRHI* D3D12 = GetID3D12DynamicRHI();
        NativeResource = D3D12 ? D3D12->RHIGetResource(StagingTexture.get()) : nullptr;
        const int32 Bpp = GetPixelFormatBlockBytes(Format);
        const int32 Raw = Width * Bpp;
        StagingRowPitch = (Raw + D3D12_TEXTURE_DATA_PITCH_ALIGNMENT - 1) /
                          D3D12_TEXTURE_DATA_PITCH_ALIGNMENT * D3D12_TEXTURE_DATA_PITCH_ALIGNMENT;
        QUORVEX_LOG_TIMING("QuorvexSDK: [NativeRecord] DX12 staging: res=%dx%d RowPitch=%d "
                           "(raw=%d bpp=%d)",
                           Width, Height, StagingRowPitch, Raw, Bpp);
    }
    const double Staged = FPlatformTime::Seconds();
    FRHICommandListImmediate& CmdList = FRHICommandListExecutor::GetImmediateCommandList();
    CmdList.Transition({StagingTexture.get(), ERHIAccess::Unknown, ERHIAccess::CopyDest});
    CmdList.CopyTexture(Source, StagingTexture.get());
    RHIWriteGPUFence(CmdList, NativeFence);
    PublishRecordedCopy_RenderThread(Format, Width, Height, Serial);
    QUORVEX_LOG_TIMING("QuorvexSDK: [NativeRecord] [RT] Staging=%.2fms CopyFence=%.2fms "
                       "Total=%.2fms res=%dx%d",
                       (Staged - Start) * 1000.0, MsSince(Staged), MsSince(Start), Width, Height);
}
