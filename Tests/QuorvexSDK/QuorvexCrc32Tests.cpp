// The sliced CRC-32 against zlib's crc32: every short length at every alignment, long
// runs fed in uneven chunks, and threads racing to build the tables.
#include "QuorvexCrc32.h"

#include "ByteTestData.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <random>
#include <thread>
#include <vector>
#include <zlib.h>

namespace
{
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
