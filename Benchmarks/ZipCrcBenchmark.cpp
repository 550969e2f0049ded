// The ZIP writer's costs against peers measured in the same run: its CRC-32 (each kernel
// this processor runs, and the one it picks) against zlib's crc32 and libdeflate's
// libdeflate_crc32, and building a batch-sized archive against a plain copy of the same
// bytes. The *VsPeers benchmarks time ours and the peers in alternating rounds and report
// the ratios as counters (x_zlib, x_libdeflate: our speed over theirs; x_copy: our time
// over the copy's), so a busy machine slows both sides alike.
#include "QuorvexCrc32.h"
#include "QuorvexStoredZipWriter.h"

#include "Files.h"
#include "Logging.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <libdeflate.h>
#include <random>
#include <unistd.h>
#include <zlib.h>

namespace
{
// A batch: 62 frames of about 264 KiB (large screenshots), 16 MiB in all.
constexpr int32 FrameCount = 62;
constexpr int64 BatchBytes = 16 << 20;
constexpr int64 CopyChunkBytes = FQuorvexStoredZipWriter::FileChunkBytes;

using FClockType = std::chrono::steady_clock;

double SecondsSince(FClockType::time_point Start)
{
    return std::chrono::duration<double>(FClockType::now() - Start).count();
}

// Frame I's size: alternately smaller and larger than the mean, summing to BatchBytes.
int64 FrameBytes(int32 I)
{
    const int64 Mean = BatchBytes / FrameCount;
    const int64 Swing = (I % 2 == 0 ? -1 : 1) * (Mean / 8);
    return Mean + Swing + (I < BatchBytes % FrameCount ? 1 : 0);
}

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

// One kernel by name, so each path's speed shows next to the peers.
void BM_Crc32_Kernel(benchmark::State& State)
{
    const EQuorvexCrc32Kernel Kernel = static_cast<EQuorvexCrc32Kernel>(State.range(0));
    const std::vector<uint8> Bytes = RandomBytes(static_cast<size_t>(State.range(1)));
    State.SetLabel(FQuorvexCrc32::KernelName(Kernel));
    uint32 Crc = 0;
    if (!FQuorvexCrc32::ComputeCrc32With(Kernel, Bytes.data(), 1, 0, Crc))
    {
        State.SkipWithError("this processor cannot run the kernel");
        return;
    }
    for (auto _ : State)
    {
        FQuorvexCrc32::ComputeCrc32With(Kernel, Bytes.data(), std::ssize(Bytes), 0, Crc);
        benchmark::DoNotOptimize(Crc);
    }
    State.SetBytesProcessed(static_cast<int64>(State.iterations()) * State.range(1));
}

// Ours, zlib and libdeflate in alternating rounds over the same buffer; the iteration
// time is ours.
void BM_Crc32_VsPeers(benchmark::State& State)
{
    const std::vector<uint8> Bytes = RandomBytes(static_cast<size_t>(State.range(0)));
    double Ours = 0, Zlib = 0, Libdeflate = 0;
    for (auto _ : State)
    {
        auto Start = FClockType::now();
        benchmark::DoNotOptimize(FQuorvexCrc32::ComputeCrc32(Bytes.data(), std::ssize(Bytes)));
        const double Round = SecondsSince(Start);
        Ours += Round;
        Start = FClockType::now();
        benchmark::DoNotOptimize(crc32(0, Bytes.data(), static_cast<uInt>(Bytes.size())));
        Zlib += SecondsSince(Start);
        Start = FClockType::now();
        benchmark::DoNotOptimize(libdeflate_crc32(0, Bytes.data(), Bytes.size()));
        Libdeflate += SecondsSince(Start);
        State.SetIterationTime(Round);
    }
    const double Gigabytes = static_cast<double>(State.iterations()) * State.range(0) / 1e9;
    State.SetLabel(FQuorvexCrc32::KernelName(FQuorvexCrc32::SelectedKernel()));
    State.counters["ours_GB/s"] = Gigabytes / Ours;
    State.counters["zlib_GB/s"] = Gigabytes / Zlib;
    State.counters["libdeflate_GB/s"] = Gigabytes / Libdeflate;
    State.counters["x_zlib"] = Zlib / Ours;
    State.counters["x_libdeflate"] = Libdeflate / Ours;
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
        const std::vector<uint8> Frame = RandomBytes(static_cast<size_t>(FrameBytes(1)));
        for (int32 I = 0; I < FrameCount; ++I)
        {
            Frames.push_back(FPaths::Combine(Root, "frame_" + std::to_string(I) + ".jpeg"));
            const std::vector<uint8> Bytes(Frame.begin(), Frame.begin() + FrameBytes(I));
            FFileHelper::SaveArrayToFile(Bytes, Frames.back());
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
    State.SetBytesProcessed(static_cast<int64>(State.iterations()) * BatchBytes);
}

// The whole job as the batch assembly does it: add every frame, write the archive.
int64 BuildBatchArchive()
{
    FQuorvexStoredZipWriter Writer;
    for (size_t I = 0; I < Batch().Frames.size(); ++I)
    {
        Writer.AddFile("frames/frame_" + std::to_string(I) + ".jpeg", Batch().Frames[I]);
    }
    return Writer.WriteToFile(Batch().Output);
}

// The peer: every frame read and appended to one output file with plain stdio, in
// chunks of the size the writer uses.
void PlainFileCopy(std::vector<char>& Buffer)
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

void BM_ZipBuildBatchArchive(benchmark::State& State)
{
    for (auto _ : State)
    {
        benchmark::DoNotOptimize(BuildBatchArchive());
    }
    SetBatchCounters(State);
}

// Only WriteToFile, with the frames added beforehand.
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

void BM_PlainFileCopy(benchmark::State& State)
{
    std::vector<char> Buffer(static_cast<size_t>(CopyChunkBytes));
    for (auto _ : State)
    {
        PlainFileCopy(Buffer);
    }
    SetBatchCounters(State);
}

// Archive and copy in alternating rounds; the iteration time is the archive's.
void BM_ZipBuildBatchArchive_VsCopy(benchmark::State& State)
{
    std::vector<char> Buffer(static_cast<size_t>(CopyChunkBytes));
    double Archive = 0, Copy = 0;
    for (auto _ : State)
    {
        auto Start = FClockType::now();
        benchmark::DoNotOptimize(BuildBatchArchive());
        const double Round = SecondsSince(Start);
        Archive += Round;
        Start = FClockType::now();
        PlainFileCopy(Buffer);
        Copy += SecondsSince(Start);
        State.SetIterationTime(Round);
    }
    const double Rounds = static_cast<double>(State.iterations());
    State.counters["archive_ms"] = Archive / Rounds * 1e3;
    State.counters["copy_ms"] = Copy / Rounds * 1e3;
    State.counters["x_copy"] = Archive / Copy;
    SetBatchCounters(State);
}
} // namespace

constexpr int64 Mebibyte = 1 << 20;

BENCHMARK(BM_Crc32_Quorvex)->Arg(4096)->Arg(65536)->Arg(Mebibyte)->Arg(16 * Mebibyte);
BENCHMARK(BM_Crc32_Zlib)->Arg(4096)->Arg(65536)->Arg(Mebibyte)->Arg(16 * Mebibyte);
BENCHMARK(BM_Crc32_Libdeflate)->Arg(4096)->Arg(65536)->Arg(Mebibyte)->Arg(16 * Mebibyte);
BENCHMARK(BM_Crc32_Kernel)
    ->ArgsProduct({{static_cast<int64>(EQuorvexCrc32Kernel::Table),
                    static_cast<int64>(EQuorvexCrc32Kernel::Pclmul),
                    static_cast<int64>(EQuorvexCrc32Kernel::VpclmulAvx512)},
                   {65536, Mebibyte, 16 * Mebibyte}});
BENCHMARK(BM_Crc32_VsPeers)->Arg(Mebibyte)->Arg(16 * Mebibyte)->UseManualTime();
BENCHMARK(BM_ZipBuildBatchArchive)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZipWriteOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainFileCopy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZipBuildBatchArchive_VsCopy)->Unit(benchmark::kMillisecond)->UseManualTime();

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
