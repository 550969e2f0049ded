#include "DevBackendCredentials.h"

#include "DateTime.h"
#include "Guid.h"
#include "Hashing.h"
#include "StringUtils.h"
#include "UrlEncoding.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace
{
struct FIssueContext
{
    const FDevBackendStoreOptions& Options;
    std::string UploadBase; // no trailing "/"
    const std::string& Secret;
    const std::string& SessionId;
    FDateTime Now;
    FDateTime Expiry;
};

std::string LowerHexGuid()
{
    return FStringUtils::ToLower(FGuid::NewGuid().ToString(EGuidFormats::Digits));
}

// "20250102T030405Z", the date form of the x-goog-date field.
std::string CompactUtc(const FDateTime& Time)
{
    return FStringUtils::Printf("%04d%02d%02dT%02d%02d%02dZ", Time.GetYear(), Time.GetMonth(),
                                Time.GetDay(), Time.GetHour(), Time.GetMinute(), Time.GetSecond());
}

nlohmann::json CommonFields(const FIssueContext& C)
{
    return {
        {"storageProvider", DevBackendStoreProvider(C.Options.Style)},
        {"bucketName", C.Options.BucketName},
        {"bucketId", C.Options.BucketId},
        {"expiresAt", C.Expiry.ToIso8601()},
        {"ttlSeconds", C.Options.TtlSeconds},
    };
}

FDevBackendIssuedCredentials IssueGcs(const FIssueContext& C)
{
    const std::string Date = CompactUtc(C.Now);
    const std::string Credential =
        "quorvex-dev-backend/" + Date.substr(0, 8) + "/auto/storage/goog4_request";
    const nlohmann::json Policy = {
        {"expiration", C.Expiry.ToIso8601()},
        {"conditions", nlohmann::json::array({
                           {{"bucket", C.Options.BucketName}},
                           {"starts-with", "$key", "sessions/" + C.SessionId + "/"},
                           {{"success_action_status", "201"}},
                           {{"Content-Type", "application/zip"}},
                           {"content-length-range", 1, C.Options.MaxUploadBytes},
                           {{"x-goog-algorithm", "GOOG4-HMAC-SHA256"}},
                           {{"x-goog-credential", Credential}},
                           {{"x-goog-date", Date}},
                       })},
    };
    const std::string PolicyBase64 = FBase64::Encode(Policy.dump());
    FDevBackendIssuedCredentials Issued;
    Issued.Token = DevBackendSign(C.Secret, PolicyBase64);
    Issued.Json = CommonFields(C);
    Issued.UploadPath = DevBackendStorePaths::Gcs(C.Options.BucketName);
    Issued.Json["uploadUrl"] = C.UploadBase + Issued.UploadPath;
    Issued.Json["uploadMethod"] = "POST";
    Issued.Json["keyPrefix"] = "sessions/{sessionId}";
    Issued.Json["formFields"] = {
        {"policy", PolicyBase64},
        {"x-goog-algorithm", "GOOG4-HMAC-SHA256"},
        {"x-goog-credential", Credential},
        {"x-goog-date", Date},
        {"x-goog-signature", Issued.Token},
        {"success_action_status", "201"},
        {"Content-Type", "application/zip"},
    };
    return Issued;
}

FDevBackendIssuedCredentials IssueB2(const FIssueContext& C)
{
    FDevBackendIssuedCredentials Issued;
    Issued.Token = "4_dev" + LowerHexGuid();
    Issued.Json = CommonFields(C);
    Issued.UploadPath = DevBackendStorePaths::B2(C.Options.BucketId, LowerHexGuid());
    Issued.Json["uploadUrl"] = C.UploadBase + Issued.UploadPath;
    Issued.Json["authorizationToken"] = Issued.Token;
    Issued.Json["uploadMethod"] = "POST";
    Issued.Json["keyPrefix"] = "sessions/{sessionId}";
    Issued.Json["requiredHeaders"] = {
        {"Authorization", "{authorizationToken}"},
        {"X-Bz-Info-src_last_modified_millis", "{timestampMs}"},
    };
    Issued.Json["perFileHeaders"] = {"X-Bz-File-Name", "X-Bz-Content-Sha1"};
    return Issued;
}

// A container-style URL: the signature covers the session's path prefix, and the client
// puts each batch's object name in place of the placeholder, so every batch becomes
// an object of its own instead of overwriting the one before.
FDevBackendIssuedCredentials IssueSignedPut(const FIssueContext& C)
{
    const std::string Prefix =
        DevBackendStorePaths::SignedPut(C.Options.BucketName, C.SessionId) + "/";
    const std::string Expires = std::to_string(C.Expiry.ToUnixTimestamp());
    FDevBackendIssuedCredentials Issued;
    Issued.Token = DevBackendSign(
        C.Secret, DevBackendSignedPutStringToSign("PUT", Prefix, Expires,
                                                  {{"content-type", "application/zip"}}));
    Issued.UploadPath = Prefix;
    Issued.Json = CommonFields(C);
    Issued.Json["uploadUrl"] =
        C.UploadBase + Prefix + C.Options.SignedUrlPlaceholder + "?expires=" + Expires +
        "&signedHeaders=" + DevBackendSignedPutHeaders + "&signature=" + Issued.Token;
    Issued.Json["uploadMethod"] = "PUT";
    Issued.Json["objectKeyTemplate"] =
        "sessions/{sessionId}/{sessionId}_{sequenceNumberPadded}.zip";
    Issued.Json["requiredHeaders"] = {{"Content-Type", "application/zip"}};
    return Issued;
}
} // namespace

namespace DevBackendStorePaths
{
std::string Gcs(const std::string& BucketName)
{
    return "/upload/gcs/" + FGenericPlatformHttp::UrlEncode(BucketName);
}

std::string B2(const std::string& BucketId, const std::string& UploadId)
{
    return "/b2api/v2/b2_upload_file/" + FGenericPlatformHttp::UrlEncode(BucketId) + "/" +
           FGenericPlatformHttp::UrlEncode(UploadId);
}

std::string SignedPut(const std::string& BucketName, const std::string& SessionId)
{
    return "/upload/put/" + FGenericPlatformHttp::UrlEncode(BucketName) + "/" +
           FGenericPlatformHttp::UrlEncode(SessionId);
}
} // namespace DevBackendStorePaths

std::string DevBackendSignedPutStringToSign(
    const std::string& Verb, const std::string& PathPrefix, const std::string& Expires,
    const std::vector<std::pair<std::string, std::string>>& SignedHeaders)
{
    std::string Text = Verb + "\n" + PathPrefix + "\n" + Expires + "\n";
    for (const auto& [Name, Value] : SignedHeaders)
    {
        Text += FStringUtils::ToLower(Name) + ":" + Value + "\n";
    }
    return Text;
}

const char* DevBackendStoreProvider(EDevBackendStore Store)
{
    switch (Store)
    {
    case EDevBackendStore::Gcs:
        return "GCS";
    case EDevBackendStore::B2:
        return "B2";
    case EDevBackendStore::SignedPut:
        return "SIGNED_URL";
    }
    return "GCS";
}

std::string DevBackendSign(const std::string& Secret, const std::string& Text)
{
    unsigned char Digest[EVP_MAX_MD_SIZE];
    unsigned int DigestLength = 0;
    HMAC(EVP_sha256(), Secret.data(), static_cast<int>(Secret.size()),
         reinterpret_cast<const unsigned char*>(Text.data()), Text.size(), Digest, &DigestLength);
    std::string Hex;
    for (unsigned int I = 0; I < DigestLength; ++I)
    {
        Hex += FStringUtils::Printf("%02x", Digest[I]);
    }
    return Hex;
}

FDevBackendIssuedCredentials IssueDevBackendCredentials(const FDevBackendStoreOptions& Options,
                                                        const std::string& ServerBaseUrl,
                                                        const std::string& Secret,
                                                        const std::string& SessionId)
{
    std::string UploadBase = Options.UploadBaseUrl.empty() ? ServerBaseUrl : Options.UploadBaseUrl;
    while (!UploadBase.empty() && UploadBase.back() == '/')
    {
        UploadBase.pop_back();
    }
    const FDateTime Now = FDateTime::UtcNow();
    const long long Lifetime =
        Options.ExpiresInSeconds >= 0 ? Options.ExpiresInSeconds : Options.TtlSeconds;
    const FDateTime Expiry =
        FDateTime::FromUnixMicroseconds(Now.ToUnixMicroseconds() + Lifetime * 1000000LL);
    const FIssueContext Context{Options, UploadBase, Secret, SessionId, Now, Expiry};
    FDevBackendIssuedCredentials Issued;
    switch (Options.Style)
    {
    case EDevBackendStore::B2:
        Issued = IssueB2(Context);
        break;
    case EDevBackendStore::SignedPut:
        Issued = IssueSignedPut(Context);
        break;
    case EDevBackendStore::Gcs:
        Issued = IssueGcs(Context);
        break;
    }
    Issued.ExpiresAtUnixMicros = Expiry.ToUnixMicroseconds();
    return Issued;
}
