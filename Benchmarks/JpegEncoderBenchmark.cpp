// Encoding speed of the SDK's JPEG encoder, on each of its paths, against
// libjpeg-turbo (accurate DCT) and stb_image_write at quality 75 with 4:2:0
// subsampling, in megapixels per second, at 1920 x 1080 and 1280 x 720 on two images:
// the synthetic test scene and a photo-like texture (1/f noise, the spectrum of
// camera pictures). Each of our runs carries its ratio to libjpeg-turbo on the same
// image, measured earlier in the same run, as the counter "vs turbo"; after the runs
// a table of ratios is printed. With JSIMD_FORCENONE=1 in the environment
// libjpeg-turbo runs its portable C code.
#include "QuorvexJpegEncoder.h"
#include "TestImages.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <tuple>
#include <turbojpeg.h>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

namespace
{
constexpr int32 Quality = 75;

enum class EImage
{
    Scene,
    Photo,
};

// Deterministic lattice noise in 0 ... 1, smoothly interpolated between points Cell
// pixels apart.
double LatticeNoise(int32 X, int32 Y, int32 Cell, uint32 Seed)
{
    const auto Hash = [Seed](int32 I, int32 J)
    {
        uint32 H = static_cast<uint32>(I) * 73856093u ^ static_cast<uint32>(J) * 19349663u ^ Seed;
        H ^= H >> 13;
        H *= 0x5bd1e995u;
        H ^= H >> 15;
        return static_cast<double>(H & 0xFFFF) / 65535.0;
    };
    const int32 I = X / Cell;
    const int32 J = Y / Cell;
    const double Fx = static_cast<double>(X % Cell) / Cell;
    const double Fy = static_cast<double>(Y % Cell) / Cell;
    const double Sx = Fx * Fx * (3 - 2 * Fx);
    const double Sy = Fy * Fy * (3 - 2 * Fy);
    const double Top = Hash(I, J) + (Hash(I + 1, J) - Hash(I, J)) * Sx;
    const double Bottom = Hash(I, J + 1) + (Hash(I + 1, J + 1) - Hash(I, J + 1)) * Sx;
    return Top + (Bottom - Top) * Sy;
}

// A photo-like texture: octaves of lattice noise with amplitude falling as 1/f in
// luminance, slower colour variation, and fine grain.
FTestImage MakePhotoLike(int32 Width, int32 Height)
{
    FTestImage Image{Width, Height, std::vector<uint8>(static_cast<size_t>(Width) * Height * 3)};
    for (int32 Y = 0; Y < Height; ++Y)
    {
        for (int32 X = 0; X < Width; ++X)
        {
            double Luma = 0.0;
            double Amplitude = 0.5;
            for (int32 Cell = 256; Cell >= 2; Cell /= 2, Amplitude *= 0.75)
            {
                Luma += Amplitude * (LatticeNoise(X, Y, Cell, 7u + Cell) - 0.5);
            }
            const double Warm = LatticeNoise(X, Y, 192, 101) - 0.5;
            const double Green = LatticeNoise(X, Y, 96, 202) - 0.5;
            const double Grain = LatticeNoise(X, Y, 1, 303) - 0.5;
            const double Base = 120.0 + 200.0 * Luma + 14.0 * Grain;
            const double Channels[3] = {Base + 50.0 * Warm, Base + 30.0 * Green,
                                        Base - 50.0 * Warm};
            uint8* Pixel = Image.Rgb.data() + (static_cast<size_t>(Y) * Width + X) * 3;
            for (int32 Channel = 0; Channel < 3; ++Channel)
            {
                Pixel[Channel] =
                    static_cast<uint8>(std::clamp(std::lround(Channels[Channel]), 0L, 255L));
            }
        }
    }
    return Image;
}

const FTestImage& ImageOfSize(EImage Kind, int32 Width, int32 Height)
{
    static std::map<std::tuple<EImage, int32, int32>, FTestImage> Images;
    auto [Found, bInserted] = Images.try_emplace({Kind, Width, Height});
    if (bInserted)
    {
        Found->second =
            Kind == EImage::Scene ? MakeNaturalScene(Width, Height) : MakePhotoLike(Width, Height);
    }
    return Found->second;
}

void SetCounters(benchmark::State& State, const FTestImage& Image, size_t CompressedBytes)
{
    const double Pixels = static_cast<double>(Image.Width) * Image.Height;
    State.counters["MP/s"] = benchmark::Counter(
        Pixels * static_cast<double>(State.iterations()) / 1e6, benchmark::Counter::kIsRate);
    State.counters["KB"] = static_cast<double>(CompressedBytes) / 1024.0;
}

void EncodeWithQuorvex(benchmark::State& State, EImage Kind, int32 Width, int32 Height,
                       EQuorvexJpegPath Path)
{
    if (!FQuorvexJpegEncoder::CanRunPath(Path))
    {
        State.SkipWithError("this processor cannot run the path");
        return;
    }
    const FTestImage& Image = ImageOfSize(Kind, Width, Height);
    FQuorvexJpegEncoder::SetWidestPath(Path);
    std::vector<uint8> Jpeg; // pooled across frames, as the capture step does
    for (auto _ : State)
    {
        const bool bOk = FQuorvexJpegEncoder::Encode([&Image](int32 Row) { return Image.Row(Row); },
                                                     Image.Width, Image.Height, Quality, Jpeg);
        if (!bOk)
        {
            State.SkipWithError("encode failed");
            break;
        }
        benchmark::DoNotOptimize(Jpeg.data());
    }
    FQuorvexJpegEncoder::SetWidestPath(EQuorvexJpegPath::Avx2);
    SetCounters(State, Image, Jpeg.size());
}

void EncodeWithTurbo(benchmark::State& State, EImage Kind, int32 Width, int32 Height)
{
    const FTestImage& Image = ImageOfSize(Kind, Width, Height);
    tjhandle Handle = tjInitCompress();
    unsigned long Capacity = tjBufSize(Width, Height, TJSAMP_420);
    unsigned char* Buffer = tjAlloc(static_cast<int>(Capacity));
    unsigned long Size = 0;
    for (auto _ : State)
    {
        Size = Capacity;
        if (tjCompress2(Handle, Image.Rgb.data(), Width, 0, Height, TJPF_RGB, &Buffer, &Size,
                        TJSAMP_420, Quality, TJFLAG_ACCURATEDCT | TJFLAG_NOREALLOC) != 0)
        {
            State.SkipWithError(tjGetErrorStr2(Handle));
            break;
        }
        benchmark::DoNotOptimize(Buffer);
    }
    tjFree(Buffer);
    tjDestroy(Handle);
    SetCounters(State, Image, Size);
}

void AppendToVector(void* Context, void* Data, int Size)
{
    auto* Bytes = static_cast<std::vector<uint8>*>(Context);
    const auto* Begin = static_cast<const uint8*>(Data);
    Bytes->insert(Bytes->end(), Begin, Begin + Size);
}

void EncodeWithStb(benchmark::State& State, EImage Kind, int32 Width, int32 Height)
{
    const FTestImage& Image = ImageOfSize(Kind, Width, Height);
    std::vector<uint8> Jpeg;
    Jpeg.reserve(static_cast<size_t>(Width) * Height);
    for (auto _ : State)
    {
        Jpeg.clear();
        if (stbi_write_jpg_to_func(&AppendToVector, &Jpeg, Width, Height, 3, Image.Rgb.data(),
                                   Quality) == 0)
        {
            State.SkipWithError("stb encode failed");
            break;
        }
        benchmark::DoNotOptimize(Jpeg.data());
    }
    SetCounters(State, Image, Jpeg.size());
}

// The part of a benchmark name after the encoder: "Scene/1920x1080".
std::string CaseOf(const std::string& Name)
{
    const size_t Slash = Name.find('/');
    return Slash == std::string::npos ? std::string() : Name.substr(Slash + 1);
}

// Console output as usual with a "vs turbo" counter on each of our runs (libjpeg-turbo
// runs first on every case), plus the mean MP/s of every benchmark for the ratio table.
class FRateCollector : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run>& Runs) override
    {
        std::vector<Run> WithRatios = Runs;
        for (Run& Each : WithRatios)
        {
            const auto Found = Each.counters.find("MP/s");
            if (Each.error_occurred || Found == Each.counters.end())
            {
                continue;
            }
            const std::string& Name = Each.run_name.function_name;
            FRate& Rate = Rates[Name];
            if (Each.run_type == Run::RT_Aggregate && Each.aggregate_name == "mean")
            {
                Rate = FRate{Found->second.value, 1, true}; // repetitions: use their mean
            }
            else if (Each.run_type == Run::RT_Iteration && !Rate.bFromMean)
            {
                Rate.Sum += Found->second.value;
                ++Rate.Count;
            }
            const double Turbo = MeanRate("LibjpegTurbo/" + CaseOf(Name));
            if (Name.rfind("Quorvex", 0) == 0 && Turbo > 0.0)
            {
                Each.counters["vs turbo"] = Found->second.value / Turbo;
            }
        }
        ConsoleReporter::ReportRuns(WithRatios);
    }

    double MeanRate(const std::string& Name) const
    {
        const auto Found = Rates.find(Name);
        return Found == Rates.end() || Found->second.Count == 0
                   ? 0.0
                   : Found->second.Sum / Found->second.Count;
    }

private:
    struct FRate
    {
        double Sum = 0.0;
        int32 Count = 0;
        bool bFromMean = false;
    };
    std::map<std::string, FRate> Rates;
};

const std::pair<int32, int32> Sizes[] = {{1920, 1080}, {1280, 720}};
const std::pair<EImage, const char*> Images[] = {{EImage::Scene, "Scene"},
                                                 {EImage::Photo, "Photo"}};
// Our paths, widest first; "Quorvex" is what an encode picks on this processor.
const std::pair<EQuorvexJpegPath, const char*> Paths[] = {
    {EQuorvexJpegPath::Avx2, "Quorvex"},
    {EQuorvexJpegPath::Sse41, "QuorvexSse41"},
    {EQuorvexJpegPath::Scalar, "QuorvexScalar"}};

std::string CaseName(const char* ImageName, const std::pair<int32, int32>& Size)
{
    return std::string(ImageName) + "/" + std::to_string(Size.first) + "x" +
           std::to_string(Size.second);
}

void RegisterAll()
{
    for (const auto& [Kind, ImageName] : Images)
    {
        for (const auto& Size : Sizes)
        {
            const auto [Width, Height] = Size;
            const std::string Suffix = "/" + CaseName(ImageName, Size);
            benchmark::RegisterBenchmark(("LibjpegTurbo" + Suffix).c_str(), EncodeWithTurbo, Kind,
                                         Width, Height)
                ->Unit(benchmark::kMillisecond);
            for (const auto& [Path, PathName] : Paths)
            {
                benchmark::RegisterBenchmark((PathName + Suffix).c_str(), EncodeWithQuorvex, Kind,
                                             Width, Height, Path)
                    ->Unit(benchmark::kMillisecond);
            }
            benchmark::RegisterBenchmark(("StbImageWrite" + Suffix).c_str(), EncodeWithStb, Kind,
                                         Width, Height)
                ->Unit(benchmark::kMillisecond);
        }
    }
}

void PrintRatios(const FRateCollector& Collector)
{
    const char* Simd = std::getenv("JSIMD_FORCENONE");
    const bool bTurboSimd = Simd == nullptr || std::string(Simd) != "1";
    std::printf("\nRatios (ours / peer, MP/s); libjpeg-turbo %s SIMD\n",
                bTurboSimd ? "with" : "without");
    for (const auto& [Kind, ImageName] : Images)
    {
        for (const auto& Size : Sizes)
        {
            const std::string Suffix = "/" + CaseName(ImageName, Size);
            const double Ours = Collector.MeanRate("Quorvex" + Suffix);
            const double Sse41 = Collector.MeanRate("QuorvexSse41" + Suffix);
            const double Scalar = Collector.MeanRate("QuorvexScalar" + Suffix);
            const double Turbo = Collector.MeanRate("LibjpegTurbo" + Suffix);
            const double Stb = Collector.MeanRate("StbImageWrite" + Suffix);
            if (Ours <= 0.0)
            {
                continue; // filtered out or failed
            }
            std::printf("%-16s ours %.1f MP/s (SSE4.1 path %.1f, scalar path %.1f)",
                        CaseName(ImageName, Size).c_str(), Ours, Sse41, Scalar);
            if (Turbo > 0.0)
            {
                std::printf("; libjpeg-turbo %.1f, ours/turbo %.2fx", Turbo, Ours / Turbo);
            }
            if (Stb > 0.0)
            {
                std::printf("; stb %.1f, ours/stb %.2fx", Stb, Ours / Stb);
            }
            std::printf("\n");
        }
    }
}
} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
    {
        return 1;
    }
    RegisterAll();
    FRateCollector Collector;
    benchmark::RunSpecifiedBenchmarks(&Collector);
    PrintRatios(Collector);
    benchmark::Shutdown();
    return 0;
}
