#include "TestImages.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace
{
// xorshift32: small, fast and the same on every platform.
class FNoise
{
public:
    explicit FNoise(uint32 Seed) : State(Seed == 0 ? 0x9E3779B9u : Seed) {}
    uint32 Next()
    {
        State ^= State << 13;
        State ^= State >> 17;
        State ^= State << 5;
        return State;
    }
    // Uniform in -Amplitude ... Amplitude.
    int32 Signed(int32 Amplitude)
    {
        return static_cast<int32>(Next() % static_cast<uint32>(2 * Amplitude + 1)) - Amplitude;
    }

private:
    uint32 State;
};

struct FColour
{
    double R, G, B;
};

FColour Mix(const FColour& A, const FColour& B, double T)
{
    return {A.R + (B.R - A.R) * T, A.G + (B.G - A.G) * T, A.B + (B.B - A.B) * T};
}

double HorizonAt(double U)
{
    return 0.58 + 0.07 * std::sin(6.0 * U) + 0.03 * std::sin(17.0 * U + 1.0);
}

FColour SkyAt(double U, double V, double Horizon)
{
    const FColour Zenith{40, 90, 180};
    const FColour Haze{175, 205, 232};
    FColour Sky = Mix(Zenith, Haze, std::clamp(V / Horizon, 0.0, 1.0));
    const double Cloud = std::sin(9.0 * U + 2.0 * std::sin(5.0 * V)) * std::sin(23.0 * V + 3.0 * U);
    const double CloudAmount = std::clamp(Cloud - 0.35, 0.0, 1.0) * 1.4;
    return Mix(Sky, FColour{245, 245, 250}, CloudAmount);
}

FColour GroundAt(double U, double V, double Horizon)
{
    const double Depth = std::clamp((V - Horizon) / (1.0 - Horizon + 1e-9), 0.0, 1.0);
    const double Grass = 0.5 + 0.25 * std::sin(180.0 * U + 40.0 * V) * std::sin(130.0 * V) +
                         0.25 * std::sin(60.0 * U * (1.0 + Depth));
    const FColour Far{95, 130, 75};
    const FColour Near{70, 115, 40};
    const FColour Base = Mix(Far, Near, Depth);
    return {Base.R * (0.75 + 0.5 * Grass), Base.G * (0.8 + 0.4 * Grass),
            Base.B * (0.7 + 0.6 * Grass)};
}

// Hard-edged man-made objects drawn over the landscape; returns false where there is none.
bool ObjectAt(double U, double V, double Horizon, FColour& Out)
{
    if (U >= 0.14 && U < 0.36 && V >= 0.32 && V < Horizon + 0.05)
    {
        const double Cx = std::fmod((U - 0.14) * 60.0, 1.0);
        const double Cy = std::fmod((V - 0.32) * 30.0, 1.0);
        const bool bWindow = Cx > 0.3 && Cx < 0.8 && Cy > 0.25 && Cy < 0.75;
        Out = bWindow ? FColour{30, 42, 64} : FColour{158, 146, 132};
        return true;
    }
    if (U >= 0.62 && U < 0.70 && V >= 0.66 && V < 0.74)
    {
        Out = (U < 0.635 || U >= 0.685 || V < 0.675 || V >= 0.725) ? FColour{250, 250, 250}
                                                                   : FColour{215, 25, 30};
        return true;
    }
    if (U >= 0.655 && U < 0.665 && V >= 0.74 && V < 0.86)
    {
        Out = {90, 90, 95};
        return true;
    }
    return false;
}

FColour SceneAt(double U, double V, double Aspect)
{
    const double Horizon = HorizonAt(U);
    FColour Colour;
    if (ObjectAt(U, V, Horizon, Colour))
    {
        return Colour;
    }
    if (V >= Horizon)
    {
        return GroundAt(U, V, Horizon);
    }
    Colour = SkyAt(U, V, Horizon);
    const double Dx = (U - 0.78) * Aspect;
    const double Dy = V - 0.2;
    const double Distance = std::sqrt(Dx * Dx + Dy * Dy);
    if (Distance < 0.06)
    {
        return {255, 242, 205};
    }
    const double Glow = std::exp(-(Distance - 0.06) * 18.0) * 0.7;
    return Mix(Colour, FColour{255, 225, 170}, Glow);
}

uint8 ToByte(double Value, int32 Noise)
{
    return static_cast<uint8>(std::clamp(static_cast<int32>(std::lround(Value)) + Noise, 0, 255));
}
} // namespace

FTestImage MakeNaturalScene(int32 Width, int32 Height, uint32 Seed)
{
    FTestImage Image{Width, Height, std::vector<uint8>(static_cast<size_t>(Width) * Height * 3)};
    FNoise Noise(Seed);
    const double Aspect = static_cast<double>(Width) / Height;
    uint8* Out = Image.Rgb.data();
    for (int32 Y = 0; Y < Height; ++Y)
    {
        const double V = (Y + 0.5) / Height;
        for (int32 X = 0; X < Width; ++X)
        {
            const FColour Colour = SceneAt((X + 0.5) / Width, V, Aspect);
            const int32 Grain = Noise.Signed(4);
            *Out++ = ToByte(Colour.R, Grain + Noise.Signed(2));
            *Out++ = ToByte(Colour.G, Grain + Noise.Signed(2));
            *Out++ = ToByte(Colour.B, Grain + Noise.Signed(2));
        }
    }
    return Image;
}

FTestImage MakeSolidImage(int32 Width, int32 Height, uint8 R, uint8 G, uint8 B)
{
    FTestImage Image{Width, Height, std::vector<uint8>(static_cast<size_t>(Width) * Height * 3)};
    for (size_t Index = 0; Index < Image.Rgb.size(); Index += 3)
    {
        Image.Rgb[Index] = R;
        Image.Rgb[Index + 1] = G;
        Image.Rgb[Index + 2] = B;
    }
    return Image;
}

FTestImage MakeNoiseImage(int32 Width, int32 Height, uint32 Seed)
{
    FTestImage Image{Width, Height, std::vector<uint8>(static_cast<size_t>(Width) * Height * 3)};
    FNoise Noise(Seed);
    for (uint8& Byte : Image.Rgb)
    {
        Byte = static_cast<uint8>(Noise.Next() >> 24);
    }
    return Image;
}

double ComputePsnr(const std::vector<uint8>& A, const std::vector<uint8>& B)
{
    if (A.size() != B.size() || A.empty())
    {
        return 0.0;
    }
    double SquaredError = 0.0;
    for (size_t Index = 0; Index < A.size(); ++Index)
    {
        const double Difference = static_cast<double>(A[Index]) - B[Index];
        SquaredError += Difference * Difference;
    }
    if (SquaredError == 0.0)
    {
        return std::numeric_limits<double>::infinity();
    }
    const double MeanSquaredError = SquaredError / static_cast<double>(A.size());
    return 10.0 * std::log10(255.0 * 255.0 / MeanSquaredError);
}
