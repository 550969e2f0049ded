// The engine's pixel formats (engine numbering) and how the software GPU reads
// and writes one pixel of each.
#pragma once

#include "CoreTypes.h"

enum EPixelFormat : uint8
{
    PF_Unknown = 0,
    // Four 32-bit floats per pixel, R, G, B, A in memory order.
    PF_A32B32G32R32F = 1,
    PF_B8G8R8A8 = 2,
    // One little-endian 32-bit word: R in bits 0-9, G 10-19, B 20-29, A 30-31.
    PF_A2B10G10R10 = 18,
    PF_R8G8B8A8 = 37,
    PF_R8G8B8A8_SNORM = 61,
};

// A colour with linear float channels, nominally 0..1.
struct FLinearColor
{
    float R = 0.f;
    float G = 0.f;
    float B = 0.f;
    float A = 1.f;
};

// Bytes per pixel of Format; 0 for formats the software GPU does not implement.
int32 GetPixelFormatBlockBytes(EPixelFormat Format);
const char* GetPixelFormatString(EPixelFormat Format);

// Reads the pixel at Pixel (GetPixelFormatBlockBytes(Format) bytes).
FLinearColor DecodePixel(EPixelFormat Format, const uint8* Pixel);
// Writes Color into Pixel, clamping each channel to the format's range.
void EncodePixel(EPixelFormat Format, const FLinearColor& Color, uint8* Pixel);
