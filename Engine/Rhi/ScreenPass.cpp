#include "ScreenPass.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace
{
struct FAxisTap
{
    int32 I0 = 0;
    int32 I1 = 0;
    float T = 0.f; // weight of I1
};

// Where each destination pixel centre samples along one axis.
void BuildTaps(int32 DestCount, int32 SourceCount, float UVOffset, float UVSize,
               ESamplerFilter Filter, std::vector<FAxisTap>& OutTaps)
{
    OutTaps.resize(static_cast<size_t>(DestCount));
    for (int32 D = 0; D < DestCount; ++D)
    {
        const double U = UVOffset + (D + 0.5) / DestCount * UVSize;
        const double Texel = U * SourceCount;
        FAxisTap& Tap = OutTaps[static_cast<size_t>(D)];
        if (Filter == ESamplerFilter::Point)
        {
            Tap.I0 = Tap.I1 = std::clamp(static_cast<int32>(std::floor(Texel)), 0, SourceCount - 1);
            Tap.T = 0.f;
            continue;
        }
        const double Centre = Texel - 0.5;
        const double Floor = std::floor(Centre);
        Tap.T = static_cast<float>(Centre - Floor);
        Tap.I0 = std::clamp(static_cast<int32>(Floor), 0, SourceCount - 1);
        Tap.I1 = std::clamp(static_cast<int32>(Floor) + 1, 0, SourceCount - 1);
    }
}

FLinearColor Lerp(const FLinearColor& A, const FLinearColor& B, float T)
{
    return {A.R + (B.R - A.R) * T, A.G + (B.G - A.G) * T, A.B + (B.B - A.B) * T,
            A.A + (B.A - A.A) * T};
}

FLinearColor Fetch(const FRHITexture& Source, int32 X, int32 Y)
{
    const int32 Bytes = GetPixelFormatBlockBytes(Source.GetFormat());
    return DecodePixel(Source.GetFormat(), Source.GetRow(Y) + static_cast<size_t>(X) * Bytes);
}

// True when every tap along the axis reads one texel with full weight.
bool IsSingleTexel(const std::vector<FAxisTap>& Taps)
{
    return std::all_of(Taps.begin(), Taps.end(), [](const FAxisTap& Tap) { return Tap.T == 0.f; });
}

// A pass that reads exactly one texel per pixel between two textures of the same 8-bit
// format is a copy: decoding and encoding each texel would give back its bytes at many
// times the cost. Runs of consecutive texels are copied whole.
bool TryCopyTexels(const FScreenPassDesc& Desc, const FIntRect& Rect, const FIntRect& Full,
                   const std::vector<FAxisTap>& TapsX, const std::vector<FAxisTap>& TapsY)
{
    const EPixelFormat Format = Desc.Dest->GetFormat();
    if (Desc.Source->GetFormat() != Format || (Format != PF_B8G8R8A8 && Format != PF_R8G8B8A8) ||
        !IsSingleTexel(TapsX) || !IsSingleTexel(TapsY))
    {
        return false;
    }
    const size_t Bytes = static_cast<size_t>(GetPixelFormatBlockBytes(Format));
    for (int32 Y = Rect.Min.Y; Y < Rect.Max.Y; ++Y)
    {
        const uint8* In = Desc.Source->GetRow(TapsY[static_cast<size_t>(Y - Full.Min.Y)].I0);
        uint8* Out = Desc.Dest->GetRow(Y);
        for (int32 X = Rect.Min.X; X < Rect.Max.X;)
        {
            const int32 First = TapsX[static_cast<size_t>(X - Full.Min.X)].I0;
            int32 Run = 1;
            while (X + Run < Rect.Max.X &&
                   TapsX[static_cast<size_t>(X + Run - Full.Min.X)].I0 == First + Run)
            {
                ++Run;
            }
            std::memcpy(Out + static_cast<size_t>(X) * Bytes,
                        In + static_cast<size_t>(First) * Bytes, static_cast<size_t>(Run) * Bytes);
            X += Run;
        }
    }
    return true;
}
} // namespace

void ExecuteScreenPass(const FScreenPassDesc& Desc)
{
    FRHITexture& Source = *Desc.Source;
    FRHITexture& Dest = *Desc.Dest;
    FIntRect Rect =
        Desc.DestRect.IsEmpty() ? FIntRect(0, 0, Dest.GetSizeX(), Dest.GetSizeY()) : Desc.DestRect;
    Rect.Min.X = std::max(Rect.Min.X, 0);
    Rect.Min.Y = std::max(Rect.Min.Y, 0);
    Rect.Max.X = std::min(Rect.Max.X, Dest.GetSizeX());
    Rect.Max.Y = std::min(Rect.Max.Y, Dest.GetSizeY());
    const int32 DestBytes = GetPixelFormatBlockBytes(Dest.GetFormat());
    if (Rect.IsEmpty() || Source.GetSizeX() < 1 || Source.GetSizeY() < 1 || DestBytes == 0 ||
        GetPixelFormatBlockBytes(Source.GetFormat()) == 0)
    {
        return;
    }
    // Taps depend on the rectangle as drawn, before clipping to the destination.
    const FIntRect Full = Desc.DestRect.IsEmpty() ? Rect : Desc.DestRect;
    thread_local std::vector<FAxisTap> TapsX;
    thread_local std::vector<FAxisTap> TapsY;
    BuildTaps(Full.Width(), Source.GetSizeX(), Desc.UVOffset.X, Desc.UVSize.X, Desc.Filter, TapsX);
    BuildTaps(Full.Height(), Source.GetSizeY(), Desc.UVOffset.Y, Desc.UVSize.Y, Desc.Filter, TapsY);
    if (TryCopyTexels(Desc, Rect, Full, TapsX, TapsY))
    {
        return;
    }
    for (int32 Y = Rect.Min.Y; Y < Rect.Max.Y; ++Y)
    {
        const FAxisTap& TY = TapsY[static_cast<size_t>(Y - Full.Min.Y)];
        uint8* Out = Dest.GetRow(Y);
        for (int32 X = Rect.Min.X; X < Rect.Max.X; ++X)
        {
            const FAxisTap& TX = TapsX[static_cast<size_t>(X - Full.Min.X)];
            FLinearColor Color;
            if (Desc.Filter == ESamplerFilter::Point)
            {
                Color = Fetch(Source, TX.I0, TY.I0);
            }
            else
            {
                const FLinearColor Top =
                    Lerp(Fetch(Source, TX.I0, TY.I0), Fetch(Source, TX.I1, TY.I0), TX.T);
                const FLinearColor Bottom =
                    Lerp(Fetch(Source, TX.I0, TY.I1), Fetch(Source, TX.I1, TY.I1), TX.T);
                Color = Lerp(Top, Bottom, TY.T);
            }
            EncodePixel(Dest.GetFormat(), Color, Out + static_cast<size_t>(X) * DestBytes);
        }
    }
}
