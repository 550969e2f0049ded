// The object stores' handlers: a form upload under a signed policy, a B2-style upload
// with a token, a PUT to a signed URL, and the dev routes that list and return what
// they stored. Each reads its request's body as a stream (FDevBackendRequest::Connection)
// and answers with the status and error body of the service it stands in for.
#pragma once

#include "DevBackendCredentialBook.h"
#include "DevBackendCredentials.h"
#include "DevBackendObjectStore.h"
#include "DevBackendTypes.h"

#include <cstdint>
#include <string>

struct FDevBackendStoreContext
{
    FDevBackendObjectStore& Objects;
    const FDevBackendCredentialBook& Credentials;
    const FDevBackendStoreOptions& Options; // a snapshot taken for this request
    const std::string& Secret;
};

// The largest object the B2-style and signed-URL stores take.
inline constexpr std::int64_t DevBackendMaxObjectBytes = 1LL << 30;

FDevBackendReply HandleGcsUpload(const FDevBackendRequest& Request,
                                 FDevBackendStoreContext& Context);
FDevBackendReply HandleB2Upload(const FDevBackendRequest& Request,
                                FDevBackendStoreContext& Context);
FDevBackendReply HandleSignedPutUpload(const FDevBackendRequest& Request,
                                       FDevBackendStoreContext& Context);
FDevBackendReply HandleObjectList(const FDevBackendRequest& Request,
                                  FDevBackendStoreContext& Context);
FDevBackendReply HandleObjectDownload(const FDevBackendRequest& Request,
                                      FDevBackendStoreContext& Context);

// Shared by the store handlers.

// The request's path without the query, still percent-encoded.
std::string DevBackendRawPath(const FDevBackendRequest& Request);
// The value of one query parameter, percent-decoded; empty when absent.
std::string DevBackendQueryValue(const FDevBackendRequest& Request, const std::string& Name);
// Whether the body's length was announced up front (a Content-Length, no chunking).
bool DevBackendHasContentLength(const FDevBackendRequest& Request);
// Streams the body into Upload; false when the client went away or the body was short.
// A failed write to disk shows in Upload.Finish().
bool DevBackendReceiveInto(const FDevBackendRequest& Request, FDevBackendUpload& Upload);
// Now on the engine clock, in microseconds since the epoch.
std::int64_t DevBackendNowMicros();
