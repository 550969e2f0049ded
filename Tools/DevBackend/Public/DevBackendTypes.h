// Plain types shared by every part of the dev backend: which endpoint a request
// reached, which object store a session uploads to, and the transport-neutral request
// and reply records the handlers work on (so only the HTTP host sees cpp-httplib).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Every route the dev backend knows. Unknown covers any path it does not serve.
enum class EDevBackendEndpoint
{
    SessionCreate,    // POST  /api/v4/session
    SessionUpdate,    // PATCH /api/v4/session (in-game id)
    Heartbeat,        // POST  /api/v4/sessions/{id}/heartbeat
    EndSession,       // POST  /api/v4/sessions/{id}/end
    RefreshUploadUrl, // POST  /api/v4/sessions/{id}/refresh-upload-url
    GameEvent,        // POST  /api/v4/send_game_event
    StoreGcs,         // POST  /upload/gcs/{bucket} (form upload with a signed policy)
    StoreB2,          // POST  /b2api/v2/b2_upload_file/{bucketId}/{uploadId}
    StoreSignedPut,   // PUT   /upload/put/{bucket}/{sessionId}/{object name}?expires=..
    ObjectList,       // GET   /dev/sessions/{id}/objects
    ObjectDownload,   // GET   /dev/objects/{id}/{object name}
    // The replay page, read from what the stores hold.
    ReplayAsset,         // GET /replay/, /replay/{index.html, replay.js, replay.css, data.js}
    ReplaySessionList,   // GET /replay/api/sessions
    ReplaySessionDetail, // GET /replay/api/sessions/{id}
    ReplayFrame,         // GET /replay/api/sessions/{id}/frames/{objectIndex}/{attachmentId}.jpeg
    Unknown,
};

// The upload style a session is given at create, kept for the whole session.
enum class EDevBackendStore
{
    Gcs,       // form POST with a signed policy
    B2,        // POST with an authorization token and B2 headers
    SignedPut, // PUT to a signed URL
};

// Stable name of an endpoint ("SessionCreate", ...), for logs and test messages.
const char* DevBackendEndpointName(EDevBackendEndpoint Endpoint);

// Whether the endpoint is an object-store upload (whose body is read as a stream).
bool IsDevBackendStoreUpload(EDevBackendEndpoint Endpoint);
// The upload endpoint of a store style.
EDevBackendEndpoint DevBackendStoreEndpoint(EDevBackendStore Store);

// "gcs", "b2" or "put": the spelling of the command line.
const char* DevBackendStoreName(EDevBackendStore Store);

// Parses "gcs", "b2", "put" or its other name "signed" (ignoring case); false for
// anything else.
bool ParseDevBackendStore(std::string_view Text, EDevBackendStore& OutStore);

using FDevBackendHeaders = std::vector<std::pair<std::string, std::string>>;

// First value of a header, compared ignoring case; empty when absent.
std::string FindDevBackendHeader(const FDevBackendHeaders& Headers, std::string_view Name);

// Receives one piece of a streamed request body; false stops the stream.
using FDevBackendBodySink = std::function<bool(const char* Data, std::size_t Size)>;

// The connection a streamed request (an object-store upload) arrived on. The HTTP host
// owns it for the duration of one dispatch; handlers read the body through it instead
// of receiving it whole, so uploads of any size cost a few buffers.
class IDevBackendConnection
{
public:
    virtual ~IDevBackendConnection() = default;
    // Streams the body to Sink, first sending "100 Continue" when the client waits for
    // it. False when the client went away, the body was cut short or Sink refused.
    // Only the first call reads; later calls return false.
    virtual bool ReadBody(const FDevBackendBodySink& Sink) = 0;
    // The client's "Expect: 100-continue" will never be answered.
    virtual void WithholdContinue() = 0;
    // Closes the connection abortively (a TCP reset) without answering.
    virtual void Reset() = 0;
};

// One request as the handlers see it.
struct FDevBackendRequest
{
    std::string Method;         // "POST", "PATCH", ...
    std::string Target;         // raw request target, query included, still percent-encoded
    std::string Path;           // target without the query, percent-decoded per segment
    FDevBackendHeaders Headers; // as received (names in the case the client sent)
    std::string Body;
    std::string PathSessionId; // decoded {id} segment of session-scoped routes, else empty
    // Set for streamed routes (the stores), whose Body stays empty; owned by the host.
    IDevBackendConnection* Connection = nullptr;
};

// One answer; bDrop closes the connection without writing anything.
struct FDevBackendReply
{
    int Status = 200;
    std::string Body;
    std::string ContentType = "application/json";
    FDevBackendHeaders Headers;
    bool bDrop = false;
    // When set, the body is this file's content, streamed (Body is ignored).
    std::string BodyFilePath;
};
