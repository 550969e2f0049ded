// The replay routes against what was really recorded: batch archives made by the SDK's
// own document builders and ZIP writer are uploaded through each store, and the session
// list, the detail, the frames and the export are read back over HTTP and from disk.
#include "DevBackendReplay.h"
#include "DevBackendReplayTestSupport.h"
#include "DevBackendStoreTestFixture.h"

#include "DateTime.h"

#include <algorithm>
#include <filesystem>
#include <tuple>

namespace
{
const char* const PagePath = QUORVEX_REPLAY_PAGE_DIR;

std::int64_t WallMs()
{
    return FDateTime::UtcNow().ToUnixMicroseconds() / 1000;
}

FQuorvexTapEvent Tap(float X, float Y, long long T)
{
    return {X, Y, 0.5f, T};
}

FQuorvexMouseButtonEvent Mouse(int Button, const char* Action, float X, float Y, long long T)
{
    return {Button, Action, X, Y, T};
}

class DevBackendReplay : public FDevBackendStoreTest
{
protected:
    void Upload(EDevBackendStore Style, const FStoreSession& Session, long long Sequence,
                const std::string& Bytes)
    {
        const httplib::Result Result =
            Send(RequestFor(Style, Session, KeyFor(Session, Sequence), Bytes));
        ASSERT_TRUE(Result);
        ASSERT_LT(Result->status, 300) << Result->body;
    }

    void UploadBatch(EDevBackendStore Style, const FStoreSession& Session, const FBatchPlan& Plan)
    {
        Upload(Style, Session, Plan.Sequence, BatchArchive(Dir, Session.Id, Plan));
    }

    // GETs a replay URL and parses its JSON, expecting Status.
    nlohmann::json GetJson(const std::string& Path, int Status = 200) const
    {
        const httplib::Result Result = Client()->Get(Path);
        if (!Result)
        {
            ADD_FAILURE() << "no answer for " << Path;
            return {};
        }
        EXPECT_EQ(Result->status, Status) << Path << " " << Result->body;
        EXPECT_EQ(Result->get_header_value("Content-Type"), "application/json") << Path;
        return nlohmann::json::parse(Result->body, nullptr, false);
    }

    nlohmann::json Detail(const std::string& Id) const
    {
        return GetJson("/replay/api/sessions/" + FGenericPlatformHttp::UrlEncode(Id));
    }

    nlohmann::json SummaryOf(const std::string& Id) const
    {
        const nlohmann::json List = GetJson("/replay/api/sessions");
        for (const nlohmann::json& Summary : List["sessions"])
        {
            if (Summary["id"] == Id)
            {
                return Summary;
            }
        }
        ADD_FAILURE() << "no summary for " << Id;
        return {};
    }

    FTempDir Dir;
};

// Two batches of three and two frames, out of capture order across batches.
std::vector<FBatchPlan> TwoBatches()
{
    FBatchPlan First;
    First.Sequence = 1;
    First.FrameTimes = {1765000001000, 1765000001500, 1765000002000};
    First.InGameId = "player-7";
    FBatchPlan Second;
    Second.Sequence = 2;
    Second.Timestamp = 1765000005000;
    Second.FrameTimes = {1765000003000, 1765000002500};
    Second.InGameId = "player-8";
    return {First, Second};
}
} // namespace

TEST_F(DevBackendReplay, SessionListAndDetailMatchTheArchivesOnEveryStore)
{
    for (const EDevBackendStore Style : AllStores)
    {
        SCOPED_TRACE(DevBackendStoreName(Style));
        const std::int64_t Before = WallMs();
        const FStoreSession Session = Open(Style);
        const std::int64_t After = WallMs();
        for (const FBatchPlan& Plan : TwoBatches())
        {
            UploadBatch(Style, Session, Plan);
        }

        const nlohmann::json Summary = SummaryOf(Session.Id);
        EXPECT_EQ(Summary["state"], "Active");
        EXPECT_EQ(Summary["batches"], 2);
        EXPECT_EQ(Summary["frames"], 5);
        EXPECT_GE(Summary["startedAtMs"].get<std::int64_t>(), Before);
        EXPECT_LE(Summary["startedAtMs"].get<std::int64_t>(), After);
        EXPECT_EQ(Summary["device"],
                  (nlohmann::json{
                      {"name", "box"}, {"model", ""}, {"osName", "Linux"}, {"platform", "Linux"}}));
        EXPECT_EQ(Summary["app"], (nlohmann::json{{"name", "Demo"}, {"version", "1.0"}}));

        const nlohmann::json D = Detail(Session.Id);
        EXPECT_EQ(D["id"], Session.Id);
        EXPECT_TRUE(D["endedAtMs"].is_null());
        EXPECT_EQ(D["device"], ValidDevice());
        EXPECT_EQ(D["app"], ValidApp());
        EXPECT_EQ(D["sdk"], ValidSdk());
        EXPECT_EQ(D["inGameId"], "player-7");
        EXPECT_EQ(D["developerPayload"], "{\"level\":3}");
        EXPECT_EQ(D["viewport"], (nlohmann::json{{"width", 1920}, {"height", 1080}}));
        EXPECT_TRUE(D["viewportOrigin"].is_null());
        EXPECT_EQ(D["problems"], nlohmann::json::array());
        ASSERT_EQ(D["batches"].size(), 2u);
        const nlohmann::json& B1 = D["batches"][1];
        EXPECT_EQ(B1["objectIndex"], 1);
        EXPECT_EQ(B1["object"], KeyFor(Session, 2));
        EXPECT_EQ(B1["store"], DevBackendStoreName(Style));
        EXPECT_EQ(B1["bytes"], Server->Objects(Session.Id)[1].Size);
        EXPECT_EQ(B1["sequenceNumber"], 2);
        EXPECT_EQ(B1["timestamp"], 1765000005000);
        EXPECT_EQ(B1["inGameId"], "player-8");
        EXPECT_EQ(B1["firstFrameMs"], 1765000002500);
        EXPECT_EQ(B1["lastFrameMs"], 1765000003000);
        EXPECT_EQ(B1["frames"], 2);
        EXPECT_EQ(B1["metadata"], (nlohmann::json{{"memoryUsageMb", 512},
                                                  {"cpuUsagePercent", 37},
                                                  {"batteryLevel", 88},
                                                  {"screenOrientation", "landscape"}}));
        EXPECT_EQ(B1["problem"], "");

        // Every frame of both manifests, in capture order, each pointing at its archive.
        const nlohmann::json& Frames = D["frames"];
        ASSERT_EQ(Frames.size(), 5u);
        const std::vector<std::pair<long long, std::string>> Expected = {
            {1765000001000, "0/frame_0"},
            {1765000001500, "0/frame_1"},
            {1765000002000, "0/frame_2"},
            {1765000002500, "1/frame_1"},
            {1765000003000, "1/frame_0"}};
        for (std::size_t I = 0; I < Expected.size(); ++I)
        {
            EXPECT_EQ(Frames[I]["t"], Expected[I].first);
            EXPECT_EQ(Frames[I]["width"], 640);
            EXPECT_EQ(Frames[I]["height"], 360);
            EXPECT_EQ(Frames[I]["captureDurationMs"], 4);
            EXPECT_EQ(Frames[I]["url"],
                      "api/sessions/" + Session.Id + "/frames/" + Expected[I].second + ".jpeg");
        }

        ASSERT_EQ(PostJson("/api/v4/sessions/" + Session.Id + "/end", ValidEndBody())->status, 200);
        const nlohmann::json Ended = Detail(Session.Id);
        EXPECT_EQ(Ended["state"], "Ended");
        EXPECT_EQ(Ended["endReason"], "HostStopped");
        EXPECT_GE(Ended["endedAtMs"].get<std::int64_t>(), Ended["startedAtMs"].get<std::int64_t>());
        EXPECT_EQ(SummaryOf(Session.Id)["durationMs"].get<std::int64_t>(),
                  Ended["endedAtMs"].get<std::int64_t>() -
                      Ended["startedAtMs"].get<std::int64_t>());
    }
}

TEST_F(DevBackendReplay, GesturesOfAllKindsAreMergedSortedAndCarryTheirSpace)
{
    // A left-button release within 50 ms of a tap, swipe or long press marks it as made
    // with the mouse (viewport pixels); otherwise it was a touch (desktop pixels).
    const FStoreSession Session = Open(EDevBackendStore::Gcs);
    FBatchPlan First;
    First.Sequence = 1;
    First.FrameTimes = {1000};
    First.Gestures.Taps = {Tap(10, 20, 2000), Tap(30, 40, 3000), Tap(50, 60, 4000)};
    First.Gestures.MouseButtons = {Mouse(0, "Down", 10, 20, 1990), Mouse(0, "Up", 10, 20, 2050),
                                   Mouse(1, "Up", 30, 40, 3000), Mouse(0, "Down", 5, 5, 4000)};
    First.Gestures.Swipes = {{1, 2, 300, 200, 250, 5000}};
    First.Gestures.LongPresses = {{70, 80, 900, 6000}};
    First.Gestures.KeyEvents = {{87, "W", "Down", 1500}};
    First.Gestures.Scrolls = {{0, -120, 400, 300, 2500}};
    FBatchPlan Second;
    Second.Sequence = 2;
    Second.FrameTimes = {7000};
    // The release that ends the swipe of the first batch arrives in the second one; one
    // 51 ms after the long press is too late.
    Second.Gestures.MouseButtons = {Mouse(0, "Up", 300, 200, 4950), Mouse(0, "Up", 70, 80, 6051)};
    UploadBatch(EDevBackendStore::Gcs, Session, First);
    UploadBatch(EDevBackendStore::Gcs, Session, Second);

    const nlohmann::json Gestures = Detail(Session.Id)["gestures"];
    struct FExpected
    {
        long long T;
        const char* Kind;
        const char* Space; // nullptr: no space (keys)
        int ObjectIndex;
    };
    const FExpected Expected[] = {{1500, "key", nullptr, 0},
                                  {1990, "mouseButton", "viewport", 0},
                                  {2000, "tap", "viewport", 0},
                                  {2050, "mouseButton", "viewport", 0},
                                  {2500, "scroll", "desktop", 0},
                                  {3000, "tap", "desktop", 0},
                                  {3000, "mouseButton", "viewport", 0},
                                  {4000, "tap", "desktop", 0},
                                  {4000, "mouseButton", "viewport", 0},
                                  {4950, "mouseButton", "viewport", 1},
                                  {5000, "swipe", "viewport", 0},
                                  {6000, "longPress", "desktop", 0},
                                  {6051, "mouseButton", "viewport", 1}};
    ASSERT_EQ(Gestures.size(), std::size(Expected)) << Gestures.dump(1);
    for (std::size_t I = 0; I < std::size(Expected); ++I)
    {
        SCOPED_TRACE(I);
        EXPECT_EQ(Gestures[I]["t"], Expected[I].T);
        EXPECT_EQ(Gestures[I]["kind"], Expected[I].Kind);
        EXPECT_EQ(Gestures[I]["objectIndex"], Expected[I].ObjectIndex);
        if (Expected[I].Space)
        {
            EXPECT_EQ(Gestures[I]["space"], Expected[I].Space);
        }
        else
        {
            EXPECT_FALSE(Gestures[I].contains("space"));
        }
    }
    // The fields of each kind as the SDK wrote them.
    EXPECT_EQ(Gestures[0]["keyCode"], 87);
    EXPECT_EQ(Gestures[0]["key"], "W");
    EXPECT_EQ(Gestures[0]["action"], "Down");
    EXPECT_EQ(Gestures[2]["x"], 10);
    EXPECT_EQ(Gestures[2]["y"], 20);
    EXPECT_EQ(Gestures[2]["pressure"], 0.5);
    EXPECT_EQ(Gestures[4]["deltaY"], -120);
    EXPECT_EQ(Gestures[4]["x"], 400);
    EXPECT_EQ(Gestures[6]["button"], 1);
    EXPECT_EQ(Gestures[10]["startX"], 1);
    EXPECT_EQ(Gestures[10]["endX"], 300);
    EXPECT_EQ(Gestures[10]["endY"], 200);
    EXPECT_EQ(Gestures[10]["durationMs"], 250);
    EXPECT_EQ(Gestures[11]["durationMs"], 900);
}

TEST_F(DevBackendReplay, GameEventsNamingTheSessionAreListedInTimeOrder)
{
    const std::string Id = CreateSession();
    const std::string Other = CreateSession();
    nlohmann::json Late = ValidGameEventBody(Id);
    Late["timestamp"] = 1765000009000;
    Late["eventName"] = "boss";
    Late["eventDataJson"] = "{\"hp\":0}";
    nlohmann::json Early = ValidGameEventBody(Id);
    Early["timestamp"] = 1765000001000;
    nlohmann::json Refused = ValidGameEventBody(Id);
    Refused.erase("eventName");
    for (const nlohmann::json& Body : {Late, Early, ValidGameEventBody(Other)})
    {
        ASSERT_EQ(PostJson("/api/v4/send_game_event", Body)->status, 200);
    }
    EXPECT_EQ(PostJson("/api/v4/send_game_event", Refused)->status, 400);

    EXPECT_EQ(
        Detail(Id)["gameEvents"],
        (nlohmann::json{{{"t", 1765000001000}, {"name", "level_up"}, {"data", "{\"level\":4}"}},
                        {{"t", 1765000009000}, {"name", "boss"}, {"data", "{\"hp\":0}"}}}));
    EXPECT_EQ(Detail(Other)["gameEvents"].size(), 1u);
}

TEST_F(DevBackendReplay, FrameBytesAreTheArchivesEntries)
{
    const FStoreSession Session = Open(EDevBackendStore::B2);
    for (const FBatchPlan& Plan : TwoBatches())
    {
        UploadBatch(EDevBackendStore::B2, Session, Plan);
    }
    const nlohmann::json Frames = Detail(Session.Id)["frames"];
    ASSERT_EQ(Frames.size(), 5u);
    for (const nlohmann::json& Frame : Frames)
    {
        SCOPED_TRACE(Frame.dump());
        const httplib::Result Result = Client()->Get("/replay/" + Frame["url"].get<std::string>());
        ASSERT_TRUE(Result);
        EXPECT_EQ(Result->status, 200);
        EXPECT_EQ(Result->get_header_value("Content-Type"), "image/jpeg");
        const long long Sequence = Frame["objectIndex"].get<long long>() + 1;
        const std::string Id = Frame["attachmentId"];
        EXPECT_TRUE(Result->body == FrameBytesOf(Sequence, std::stoul(Id.substr(6))));
    }
}

TEST_F(DevBackendReplay, UnservableIdsAndNamesAreNotFound)
{
    const FStoreSession Session = Open(EDevBackendStore::Gcs);
    UploadBatch(EDevBackendStore::Gcs, Session, TwoBatches()[0]);
    const std::string Frames = "/replay/api/sessions/" + Session.Id + "/frames/";
    const std::string Long(300, 'a');
    const std::string Paths[] = {
        "/replay/api/sessions/unknown-session",
        "/replay/api/sessions/..%2F..%2Fetc%2Fpasswd",
        "/replay/api/sessions/" + Session.Id + "%2F..",
        "/replay/api/sessions/" + Session.Id + "%00",
        "/replay/api/sessions/" + Long,
        "/replay/api/sessions/..%2F" + Session.Id + "/frames/0/frame_0.jpeg",
        Frames + "1/frame_0.jpeg", // no second object
        Frames + "-1/frame_0.jpeg",
        Frames + "0x0/frame_0.jpeg",
        Frames + "99999999999/frame_0.jpeg",
        Frames + "0/frame_7.jpeg", // not in the manifest
        Frames + "0/frame_0.jpg",
        Frames + "0/frame_0",
        Frames + "0/events.json",
        Frames + "0/..%2Fevents.json",
        Frames + "0/..%2F..%2F..%2Fetc%2Fpasswd.jpeg",
        Frames + "0/frame_0.jpeg%00.jpeg",
        Frames + "0/" + Long + ".jpeg",
        "/replay/api/sessions/unknown-session/frames/0/frame_0.jpeg",
        "/replay/missing.js",
        "/replay/api/other",
    };
    for (const std::string& Path : Paths)
    {
        SCOPED_TRACE(Path);
        const nlohmann::json Answer = GetJson(Path, 404);
        EXPECT_EQ(Answer["success"], false);
    }
    // The frame itself is served, so the 404s above are about the paths.
    EXPECT_EQ(Client()->Get(Frames + "0/frame_0.jpeg")->status, 200);
}

TEST_F(DevBackendReplay, AnUnreadableArchiveIsABatchWithAProblem)
{
    const FStoreSession Session = Open(EDevBackendStore::SignedPut);
    UploadBatch(EDevBackendStore::SignedPut, Session, TwoBatches()[0]);
    // Batch 2 has one frame byte flipped after its CRC was written; batch 3 is not a ZIP.
    std::string BadCrc = BatchArchive(Dir, Session.Id, TwoBatches()[1]);
    const std::size_t LocalName = BadCrc.find("frames/frame_1.jpeg");
    ASSERT_NE(LocalName, std::string::npos);
    BadCrc[LocalName + 19 + 40] ^= 0x20;
    Upload(EDevBackendStore::SignedPut, Session, 2, BadCrc);
    Upload(EDevBackendStore::SignedPut, Session, 3, ArchiveBytes(4000));

    const nlohmann::json D = Detail(Session.Id);
    ASSERT_EQ(D["batches"].size(), 3u);
    EXPECT_EQ(D["batches"][0]["problem"], "");
    EXPECT_NE(D["batches"][1]["problem"].get<std::string>().find("CRC-32"), std::string::npos)
        << D["batches"][1];
    EXPECT_NE(D["batches"][2]["problem"].get<std::string>(), "");
    EXPECT_EQ(D["batches"][1]["frames"], 0);
    EXPECT_TRUE(D["batches"][1]["sequenceNumber"].is_null());
    ASSERT_EQ(D["problems"].size(), 2u);
    EXPECT_NE(D["problems"][0].get<std::string>().find(KeyFor(Session, 2)), std::string::npos);
    EXPECT_EQ(D["frames"].size(), 3u); // the readable batch's
    EXPECT_EQ(SummaryOf(Session.Id)["frames"], 3);
    EXPECT_EQ(
        Client()->Get("/replay/api/sessions/" + Session.Id + "/frames/1/frame_0.jpeg")->status,
        404);
}

TEST_F(DevBackendReplay, AReplacedObjectIsReadAgain)
{
    // The parse is cached per object; an object uploaded again under the same name is a
    // new object and must not be answered from the old parse.
    const FStoreSession Session = Open(EDevBackendStore::Gcs);
    FBatchPlan Plan = TwoBatches()[0];
    UploadBatch(EDevBackendStore::Gcs, Session, Plan);
    EXPECT_EQ(Detail(Session.Id)["frames"].size(), 3u);
    Plan.FrameTimes = {1765000001000};
    UploadBatch(EDevBackendStore::Gcs, Session, Plan);
    EXPECT_EQ(Detail(Session.Id)["frames"].size(), 1u);
    EXPECT_EQ(SummaryOf(Session.Id)["frames"], 1);
}

TEST_F(DevBackendReplay, PageFilesAndServedDataScriptAreServed)
{
    const std::pair<std::string, std::pair<std::string, std::string>> Cases[] = {
        {"/replay/", {"index.html", "text/html; charset=utf-8"}},
        {"/replay", {"index.html", "text/html; charset=utf-8"}},
        {"/replay/index.html", {"index.html", "text/html; charset=utf-8"}},
        {"/replay/?session=abc", {"index.html", "text/html; charset=utf-8"}},
        {"/replay/replay.js", {"replay.js", "text/javascript; charset=utf-8"}},
        {"/replay/replay.css", {"replay.css", "text/css; charset=utf-8"}},
    };
    for (const auto& [Path, File] : Cases)
    {
        SCOPED_TRACE(Path);
        const httplib::Result Result = Client()->Get(Path);
        ASSERT_TRUE(Result);
        EXPECT_EQ(Result->status, 200);
        EXPECT_EQ(Result->get_header_value("Content-Type"), File.second);
        EXPECT_TRUE(Result->body == ReadFileBytes(std::string(PagePath) + "/" + File.first));
    }
    const httplib::Result Data = Client()->Get("/replay/data.js");
    ASSERT_TRUE(Data);
    EXPECT_EQ(Data->body, "window.QUORVEX_REPLAY_DATA = null;\n");
    EXPECT_EQ(Client()->Post("/replay/api/sessions", "{}", "application/json")->status, 405);
}

TEST_F(DevBackendReplay, ReplayUrlEncodesTheSessionId)
{
    FDevBackendOptions Options;
    Options.SessionIdFactory = [] { return std::string("a b/c&d"); };
    StartServer(Options);
    const std::string Id = CreateSession();
    ASSERT_EQ(Id, "a b/c&d");
    EXPECT_EQ(Server->ReplayUrl(Id), Server->BaseUrl() + "/replay/?session=a%20b%2Fc%26d");
    // An id holding "/" cannot be served: it would not survive as one path segment.
    GetJson("/replay/api/sessions/a%20b%2Fc%26d", 404);
}

TEST_F(DevBackendReplay, ExportWritesAFolderThatOpensFromDisk)
{
    // A developer payload that tries to close the script element, with the two line
    // separators that end a JavaScript string, and the viewport's place on the desktop.
    const std::string Payload =
        "{\"viewportOrigin\":{\"x\":120,\"y\":110},\"note\":"
        "\"</script><script>alert(1)</script><!-- \xE2\x80\xA8 \xE2\x80\xA9\"}";
    nlohmann::json Body = ValidCreateBody();
    Body["developerPayload"] = Payload;
    Server->SetStore(EDevBackendStore::Gcs);
    const nlohmann::json Answer = JsonOf(PostJson("/api/v4/session", Body));
    const FStoreSession Session{Answer["data"]["sessionId"], Answer["data"]["uploadCredentials"]};
    for (const FBatchPlan& Plan : TwoBatches())
    {
        UploadBatch(EDevBackendStore::Gcs, Session, Plan);
    }

    FTempDir Out;
    const std::string Folder = Out.File("replay");
    std::string Error;
    ASSERT_TRUE(Server->ExportReplay(Session.Id, Folder, Error)) << Error;
    for (const char* Name : {"index.html", "replay.js", "replay.css"})
    {
        EXPECT_TRUE(ReadFileBytes(Folder + "/" + Name) ==
                    ReadFileBytes(std::string(PagePath) + "/" + Name))
            << Name;
    }
    const std::vector<std::tuple<int, std::string, int, int>> Copied = {
        {0, "frame_0", 1, 0}, {0, "frame_2", 1, 2}, {1, "frame_1", 2, 1}};
    for (const auto& [Object, Id, Sequence, Index] : Copied)
    {
        const std::string Path = Folder + "/frames/" + std::to_string(Object) + "/" + Id + ".jpeg";
        EXPECT_TRUE(ReadFileBytes(Path) == FrameBytesOf(Sequence, static_cast<std::size_t>(Index)))
            << Path;
    }

    const std::string Script = ReadFileBytes(Folder + "/data.js");
    const std::string Prefix = "window.QUORVEX_REPLAY_DATA = ";
    ASSERT_EQ(Script.rfind(Prefix, 0), 0u);
    ASSERT_EQ(Script.substr(Script.size() - 2), ";\n");
    EXPECT_EQ(Script.find("</"), std::string::npos);
    EXPECT_EQ(Script.find("<!--"), std::string::npos);
    EXPECT_EQ(Script.find("\xE2\x80\xA8"), std::string::npos);
    EXPECT_EQ(Script.find("\xE2\x80\xA9"), std::string::npos);

    // What is between is JSON that reads back to the same strings.
    const nlohmann::json Data = nlohmann::json::parse(
        Script.substr(Prefix.size(), Script.size() - Prefix.size() - 2), nullptr, false);
    ASSERT_TRUE(Data.is_object()) << Script.substr(0, 200);
    ASSERT_EQ(Data["sessions"].size(), 1u);
    EXPECT_EQ(Data["sessions"][0]["id"], Session.Id);
    EXPECT_EQ(Data["sessions"][0]["frames"], 5);
    const nlohmann::json& D = Data["details"][Session.Id];
    EXPECT_EQ(D["developerPayload"], Payload);
    EXPECT_EQ(D["viewportOrigin"], (nlohmann::json{{"x", 120}, {"y", 110}}));
    ASSERT_EQ(D["frames"].size(), 5u);
    for (const nlohmann::json& Frame : D["frames"])
    {
        const std::string Url = Frame["url"];
        EXPECT_EQ(Url, "frames/" + std::to_string(Frame["objectIndex"].get<int>()) + "/" +
                           Frame["attachmentId"].get<std::string>() + ".jpeg");
        EXPECT_TRUE(std::filesystem::is_regular_file(Folder + "/" + Url)) << Url;
    }
    EXPECT_EQ(D["problems"], nlohmann::json::array());

    EXPECT_FALSE(Server->ExportReplay("no-such-session", Out.File("none"), Error));
    EXPECT_FALSE(std::filesystem::exists(Out.File("none")));
}

TEST_F(DevBackendReplay, OutsideStringsAreCut)
{
    nlohmann::json Body = ValidCreateBody();
    Body["device"]["name"] = std::string(100000, 'n');
    Body["developerPayload"] = std::string(100000, 'p');
    const std::string Id = CreateSession(Body);
    nlohmann::json Event = ValidGameEventBody(Id);
    Event["eventDataJson"] = std::string(100000, 'd');
    ASSERT_EQ(PostJson("/api/v4/send_game_event", Event)->status, 200);

    EXPECT_EQ(SummaryOf(Id)["device"]["name"].get<std::string>().size(), 1024u);
    const nlohmann::json D = Detail(Id);
    EXPECT_EQ(D["device"]["name"].get<std::string>().size(), 1024u);
    EXPECT_EQ(D["developerPayload"].get<std::string>().size(), 8192u);
    EXPECT_EQ(D["gameEvents"][0]["data"].get<std::string>().size(), 8192u);
}
