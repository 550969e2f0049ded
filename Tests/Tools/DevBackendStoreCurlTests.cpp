// libcurl as a second, independent client: its own multipart form builder, its own
// percent-encoding-free headers, and its "Expect: 100-continue" on large bodies, which
// the stores must answer for the upload to go on at once.
#include "DevBackendStoreTestFixture.h"

#include <curl/curl.h>

#include <cstdio>

namespace
{
struct FCurlResult
{
    CURLcode Code = CURLE_OK;
    long Status = 0;
    std::string Body;
    std::string HeadersIn; // every response header line, interim answers included
};

size_t Collect(char* Data, size_t Size, size_t Count, void* User)
{
    static_cast<std::string*>(User)->append(Data, Size * Count);
    return Size * Count;
}

struct FCurlRequest
{
    std::string Url;
    std::vector<std::string> Headers;
    curl_mime* Form = nullptr; // a form POST when set
    std::string UploadFile;    // else the body streamed from this file
    bool bPut = false;
};

FCurlResult Perform(const FCurlRequest& Request)
{
    FCurlResult Result;
    CURL* Curl = curl_easy_init();
    curl_slist* Headers = nullptr;
    for (const std::string& Header : Request.Headers)
    {
        Headers = curl_slist_append(Headers, Header.c_str());
    }
    FILE* Upload = nullptr;
    curl_easy_setopt(Curl, CURLOPT_URL, Request.Url.c_str());
    curl_easy_setopt(Curl, CURLOPT_HTTPHEADER, Headers);
    curl_easy_setopt(Curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(Curl, CURLOPT_WRITEDATA, &Result.Body);
    curl_easy_setopt(Curl, CURLOPT_HEADERFUNCTION, Collect);
    curl_easy_setopt(Curl, CURLOPT_HEADERDATA, &Result.HeadersIn);
    curl_easy_setopt(Curl, CURLOPT_TIMEOUT, 60L);
    // Long enough that an upload going on after the wait would stand out in the test's
    // run time, should a store ever stop answering the expectation.
    curl_easy_setopt(Curl, CURLOPT_EXPECT_100_TIMEOUT_MS, 60000L);
    if (Request.Form)
    {
        curl_easy_setopt(Curl, CURLOPT_MIMEPOST, Request.Form);
    }
    else
    {
        Upload = std::fopen(Request.UploadFile.c_str(), "rb");
        std::fseek(Upload, 0, SEEK_END);
        const curl_off_t Size = std::ftell(Upload);
        std::rewind(Upload);
        curl_easy_setopt(Curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(Curl, CURLOPT_READDATA, Upload);
        curl_easy_setopt(Curl, CURLOPT_INFILESIZE_LARGE, Size);
        if (!Request.bPut)
        {
            curl_easy_setopt(Curl, CURLOPT_CUSTOMREQUEST, "POST");
        }
    }
    Result.Code = curl_easy_perform(Curl);
    curl_easy_getinfo(Curl, CURLINFO_RESPONSE_CODE, &Result.Status);
    if (Upload)
    {
        std::fclose(Upload);
    }
    curl_slist_free_all(Headers);
    curl_easy_cleanup(Curl);
    return Result;
}
} // namespace

class FDevBackendStoreCurlTest : public FDevBackendStoreTest
{
protected:
    FTempDir Temp;
};

TEST_F(FDevBackendStoreCurlTest, EveryStoreTakesLibcurlsUploadsAfterAnsweringItsExpectation)
{
    for (const EDevBackendStore Style : AllStores)
    {
        SCOPED_TRACE(DevBackendStoreName(Style));
        const FStoreSession Session = Open(Style);
        const std::string Key = KeyFor(Session, 1);
        // Large enough that libcurl asks for "100 Continue" before sending.
        const std::string Bytes = ArchiveBytes(3 * 1024 * 1024 + 5, 9);
        const std::string ZipPath = Temp.File("batch.zip");
        std::ofstream(ZipPath, std::ios::binary) << Bytes;

        FCurlRequest Request;
        const std::string Url = Session.Credentials["uploadUrl"];
        Request.Url = Url;
        CURL* Owner = curl_easy_init();
        switch (Style)
        {
        case EDevBackendStore::Gcs:
            Request.Form = curl_mime_init(Owner);
            for (const auto& [Name, Value] : GcsFields(Session.Credentials, Key))
            {
                curl_mimepart* Part = curl_mime_addpart(Request.Form);
                curl_mime_name(Part, Name.c_str());
                curl_mime_data(Part, Value.c_str(), CURL_ZERO_TERMINATED);
            }
            {
                curl_mimepart* File = curl_mime_addpart(Request.Form);
                curl_mime_name(File, "file");
                curl_mime_filedata(File, ZipPath.c_str());
                curl_mime_type(File, "application/zip");
            }
            break;
        case EDevBackendStore::B2:
            Request.UploadFile = ZipPath;
            Request.Headers = {
                "Authorization: " + Session.Credentials["authorizationToken"].get<std::string>(),
                "X-Bz-File-Name: " + FGenericPlatformHttp::UrlEncode(Key),
                "X-Bz-Content-Sha1: " + Sha1Hex(Bytes), "Content-Type: application/zip"};
            break;
        case EDevBackendStore::SignedPut:
            Request.Url.replace(Url.find("{objectKey}"), 11, Key);
            Request.UploadFile = ZipPath;
            Request.bPut = true;
            Request.Headers = {"Content-Type: application/zip"};
            break;
        }
        const FCurlResult Result = Perform(Request);
        curl_mime_free(Request.Form);
        curl_easy_cleanup(Owner);

        ASSERT_EQ(Result.Code, CURLE_OK) << curl_easy_strerror(Result.Code);
        EXPECT_EQ(Result.Status, Style == EDevBackendStore::Gcs ? 201 : 200) << Result.Body;
        EXPECT_NE(Result.HeadersIn.find("HTTP/1.1 100 Continue"), std::string::npos)
            << Result.HeadersIn;
        const FDevBackendRecordedRequest Record = Server->Requests().All().back();
        EXPECT_EQ(Record.Header("Expect"), "100-continue");
        const std::vector<FDevBackendObject> Objects = Server->Objects(Session.Id);
        ASSERT_EQ(Objects.size(), 1u);
        EXPECT_EQ(Objects[0].Name, Key);
        EXPECT_TRUE(ReadWholeFile(Objects[0].Path) == Bytes);
    }
}
