// Encoding speed of the SDK's JPEG encoder against libjpeg-turbo and stb_image_write
// at quality 75 with 4:2:0 subsampling, in megapixels per second, on the synthetic
// test scene at 1920 x 1080 and 1280 x 720. After the runs a table of ratios
// (ours / peer) is printed. With JSIMD_FORCENONE=1 in the environment libjpeg-turbo
// runs its portable C code.
#include "QuorvexJpegEncoder.h"
#include "TestImages.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <turbojpeg.h>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

namespace
{
constexpr int32 Quality = 75;

const FTestImage& SceneOfSize(int32 Width, int32 Height)
{
    static std::map<std::pair<int32, int32>, FTestImage> Scenes;
    auto [Found, bInserted] = Scenes.try_emplace({Width, Height});
    if (bInserted)
    {
        Found->second = MakeNaturalScene(Width, Height);
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

void EncodeWithQuorvex(benchmark::State& State, int32 Width, int32 Height, bool bVectorPaths)
{
    const FTestImage& Image = SceneOfSize(Width, Height);
    FQuorvexJpegEncoder::SetVectorPathsEnabled(bVectorPaths);
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
    FQuorvexJpegEncoder::SetVectorPathsEnabled(true);
    SetCounters(State, Image, Jpeg.size());
}

void EncodeWithTurbo(benchmark::State& State, int32 Width, int32 Height)
{
    const FTestImage& Image = SceneOfSize(Width, Height);
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

void EncodeWithStb(benchmark::State& State, int32 Width, int32 Height)
{
    const FTestImage& Image = SceneOfSize(Width, Height);
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

// Console output as usual, plus the mean MP/s of every benchmark for the ratio table.
class FRateCollector : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run>& Runs) override
    {
        for (const Run& Each : Runs)
        {
            const auto Found = Each.counters.find("MP/s");
            if (Each.error_occurred || Found == Each.counters.end())
            {
                continue;
            }
            FRate& Rate = Rates[Each.run_name.function_name];
            if (Each.run_type == Run::RT_Aggregate && Each.aggregate_name == "mean")
            {
                Rate = FRate{Found->second.value, 1, true}; // repetitions: use their mean
            }
            else if (Each.run_type == Run::RT_Iteration && !Rate.bFromMean)
            {
                Rate.Sum += Found->second.value;
                ++Rate.Count;
            }
        }
        ConsoleReporter::ReportRuns(Runs);
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

std::string SizeName(const std::pair<int32, int32>& Size)
{
    return std::to_string(Size.first) + "x" + std::to_string(Size.second);
}

void RegisterAll()
{
    for (const auto& Size : Sizes)
    {
        const auto [Width, Height] = Size;
        const std::string Suffix = "/" + SizeName(Size);
        benchmark::RegisterBenchmark(("Quorvex" + Suffix).c_str(), EncodeWithQuorvex, Width, Height,
                                     true)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("QuorvexScalar" + Suffix).c_str(), EncodeWithQuorvex, Width,
                                     Height, false)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("LibjpegTurbo" + Suffix).c_str(), EncodeWithTurbo, Width,
                                     Height)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("StbImageWrite" + Suffix).c_str(), EncodeWithStb, Width,
                                     Height)
            ->Unit(benchmark::kMillisecond);
    }
}

void PrintRatios(const FRateCollector& Collector)
{
    const char* Simd = std::getenv("JSIMD_FORCENONE");
    const bool bTurboSimd = Simd == nullptr || std::string(Simd) != "1";
    std::printf("\nRatios (ours / peer, MP/s); libjpeg-turbo %s SIMD\n",
                bTurboSimd ? "with" : "without");
    for (const auto& Size : Sizes)
    {
        const std::string Suffix = "/" + SizeName(Size);
        const double Ours = Collector.MeanRate("Quorvex" + Suffix);
        const double OursScalar = Collector.MeanRate("QuorvexScalar" + Suffix);
        const double Turbo = Collector.MeanRate("LibjpegTurbo" + Suffix);
        const double Stb = Collector.MeanRate("StbImageWrite" + Suffix);
        if (Ours <= 0.0)
        {
            continue; // filtered out or failed
        }
        std::printf("%-10s ours %.1f MP/s (scalar path %.1f)", SizeName(Size).c_str(), Ours,
                    OursScalar);
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
