// The ZIP writer's costs against peers measured in the same run: its sliced CRC-32
// against zlib's crc32 and libdeflate's libdeflate_crc32 (bytes_per_second of each),
// and writing a batch-sized archive against a plain copy of the same bytes.
#include "QuorvexCrc32.h"
#include "QuorvexStoredZipWriter.h"

#include "Files.h"
#include "Logging.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <filesystem>
#include <libdeflate.h>
#include <random>
#include <unistd.h>
#include <zlib.h>

namespace
{
constexpr int64 FrameBytes = 256 * 1024; // a large screenshot
constexpr int32 FrameCount = 32;

std::vector<uint8> RandomBytes(size_t Num)
{
    std::mt19937 Random(42);
    std::vector<uint8> Bytes(Num);
    for (uint8& Byte : Bytes)
    {
        Byte = static_cast<uint8>(Random());
    }
    return Bytes;
}

void SetCrcCounters(benchmark::State& State)
{
    State.SetBytesProcessed(static_cast<int64>(State.iterations()) * State.range(0));
}

void BM_Crc32_Quorvex(benchmark::State& State)
{
    const std::vector<uint8> Bytes = RandomBytes(static_cast<size_t>(State.range(0)));
    for (auto _ : State)
    {
        benchmark::DoNotOptimize(FQuorvexCrc32::ComputeCrc32(Bytes.data(), State.range(0)));
    }
    SetCrcCounters(State);
}

void BM_Crc32_Zlib(benchmark::State& State)
{
    const std::vector<uint8> Bytes = RandomBytes(static_cast<size_t>(State.range(0)));
    for (auto _ : State)
    {
        benchmark::DoNotOptimize(crc32(0, Bytes.data(), static_cast<uInt>(Bytes.size())));
    }
    SetCrcCounters(State);
}

void BM_Crc32_Libdeflate(benchmark::State& State)
{
    const std::vector<uint8> Bytes = RandomBytes(static_cast<size_t>(State.range(0)));
    for (auto _ : State)
    {
        benchmark::DoNotOptimize(libdeflate_crc32(0, Bytes.data(), Bytes.size()));
    }
    SetCrcCounters(State);
}

// A folder of frame files shaped like one batch, removed at exit.
struct FBatchFolder
{
    FBatchFolder()
    {
        Root = (std::filesystem::temp_directory_path() /
                ("quorvex-zip-bench-" + std::to_string(getpid())))
                   .string();
        std::filesystem::create_directories(Root);
        const std::vector<uint8> Frame = RandomBytes(static_cast<size_t>(FrameBytes));
        for (int32 I = 0; I < FrameCount; ++I)
        {
            Frames.push_back(FPaths::Combine(Root, "frame_" + std::to_string(I) + ".jpeg"));
            FFileHelper::SaveArrayToFile(Frame, Frames.back());
        }
        Output = FPaths::Combine(Root, "out.bin");
    }
    ~FBatchFolder()
    {
        std::error_code Ignored;
        std::filesystem::remove_all(Root, Ignored);
    }

    FString Root;
    FString Output;
    std::vector<FString> Frames;
};

FBatchFolder& Batch()
{
    static FBatchFolder Instance;
    return Instance;
}

void SetBatchCounters(benchmark::State& State)
{
    State.SetBytesProcessed(static_cast<int64>(State.iterations()) * FrameBytes * FrameCount);
}

// The whole job: measure every frame (read + CRC), then stream them into the archive.
void BM_ZipBuildBatchArchive(benchmark::State& State)
{
    for (auto _ : State)
    {
        FQuorvexStoredZipWriter Writer;
        for (size_t I = 0; I < Batch().Frames.size(); ++I)
        {
            Writer.AddFile("frames/frame_" + std::to_string(I) + ".jpeg", Batch().Frames[I]);
        }
        benchmark::DoNotOptimize(Writer.WriteToFile(Batch().Output));
    }
    SetBatchCounters(State);
}

// Only the write pass, with the frames already measured.
void BM_ZipWriteOnly(benchmark::State& State)
{
    FQuorvexStoredZipWriter Writer;
    for (size_t I = 0; I < Batch().Frames.size(); ++I)
    {
        Writer.AddFile("frames/frame_" + std::to_string(I) + ".jpeg", Batch().Frames[I]);
    }
    for (auto _ : State)
    {
        benchmark::DoNotOptimize(Writer.WriteToFile(Batch().Output));
    }
    SetBatchCounters(State);
}

// The peer: the same bytes concatenated into one file with plain stdio, 64 KiB at a time.
void BM_PlainFileCopy(benchmark::State& State)
{
    std::vector<char> Buffer(65536);
    for (auto _ : State)
    {
        std::FILE* Out = std::fopen(Batch().Output.c_str(), "wb");
        for (const FString& Frame : Batch().Frames)
        {
            std::FILE* In = std::fopen(Frame.c_str(), "rb");
            for (size_t Got; In && (Got = std::fread(Buffer.data(), 1, Buffer.size(), In)) > 0;)
            {
                std::fwrite(Buffer.data(), 1, Got, Out);
            }
            if (In)
            {
                std::fclose(In);
            }
        }
        std::fclose(Out);
    }
    SetBatchCounters(State);
}
} // namespace

BENCHMARK(BM_Crc32_Quorvex)->Arg(4096)->Arg(65536)->Arg(1 << 20);
BENCHMARK(BM_Crc32_Zlib)->Arg(4096)->Arg(65536)->Arg(1 << 20);
BENCHMARK(BM_Crc32_Libdeflate)->Arg(4096)->Arg(65536)->Arg(1 << 20);
BENCHMARK(BM_ZipBuildBatchArchive)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZipWriteOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainFileCopy)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    FLogSinks::SetStderrEnabled(false);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
    {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
