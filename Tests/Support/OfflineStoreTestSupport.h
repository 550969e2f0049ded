// Helpers for the offline store's tests: files of known size in the store's
// folders, and a store fixture with a log capture.
#pragma once

#include "ByteTestData.h"
#include "Files.h"
#include "Logging.h"
#include "QuorvexOfflineStore.h"
#include "StringUtils.h"
#include "TestSupport.h"

#include <optional>
#include <vector>

// Bytes that differ from one seed to the next (the store never decodes them).
inline FBytes PatternBytes(size_t Num, uint8 Seed)
{
    FBytes Bytes(Num);
    for (size_t Index = 0; Index < Num; ++Index)
    {
        Bytes[Index] = static_cast<uint8>(Seed + Index * 31);
    }
    return Bytes;
}

inline FString ScreenshotPath(int64 Sequence)
{
    return FPaths::Combine(
        FQuorvexOfflineStore::GetBufferedScreenshotDirectory(),
        FStringUtils::Printf("frame_%020lld.jpg", static_cast<long long>(Sequence)));
}

// Writes Num pattern bytes to Path, creating its folder.
inline void WriteFileOfSize(const FString& Path, size_t Num, uint8 Seed = 7)
{
    IFileManager::Get().MakeDirectory(FPaths::GetPath(Path), true);
    ASSERT_TRUE(FFileHelper::SaveArrayToFile(PatternBytes(Num, Seed), Path)) << Path;
}

inline FBytes ReadFileBytes(const FString& Path)
{
    FBytes Bytes;
    FFileHelper::LoadFileToArray(Bytes, Path);
    return Bytes;
}

inline std::vector<FString> FilesIn(const FString& Directory, const FString& Wildcard = "*")
{
    return IFileManager::Get().FindFiles(Directory, Wildcard);
}

class FOfflineStoreTestBase : public FEngineTestBase
{
protected:
    struct FCalls
    {
        int32 LimitDrops = 0;
        int32 WriteFailures = 0;
    };

    // Stores Num pattern bytes as a screenshot, counting the callbacks in Calls.
    std::optional<FQuorvexScreenshotRecord> Capture(size_t Num, bool bEnforceLimit = false,
                                                    int64 LimitBytes = 0, uint8 Seed = 1)
    {
        const FBytes Jpeg = PatternBytes(Num, Seed);
        return Store.CreateScreenshotRecord(
            1700000000000 + Seed, 40, 5, 640, 360, Jpeg, bEnforceLimit, LimitBytes,
            [this] { ++Calls.LimitDrops; }, [this] { ++Calls.WriteFailures; });
    }

    FLogCapture Log;
    FQuorvexOfflineStore Store;
    FCalls Calls;
};
