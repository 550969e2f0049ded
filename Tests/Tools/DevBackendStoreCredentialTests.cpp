// Upload credentials as the stores see them: a default lifetime of 15 minutes on the
// engine clock, a refresh that issues new ones while the old stay good until their
// own expiry, and no credential ever in the dev backend's request log.
#include "DevBackendStoreTestFixture.h"

#include "Clock.h"

#include <set>

class FDevBackendStoreCredentialTest : public FDevBackendStoreTest
{
protected:
    FStoreSession Refresh(const FStoreSession& Session)
    {
        const nlohmann::json Answer = JsonOf(PostJson(
            "/api/v4/sessions/" + Session.Id + "/refresh-upload-url", nlohmann::json::object()));
        return {Session.Id, Answer["uploadCredentials"]};
    }

    int Upload(EDevBackendStore Style, const FStoreSession& Session, long long Sequence)
    {
        const httplib::Result R = Send(
            RequestFor(Style, Session, KeyFor(Session, Sequence), ArchiveBytes(3000, Sequence)));
        return R ? R->status : -1;
    }
};

TEST_F(FDevBackendStoreCredentialTest, CredentialsLastFifteenMinutesAndARefreshRenewsThem)
{
    for (const EDevBackendStore Style : AllStores)
    {
        SCOPED_TRACE(DevBackendStoreName(Style));
        // 2025-01-02T03:04:05Z
        FScopedFrozenClock Frozen(1735787045LL * 1000000LL);
        const FStoreSession First = Open(Style);
        EXPECT_EQ(First.Credentials["ttlSeconds"], 900);
        EXPECT_EQ(First.Credentials["expiresAt"], "2025-01-02T03:19:05.000Z");
        const int Accepted = Style == EDevBackendStore::Gcs ? 201 : 200;

        Frozen.Advance(10 * 60);
        const FStoreSession Second = Refresh(First);
        EXPECT_NE(Second.Credentials, First.Credentials);
        EXPECT_EQ(Second.Credentials["expiresAt"], "2025-01-02T03:29:05.000Z");
        EXPECT_EQ(Upload(Style, First, 1), Accepted) << "still within its own lifetime";
        EXPECT_EQ(Upload(Style, Second, 2), Accepted);

        // Past the first credentials' expiry, only the refreshed ones work.
        Frozen.Advance(5 * 60 + 1);
        EXPECT_EQ(Upload(Style, First, 3), Style == EDevBackendStore::B2 ? 401 : 403);
        EXPECT_EQ(Upload(Style, Second, 4), Accepted);
        EXPECT_EQ(Server->Objects(First.Id).size(), 3u);
    }
}

TEST_F(FDevBackendStoreCredentialTest, NoCredentialReachesTheRequestLog)
{
    std::vector<std::string> Secrets;
    std::vector<std::string> Printed;
    FDevBackendOptions Options;
    Options.OnAnswered = [&Printed](const FDevBackendRecordedRequest& R)
    { Printed.push_back(R.Target); };
    StartServer(Options);
    // A second between issue and refresh makes every refreshed secret differ.
    FScopedFrozenClock Frozen;
    for (const EDevBackendStore Style : AllStores)
    {
        const FStoreSession Session = Open(Style);
        Frozen.Advance(1);
        const FStoreSession Renewed = Refresh(Session);
        for (const nlohmann::json* C : {&Session.Credentials, &Renewed.Credentials})
        {
            if (C->contains("authorizationToken"))
            {
                Secrets.push_back((*C)["authorizationToken"]);
            }
            if (C->contains("formFields"))
            {
                Secrets.push_back((*C)["formFields"]["x-goog-signature"]);
                Secrets.push_back((*C)["formFields"]["policy"]);
            }
            const std::string Url = (*C)["uploadUrl"];
            if (Url.find("signature=") != std::string::npos)
            {
                Secrets.push_back(Url.substr(Url.find("signature=") + 10));
            }
        }
        ASSERT_LT(Upload(Style, Renewed, 1), 300);
    }
    ASSERT_EQ(Secrets.size(), 8u);
    ASSERT_EQ(std::set<std::string>(Secrets.begin(), Secrets.end()).size(), 8u);

    std::string Everything;
    for (const FDevBackendRecordedRequest& R : Server->Requests().All())
    {
        Everything += R.Target + "\n" + R.Body + "\n" + R.ResponseBody + "\n";
        for (const auto& [Name, Value] : R.Headers)
        {
            Everything += Name + ": " + Value + "\n";
        }
    }
    for (const std::string& Target : Printed)
    {
        Everything += Target + "\n";
    }
    for (const std::string& Secret : Secrets)
    {
        const std::size_t At = Everything.find(Secret);
        EXPECT_EQ(At, std::string::npos)
            << Secret
            << " in: " << Everything.substr(At < 300 ? 0 : At - 300, 300 + Secret.size() + 100);
    }
    // What was taken out is marked, so a reader sees that something was there.
    EXPECT_NE(Everything.find("Authorization: <redacted>"), std::string::npos);
    EXPECT_NE(Everything.find("signature=<redacted>"), std::string::npos);
    EXPECT_NE(Everything.find("\"x-goog-signature\":\"<redacted>\""), std::string::npos);
}
