// Deterministic synthetic RGB images for codec tests and benchmarks, and an image
// quality measure. No dependency on the test framework, so benchmarks link it too.
#pragma once

#include "CoreTypes.h"

#include <vector>

// A tightly packed RGB image, 3 bytes per pixel, top row first.
struct FTestImage
{
    int32 Width = 0;
    int32 Height = 0;
    std::vector<uint8> Rgb;

    const uint8* Row(int32 Y) const { return Rgb.data() + static_cast<size_t>(Y) * Width * 3; }
};

// An outdoor-looking scene: a sky gradient with soft clouds, a sun with a glow,
// textured hills, a building with hard-edged windows, a saturated red sign and mild
// sensor-like noise. The same arguments always give the same pixels.
FTestImage MakeNaturalScene(int32 Width, int32 Height, uint32 Seed = 1);

// Every pixel the same colour.
FTestImage MakeSolidImage(int32 Width, int32 Height, uint8 R, uint8 G, uint8 B);

// Uniform random bytes: the worst case for an encoder's compression and stuffing.
FTestImage MakeNoiseImage(int32 Width, int32 Height, uint32 Seed = 1);

// Peak signal-to-noise ratio in dB over all channels of two equally sized buffers
// (infinity when they are equal).
double ComputePsnr(const std::vector<uint8>& A, const std::vector<uint8>& B);
