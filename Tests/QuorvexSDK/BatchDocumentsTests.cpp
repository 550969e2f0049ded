// The batch archive's two documents, read back by a second JSON parser
// (nlohmann/json, order-preserving) and compared with hand-written fixtures, plus the
// exact printed form the engine's printer gives them.
#include "TestSupport.h"

#include "OrderedJsonTestSupport.h"

#include "Files.h"
#include "QuorvexApiClient.h"
#include "QuorvexDetachedBatchData.h"

#include <filesystem>
#include <nlohmann/json.hpp>

namespace
{
FOrderedJson LoadFixture(const char* Name)
{
    return ParseJsonFile(
        (std::filesystem::path(__FILE__).parent_path() / "Fixtures" / Name).string());
}

FQuorvexDetachedBatchData MakeFixtureBatch()
{
    FQuorvexDetachedBatchData Batch;
    Batch.SessionId = "session-42";
    Batch.InGameId = "player-7 \xC3\xA9";
    Batch.DeveloperPayload = "{\"tier\":\"gold\"}";
    Batch.Timestamp = 1712345678901;
    Batch.SequenceNumber = 3;
    Batch.Taps = {{0.5f, 0.1f, 1.f, 1712345678000}, {10.f, 20.f, 0.25f, 1712345678001}};
    Batch.Swipes = {{1.5f, 2.5f, 300.75f, -4.f, 250, 1712345678100}};
    Batch.LongPresses = {{10.f, 20.f, 900, 1712345678200}};
    Batch.KeyEvents = {{32, "SpaceBar", "down", 1712345678300}};
    Batch.MouseButtons = {{2, "up", 640.5f, 360.25f, 1712345678400}};
    Batch.Scrolls = {{0.f, -120.f, 5.f, 6.f, 1712345678500}};
    Batch.Metadata = {512, -1, 87, "landscape"};
    Batch.CaptureMode = ""; // falls back to "Screenshots"
    Batch.ImageFormat = "Png";
    // Records do not reach the documents: only the frames passed alongside do.
    Batch.ScreenshotRecords.resize(3);
    return Batch;
}

std::vector<FQuorvexMediaFrame> MakeFixtureFrames()
{
    return {{1712345678010, 35, 4, "frame_0", 1280, 720},
            {1712345678990, 36, 5, "frame_2", 1280, 720}};
}

class BatchDocumentsTest : public FEngineTestBase
{
protected:
    FQuorvexApiClient Client;
};

TEST_F(BatchDocumentsTest, EventsDocumentMatchesItsFixtureKeyForKey)
{
    const FString Text = Client.BuildEventJson(MakeFixtureBatch(), MakeFixtureFrames());
    const FOrderedJson Parsed = FOrderedJson::parse(Text);
    // ordered_json compares objects in key order, so this checks order as well.
    EXPECT_EQ(Parsed, LoadFixture("EventsFull.json")) << Text;
}

TEST_F(BatchDocumentsTest, ManifestMatchesItsFixtureKeyForKey)
{
    const FString Text =
        FQuorvexApiClient::BuildManifestJson(MakeFixtureBatch(), MakeFixtureFrames());
    EXPECT_EQ(FOrderedJson::parse(Text), LoadFixture("ManifestFull.json")) << Text;
}

TEST_F(BatchDocumentsTest, PrintedLikeTheEnginesPrettyPrinter)
{
    FQuorvexDetachedBatchData Batch;
    Batch.SessionId = "s";
    Batch.SequenceNumber = 12;
    Batch.CaptureMode = "Screenshots";
    Batch.ImageFormat = "Jpeg";
    const std::vector<FQuorvexMediaFrame> Frames = {{1700000000000, 7, 2, "frame_0", 64, 32}};
    EXPECT_EQ(FQuorvexApiClient::BuildManifestJson(Batch, Frames),
              "{\r\n"
              "\t\"schemaVersion\": 1,\r\n"
              "\t\"sessionId\": \"s\",\r\n"
              "\t\"sequenceNumber\": 12,\r\n"
              "\t\"media\": {\r\n"
              "\t\t\"type\": \"Screenshots\",\r\n"
              "\t\t\"format\": \"Jpeg\"\r\n"
              "\t},\r\n"
              "\t\"frames\": [\r\n"
              "\t\t{\r\n"
              "\t\t\t\"attachmentId\": \"frame_0\",\r\n"
              "\t\t\t\"timestamp\": 1700000000000,\r\n"
              "\t\t\t\"captureDurationMs\": 7,\r\n"
              "\t\t\t\"mainThreadCaptureMs\": 2,\r\n"
              "\t\t\t\"width\": 64,\r\n"
              "\t\t\t\"height\": 32\r\n"
              "\t\t}\r\n"
              "\t]\r\n"
              "}");

    const FString Events = Client.BuildEventJson(MakeFixtureBatch(), MakeFixtureFrames());
    EXPECT_NE(Events.find("\"x\": 0.5,"), FString::npos);
    EXPECT_NE(Events.find("\"y\": 0.10000000149011612,"), FString::npos); // float widened
    EXPECT_NE(Events.find("\"cpuUsagePercent\": -1,"), FString::npos);
    EXPECT_NE(Events.find("\"timestamp\": 1712345678901,"), FString::npos);
    EXPECT_EQ(Events.rfind("\xEF\xBB\xBF", 0), FString::npos); // no byte-order mark
    EXPECT_EQ(Events.find('\n'), Events.find("\r\n") + 1);
}

TEST_F(BatchDocumentsTest, BatchWithoutFramesOrInput)
{
    FQuorvexDetachedBatchData Batch;
    Batch.SessionId = "quiet";
    Batch.SequenceNumber = 1;
    const FOrderedJson Events = FOrderedJson::parse(Client.BuildEventJson(Batch, {}));
    EXPECT_EQ(Keys(Events),
              (std::vector<FString>{"sessionId", "inGameId", "developerPayload", "timestamp",
                                    "sequenceNumber", "inputEvents", "metadata"}));
    EXPECT_EQ(Keys(Events["inputEvents"]),
              (std::vector<FString>{"taps", "swipes", "longPresses", "keyEvents", "mouseButtons",
                                    "scrolls"}));
    for (const auto& Item : Events["inputEvents"].items())
    {
        EXPECT_TRUE(Item.value().is_array() && Item.value().empty()) << Item.key();
    }
    EXPECT_EQ(Events["inGameId"], "");
    EXPECT_EQ(Events["metadata"]["cpuUsagePercent"], -1);

    const FOrderedJson Manifest =
        FOrderedJson::parse(FQuorvexApiClient::BuildManifestJson(Batch, {}));
    EXPECT_EQ(Manifest["media"], FOrderedJson::parse(R"({"type":"Screenshots","format":"Jpeg"})"));
    EXPECT_TRUE(Manifest["frames"].is_array());
    EXPECT_TRUE(Manifest["frames"].empty());
}

TEST_F(BatchDocumentsTest, MediaTypeAndFormatFallBackOnlyWhenEmpty)
{
    struct FCase
    {
        const char* CaptureMode;
        const char* ImageFormat;
        const char* Type;
        const char* Format;
    };
    const FCase Cases[] = {
        {"", "", "Screenshots", "Jpeg"},
        {"Video", "", "Video", "Jpeg"},
        {"", "Png", "Screenshots", "Png"},
        {"screenshots", "JPEG", "screenshots", "JPEG"}, // copied as is
    };
    const std::vector<FQuorvexMediaFrame> Frames = {{1, 1, 1, "frame_0", 1, 1}};
    for (const FCase& Case : Cases)
    {
        SCOPED_TRACE(Case.CaptureMode + FString("/") + Case.ImageFormat);
        FQuorvexDetachedBatchData Batch;
        Batch.CaptureMode = Case.CaptureMode;
        Batch.ImageFormat = Case.ImageFormat;
        const FOrderedJson Events = FOrderedJson::parse(Client.BuildEventJson(Batch, Frames));
        const FOrderedJson Manifest =
            FOrderedJson::parse(FQuorvexApiClient::BuildManifestJson(Batch, Frames));
        EXPECT_EQ(Events["media"]["type"], Case.Type);
        EXPECT_EQ(Events["media"]["format"], Case.Format);
        EXPECT_EQ(Manifest["media"]["type"], Case.Type);
        EXPECT_EQ(Manifest["media"]["format"], Case.Format);
    }
}

TEST_F(BatchDocumentsTest, EventsKeepTheBatchOrderAndTextSurvivesEscaping)
{
    FQuorvexDetachedBatchData Batch;
    Batch.DeveloperPayload = "line1\nline2\t\"quoted\" \\ \x01 \xF0\x9F\x8E\xAE";
    Batch.KeyEvents = {{90, "Z", "down", 30}, {65, "A", "down", 10}, {77, "M", "up", 20}};
    const FOrderedJson Events = FOrderedJson::parse(Client.BuildEventJson(Batch, {}));
    EXPECT_EQ(Events["developerPayload"], Batch.DeveloperPayload);
    const FOrderedJson& Keys = Events["inputEvents"]["keyEvents"];
    ASSERT_EQ(Keys.size(), 3u);
    EXPECT_EQ(Keys[0]["key"], "Z");
    EXPECT_EQ(Keys[1]["key"], "A");
    EXPECT_EQ(Keys[2]["key"], "M");
}
} // namespace
