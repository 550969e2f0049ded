// Upload credentials the dev backend hands out, in the three store styles the SDK
// understands. Each points at this server's own store URLs (or at UploadBaseUrl when a
// test wants them elsewhere) and carries what the matching store checks: a signed POST
// policy for GCS, an authorization token for B2, a signed query for a PUT URL. The
// signatures are HMAC-SHA256 with the server's secret, so the store emulators can
// verify them.
#pragma once

#include "DevBackendTypes.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct FDevBackendStoreOptions
{
    EDevBackendStore Style = EDevBackendStore::Gcs;
    // Base of the upload URLs; empty means this server's own base URL.
    std::string UploadBaseUrl;
    std::string BucketName = "quorvex-dev-bucket";
    std::string BucketId = "4a5b6c7d8e9f00112233aabb";
    // Lifetime written as ttlSeconds; expiresAt is issue time + ExpiresInSeconds when that
    // is non-negative, else issue time + TtlSeconds. The stores refuse credentials
    // past expiresAt (on the engine clock).
    std::int32_t TtlSeconds = 15 * 60;
    std::int32_t ExpiresInSeconds = -1;
    // Largest upload the GCS policy admits.
    std::int64_t MaxUploadBytes = 64LL * 1024 * 1024;
    // The placeholder that ends the signed PUT URL's path; the client puts each batch's
    // object name there ("{objectKey}" or "{fileName}").
    std::string SignedUrlPlaceholder = "{objectKey}";
};

// What one issue produced: the JSON record sent to the SDK and the secret token that
// the store will expect (the B2 token, or the signature of the policy or URL).
struct FDevBackendIssuedCredentials
{
    nlohmann::json Json;
    std::string Token;
    std::int64_t ExpiresAtUnixMicros = 0;
    std::string UploadPath; // the upload URL's path (for B2, tied to the token)
};

// Store paths, relative to the upload base; the store emulators serve these.
namespace DevBackendStorePaths
{
// "/upload/gcs/{bucket}"
std::string Gcs(const std::string& BucketName);
// "/b2api/v2/b2_upload_file/{bucketId}/{uploadId}"
std::string B2(const std::string& BucketId, const std::string& UploadId);
// "/upload/put/{bucket}/{encoded session id}"
std::string SignedPut(const std::string& BucketName, const std::string& SessionId);
} // namespace DevBackendStorePaths

// The headers a signed PUT URL signs, as the signedHeaders query parameter names them.
inline constexpr const char* DevBackendSignedPutHeaders = "content-type";

// What a signed PUT URL's signature covers: the verb, the path up to the object name
// (still percent-encoded, ending in "/"), the expiry in Unix seconds and each signed
// header as "name:value" with the name in lower case.
std::string DevBackendSignedPutStringToSign(
    const std::string& Verb, const std::string& PathPrefix, const std::string& Expires,
    const std::vector<std::pair<std::string, std::string>>& SignedHeaders);

// The provider name sent as storageProvider: "GCS", "B2" or "SIGNED_URL".
const char* DevBackendStoreProvider(EDevBackendStore Store);

// Lower-case hex of HMAC-SHA256(Secret, Text).
std::string DevBackendSign(const std::string& Secret, const std::string& Text);

// Issues credentials for one session in the given style. NowUnixSeconds comes from the
// engine clock so that tests freezing it control expiry.
FDevBackendIssuedCredentials IssueDevBackendCredentials(const FDevBackendStoreOptions& Options,
                                                        const std::string& ServerBaseUrl,
                                                        const std::string& Secret,
                                                        const std::string& SessionId);
