// The stores read what they are sent the way the real services do: forms in any
// field order and with the liberties the multipart format allows, and B2 file names
// percent-encoded by any encoder, checked against Python's urllib and hashlib.
#include "DevBackendStoreTestFixture.h"

#include <cstdio>
#include <functional>
#include <map>

class FDevBackendStoreFormTest : public FDevBackendStoreTest
{
};

TEST_F(FDevBackendStoreFormTest, FormsAreReadTheWayAnUploadServerReadsThem)
{
    struct FCase
    {
        const char* Name;
        // Builds the body and the Content-Type from the fields, the file and a boundary.
        std::function<std::pair<std::string, std::string>(const FFormFields&, const std::string&,
                                                          const std::string&)>
            Build;
    };
    const auto Type = [](const std::string& Boundary)
    { return "multipart/form-data; boundary=" + Boundary; };
    const std::vector<FCase> Cases = {
        {"fields in reverse order",
         [&](const FFormFields& F, const std::string& File, const std::string& B) {
             return std::pair{MultipartBody({F.rbegin(), F.rend()}, File, B), Type(B)};
         }},
        {"quoted boundary",
         [](const FFormFields& F, const std::string& File, const std::string& B)
         {
             return std::pair{MultipartBody(F, File, B),
                              "multipart/form-data; charset=utf-8; boundary=\"" + B + "\""};
         }},
        {"preamble, epilogue and padding after a boundary",
         [&](const FFormFields& F, const std::string& File, const std::string& B)
         {
             std::string Body = "This is a preamble.\r\n" + MultipartBody(F, File, B) + "epilogue";
             Body.insert(Body.find("--" + B) + 2 + B.size(), " \t");
             return std::pair{Body, Type(B)};
         }},
        {"a field after the file is ignored",
         [&](const FFormFields& F, const std::string& File, const std::string& B)
         {
             std::string Body = MultipartBody(F, File, B);
             Body.insert(
                 Body.rfind("--" + B + "--"),
                 "--" + B + "\r\nContent-Disposition: form-data; name=\"x-unlisted\"\r\n\r\n1\r\n");
             return std::pair{Body, Type(B)};
         }},
        {"part headers in another order and case",
         [&](const FFormFields& F, const std::string& File, const std::string& B)
         {
             std::string Body;
             for (const auto& [Name, Value] : F)
             {
                 Body += "--" + B + "\r\ncontent-disposition: form-data;name=" + Name + "\r\n\r\n" +
                         Value + "\r\n";
             }
             Body += "--" + B +
                     "\r\nContent-Type: application/zip\r\nContent-Disposition: form-data; "
                     "filename=\"a \\\"b\\\".zip\"; name=\"file\"\r\n\r\n" +
                     File + "\r\n--" + B + "--";
             return std::pair{Body, Type(B)};
         }},
    };
    for (const FCase& Case : Cases)
    {
        SCOPED_TRACE(Case.Name);
        const FStoreSession Session = Open(EDevBackendStore::Gcs);
        const std::string Boundary = NewBoundary();
        // The file holds the delimiter but for its last character.
        const std::string File = ArchiveBytes(9000) + "\r\n--" +
                                 Boundary.substr(0, Boundary.size() - 1) + ArchiveBytes(100, 2);
        const auto [Body, ContentType] =
            Case.Build(GcsFields(Session.Credentials, KeyFor(Session, 1)), File, Boundary);
        const httplib::Result Result =
            Send({"POST", PathOf(Session.Credentials["uploadUrl"]), {}, Body, ContentType, false});
        ASSERT_TRUE(Result);
        EXPECT_EQ(Result->status, 201) << Result->body;
        ASSERT_EQ(Server->Objects(Session.Id).size(), 1u);
        EXPECT_TRUE(ReadWholeFile(Server->Objects(Session.Id)[0].Path) == File);
    }
}

TEST_F(FDevBackendStoreFormTest, DelimitersSplitAcrossReadsAreFound)
{
    // The server reads the body in pieces of a few KiB; files of every length around
    // a piece put the closing delimiter across a read at every offset.
    const FStoreSession Session = Open(EDevBackendStore::Gcs);
    std::map<std::string, std::string> Sent;
    for (std::size_t Size = 3000; Size < 4400; Size += 23)
    {
        const std::string Key = KeyFor(Session, static_cast<long long>(Size));
        Sent[Key] = ArchiveBytes(Size, static_cast<unsigned>(Size));
        const httplib::Result Result =
            Send(RequestFor(EDevBackendStore::Gcs, Session, Key, Sent[Key]));
        ASSERT_TRUE(Result);
        ASSERT_EQ(Result->status, 201) << Size;
    }
    const std::vector<FDevBackendObject> Objects = Server->Objects(Session.Id);
    ASSERT_EQ(Objects.size(), Sent.size());
    for (const FDevBackendObject& Object : Objects)
    {
        EXPECT_TRUE(ReadWholeFile(Object.Path) == Sent[Object.Name]) << Object.Name;
    }
}

namespace
{
// Runs Python on Script with Input on its standard input; its standard output.
std::string RunPython(const std::string& Script, const std::string& Input)
{
    const FTempDir Temp;
    const std::string ScriptPath = Temp.File("oracle.py");
    const std::string InputPath = Temp.File("input.json");
    std::ofstream(ScriptPath) << Script;
    std::ofstream(InputPath, std::ios::binary) << Input;
    FILE* Pipe = popen(("python3 " + ScriptPath + " < " + InputPath).c_str(), "r");
    if (!Pipe)
    {
        return {};
    }
    std::string Output;
    char Buffer[4096];
    while (const std::size_t Got = std::fread(Buffer, 1, sizeof(Buffer), Pipe))
    {
        Output.append(Buffer, Got);
    }
    pclose(Pipe);
    return Output;
}
} // namespace

TEST_F(FDevBackendStoreFormTest, B2NamesDecodeAsPythonEncodesThemAndSha1MatchesHashlib)
{
    const FStoreSession Session = Open(EDevBackendStore::B2);
    const std::string Prefix = "sessions/" + Session.Id + "/";
    const std::vector<std::string> Keys = {
        Prefix + "a b.zip",       Prefix + "\xc3\xbcn\xc3\xaf\xe2\x82\xac.zip",
        Prefix + "a+b.zip",       Prefix + "100%.zip",
        Prefix + "dir/sub/x.zip", Prefix + "~!*'();:@&=$,?#[].zip",
    };
    const nlohmann::json Oracle = nlohmann::json::parse(
        RunPython("import sys, json, urllib.parse, hashlib\n"
                  "keys = json.load(sys.stdin)\n"
                  "print(json.dumps([{'strict': urllib.parse.quote(k, safe=''),\n"
                  "  'slashes': urllib.parse.quote(k, safe='/'),\n"
                  "  'sha1': hashlib.sha1(k.encode('utf-8') * 100).hexdigest()} for k in keys]))\n",
                  nlohmann::json(Keys).dump()),
        nullptr, false);
    ASSERT_TRUE(Oracle.is_array()) << "python3 is needed as the oracle";
    ASSERT_EQ(Oracle.size(), Keys.size());
    for (std::size_t I = 0; I < Keys.size(); ++I)
    {
        std::string Bytes;
        for (int Copy = 0; Copy < 100; ++Copy)
        {
            Bytes += Keys[I];
        }
        const std::vector<std::string> Encodings = {Oracle[I]["strict"], Oracle[I]["slashes"],
                                                    FGenericPlatformHttp::UrlEncode(Keys[I])};
        for (const std::string& Encoded : Encodings)
        {
            SCOPED_TRACE(Encoded);
            FStoreRequest Request = B2Request(Session, Keys[I], Bytes);
            Request.Headers.erase("X-Bz-File-Name");
            Request.Headers.emplace("X-Bz-File-Name", Encoded);
            const httplib::Result Result = Send(Request);
            ASSERT_TRUE(Result);
            EXPECT_EQ(Result->status, 200) << Result->body;
            EXPECT_EQ(JsonOf(Result)["fileName"], Keys[I]);
            EXPECT_EQ(JsonOf(Result)["contentSha1"], Oracle[I]["sha1"]);
        }
    }
    // A raw "+" stands for a space in a B2 name.
    FStoreRequest Plus = B2Request(Session, Prefix + "c d.zip", "x");
    Plus.Headers.erase("X-Bz-File-Name");
    Plus.Headers.emplace("X-Bz-File-Name", Prefix + "c+d.zip");
    EXPECT_EQ(JsonOf(Send(Plus))["fileName"], Prefix + "c d.zip");
}
