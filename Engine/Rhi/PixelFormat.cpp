#include "PixelFormat.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace
{
float UnormByte(uint8 Value)
{
    return static_cast<float>(Value) / 255.f;
}

float SnormByte(uint8 Value)
{
    return std::max(static_cast<float>(static_cast<int8>(Value)) / 127.f, -1.f);
}

uint32 ToUnorm(float Value, uint32 Max)
{
    const float Clamped = std::clamp(Value, 0.f, 1.f);
    return static_cast<uint32>(std::lround(Clamped * static_cast<float>(Max)));
}

uint8 ToSnormByte(float Value)
{
    const float Clamped = std::clamp(Value, -1.f, 1.f);
    return static_cast<uint8>(static_cast<int8>(std::lround(Clamped * 127.f)));
}

uint32 LoadWord(const uint8* Pixel)
{
    return static_cast<uint32>(Pixel[0]) | (static_cast<uint32>(Pixel[1]) << 8) |
           (static_cast<uint32>(Pixel[2]) << 16) | (static_cast<uint32>(Pixel[3]) << 24);
}

void StoreWord(uint32 Word, uint8* Pixel)
{
    for (int32 I = 0; I < 4; ++I)
    {
        Pixel[I] = static_cast<uint8>(Word >> (8 * I));
    }
}
} // namespace

int32 GetPixelFormatBlockBytes(EPixelFormat Format)
{
    switch (Format)
    {
    case PF_A32B32G32R32F:
        return 16;
    case PF_B8G8R8A8:
    case PF_A2B10G10R10:
    case PF_R8G8B8A8:
    case PF_R8G8B8A8_SNORM:
        return 4;
    default:
        return 0;
    }
}

const char* GetPixelFormatString(EPixelFormat Format)
{
    switch (Format)
    {
    case PF_A32B32G32R32F:
        return "PF_A32B32G32R32F";
    case PF_B8G8R8A8:
        return "PF_B8G8R8A8";
    case PF_A2B10G10R10:
        return "PF_A2B10G10R10";
    case PF_R8G8B8A8:
        return "PF_R8G8B8A8";
    case PF_R8G8B8A8_SNORM:
        return "PF_R8G8B8A8_SNORM";
    default:
        return "PF_Unknown";
    }
}

FLinearColor DecodePixel(EPixelFormat Format, const uint8* Pixel)
{
    switch (Format)
    {
    case PF_B8G8R8A8:
        return {UnormByte(Pixel[2]), UnormByte(Pixel[1]), UnormByte(Pixel[0]), UnormByte(Pixel[3])};
    case PF_R8G8B8A8:
        return {UnormByte(Pixel[0]), UnormByte(Pixel[1]), UnormByte(Pixel[2]), UnormByte(Pixel[3])};
    case PF_R8G8B8A8_SNORM:
        return {SnormByte(Pixel[0]), SnormByte(Pixel[1]), SnormByte(Pixel[2]), SnormByte(Pixel[3])};
    case PF_A2B10G10R10:
    {
        const uint32 Word = LoadWord(Pixel);
        return {static_cast<float>(Word & 0x3FF) / 1023.f,
                static_cast<float>((Word >> 10) & 0x3FF) / 1023.f,
                static_cast<float>((Word >> 20) & 0x3FF) / 1023.f,
                static_cast<float>(Word >> 30) / 3.f};
    }
    case PF_A32B32G32R32F:
    {
        float Channels[4];
        std::memcpy(Channels, Pixel, sizeof(Channels));
        return {Channels[0], Channels[1], Channels[2], Channels[3]};
    }
    default:
        return {};
    }
}

void EncodePixel(EPixelFormat Format, const FLinearColor& Color, uint8* Pixel)
{
    switch (Format)
    {
    case PF_B8G8R8A8:
        Pixel[0] = static_cast<uint8>(ToUnorm(Color.B, 255));
        Pixel[1] = static_cast<uint8>(ToUnorm(Color.G, 255));
        Pixel[2] = static_cast<uint8>(ToUnorm(Color.R, 255));
        Pixel[3] = static_cast<uint8>(ToUnorm(Color.A, 255));
        return;
    case PF_R8G8B8A8:
        Pixel[0] = static_cast<uint8>(ToUnorm(Color.R, 255));
        Pixel[1] = static_cast<uint8>(ToUnorm(Color.G, 255));
        Pixel[2] = static_cast<uint8>(ToUnorm(Color.B, 255));
        Pixel[3] = static_cast<uint8>(ToUnorm(Color.A, 255));
        return;
    case PF_R8G8B8A8_SNORM:
        Pixel[0] = ToSnormByte(Color.R);
        Pixel[1] = ToSnormByte(Color.G);
        Pixel[2] = ToSnormByte(Color.B);
        Pixel[3] = ToSnormByte(Color.A);
        return;
    case PF_A2B10G10R10:
        StoreWord(ToUnorm(Color.R, 1023) | (ToUnorm(Color.G, 1023) << 10) |
                      (ToUnorm(Color.B, 1023) << 20) | (ToUnorm(Color.A, 3) << 30),
                  Pixel);
        return;
    case PF_A32B32G32R32F:
    {
        const float Channels[4] = {Color.R, Color.G, Color.B, Color.A};
        std::memcpy(Pixel, Channels, sizeof(Channels));
        return;
    }
    default:
        return;
    }
}
