// The CRC-32 against zlib's crc32: every short length at every alignment, long runs fed
// in uneven chunks, and threads racing to build the tables; then every kernel this
// processor runs against the table kernel, and the kernel choice against what the
// operating system reports about the processor.
#include "QuorvexCrc32.h"

#include "ByteTestData.h"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <ostream>
#include <random>
#include <sstream>
#include <thread>
#include <vector>
#include <zlib.h>

// Test names and failure messages show the kernel by name.
inline void PrintTo(EQuorvexCrc32Kernel Kernel, std::ostream* Out)
{
    *Out << FQuorvexCrc32::KernelName(Kernel);
}

namespace
{
// The kernel's CRC, failing the test when the kernel cannot run.
uint32 CrcWith(EQuorvexCrc32Kernel Kernel, const uint8* Data, int64 Num, uint32 Previous = 0)
{
    uint32 Crc = 0xDEADBEEFu;
    EXPECT_TRUE(FQuorvexCrc32::ComputeCrc32With(Kernel, Data, Num, Previous, Crc));
    return Crc;
}

// The feature flags Linux lists for the first processor; empty when it does not say.
std::vector<FString> CpuFlags()
{
    // Read as a stream: /proc files report a size of zero.
    std::ifstream Lines("/proc/cpuinfo");
    for (FString Line; std::getline(Lines, Line);)
    {
        if (Line.rfind("flags", 0) == 0)
        {
            std::istringstream Words(Line.substr(Line.find(':') + 1));
            std::vector<FString> Flags;
            for (FString Word; Words >> Word;)
            {
                Flags.push_back(Word);
            }
            return Flags;
        }
    }
    return {};
}

class StoredZipCrc32Kernel : public testing::TestWithParam<EQuorvexCrc32Kernel>
{
protected:
    void SetUp() override
    {
        if (!FQuorvexCrc32::CanRun(GetParam()))
        {
            uint32 Untouched = 7;
            EXPECT_FALSE(FQuorvexCrc32::ComputeCrc32With(GetParam(), "x", 1, 0, Untouched));
            EXPECT_EQ(Untouched, 7u);
            GTEST_SKIP() << "this processor cannot run the "
                         << FQuorvexCrc32::KernelName(GetParam()) << " kernel";
        }
    }
};
} // namespace

TEST(StoredZipCrc32, MatchesZlibForEveryLengthAndAlignment)
{
    const FBytes Check = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(FQuorvexCrc32::ComputeCrc32(Check.data(), std::ssize(Check)), 0xCBF43926u);
    EXPECT_EQ(FQuorvexCrc32::ComputeCrc32(nullptr, 0), 0u);

    const FBytes Bytes = RandomBytes(4096, 7);
    for (size_t Offset = 0; Offset < 8; ++Offset)
    {
        for (size_t Length = 0; Length + Offset <= Bytes.size(); Length += (Length < 80 ? 1 : 97))
        {
            const uint8* Start = Bytes.data() + Offset;
            ASSERT_EQ(FQuorvexCrc32::ComputeCrc32(Start, static_cast<int64>(Length)),
                      static_cast<uint32>(crc32(0, Start, static_cast<uInt>(Length))))
                << "offset " << Offset << " length " << Length;
        }
    }
}

TEST(StoredZipCrc32, ChunkedRunEqualsOneShot)
{
    const FBytes Bytes = RandomBytes(1 << 20, 11);
    std::mt19937 Random(3);
    uint32 Running = 0;
    for (size_t Done = 0; Done < Bytes.size();)
    {
        const size_t Chunk = std::min<size_t>(Random() % 70000, Bytes.size() - Done);
        Running =
            FQuorvexCrc32::ComputeCrc32(Bytes.data() + Done, static_cast<int64>(Chunk), Running);
        Done += Chunk;
    }
    EXPECT_EQ(Running, ZlibCrc(Bytes));
}

TEST(StoredZipCrc32, ThreadsRacingOnFirstUseAgree)
{
    const FBytes Bytes = RandomBytes(256 * 1024, 5);
    const uint32 Expected = ZlibCrc(Bytes);
    std::vector<uint32> Results(8, 0);
    std::vector<std::thread> Threads;
    for (size_t I = 0; I < Results.size(); ++I)
    {
        Threads.emplace_back(
            [&, I] { Results[I] = FQuorvexCrc32::ComputeCrc32(Bytes.data(), std::ssize(Bytes)); });
    }
    for (std::thread& Thread : Threads)
    {
        Thread.join();
    }
    for (const uint32 Result : Results)
    {
        EXPECT_EQ(Result, Expected);
    }
}

TEST_P(StoredZipCrc32Kernel, MatchesTheTablesForEveryLengthUpTo4096AtEveryAlignment)
{
    // 64 bytes of slack in front, so every start offset 0..63 from a 64-byte boundary exists.
    const FBytes Source = RandomBytes(4096 + 128, 17);
    const uint8* Aligned = Source.data() + (64 - reinterpret_cast<uintptr_t>(Source.data()) % 64);
    for (int64 Offset = 0; Offset < 64; ++Offset)
    {
        for (int64 Length = 0; Length <= 4096; ++Length)
        {
            uint32 Expected = 0;
            ASSERT_TRUE(FQuorvexCrc32::ComputeCrc32With(EQuorvexCrc32Kernel::Table,
                                                        Aligned + Offset, Length, 0, Expected));
            ASSERT_EQ(CrcWith(GetParam(), Aligned + Offset, Length), Expected)
                << "offset " << Offset << " length " << Length;
        }
    }
}

TEST_P(StoredZipCrc32Kernel, MatchesZlibOnLongRuns)
{
    const FBytes Bytes = RandomBytes((16 << 20) + 77, 19);
    for (const int64 Length : {int64{1} << 20, (int64{1} << 20) + 1, (int64{1} << 20) + 63,
                               (int64{1} << 20) + 255 + 16, int64{16} << 20, std::ssize(Bytes)})
    {
        for (const int64 Offset : {0, 1, 31, 63})
        {
            const uint8* Start = Bytes.data() + Offset;
            const int64 Num = std::min(Length, std::ssize(Bytes) - Offset);
            EXPECT_EQ(CrcWith(GetParam(), Start, Num),
                      static_cast<uint32>(crc32(0, Start, static_cast<uInt>(Num))))
                << "offset " << Offset << " length " << Num;
        }
    }
    // Runs of one repeated byte catch a fold constant that only random data hides.
    for (const uint8 Fill : {uint8{0x00}, uint8{0xFF}})
    {
        const FBytes Same(300001, Fill);
        EXPECT_EQ(CrcWith(GetParam(), Same.data(), std::ssize(Same)), ZlibCrc(Same))
            << "fill " << int{Fill};
    }
}

TEST_P(StoredZipCrc32Kernel, RunningCrcAcrossOddSplitsEqualsOneShot)
{
    const FBytes Bytes = RandomBytes((3 << 20) + 5, 23);
    const uint32 Expected = ZlibCrc(Bytes);
    // Split points chosen to land inside folding blocks, tails and aligned heads.
    std::mt19937 Random(29);
    for (const size_t MaxChunk : {size_t{7}, size_t{333}, size_t{4099}, size_t{1} << 20})
    {
        uint32 Running = 0;
        for (size_t Done = 0; Done < Bytes.size();)
        {
            const size_t Chunk = std::min<size_t>(Random() % MaxChunk | 1, Bytes.size() - Done);
            Running = CrcWith(GetParam(), Bytes.data() + Done, static_cast<int64>(Chunk), Running);
            Done += Chunk;
        }
        EXPECT_EQ(Running, Expected) << "chunks up to " << MaxChunk;
    }
}

INSTANTIATE_TEST_SUITE_P(AllKernels, StoredZipCrc32Kernel,
                         testing::ValuesIn(FQuorvexCrc32::AllKernels),
                         [](const testing::TestParamInfo<EQuorvexCrc32Kernel>& Info)
                         { return FString(FQuorvexCrc32::KernelName(Info.param)); });

TEST(StoredZipCrc32, KernelChoiceFollowsTheProcessorFeatures)
{
    EXPECT_TRUE(FQuorvexCrc32::CanRun(EQuorvexCrc32Kernel::Table));
    EXPECT_FALSE(FQuorvexCrc32::CanRun(static_cast<EQuorvexCrc32Kernel>(99)));
    uint32 Untouched = 7;
    EXPECT_FALSE(FQuorvexCrc32::ComputeCrc32With(static_cast<EQuorvexCrc32Kernel>(99), "x", 1, 0,
                                                 Untouched));
    EXPECT_EQ(Untouched, 7u);

    const std::vector<FString> Flags = CpuFlags();
    if (Flags.empty())
    {
        GTEST_SKIP() << "/proc/cpuinfo lists no processor flags here";
    }
    const auto Has = [&](const char* Flag)
    { return std::find(Flags.begin(), Flags.end(), Flag) != Flags.end(); };
#if defined(__x86_64__)
    const bool bPclmul = Has("pclmulqdq") && Has("sse4_1");
    const bool bWide = bPclmul && Has("avx512f") && Has("vpclmulqdq");
    EXPECT_EQ(FQuorvexCrc32::CanRun(EQuorvexCrc32Kernel::Pclmul), bPclmul);
    EXPECT_EQ(FQuorvexCrc32::CanRun(EQuorvexCrc32Kernel::VpclmulAvx512), bWide);
    EXPECT_EQ(FQuorvexCrc32::SelectedKernel(), bWide     ? EQuorvexCrc32Kernel::VpclmulAvx512
                                               : bPclmul ? EQuorvexCrc32Kernel::Pclmul
                                                         : EQuorvexCrc32Kernel::Table);
#else
    EXPECT_EQ(FQuorvexCrc32::SelectedKernel(), EQuorvexCrc32Kernel::Table);
#endif
}
