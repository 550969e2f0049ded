// Batch archives uploaded by the SDK to each of the dev backend's three object stores
// over real HTTP: every store accepts one object per batch and gives it back byte for
// byte (read back by unzip, 7z and Python), and each store's refusals reach the caller
// as failed results the upload orchestration can classify.
#include "Clock.h"
#include "DevBackendServer.h"
#include "Files.h"
#include "Hashing.h"
#include "HttpModule.h"
#include "Logging.h"
#include "QuorvexApiClient.h"
#include "QuorvexStoredZipWriter.h"
#include "Tasks.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <optional>

namespace
{
using EKind = EQuorvexUploadFailureKind;

const char* StoreName(EDevBackendStore Store)
{
    switch (Store)
    {
    case EDevBackendStore::Gcs:
        return "gcs";
    case EDevBackendStore::B2:
        return "b2";
    default:
        return "signed";
    }
}

class StoreUpload : public FEngineTestBase, public ::testing::WithParamInterface<EDevBackendStore>
{
protected:
    void SetUp() override
    {
        FEngineTestBase::SetUp();
        FDevBackendOptions Options;
        Options.Store.Style = GetParam();
        Server = std::make_unique<FDevBackendServer>(Options);
        std::string Error;
        ASSERT_TRUE(Server->Start(Error)) << Error;
        Client = std::make_unique<FQuorvexApiClient>();
        Client->SetBaseHostUrlProvider([this] { return FString(Server->BaseUrl()); });
        Client->SetRetryScheduler([](float, std::function<void()> Retry) { Retry(); });
    }

    void TearDown() override
    {
        FHttpModule::Get().GetHttpManager().Flush(EHttpFlushReason::FullFlush);
        Client.reset();
        Server->Stop();
        FEngineTestBase::TearDown();
    }

    FQuorvexSessionData CreateSession()
    {
        FQuorvexConfigRequest Request;
        Request.InGameId = "player";
        Request.Sdk.Version = "2.0.0";
        std::optional<FQuorvexHttpResult> Created;
        Client->CreateSessionAsync(Request, [&](const FQuorvexHttpResult& R) { Created = R; });
        EXPECT_TRUE(PumpUntil([&] { return Created.has_value(); }));
        FQuorvexSessionData Session;
        FString Error;
        EXPECT_TRUE(Created &&
                    FQuorvexApiClient::ParseSessionResponse(Created->ResponseBody, Session, Error))
            << Error;
        return Session;
    }

    // A stored archive of a few entries, different for each sequence number.
    FString MakeArchive(int64 Sequence)
    {
        FQuorvexStoredZipWriter Zip;
        const FString Text = "{\"sequenceNumber\":" + std::to_string(Sequence) + "}";
        Zip.AddBytes("events.json", std::vector<uint8>(Text.begin(), Text.end()));
        Zip.AddBytes("manifest.json", std::vector<uint8>(Text.begin(), Text.end()));
        Zip.AddBytes("frames/frame_0.jpeg",
                     std::vector<uint8>(50000 + Sequence, static_cast<uint8>(Sequence)));
        const FString Path = Saved.File("media/batch_" + std::to_string(Sequence) + ".zip");
        EXPECT_GT(Zip.WriteToFile(Path), 0);
        return Path;
    }

    FQuorvexUploadTarget TargetFor(const FQuorvexSessionData& Session, int64 Sequence,
                                   const FString& Zip)
    {
        FQuorvexUploadTarget Target;
        EXPECT_TRUE(FQuorvexApiClient::TryBuildUploadTarget(Session.UploadCredentials,
                                                            Session.SessionId, Sequence,
                                                            1700000000000 + Sequence, Zip, Target));
        return Target;
    }

    FQuorvexHttpResult Upload(const FQuorvexUploadTarget& Target, const FString& Zip)
    {
        std::optional<FQuorvexHttpResult> Result;
        Client->UploadEventZipAsync(Target, Zip, [&](const FQuorvexHttpResult& R) { Result = R; });
        EXPECT_TRUE(PumpUntil([&] { return Result.has_value(); }));
        return Result.value_or(FQuorvexHttpResult());
    }

    static FString Sha1Of(const FString& Path)
    {
        std::vector<uint8> Bytes;
        EXPECT_TRUE(FFileHelper::LoadFileToArray(Bytes, Path));
        return FSHA1::ToHex(FSHA1::HashBuffer(Bytes.data(), Bytes.size()));
    }

    std::unique_ptr<FDevBackendServer> Server;
    std::unique_ptr<FQuorvexApiClient> Client;
    FLogCapture Log;
};
} // namespace

TEST_P(StoreUpload, EachBatchBecomesItsOwnObjectByteForByte)
{
    const FQuorvexSessionData Session = CreateSession();
    ASSERT_FALSE(Session.SessionId.empty());
    std::vector<FString> Archives;
    for (int64 Sequence = 1; Sequence <= 2; ++Sequence)
    {
        const FString Zip = MakeArchive(Sequence);
        const FQuorvexHttpResult Result = Upload(TargetFor(Session, Sequence, Zip), Zip);
        ASSERT_TRUE(Result.bSuccess) << Result.StatusCode << " " << Result.ResponseBody;
        Archives.push_back(Zip);
    }
    const std::vector<FDevBackendObject> Objects = Server->Objects(Session.SessionId);
    ASSERT_EQ(Objects.size(), 2u) << "one object per batch";
    for (size_t I = 0; I < Objects.size(); ++I)
    {
        SCOPED_TRACE(Objects[I].Name);
        EXPECT_EQ(Objects[I].Sha1, Sha1Of(Archives[I])) << "the archive as built, byte for byte";
        EXPECT_EQ(Sha1Of(Objects[I].Path), Objects[I].Sha1);
        FString Output;
        EXPECT_EQ(RunCommand("unzip -t '" + Objects[I].Path + "'", Output), 0) << Output;
        EXPECT_EQ(RunCommand("7z t '" + Objects[I].Path + "'", Output), 0) << Output;
        EXPECT_EQ(RunCommand("python3 -c \"import sys,zipfile;z=zipfile.ZipFile(sys.argv[1]);"
                             "assert z.testzip() is None;print(z.namelist())\" '" +
                                 Objects[I].Path + "'",
                             Output),
                  0)
            << Output;
    }
}

TEST_P(StoreUpload, ExpiredAndTamperedCredentialsAreRefusedAsCredentials)
{
    FScopedFrozenClock Clock;
    const FQuorvexSessionData Session = CreateSession();
    const FString Zip = MakeArchive(1);

    // Tampered: the signature, the token or the policy no longer matches.
    FQuorvexUploadTarget Tampered = TargetFor(Session, 1, Zip);
    switch (GetParam())
    {
    case EDevBackendStore::Gcs:
        for (const char* Field : {"x-goog-signature", "signature"})
        {
            if (FString* Value = Tampered.FormFields.Find(Field))
            {
                (*Value)[0] = (*Value)[0] == 'a' ? 'b' : 'a';
            }
        }
        break;
    case EDevBackendStore::B2:
        Tampered.AuthorizationToken += "x";
        break;
    default:
        Tampered.UploadUrl =
            FStringUtils::ReplaceAll(Tampered.UploadUrl, "signature=", "signature=0");
        break;
    }
    const FQuorvexHttpResult Bad = Upload(Tampered, Zip);
    EXPECT_FALSE(Bad.bSuccess);
    EXPECT_EQ(FQuorvexApiClient::ClassifyUploadFailure(Bad), EKind::CredentialsRejected)
        << Bad.StatusCode << " " << Bad.ResponseBody;

    // Expired: the same credentials an hour later.
    Clock.Advance(3600.0);
    const FQuorvexHttpResult Expired = Upload(TargetFor(Session, 1, Zip), Zip);
    EXPECT_FALSE(Expired.bSuccess);
    EXPECT_EQ(FQuorvexApiClient::ClassifyUploadFailure(Expired), EKind::CredentialsRejected)
        << Expired.StatusCode << " " << Expired.ResponseBody;
    EXPECT_TRUE(FQuorvexApiClient::ShouldRefreshCredentialsBeforeExpiry(Session.UploadCredentials));
    EXPECT_TRUE(Server->Objects(Session.SessionId).empty()) << "nothing kept of a refused upload";
}

TEST_P(StoreUpload, ViolatedConditionsAreRefusedWithTheStoresStatus)
{
    const FQuorvexSessionData Session = CreateSession();
    const FString Zip = MakeArchive(1);
    FQuorvexUploadTarget Target = TargetFor(Session, 1, Zip);
    int32 ExpectedStatus = 0;
    switch (GetParam())
    {
    case EDevBackendStore::Gcs: // a key outside the policy's prefix
        Target.FormFields.Add("key", "elsewhere/batch.zip");
        ExpectedStatus = 403;
        break;
    case EDevBackendStore::B2: // a SHA-1 that is not the body's
        Target.Headers.Add("X-Bz-Content-Sha1", FString(40, '0'));
        ExpectedStatus = 400;
        break;
    default: // a signed header sent with another value
        Target.Headers.Add("Content-Type", "text/plain");
        ExpectedStatus = 403;
        break;
    }
    const FQuorvexHttpResult Result = Upload(Target, Zip);
    EXPECT_FALSE(Result.bSuccess);
    EXPECT_EQ(Result.StatusCode, ExpectedStatus) << Result.ResponseBody;
    EXPECT_NE(FQuorvexApiClient::ClassifyUploadFailure(Result), EKind::Other);
    EXPECT_TRUE(Server->Objects(Session.SessionId).empty());
}

INSTANTIATE_TEST_SUITE_P(EveryStore, StoreUpload,
                         ::testing::Values(EDevBackendStore::Gcs, EDevBackendStore::B2,
                                           EDevBackendStore::SignedPut),
                         [](const ::testing::TestParamInfo<EDevBackendStore>& Info)
                         { return StoreName(Info.param); });
