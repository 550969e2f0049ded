// Upload targets and prepared upload bodies: object keys from templates, verbs,
// headers and form fields, the refresh-before-expiry rule, placeholders in the upload
// URL's path, and what is sent for each store flavour. Python's hashlib and urllib
// are the oracles for the SHA-1 and the percent-encoding.
#include "Clock.h"
#include "DateTime.h"
#include "FileFaults.h"
#include "Files.h"
#include "Logging.h"
#include "QuorvexApiClient.h"
#include "QuorvexMultipartFormBuilder.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <regex>
#include <sstream>

namespace
{
FQuorvexUploadTarget Build(const FQuorvexUploadCredentials& Credentials, int64 Sequence = 7,
                           const FString& Session = "S")
{
    FQuorvexUploadTarget Target;
    EXPECT_TRUE(FQuorvexApiClient::TryBuildUploadTarget(Credentials, Session, Sequence, 1234,
                                                        "/tmp/media/batch.zip", Target));
    return Target;
}

FQuorvexUploadCredentials Credentials(const FString& Url = "https://store.example/upload")
{
    FQuorvexUploadCredentials C;
    C.UploadUrl = Url;
    return C;
}

const FString Padded7 = "00000000000000000007";

class UploadPreparation : public FEngineTestBase
{
protected:
    // An archive of Size bytes in the media folder of the test.
    FString MakeZip(int64 Size, const FString& Name = "batch.zip")
    {
        const FString Path = Saved.File("media/" + Name);
        std::vector<uint8> Bytes(static_cast<size_t>(Size));
        for (size_t I = 0; I < Bytes.size(); ++I)
        {
            Bytes[I] = static_cast<uint8>(I * 31 + 7);
        }
        IFileManager::Get().MakeDirectory(FPaths::GetPath(Path), true);
        EXPECT_TRUE(FFileHelper::SaveArrayToFile(Bytes, Path));
        return Path;
    }

    static FQuorvexPreparedUpload Prepare(const FQuorvexUploadTarget& Target, const FString& Zip)
    {
        FQuorvexPreparedUpload Prepared;
        FQuorvexApiClient::PrepareUploadBody(Target, Zip, Prepared);
        return Prepared;
    }
};
} // namespace

TEST(UploadTarget, ObjectKeysFromTemplatesAndPrefixes)
{
    struct FCase
    {
        const char* Name;
        const char* ObjectKeyTemplate;
        const char* KeyPrefix;
        FString Expected;
    };
    const FCase Cases[] = {
        {"template", "{sessionId}/{sequenceNumberPadded}.zip", "", "S/" + Padded7 + ".zip"},
        {"template wins over prefix", "{SESSIONID}-{sequencenumber}", "ignored/", "S-7"},
        {"prefix, trailing slashes cut", "", "batches/{sessionId}//",
         "batches/S/S_" + Padded7 + ".zip"},
        {"no template, no prefix", "", "", "S_" + Padded7 + ".zip"},
        {"time and file name", "{timestamp}-{TimestampMs}-{fileName}", "", "1234-1234-batch.zip"},
    };
    for (const FCase& Case : Cases)
    {
        SCOPED_TRACE(Case.Name);
        FQuorvexUploadCredentials C = Credentials();
        C.ObjectKeyTemplate = Case.ObjectKeyTemplate;
        C.KeyPrefix = Case.KeyPrefix;
        EXPECT_EQ(Build(C).ObjectKey, Case.Expected);
    }
    FQuorvexUploadCredentials Guid = Credentials();
    Guid.ObjectKeyTemplate = "{guid}";
    const FString First = Build(Guid).ObjectKey;
    EXPECT_TRUE(std::regex_match(First, std::regex("[0-9A-F]{32}")));
    EXPECT_NE(Build(Guid).ObjectKey, First) << "a fresh GUID for each call";

    FQuorvexUploadTarget Unused;
    EXPECT_FALSE(FQuorvexApiClient::TryBuildUploadTarget({}, "S", 1, 0, "", Unused));
}

TEST(UploadTarget, VerbsHeadersAndFormFields)
{
    FQuorvexUploadCredentials B2 = Credentials("https://b2.example/b2api/v2/b2_upload_file/x");
    EXPECT_EQ(Build(B2).Verb, "POST") << "a b2_upload_file URL";
    FQuorvexUploadCredentials Token = Credentials();
    Token.AuthorizationToken = "tok";
    EXPECT_EQ(Build(Token).Verb, "POST");
    FQuorvexUploadCredentials BzHeader = Credentials();
    BzHeader.RequiredHeaders.Add("x-bz-info-src", "sdk");
    EXPECT_EQ(Build(BzHeader).Verb, "POST");
    EXPECT_EQ(Build(Credentials()).Verb, "PUT") << "a bare signed URL";
    FQuorvexUploadCredentials Method = Token;
    Method.UploadMethod = "PATCH";
    EXPECT_EQ(Build(Method).Verb, "PATCH");

    FQuorvexUploadCredentials Gcs = Credentials();
    Gcs.StorageProvider = "gcs";
    Gcs.FormFields.Add("policy", "p");
    Gcs.FormFields.Add("x-meta", "{objectKey}@{sessionId}");
    const FQuorvexUploadTarget GcsTarget = Build(Gcs);
    ASSERT_NE(GcsTarget.FormFields.Find("key"), nullptr) << "the key is added";
    EXPECT_EQ(*GcsTarget.FormFields.Find("key"), "S_" + Padded7 + ".zip");
    EXPECT_EQ(*GcsTarget.FormFields.Find("x-meta"), "S_" + Padded7 + ".zip@S");
    Gcs.FormFields.Add("key", "given/{sequenceNumber}");
    EXPECT_EQ(*Build(Gcs).FormFields.Find("key"), "given/7") << "a given key stays";

    FQuorvexUploadCredentials Headers = Credentials();
    Headers.RequiredHeaders.Add("X-Key", "{objectKey}");
    EXPECT_EQ(*Build(Headers).Headers.Find("x-key"), "S_" + Padded7 + ".zip");
}

TEST(UploadTarget, PlaceholdersInTheUrlPathNameEachObject)
{
    const FString Url = "http://127.0.0.1:9/put/{sessionId}/{objectKey}?expires=9&sig=a%7Bb{c}";
    FQuorvexUploadCredentials C = Credentials(Url);
    C.ObjectKeyTemplate = "batches/{sequenceNumber} final+%.zip";
    EXPECT_EQ(Build(C, 7).UploadUrl,
              "http://127.0.0.1:9/put/S/batches/7%20final%2B%25.zip?expires=9&sig=a%7Bb{c}")
        << "values encoded, '/' kept, the query untouched";
    EXPECT_NE(Build(C, 7).UploadUrl, Build(C, 8).UploadUrl) << "one object per batch";
    const FString Presigned = "https://bucket.example/obj.zip?X-Sig=abc";
    EXPECT_EQ(Build(Credentials(Presigned)).UploadUrl, Presigned) << "no braces, no change";
}

TEST(UploadTarget, CredentialsAreRefreshedInTheLastTenthOfTheirLife)
{
    FScopedFrozenClock Clock(FDateTime(2026, 1, 1, 12).ToUnixMicroseconds());
    const auto In = [](int32 Seconds)
    {
        return FDateTime::FromUnixMicroseconds(FDateTime::UtcNow().ToUnixMicroseconds() +
                                               Seconds * 1000000LL)
            .ToIso8601();
    };
    struct FCase
    {
        int32 TtlSeconds;
        int32 ExpiresInSeconds;
        bool bRefresh;
    };
    // clang-format off
    const FCase Cases[] = {
        {600, 59, true},    // margin 60 s
        {600, 61, false},
        {0, 299, true},     // no ttl: one hour, so the margin is 300 s
        {0, 301, false},
        {86400, 299, true}, // the margin is at most five minutes
        {86400, 301, false},
        {600, -10, true},   // already expired
    };
    // clang-format on
    for (const FCase& Case : Cases)
    {
        FQuorvexUploadCredentials C = Credentials();
        C.TtlSeconds = Case.TtlSeconds;
        C.ExpiresAt = In(Case.ExpiresInSeconds);
        EXPECT_EQ(FQuorvexApiClient::ShouldRefreshCredentialsBeforeExpiry(C), Case.bRefresh)
            << Case.TtlSeconds << " " << Case.ExpiresInSeconds;
    }
    FQuorvexUploadCredentials Unreadable = Credentials();
    Unreadable.ExpiresAt = "soon";
    EXPECT_FALSE(FQuorvexApiClient::ShouldRefreshCredentialsBeforeExpiry(Unreadable));
    EXPECT_FALSE(FQuorvexApiClient::ShouldRefreshCredentialsBeforeExpiry(Credentials()));
}

TEST_F(UploadPreparation, RawArchiveHeadersForB2AndSignedUrls)
{
    const FString Zip = MakeZip(200000);
    FString Oracle;
    ASSERT_EQ(RunCommand("python3 -c \"import hashlib,sys;print(hashlib.sha1(open(sys.argv[1],'rb')"
                         ".read()).hexdigest())\" '" +
                             Zip + "'",
                         Oracle),
              0);
    const FString Sha1 = Oracle.substr(0, 40);

    FQuorvexUploadCredentials B2 = Credentials("https://b2.example/b2api/v2/b2_upload_file/x");
    B2.AuthorizationToken = "token-1";
    const FQuorvexPreparedUpload Prepared = Prepare(Build(B2), Zip);
    ASSERT_TRUE(Prepared.Error.empty()) << Prepared.Error;
    EXPECT_EQ(Prepared.Verb, "POST");
    EXPECT_EQ(*Prepared.Headers.Find("Authorization"), "token-1");
    EXPECT_EQ(*Prepared.Headers.Find("X-Bz-File-Name"), "S_" + Padded7 + ".zip");
    EXPECT_EQ(*Prepared.Headers.Find("X-Bz-Content-Sha1"), Sha1);
    EXPECT_EQ(Prepared.ContentType, "application/zip");
    EXPECT_EQ(Prepared.BodyFilePath, Zip);
    EXPECT_EQ(Prepared.LogBody, "<zip body: S_" + Padded7 + ".zip>");

    // A signed URL still gets the B2 headers: its object key is never empty.
    const FQuorvexPreparedUpload Signed = Prepare(Build(Credentials()), Zip);
    EXPECT_EQ(Signed.Verb, "PUT");
    EXPECT_EQ(*Signed.Headers.Find("X-Bz-Content-Sha1"), Sha1);
    EXPECT_FALSE(Signed.Headers.Contains("Authorization"));

    struct FHeaderCase
    {
        const char* Name;
        const char* Header;
        const char* Given;
        const char* Expected;
    };
    const FHeaderCase Cases[] = {
        {"a placeholder is filled", "Authorization", "{AUTHORIZATIONTOKEN}", "token-1"},
        {"another value stays", "Authorization", "Bearer other", "Bearer other"},
        {"a given hash is not recomputed", "X-Bz-Content-Sha1", "do_not_verify", "do_not_verify"},
        {"a content type wins", "Content-Type", "b2/x-auto", "b2/x-auto"},
    };
    for (const FHeaderCase& Case : Cases)
    {
        SCOPED_TRACE(Case.Name);
        FQuorvexUploadCredentials C = B2;
        C.RequiredHeaders.Add(Case.Header, Case.Given);
        const FQuorvexPreparedUpload P = Prepare(Build(C), Zip);
        EXPECT_EQ(*P.Headers.Find(Case.Header), Case.Expected);
        if (FString(Case.Header) == "Content-Type")
        {
            EXPECT_EQ(P.ContentType, Case.Expected);
        }
    }
}

TEST_F(UploadPreparation, FailuresNameTheirCause)
{
    FLogCapture Log;
    const FString Zip = MakeZip(10);
    FQuorvexUploadTarget NoUrl = Build(Credentials());
    NoUrl.UploadUrl.clear();
    EXPECT_EQ(Prepare(NoUrl, Zip).Error, "Upload URL is empty");
    const FString Missing = Saved.File("media/missing.zip");
    EXPECT_EQ(Prepare(Build(Credentials()), Missing).Error, "Upload payload missing: " + Missing);
    EXPECT_TRUE(Log.Contains("QuorvexSDK: Upload payload missing: "));
    FQuorvexUploadTarget Gcs = Build(Credentials());
    Gcs.StorageProvider = "GCS";
    Gcs.FormFields.Empty();
    EXPECT_EQ(Prepare(Gcs, Zip).Error, "Media upload form fields are missing for GCS");
    {
        FScopedFileFault Unreadable(EFileFault::FailOpenForRead, "batch.zip");
        EXPECT_EQ(Prepare(Build(Credentials()), Zip).Error, "Media upload SHA1 calculation failed");
        Gcs.FormFields.Add("policy", "p");
        EXPECT_EQ(Prepare(Gcs, Zip).Error, "Could not assemble the GCS multipart body");
    }
    EXPECT_TRUE(IFileManager::Get().FindFiles(Saved.File("media"), "multipart_*").empty());
}

TEST_F(UploadPreparation, PercentEncodingAndSha1MatchPython)
{
    const std::vector<FString> Keys = {
        "plain.zip",   "with space.zip", "caf\xc3\xa9/\xe2\x9c\x93.zip",
        "a+b=c&d.zip", "dir/sub/x.zip",  "100%.zip",
        "~tilde_-.zip"};
    // One Python run answers for every key: its quoted form and its archive's SHA-1.
    FString Script = "import urllib.parse,hashlib\n";
    std::vector<FQuorvexPreparedUpload> Prepared;
    for (size_t I = 0; I < Keys.size(); ++I)
    {
        FQuorvexUploadCredentials C = Credentials();
        C.ObjectKeyTemplate = Keys[I];
        const FString Zip =
            MakeZip(static_cast<int64>(I) * 70001 + 1, "k" + std::to_string(I) + ".zip");
        const FString KeyFile = Saved.File("key" + std::to_string(I));
        ASSERT_TRUE(FFileHelper::SaveStringToFile(Keys[I], KeyFile));
        Script += "print(urllib.parse.quote(open('" + KeyFile +
                  "','rb').read(),safe='-_.~'))\n"
                  "print(hashlib.sha1(open('" +
                  Zip + "','rb').read()).hexdigest())\n";
        Prepared.push_back(Prepare(Build(C), Zip));
    }
    const FString ScriptFile = Saved.File("oracle.py");
    ASSERT_TRUE(FFileHelper::SaveStringToFile(Script, ScriptFile));
    FString Output;
    ASSERT_EQ(RunCommand("python3 '" + ScriptFile + "'", Output), 0) << Output;
    std::istringstream Lines(Output);
    for (size_t I = 0; I < Keys.size(); ++I)
    {
        SCOPED_TRACE(Keys[I]);
        FString Quoted, Sha1;
        std::getline(Lines, Quoted);
        std::getline(Lines, Sha1);
        EXPECT_EQ(*Prepared[I].Headers.Find("X-Bz-File-Name"), Quoted);
        EXPECT_EQ(*Prepared[I].Headers.Find("X-Bz-Content-Sha1"), Sha1);
    }
}
