#include "RhiCommandList.h"

#include "EngineTimings.h"
#include "Logging.h"
#include "ScreenPass.h"
#include "Tasks.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstring>

namespace
{
// Logs and counts a texture found in the wrong state; returns whether it was right.
bool CheckAccess(const char* Operation, const FRHITexture& Texture, ERHIAccess Expected)
{
    if (Texture.GetAccess() == Expected)
    {
        return true;
    }
    LogPrintf(LogRHI, ELogVerbosity::Error, "%s: texture %s is in state %s, expected %s", Operation,
              Texture.GetName().c_str(), LexToString(Texture.GetAccess()), LexToString(Expected));
    if (GDynamicRHI)
    {
        GDynamicRHI->ReportValidationError();
    }
    return false;
}
} // namespace

void FRHICommandListImmediate::Transition(const FRHITransitionInfo& Info)
{
    if (Info.Texture)
    {
        Info.Texture->SetAccess(Info.After);
    }
}

void FRHICommandListImmediate::CopyTexture(FRHITexture* Source, FRHITexture* Dest)
{
    if (!Source || !Dest)
    {
        return;
    }
    CheckAccess("CopyTexture source", *Source, ERHIAccess::CopySrc);
    CheckAccess("CopyTexture destination", *Dest, ERHIAccess::CopyDest);
    if (Source->GetFormat() != Dest->GetFormat())
    {
        LogPrintf(LogRHI, ELogVerbosity::Error, "CopyTexture: formats differ (%s into %s)",
                  GetPixelFormatString(Source->GetFormat()),
                  GetPixelFormatString(Dest->GetFormat()));
        return;
    }
    if (Source->GetSizeXY() != Dest->GetSizeXY())
    {
        LogPrintf(LogRHI, ELogVerbosity::Error, "CopyTexture: sizes differ (%dx%d into %dx%d)",
                  Source->GetSizeX(), Source->GetSizeY(), Dest->GetSizeX(), Dest->GetSizeY());
    }
    const int32 Rows = std::min(Source->GetSizeY(), Dest->GetSizeY());
    const int32 Bytes = std::min(Source->GetSizeX(), Dest->GetSizeX()) *
                        GetPixelFormatBlockBytes(Source->GetFormat());
    uint8* Written = Dest->BeginGpuWrite();
    const size_t Pitch = static_cast<size_t>(Dest->GetRowPitchBytes());
    for (int32 Y = 0; Y < Rows; ++Y)
    {
        std::memcpy(Written + Pitch * Y, Source->GetRow(Y), static_cast<size_t>(Bytes));
    }
    Dest->EndGpuWrite();
}

void FRHICommandListImmediate::DrawScreenPass(const FScreenPassDesc& Desc)
{
    if (!Desc.Source || !Desc.Dest)
    {
        return;
    }
    CheckAccess(Desc.PassName, *Desc.Source, ERHIAccess::SRVGraphics);
    CheckAccess(Desc.PassName, *Desc.Dest, ERHIAccess::RTV);
    const auto Started = std::chrono::steady_clock::now();
    ExecuteScreenPass(Desc);
    FEngineTimings::AddNamed(ENamedEngineTiming::ScreenPass, Desc.PassName,
                             std::chrono::steady_clock::now() - Started);
    if (GDynamicRHI)
    {
        GDynamicRHI->RecordDraw({Desc.PassName, Desc.Filter, Desc.Source->GetSizeXY(),
                                 Desc.Dest->GetSizeXY(), Desc.UVOffset, Desc.UVSize});
    }
}

void FRHICommandListImmediate::ClearRect(FRHITexture* Dest, const FIntRect& Rect,
                                         const FLinearColor& Color)
{
    if (!Dest)
    {
        return;
    }
    CheckAccess("ClearRect", *Dest, ERHIAccess::RTV);
    const int32 Bytes = GetPixelFormatBlockBytes(Dest->GetFormat());
    if (Bytes == 0)
    {
        return;
    }
    FIntRect Clip = Rect.IsEmpty() ? FIntRect(0, 0, Dest->GetSizeX(), Dest->GetSizeY()) : Rect;
    Clip.Min.X = std::max(Clip.Min.X, 0);
    Clip.Min.Y = std::max(Clip.Min.Y, 0);
    Clip.Max.X = std::min(Clip.Max.X, Dest->GetSizeX());
    Clip.Max.Y = std::min(Clip.Max.Y, Dest->GetSizeY());
    uint8 Pixel[16] = {};
    EncodePixel(Dest->GetFormat(), Color, Pixel);
    for (int32 Y = Clip.Min.Y; Y < Clip.Max.Y; ++Y)
    {
        uint8* Row = Dest->GetRow(Y);
        for (int32 X = Clip.Min.X; X < Clip.Max.X; ++X)
        {
            std::memcpy(Row + static_cast<size_t>(X) * Bytes, Pixel, static_cast<size_t>(Bytes));
        }
    }
}

FRHICommandListImmediate& FRHICommandListExecutor::GetImmediateCommandList()
{
    assert(IsInRenderingThread());
    static FRHICommandListImmediate Instance;
    return Instance;
}

void RHIWriteGPUFence(FRHICommandListImmediate& CmdList, const FGPUFenceRHIRef& Fence)
{
    (void)CmdList;
    if (GDynamicRHI && Fence)
    {
        GDynamicRHI->GetTimeline().WriteFence(Fence);
    }
}
