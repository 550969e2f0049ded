// Each store accepts what the SDK sends, keeps it on disk byte for byte, lists it per
// session and gives it back over HTTP; every batch is an object of its own.
#include "DevBackendStoreTestFixture.h"

#include <filesystem>

class FDevBackendStoreAcceptTest : public FDevBackendStoreTest
{
};

TEST_F(FDevBackendStoreAcceptTest, EachStoreKeepsAnAcceptedUploadByteForByte)
{
    for (const EDevBackendStore Style : AllStores)
    {
        SCOPED_TRACE(DevBackendStoreName(Style));
        const FStoreSession Session = Open(Style);
        const std::string Key = KeyFor(Session, 7);
        const std::string Bytes = ArchiveBytes(300 * 1024 + 17, 3);
        const httplib::Result Result = Send(RequestFor(Style, Session, Key, Bytes));
        ASSERT_TRUE(Result);

        const std::vector<FDevBackendObject> Objects = Server->Objects(Session.Id);
        ASSERT_EQ(Objects.size(), 1u) << Result->status << " " << Result->body;
        const FDevBackendObject& Object = Objects[0];
        EXPECT_EQ(Object.Name, Key);
        EXPECT_EQ(Object.Store, Style);
        EXPECT_EQ(Object.Size, static_cast<std::int64_t>(Bytes.size()));
        EXPECT_EQ(Object.Sha1, Sha1Hex(Bytes));
        EXPECT_EQ(Object.ContentType, "application/zip");
        EXPECT_TRUE(ReadWholeFile(Object.Path) == Bytes);
        EXPECT_EQ(std::filesystem::path(Object.Path).parent_path().parent_path().string(),
                  Server->DataFolder());

        // The answer each service gives.
        switch (Style)
        {
        case EDevBackendStore::Gcs:
            // The issued policy asks for success_action_status 201.
            EXPECT_EQ(Result->status, 201);
            EXPECT_EQ(Between(Result->body, "<Key>", "</Key>"), Key);
            EXPECT_EQ(Between(Result->body, "<Bucket>", "</Bucket>"), "quorvex-dev-bucket");
            break;
        case EDevBackendStore::B2:
        {
            EXPECT_EQ(Result->status, 200);
            const nlohmann::json File = JsonOf(Result);
            EXPECT_EQ(File["fileName"], Key);
            EXPECT_EQ(File["contentSha1"], Sha1Hex(Bytes));
            EXPECT_EQ(File["contentLength"], Bytes.size());
            EXPECT_EQ(File["contentType"], "application/zip");
            EXPECT_EQ(File["action"], "upload");
            EXPECT_EQ(File["fileInfo"]["src_last_modified_millis"], "1700000000123");
            EXPECT_FALSE(File["fileId"].get<std::string>().empty());
            break;
        }
        case EDevBackendStore::SignedPut:
            EXPECT_EQ(Result->status, 200);
            EXPECT_EQ(Result->get_header_value("ETag"), "\"" + Object.Md5 + "\"");
            break;
        }
    }
}

TEST_F(FDevBackendStoreAcceptTest, TwoBatchesBecomeTwoObjectsOnEveryStore)
{
    for (const EDevBackendStore Style : AllStores)
    {
        SCOPED_TRACE(DevBackendStoreName(Style));
        const FStoreSession Session = Open(Style);
        const std::string First = ArchiveBytes(5000, 11);
        const std::string Second = ArchiveBytes(7000, 12);
        for (const auto& [Sequence, Bytes] : {std::pair{1LL, First}, std::pair{2LL, Second}})
        {
            const httplib::Result Result =
                Send(RequestFor(Style, Session, KeyFor(Session, Sequence), Bytes));
            ASSERT_TRUE(Result);
            EXPECT_LT(Result->status, 300) << Result->body;
        }
        const std::vector<FDevBackendObject> Objects = Server->Objects(Session.Id);
        ASSERT_EQ(Objects.size(), 2u);
        EXPECT_EQ(Objects[0].Name, KeyFor(Session, 1));
        EXPECT_TRUE(ReadWholeFile(Objects[0].Path) == First);
        EXPECT_EQ(Objects[1].Name, KeyFor(Session, 2));
        EXPECT_TRUE(ReadWholeFile(Objects[1].Path) == Second);
    }
}

TEST_F(FDevBackendStoreAcceptTest, TheSameNameAgainReplacesTheObject)
{
    const FStoreSession Session = Open(EDevBackendStore::B2);
    const std::string Key = KeyFor(Session, 1);
    ASSERT_EQ(Send(B2Request(Session, Key, ArchiveBytes(4000, 1)))->status, 200);
    const std::string Newer = ArchiveBytes(3000, 2);
    ASSERT_EQ(Send(B2Request(Session, Key, Newer))->status, 200);
    const std::vector<FDevBackendObject> Objects = Server->Objects(Session.Id);
    ASSERT_EQ(Objects.size(), 1u);
    EXPECT_TRUE(ReadWholeFile(Objects[0].Path) == Newer);
    // The replaced object's file is gone, not left behind in the data folder.
    std::size_t Files = 0;
    for (const auto& Entry : std::filesystem::directory_iterator(Server->DataFolder() + "/objects"))
    {
        Files += Entry.is_regular_file() ? 1 : 0;
    }
    EXPECT_EQ(Files, 1u);
}

TEST_F(FDevBackendStoreAcceptTest, ObjectsAreListedAndServedOverHttp)
{
    const FStoreSession Session = Open(EDevBackendStore::SignedPut);
    const std::string Bytes = ArchiveBytes(200 * 1024, 5);
    ASSERT_EQ(Send(PutRequest(Session, KeyFor(Session, 3), Bytes))->status, 200);

    const nlohmann::json Listing =
        JsonOf(Client()->Get("/dev/sessions/" + Session.Id + "/objects"));
    ASSERT_EQ(Listing["objects"].size(), 1u) << Listing.dump();
    const nlohmann::json& Entry = Listing["objects"][0];
    EXPECT_EQ(Listing["sessionId"], Session.Id);
    EXPECT_EQ(Entry["name"], KeyFor(Session, 3));
    EXPECT_EQ(Entry["size"], Bytes.size());
    EXPECT_EQ(Entry["sha1"], Sha1Hex(Bytes));
    EXPECT_EQ(Entry["store"], "put");

    const httplib::Result Download = Client()->Get(Entry["url"].get<std::string>());
    ASSERT_TRUE(Download);
    EXPECT_EQ(Download->status, 200);
    EXPECT_TRUE(Download->body == Bytes);

    // Unknown sessions list nothing; unknown objects are 404.
    EXPECT_EQ(JsonOf(Client()->Get("/dev/sessions/nobody/objects"))["objects"].size(), 0u);
    EXPECT_EQ(Client()->Get("/dev/objects/" + Session.Id + "/nothing.zip")->status, 404);
}

TEST_F(FDevBackendStoreAcceptTest, AnOwnDataFolderKeepsItsObjectsAfterTheServerStops)
{
    const FTempDir Temp;
    const std::string Folder = Temp.File("data");
    FDevBackendOptions Options;
    Options.DataFolder = Folder;
    StartServer(Options);
    const FStoreSession Session = Open(EDevBackendStore::Gcs);
    const std::string Bytes = ArchiveBytes(1000);
    ASSERT_EQ(Send(RequestFor(EDevBackendStore::Gcs, Session, KeyFor(Session, 1), Bytes))->status,
              201);
    const std::string Path = Server->Objects(Session.Id).at(0).Path;
    EXPECT_EQ(Path.rfind(Folder, 0), 0u) << Path;
    Server.reset();
    EXPECT_TRUE(ReadWholeFile(Path) == Bytes);
}

TEST_F(FDevBackendStoreAcceptTest, SignedUrlMayEndInTheFileNamePlaceholder)
{
    FDevBackendStoreOptions Store;
    Store.SignedUrlPlaceholder = "{fileName}";
    Server->SetStoreOptions(Store);
    const FStoreSession Session = Open(EDevBackendStore::SignedPut);
    std::string Url = Session.Credentials["uploadUrl"];
    ASSERT_NE(Url.find("/{fileName}?"), std::string::npos) << Url;
    // Two batches' archive names in place of the placeholder, as the client expands it.
    for (const char* Name : {"batch_1.zip", "batch_2.zip"})
    {
        FStoreRequest Request = PutRequest(Session, "unused", ArchiveBytes(1000));
        Request.Path = PathOf(Url).replace(PathOf(Url).find("{fileName}"), 10, Name);
        const httplib::Result Result = Send(Request);
        ASSERT_TRUE(Result);
        EXPECT_EQ(Result->status, 200) << Result->body;
    }
    std::vector<std::string> Names;
    for (const FDevBackendObject& Object : Server->Objects(Session.Id))
    {
        Names.push_back(Object.Name);
    }
    EXPECT_EQ(Names, (std::vector<std::string>{"batch_1.zip", "batch_2.zip"}));
}
