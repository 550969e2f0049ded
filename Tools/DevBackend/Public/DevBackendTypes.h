// Plain types shared by every part of the dev backend: which endpoint a request
// reached, which object store a session uploads to, and the transport-neutral request
// and reply records the handlers work on (so only the HTTP host sees cpp-httplib).
#pragma once

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

// "gcs", "b2" or "put": the spelling of the command line.
const char* DevBackendStoreName(EDevBackendStore Store);

// Parses "gcs", "b2" or "put" (ignoring case); false for anything else.
bool ParseDevBackendStore(std::string_view Text, EDevBackendStore& OutStore);

using FDevBackendHeaders = std::vector<std::pair<std::string, std::string>>;

// First value of a header, compared ignoring case; empty when absent.
std::string FindDevBackendHeader(const FDevBackendHeaders& Headers, std::string_view Name);

// One request as the handlers see it.
struct FDevBackendRequest
{
    std::string Method;         // "POST", "PATCH", ...
    std::string Target;         // raw request target, query included, still percent-encoded
    std::string Path;           // target without the query, percent-decoded per segment
    FDevBackendHeaders Headers; // as received (names in the case the client sent)
    std::string Body;
    std::string PathSessionId; // decoded {id} segment of session-scoped routes, else empty
};

// One answer; bDrop closes the connection without writing anything.
struct FDevBackendReply
{
    int Status = 200;
    std::string Body;
    std::string ContentType = "application/json";
    FDevBackendHeaders Headers;
    bool bDrop = false;
};
