// A backend's capture resolution cannot hurt the game: impossible and oversized
// sizes in the session-create answer, served over HTTP by the dev backend, are
// clamped to the source with one warning a session, and the stored JPEG (read by an
// independent decoder) has the clamped size.
#include "Files.h"
#include "JpegOracle.h"
#include "QuorvexOfflineStore.h"
#include "SceneBackendTestBase.h"
#include "Tasks.h"

#include <gtest/gtest.h>

namespace
{
struct FResolutionCase
{
    const char* Json; // captureConfig.resolution as the backend sends it
    int32 Width;      // what is stored from the 128 x 96 viewport
    int32 Height;
    bool bClamped;
};

class HostileCaptureConfig : public FSceneBackendTestBase
{
protected:
    // The stored frames' JPEG files, decoded; waits until there are at least Count.
    std::vector<FDecodedJpeg> StoredFrames(size_t Count)
    {
        const FString Folder = FQuorvexOfflineStore::GetBufferedScreenshotDirectory();
        std::vector<FString> Files;
        EXPECT_TRUE(FramesUntil(
            [&]
            {
                FTaskGraph::WaitForBackgroundIdle();
                Files = IFileManager::Get().FindFiles(Folder, "frame_*");
                return Files.size() >= Count;
            }));
        std::vector<FDecodedJpeg> Frames;
        for (const FString& Name : Files)
        {
            std::vector<uint8> Bytes;
            FDecodedJpeg Decoded;
            EXPECT_TRUE(FFileHelper::LoadFileToArray(Bytes, FPaths::Combine(Folder, Name)) &&
                        DecodeJpeg(Bytes, Decoded))
                << Name;
            Frames.push_back(std::move(Decoded));
        }
        return Frames;
    }
};
} // namespace

TEST_F(HostileCaptureConfig, ResolutionsAreClampedToTheSourceWithOneWarningASession)
{
    const FResolutionCase Cases[] = {
        {R"({"width":100000,"height":100000})", 128, 96, true},
        {R"({"width":2147483647,"height":1})", 128, 1, true},
        {R"({"width":46341,"height":46341})", 128, 96, true},
        {R"({"width":200,"height":48})", 128, 48, true},
        {R"({"width":64,"height":48})", 64, 48, false},
        // Not integers the SDK takes, so the viewport's own size.
        {R"({"width":64,"height":1e12})", 128, 96, false},
        {R"({"width":-5,"height":"48"})", 128, 96, false},
    };
    for (const FResolutionCase& Case : Cases)
    {
        SCOPED_TRACE(Case.Json);
        nlohmann::json Config = CaptureConfig();
        Config["resolution"] = nlohmann::json::parse(Case.Json);
        Server.SetCaptureConfig(Config);
        Log.Clear();
        Start();
        const std::vector<FDecodedJpeg> Frames = StoredFrames(2);
        for (const FDecodedJpeg& Frame : Frames)
        {
            EXPECT_EQ(Frame.Width, Case.Width);
            EXPECT_EQ(Frame.Height, Case.Height);
        }
        EXPECT_EQ(Log.Count("QuorvexSDK: Capture resolution "), Case.bClamped ? 1 : 0);
        Stop();
    }
}
