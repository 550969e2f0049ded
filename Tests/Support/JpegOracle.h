// An independent JPEG decoder (libjpeg-turbo) as the oracle for what the SDK wrote.
// Suites that include this link PkgConfig::TURBOJPEG.
#pragma once

#include "CoreTypes.h"

#include <turbojpeg.h>
#include <vector>

struct FDecodedJpeg
{
    int Width = 0;
    int Height = 0;
    std::vector<uint8> Rgb; // rows of R, G, B bytes
};

// Decodes Jpeg with the accurate DCT; false when libjpeg-turbo rejects it.
inline bool DecodeJpeg(const std::vector<uint8>& Jpeg, FDecodedJpeg& Out)
{
    tjhandle Handle = tjInitDecompress();
    int Subsampling = 0, Colorspace = 0;
    bool bOk = tjDecompressHeader3(Handle, Jpeg.data(), static_cast<unsigned long>(Jpeg.size()),
                                   &Out.Width, &Out.Height, &Subsampling, &Colorspace) == 0;
    if (bOk)
    {
        Out.Rgb.resize(static_cast<size_t>(Out.Width) * Out.Height * 3);
        bOk = tjDecompress2(Handle, Jpeg.data(), static_cast<unsigned long>(Jpeg.size()),
                            Out.Rgb.data(), Out.Width, 0, Out.Height, TJPF_RGB,
                            TJFLAG_ACCURATEDCT) == 0;
    }
    tjDestroy(Handle);
    return bOk;
}
