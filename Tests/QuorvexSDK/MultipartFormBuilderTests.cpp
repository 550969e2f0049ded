// The multipart form body for a GCS upload: its exact layout, a second parser
// (Python's email package) reading it back, payloads that fail mid-copy, and the
// body file's lifetime.
#include "FileFaults.h"
#include "Files.h"
#include "Hashing.h"
#include "Logging.h"
#include "QuorvexApiClient.h"
#include "QuorvexMultipartFormBuilder.h"
#include "Tasks.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <regex>

namespace
{
class MultipartFormBuilder : public FEngineTestBase
{
protected:
    FString Payload(const std::vector<uint8>& Bytes, const FString& Name = "batch.zip")
    {
        const FString Path = Saved.File(Name);
        EXPECT_TRUE(FFileHelper::SaveArrayToFile(Bytes, Path));
        return Path;
    }
    static std::vector<uint8> Pattern(size_t Size)
    {
        std::vector<uint8> Bytes(Size);
        for (size_t I = 0; I < Size; ++I)
        {
            Bytes[I] = static_cast<uint8>((I * 7919) >> 3);
        }
        return Bytes;
    }
    static FString Read(const FString& Path)
    {
        FString Text;
        EXPECT_TRUE(FFileHelper::LoadFileToString(Text, Path));
        return Text;
    }
};
} // namespace

TEST_F(MultipartFormBuilder, WritesFieldsInOrderThenTheFileThenTheClosingDelimiter)
{
    TCaseInsensitiveOrderedMap<FString> Fields;
    Fields.Add("policy", "eyJ4Ijoi");
    Fields.Add("x-goog-signature", "ab\"cd");
    Fields.Add("key", "S/S_1.zip");
    const FString Body = Saved.File("out/body.bin");
    FQuorvexMultipartFormBuilder Builder;
    ASSERT_TRUE(
        Builder.Build(Fields, Payload({'Z', 'I', 'P'}), "batch.zip", "application/zip", Body));
    std::smatch Match;
    const FString ContentType = Builder.GetContentType();
    ASSERT_TRUE(std::regex_match(
        ContentType, Match, std::regex("multipart/form-data; boundary=(Quorvex[0-9A-F]{32})")));
    const FString B = Match[1];
    EXPECT_EQ(Read(Body),
              "--" + B +
                  "\r\nContent-Disposition: form-data; name=\"policy\"\r\n\r\neyJ4Ijoi\r\n"
                  "--" +
                  B +
                  "\r\nContent-Disposition: form-data; name=\"x-goog-signature\"\r\n\r\nab\"cd\r\n"
                  "--" +
                  B +
                  "\r\nContent-Disposition: form-data; name=\"key\"\r\n\r\nS/S_1.zip\r\n"
                  "--" +
                  B +
                  "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"batch.zip\"\r\n"
                  "Content-Type: application/zip\r\n\r\nZIP\r\n--" +
                  B + "--\r\n");

    // A second build gets a fresh boundary and replaces the first body file.
    FQuorvexMultipartFormBuilder Empty;
    const FString Other = Saved.File("other.bin");
    ASSERT_TRUE(Builder.Build({}, Payload({}, "empty.zip"), "empty.zip", "application/zip", Other));
    EXPECT_FALSE(IFileManager::Get().FileExists(Body)) << "the first body is gone";
    EXPECT_EQ(Builder.GetBodyPath(), Other);
    const FString B2 = Builder.GetContentType().substr(ContentType.find('=') + 1);
    EXPECT_NE(B2, B);
    EXPECT_EQ(Read(Other),
              "--" + B2 +
                  "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"empty.zip\"\r\n"
                  "Content-Type: application/zip\r\n\r\n\r\n--" +
                  B2 + "--\r\n");
}

TEST_F(MultipartFormBuilder, PythonsParserReadsTheSameFieldsAndBytes)
{
    const std::vector<uint8> Bytes = Pattern(300000); // several copy chunks
    TCaseInsensitiveOrderedMap<FString> Fields;
    Fields.Add("key", "sessions/S/S_00000000000000000001.zip");
    Fields.Add("Content-Type", "application/zip");
    Fields.Add("x-goog-meta-note", "caf\xc3\xa9 \xe2\x9c\x93");
    FQuorvexMultipartFormBuilder Builder;
    const FString Body = Saved.File("body.bin");
    ASSERT_TRUE(Builder.Build(Fields, Payload(Bytes), "batch.zip", "application/zip", Body));
    const FString Script = Saved.File("parse.py");
    ASSERT_TRUE(FFileHelper::SaveStringToFile(
        "import sys, hashlib, email, email.policy\n"
        "raw = open(sys.argv[1], 'rb').read()\n"
        "msg = email.message_from_bytes(b'Content-Type: ' + sys.argv[2].encode() + b'\\r\\n\\r\\n' "
        "+ raw,"
        " policy=email.policy.HTTP)\n"
        "for part in msg.iter_parts():\n"
        "    name = part.get_param('name', header='content-disposition')\n"
        "    data = part.get_payload(decode=True)\n"
        "    if part.get_filename():\n"
        "        print('file', part.get_filename(), part.get_content_type(), len(data), "
        "hashlib.sha1(data).hexdigest())\n"
        "    else:\n"
        "        print('field', name, data.decode('utf-8'))\n",
        Script));
    FString Output;
    ASSERT_EQ(
        RunCommand("python3 '" + Script + "' '" + Body + "' '" + Builder.GetContentType() + "'",
                   Output),
        0)
        << Output;
    EXPECT_EQ(Output, "field key sessions/S/S_00000000000000000001.zip\n"
                      "field Content-Type application/zip\n"
                      "field x-goog-meta-note caf\xc3\xa9 \xe2\x9c\x93\n"
                      "file batch.zip application/zip 300000 " +
                          FSHA1::ToHex(FSHA1::HashBuffer(Bytes.data(), Bytes.size())) + "\n");
}

TEST_F(MultipartFormBuilder, AFailedBuildLeavesNoBodyFile)
{
    FLogCapture Log;
    const FString Zip = Payload(Pattern(200000));
    const FString Body = Saved.File("body.bin");
    FQuorvexMultipartFormBuilder Builder;
    {
        // The archive is deleted by someone else in the middle of the copy.
        FScopedFileFault Vanish(EFileFault::VanishDuringRead, "batch.zip", 70000);
        EXPECT_FALSE(Builder.Build({}, Zip, "batch.zip", "application/zip", Body));
    }
    EXPECT_TRUE(Log.Contains("QuorvexSDK: multipart: payload became unreadable while streaming."));
    EXPECT_FALSE(IFileManager::Get().FileExists(Body));
    EXPECT_TRUE(Builder.GetBodyPath().empty());

    const FString Zip2 = Payload(Pattern(1000), "b.zip");
    {
        FScopedFileFault Full(EFileFault::FailWrite, "body.bin", 500); // a full disk
        EXPECT_FALSE(Builder.Build({}, Zip2, "b.zip", "application/zip", Body));
    }
    EXPECT_FALSE(IFileManager::Get().FileExists(Body));
    EXPECT_FALSE(Builder.Build({}, Saved.File("none.zip"), "none.zip", "application/zip", Body));
    EXPECT_TRUE(Log.Contains("QuorvexSDK: multipart: could not open payload. path="));
}

TEST_F(MultipartFormBuilder, AGcsBodyFileLivesUntilTheUploadsCompletionRan)
{
    FQuorvexUploadTarget Target;
    Target.UploadUrl = "http://127.0.0.1:" + std::to_string(ClosedLoopbackPort()) + "/upload";
    Target.StorageProvider = "GCS";
    Target.Verb = "POST";
    Target.ObjectKey = "S_1.zip";
    Target.FormFields.Add("key", "S_1.zip");
    const FString Zip = Payload(Pattern(5000));
    FQuorvexPreparedUpload Prepared;
    FQuorvexApiClient::PrepareUploadBody(Target, Zip, Prepared);
    ASSERT_TRUE(Prepared.Error.empty()) << Prepared.Error;
    const FString BodyPath = Prepared.BodyFilePath;
    EXPECT_TRUE(std::regex_match(FPaths::GetCleanFilename(BodyPath),
                                 std::regex("multipart_[0-9A-F]{32}\\.bin")));
    EXPECT_EQ(FPaths::GetPath(BodyPath), FPaths::GetPath(Zip)) << "next to the archive";
    EXPECT_EQ(Prepared.LogBody, "<gcs multipart body: S_1.zip>");
    EXPECT_TRUE(Prepared.Headers.IsEmpty()) << "the policy travels in the form";

    FQuorvexApiClient Client;
    Client.SetRetryScheduler([](float, std::function<void()> Retry) { Retry(); });
    bool bBodyDuringCompletion = false;
    bool bDone = false;
    Client.SendPreparedUploadAsync(Target, std::move(Prepared),
                                   [&](const FQuorvexHttpResult& Result)
                                   {
                                       EXPECT_FALSE(Result.bSuccess);
                                       bBodyDuringCompletion =
                                           IFileManager::Get().FileExists(BodyPath);
                                       bDone = true;
                                   });
    ASSERT_TRUE(PumpUntil([&] { return bDone; }));
    EXPECT_TRUE(bBodyDuringCompletion);
    EXPECT_FALSE(IFileManager::Get().FileExists(BodyPath)) << "deleted once the completion ran";
    EXPECT_TRUE(IFileManager::Get().FileExists(Zip))
        << "the archive is not the uploader's to delete";
}
