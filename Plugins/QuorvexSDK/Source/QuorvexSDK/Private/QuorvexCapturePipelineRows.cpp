#include "QuorvexCapturePipelineRows.h"

namespace
{
void ConvertBgra(const uint8* Source, uint8* Out, int32 Width)
{
    for (int32 X = 0; X < Width; ++X, Source += 4, Out += 3)
    {
        Out[0] = Source[2];
        Out[1] = Source[1];
        Out[2] = Source[0];
    }
}

void ConvertRgba(const uint8* Source, uint8* Out, int32 Width)
{
    for (int32 X = 0; X < Width; ++X, Source += 4, Out += 3)
    {
        Out[0] = Source[0];
        Out[1] = Source[1];
        Out[2] = Source[2];
    }
}

void ConvertA2B10G10R10(const uint8* Source, uint8* Out, int32 Width)
{
    for (int32 X = 0; X < Width; ++X, Source += 4, Out += 3)
    {
        const uint32 P = static_cast<uint32>(Source[0]) | (static_cast<uint32>(Source[1]) << 8) |
                         (static_cast<uint32>(Source[2]) << 16) |
                         (static_cast<uint32>(Source[3]) << 24);
        Out[0] = static_cast<uint8>((P >> 2) & 0xFF);
        Out[1] = static_cast<uint8>((P >> 12) & 0xFF);
        Out[2] = static_cast<uint8>((P >> 22) & 0xFF);
    }
}
} // namespace

bool IsHandledCaptureFormat(EPixelFormat Format)
{
    return Format == PF_B8G8R8A8 || Format == PF_R8G8B8A8 || Format == PF_R8G8B8A8_SNORM ||
           Format == PF_A2B10G10R10;
}

void ConvertCaptureRow(EPixelFormat Format, const uint8* Source, uint8* Out, int32 Width)
{
    switch (Format)
    {
    case PF_B8G8R8A8:
        ConvertBgra(Source, Out, Width);
        return;
    case PF_A2B10G10R10:
        ConvertA2B10G10R10(Source, Out, Width);
        return;
    default: // PF_R8G8B8A8 and PF_R8G8B8A8_SNORM
        ConvertRgba(Source, Out, Width);
        return;
    }
}
