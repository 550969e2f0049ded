// Each store refuses what its service refuses, with the service's status and error
// body, and keeps nothing of a refused upload.
#include "DevBackendStoreTestFixture.h"

#include "Clock.h"

#include <functional>

namespace
{
// Past the default credential lifetime of 15 minutes.
constexpr double PastExpiry = 15 * 60 + 1;

void SetHeader(httplib::Headers& Headers, const std::string& Name, const std::string& Value)
{
    Headers.erase(Name);
    Headers.emplace(Name, Value);
}

void SetField(FFormFields& Fields, const std::string& Name, const std::string& Value)
{
    for (auto& [Key, Old] : Fields)
    {
        if (Key == Name)
        {
            Old = Value;
            return;
        }
    }
    Fields.emplace_back(Name, Value);
}

// Reverses the escaping of XML text, enough to search error messages.
std::string XmlUnescaped(std::string Text)
{
    for (const auto& [Entity, Plain] :
         {std::pair{"&quot;", "\""}, std::pair{"&apos;", "'"}, std::pair{"&lt;", "<"},
          std::pair{"&gt;", ">"}, std::pair{"&amp;", "&"}})
    {
        for (std::size_t At = Text.find(Entity); At != std::string::npos;
             At = Text.find(Entity, At + 1))
        {
            Text.replace(At, std::string(Entity).size(), Plain);
        }
    }
    return Text;
}

void RemoveField(FFormFields& Fields, const std::string& Name)
{
    std::erase_if(Fields, [&Name](const auto& Field) { return Field.first == Name; });
}
// One refusal of a request-shaped store (B2, signed URL): how the request is spoiled,
// how far the clock moves, and the answer the store must give.
struct FRequestCase
{
    const char* Name;
    std::function<void(FStoreRequest&)> Mutate;
    double AdvanceSeconds;
    int Status;
    const char* Code;
    const char* Mentions;
};

} // namespace

class FDevBackendStoreRejectionTest : public FDevBackendStoreTest
{
protected:
    void ExpectRefused(const FStoreSession& Session, const httplib::Result& Result, int Status,
                       const std::string& Code, const std::string& Mentions, bool bXml)
    {
        ASSERT_TRUE(Result) << httplib::to_string(Result.error());
        EXPECT_EQ(Result->status, Status) << Result->body;
        if (bXml)
        {
            EXPECT_EQ(Result->body.rfind("<?xml", 0), 0u) << Result->body;
            EXPECT_EQ(XmlCode(Result), Code) << Result->body;
        }
        else
        {
            const nlohmann::json Error = JsonOf(Result);
            EXPECT_EQ(Error["status"], Status) << Result->body;
            EXPECT_EQ(Error["code"], Code) << Result->body;
        }
        EXPECT_NE(XmlUnescaped(Result->body).find(Mentions), std::string::npos) << Result->body;
        EXPECT_TRUE(Server->Objects(Session.Id).empty());
    }
};

TEST_F(FDevBackendStoreRejectionTest, FormUploadRefusals)
{
    struct FCase
    {
        const char* Name;
        std::function<void(FFormFields&, std::string& Bytes, const std::string& Secret)> Mutate;
        std::function<void(FStoreRequest&)> Patch;
        std::int64_t MaxUploadBytes;
        double AdvanceSeconds;
        int Status;
        const char* Code;
        const char* Mentions;
    };
    const auto Keep = [](FFormFields&, std::string&, const std::string&) {};
    const std::int64_t Default = FDevBackendStoreOptions().MaxUploadBytes;
    const std::vector<FCase> Cases = {
        {"signature of another policy",
         [](FFormFields& F, std::string&, const std::string& Secret)
         { SetField(F, "x-goog-signature", DevBackendSign(Secret, "other")); },
         nullptr, Default, 0, 403, "SignatureDoesNotMatch", "does not match"},
        {"policy widened after signing",
         [](FFormFields& F, std::string&, const std::string&)
         {
             std::vector<uint8> Raw;
             FBase64::Decode(F[0].second, Raw);
             std::string Policy(Raw.begin(), Raw.end());
             Policy.replace(Policy.find("sessions/"), 9, "");
             SetField(F, "policy", FBase64::Encode(Policy));
         },
         nullptr, Default, 0, 403, "SignatureDoesNotMatch", "does not match"},
        {"no signature",
         [](FFormFields& F, std::string&, const std::string&)
         { RemoveField(F, "x-goog-signature"); },
         nullptr, Default, 0, 403, "AccessDenied", "x-goog-signature"},
        {"key outside the session's prefix",
         [](FFormFields& F, std::string&, const std::string&)
         { SetField(F, "key", "sessions/someone-else/batch.zip"); },
         nullptr, Default, 0, 403, "AccessDenied", "[\"starts-with\",\"$key\","},
        {"content type other than the policy's",
         [](FFormFields& F, std::string&, const std::string&)
         { SetField(F, "Content-Type", "text/plain"); },
         nullptr, Default, 0, 403, "AccessDenied", "{\"Content-Type\":\"application/zip\"}"},
        {"success status other than the policy's",
         [](FFormFields& F, std::string&, const std::string&)
         { SetField(F, "success_action_status", "200"); },
         nullptr, Default, 0, 403, "AccessDenied", "success_action_status"},
        {"a field the policy does not name",
         [](FFormFields& F, std::string&, const std::string&)
         { SetField(F, "x-goog-meta-extra", "1"); },
         nullptr, Default, 0, 403, "AccessDenied", "Extra input fields: x-goog-meta-extra"},
        {"expired policy", Keep, nullptr, Default, PastExpiry, 403, "AccessDenied",
         "Policy expired"},
        {"file over the length range", Keep, nullptr, 1000, 0, 400, "EntityTooLarge",
         "exceeds the maximum"},
        {"empty file", [](FFormFields&, std::string& Bytes, const std::string&) { Bytes.clear(); },
         nullptr, Default, 0, 400, "EntityTooSmall", "smaller than the minimum"},
        {"no file part", Keep,
         [](FStoreRequest& R)
         {
             const std::string Boundary = R.ContentType.substr(R.ContentType.find('=') + 1);
             R.Body = "--" + Boundary +
                      "\r\nContent-Disposition: form-data; name=\"key\"\r\n\r\nk" + "\r\n--" +
                      Boundary + "--\r\n";
         },
         Default, 0, 400, "InvalidArgument", "no file part"},
        {"body cut before the closing boundary", Keep,
         [](FStoreRequest& R) { R.Body.resize(R.Body.size() - 10); }, Default, 0, 400,
         "InvalidArgument", "closing boundary"},
        {"not a multipart form", Keep, [](FStoreRequest& R) { R.ContentType = "application/zip"; },
         Default, 0, 400, "InvalidArgument", "multipart/form-data"},
    };
    for (const FCase& Case : Cases)
    {
        SCOPED_TRACE(Case.Name);
        FScopedFrozenClock Frozen;
        FDevBackendStoreOptions Store;
        Store.MaxUploadBytes = Case.MaxUploadBytes;
        Server->SetStoreOptions(Store);
        const FStoreSession Session = Open(EDevBackendStore::Gcs);
        FFormFields Fields = GcsFields(Session.Credentials, KeyFor(Session, 1));
        std::string Bytes = ArchiveBytes(2000);
        // The policy first, where the case that rewrites it finds it.
        std::stable_partition(Fields.begin(), Fields.end(),
                              [](const auto& F) { return F.first == "policy"; });
        Case.Mutate(Fields, Bytes, Server->SigningSecret());
        FStoreRequest Request = GcsRequest(Session, Fields, Bytes);
        if (Case.Patch)
        {
            Case.Patch(Request);
        }
        Frozen.Advance(Case.AdvanceSeconds);
        ExpectRefused(Session, Send(Request), Case.Status, Case.Code, Case.Mentions, true);
    }
}

TEST_F(FDevBackendStoreRejectionTest, B2UploadRefusals)
{
    const FStoreSession Other = Open(EDevBackendStore::B2);
    const std::vector<FRequestCase> Cases = {
        {"no token", [](FStoreRequest& R) { R.Headers.erase("Authorization"); }, 0, 401,
         "bad_auth_token", "Invalid authorization token"},
        {"a token that was never issued",
         [](FStoreRequest& R) { SetHeader(R.Headers, "Authorization", "4_devnot-a-token"); }, 0,
         401, "bad_auth_token", "Invalid authorization token"},
        {"another upload URL's token",
         [&Other](FStoreRequest& R)
         { SetHeader(R.Headers, "Authorization", Other.Credentials["authorizationToken"]); },
         0, 401, "bad_auth_token", "Invalid authorization token"},
        {"expired token", [](FStoreRequest&) {}, PastExpiry, 401, "expired_auth_token", "expired"},
        {"SHA-1 of other bytes",
         [](FStoreRequest& R) { SetHeader(R.Headers, "X-Bz-Content-Sha1", Sha1Hex("other")); }, 0,
         400, "bad_request", "Sha1 did not match data received"},
        {"no SHA-1", [](FStoreRequest& R) { R.Headers.erase("X-Bz-Content-Sha1"); }, 0, 400,
         "bad_request", "X-Bz-Content-Sha1"},
        {"SHA-1 that is not hex",
         [](FStoreRequest& R) { SetHeader(R.Headers, "X-Bz-Content-Sha1", std::string(40, 'z')); },
         0, 400, "bad_request", "X-Bz-Content-Sha1"},
        {"no file name", [](FStoreRequest& R) { R.Headers.erase("X-Bz-File-Name"); }, 0, 400,
         "bad_request", "X-Bz-File-Name"},
        {"malformed escape in the name",
         [](FStoreRequest& R) { SetHeader(R.Headers, "X-Bz-File-Name", "batch%zz.zip"); }, 0, 400,
         "bad_request", "percent-encoded"},
        {"name with an empty segment",
         [](FStoreRequest& R) { SetHeader(R.Headers, "X-Bz-File-Name", "a%2F%2Fb.zip"); }, 0, 400,
         "bad_request", "//"},
        {"name with a control character",
         [](FStoreRequest& R) { SetHeader(R.Headers, "X-Bz-File-Name", "a%0Ab.zip"); }, 0, 400,
         "bad_request", "control characters"},
        {"name that is not UTF-8",
         [](FStoreRequest& R) { SetHeader(R.Headers, "X-Bz-File-Name", "a%FFb.zip"); }, 0, 400,
         "bad_request", "UTF-8"},
        {"no Content-Length", [](FStoreRequest& R) { R.bChunked = true; }, 0, 400, "bad_request",
         "Content-Length"},
    };
    for (const FRequestCase& Case : Cases)
    {
        SCOPED_TRACE(Case.Name);
        FScopedFrozenClock Frozen;
        const FStoreSession Session = Open(EDevBackendStore::B2);
        FStoreRequest Request = B2Request(Session, KeyFor(Session, 1), ArchiveBytes(3000));
        Case.Mutate(Request);
        Frozen.Advance(Case.AdvanceSeconds);
        ExpectRefused(Session, Send(Request), Case.Status, Case.Code, Case.Mentions, false);
    }
}

TEST_F(FDevBackendStoreRejectionTest, SignedUrlRefusals)
{
    const FStoreSession Other = Open(EDevBackendStore::SignedPut);
    const auto ReplaceInPath = [](FStoreRequest& R, const std::string& From, const std::string& To)
    { R.Path.replace(R.Path.find(From), From.size(), To); };
    const std::vector<FRequestCase> Cases = {
        {"signature altered",
         [&](FStoreRequest& R) { ReplaceInPath(R, "signature=", "signature=0"); }, 0, 403,
         "SignatureDoesNotMatch", "does not match"},
        {"expiry extended", [&](FStoreRequest& R) { ReplaceInPath(R, "expires=", "expires=9"); }, 0,
         403, "SignatureDoesNotMatch", "does not match"},
        {"signed header different", [](FStoreRequest& R) { R.ContentType = "text/plain"; }, 0, 403,
         "SignatureDoesNotMatch", "does not match"},
        {"signed header missing", [](FStoreRequest& R) { R.ContentType.clear(); }, 0, 403,
         "SignatureDoesNotMatch", "content-type is missing"},
        {"another session's prefix",
         [&](FStoreRequest& R) { ReplaceInPath(R, "/" + Other.Id + "/", "/x/"); }, 0, 403,
         "SignatureDoesNotMatch", "does not match"},
        {"no signature",
         [](FStoreRequest& R) { R.Path = R.Path.substr(0, R.Path.find("&signature=")); }, 0, 403,
         "AccessDenied", "signature"},
        {"expired URL", [](FStoreRequest&) {}, PastExpiry, 403, "AccessDenied",
         "Request has expired"},
        {"placeholder left in the path",
         [&](FStoreRequest& R)
         {
             const std::size_t Start = R.Path.find("/sessions/");
             R.Path.replace(Start + 1, R.Path.find('?') - Start - 1, "%7BObjectKey%7D");
         },
         0, 400, "InvalidArgument", "placeholder"},
        {"no Content-Length", [](FStoreRequest& R) { R.bChunked = true; }, 0, 411,
         "MissingContentLength", "Content-Length"},
    };
    for (const FRequestCase& Case : Cases)
    {
        SCOPED_TRACE(Case.Name);
        FScopedFrozenClock Frozen;
        const FStoreSession Session = Case.Name == std::string("another session's prefix")
                                          ? Other
                                          : Open(EDevBackendStore::SignedPut);
        FStoreRequest Request = PutRequest(Session, KeyFor(Session, 1), ArchiveBytes(3000));
        Case.Mutate(Request);
        Frozen.Advance(Case.AdvanceSeconds);
        ExpectRefused(Session, Send(Request), Case.Status, Case.Code, Case.Mentions, true);
    }
}
