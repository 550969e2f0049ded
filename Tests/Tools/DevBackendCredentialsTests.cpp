// Upload credentials in the three store styles: where they point, what they carry,
// and that their signatures and expiry are the ones the stores will check.
#include "DevBackendTestFixture.h"

#include "Clock.h"
#include "DateTime.h"
#include "Hashing.h"

class FDevBackendCredentialsTest : public FDevBackendTest
{
protected:
    // Creates a session with the given store style; returns its credentials.
    nlohmann::json IssueFor(EDevBackendStore Style, std::string* OutSessionId = nullptr)
    {
        Server->SetStore(Style);
        const nlohmann::json Answer = JsonOf(PostJson("/api/v4/session", ValidCreateBody()));
        if (OutSessionId)
        {
            *OutSessionId = Answer["data"]["sessionId"];
        }
        EXPECT_EQ(Answer["data"]["storageProvider"],
                  Answer["data"]["uploadCredentials"]["storageProvider"]);
        return Answer["data"]["uploadCredentials"];
    }

    static nlohmann::json DecodePolicy(const std::string& Base64)
    {
        std::vector<uint8> Bytes;
        EXPECT_TRUE(FBase64::Decode(Base64, Bytes));
        return nlohmann::json::parse(std::string(Bytes.begin(), Bytes.end()), nullptr, false);
    }
};

TEST_F(FDevBackendCredentialsTest, GcsCarriesASignedPostPolicyForTheSessionsKeys)
{
    std::string Id;
    const nlohmann::json C = IssueFor(EDevBackendStore::Gcs, &Id);
    EXPECT_EQ(C["storageProvider"], "GCS");
    EXPECT_EQ(C["uploadUrl"], Server->BaseUrl() + "/upload/gcs/quorvex-dev-bucket");
    EXPECT_EQ(C["uploadMethod"], "POST");
    EXPECT_EQ(C["keyPrefix"], "sessions/{sessionId}");
    const nlohmann::json& Fields = C["formFields"];
    EXPECT_FALSE(Fields.contains("key")) << "the client adds the object key itself";
    for (const auto& [Name, Value] : Fields.items())
    {
        EXPECT_TRUE(Value.is_string()) << Name;
    }

    const nlohmann::json Policy = DecodePolicy(Fields["policy"]);
    ASSERT_TRUE(Policy.is_object());
    EXPECT_EQ(Policy["expiration"], C["expiresAt"]);
    const nlohmann::json KeyRule = {"starts-with", "$key", "sessions/" + Id + "/"};
    EXPECT_NE(std::find(Policy["conditions"].begin(), Policy["conditions"].end(), KeyRule),
              Policy["conditions"].end())
        << Policy.dump();
    EXPECT_EQ(Fields["x-goog-signature"],
              DevBackendSign(Server->SigningSecret(), Fields["policy"]));
    EXPECT_EQ(Server->Sessions().Find(Id)->UploadToken, Fields["x-goog-signature"]);
}

TEST_F(FDevBackendCredentialsTest, B2CarriesATokenAndAnUploadUrlOfItsOwn)
{
    std::string Id;
    const nlohmann::json C = IssueFor(EDevBackendStore::B2, &Id);
    EXPECT_EQ(C["storageProvider"], "B2");
    const std::string Url = C["uploadUrl"];
    const std::string Prefix =
        Server->BaseUrl() + "/b2api/v2/b2_upload_file/" + FDevBackendStoreOptions().BucketId + "/";
    EXPECT_EQ(Url.rfind(Prefix, 0), 0u) << Url;
    EXPECT_GT(Url.size(), Prefix.size());
    EXPECT_EQ(C["uploadMethod"], "POST");
    EXPECT_FALSE(C["authorizationToken"].get<std::string>().empty());
    EXPECT_EQ(C["authorizationToken"], Server->Sessions().Find(Id)->UploadToken);
    EXPECT_EQ(C["requiredHeaders"]["Authorization"], "{authorizationToken}");

    // Each issue is a new upload URL and token.
    const nlohmann::json Second = IssueFor(EDevBackendStore::B2);
    EXPECT_NE(Second["uploadUrl"], C["uploadUrl"]);
    EXPECT_NE(Second["authorizationToken"], C["authorizationToken"]);
}

TEST_F(FDevBackendCredentialsTest, SignedPutUrlIsSignedOverTheSessionPrefixAndExpiry)
{
    std::string Id;
    const nlohmann::json C = IssueFor(EDevBackendStore::SignedPut, &Id);
    EXPECT_EQ(C["storageProvider"], "SIGNED_URL");
    EXPECT_EQ(C["uploadMethod"], "PUT");
    EXPECT_FALSE(C.contains("authorizationToken"));
    EXPECT_EQ(C["objectKeyTemplate"],
              "sessions/{sessionId}/{sessionId}_{sequenceNumberPadded}.zip");

    // One URL for the whole session: the client puts each batch's object key in place
    // of the placeholder, and the signature covers the path up to it.
    FDateTime Expiry;
    ASSERT_TRUE(FDateTime::ParseIso8601(C["expiresAt"].get<std::string>().c_str(), Expiry));
    const std::string Prefix = "/upload/put/quorvex-dev-bucket/" + Id + "/";
    const std::string Expires = std::to_string(Expiry.ToUnixTimestamp());
    const std::string Signature =
        DevBackendSign(Server->SigningSecret(),
                       "PUT\n" + Prefix + "\n" + Expires + "\ncontent-type:application/zip\n");
    EXPECT_EQ(C["uploadUrl"], Server->BaseUrl() + Prefix + "{objectKey}?expires=" + Expires +
                                  "&signedHeaders=content-type&signature=" + Signature);
    EXPECT_EQ(C["requiredHeaders"]["Content-Type"], "application/zip");
}

TEST_F(FDevBackendCredentialsTest, ExpiryFollowsTheEngineClock)
{
    // 2025-01-02T03:04:05Z
    FScopedFrozenClock Frozen(1735787045LL * 1000000LL);
    FDevBackendStoreOptions Store;
    Store.TtlSeconds = 600;
    Server->SetStoreOptions(Store);
    nlohmann::json C = IssueFor(EDevBackendStore::Gcs);
    EXPECT_EQ(C["expiresAt"], "2025-01-02T03:14:05.000Z");
    EXPECT_EQ(C["ttlSeconds"], 600);

    // An expiry closer than the lifetime, as when credentials are about to lapse.
    Store.ExpiresInSeconds = 59;
    Server->SetStoreOptions(Store);
    C = IssueFor(EDevBackendStore::B2);
    EXPECT_EQ(C["expiresAt"], "2025-01-02T03:05:04.000Z");
    EXPECT_EQ(C["ttlSeconds"], 600);
}

TEST_F(FDevBackendCredentialsTest, UploadBaseAndCustomisationReshapeTheRecord)
{
    FDevBackendOptions Options;
    Options.Store.Style = EDevBackendStore::B2;
    Options.Store.UploadBaseUrl = "http://127.0.0.1:9/";
    Options.CustomizeCredentials = [](nlohmann::json& C)
    {
        C["required_headers"] = C["requiredHeaders"];
        C.erase("requiredHeaders");
    };
    StartServer(Options);
    std::string Id;
    const nlohmann::json C = IssueFor(EDevBackendStore::B2, &Id);
    EXPECT_EQ(C["uploadUrl"].get<std::string>().rfind("http://127.0.0.1:9/b2api/v2/", 0), 0u);
    EXPECT_FALSE(C.contains("requiredHeaders"));
    EXPECT_EQ(C["required_headers"]["Authorization"], "{authorizationToken}");
    EXPECT_EQ(Server->Sessions().Find(Id)->UploadCredentials, C);
}
