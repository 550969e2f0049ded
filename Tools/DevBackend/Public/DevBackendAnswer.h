// One scripted answer of the dev backend: what to do with the next request that
// reaches an endpoint. An answer first waits (Delay), then optionally holds the
// request until the test releases it (Stalled), then acts: handle the request as the
// backend normally would, answer with a fixed status and body, drop the connection,
// or reset it part way through the body. On the object stores an answer may also
// withhold "100 Continue" and read the upload at a trickle.
#pragma once

#include "DevBackendTypes.h"

#include <chrono>
#include <string>

enum class EDevBackendAction
{
    Handle,  // the normal backend behaviour (validation, sessions, credentials)
    Respond, // a fixed status and body, no validation and no state change
    Drop,    // close the socket without writing a response
    Reset,   // read ResetAfterBytes of the body, then reset the connection (stores only)
};

struct FDevBackendAnswer
{
    EDevBackendAction Action = EDevBackendAction::Handle;
    int Status = 200;
    std::string Body;
    std::string ContentType = "application/json";
    // Waited before anything else; cut short (and the request dropped) when the server stops.
    std::chrono::milliseconds Delay{0};
    // Hold the request until ReleaseStalled() or Stop(); a stop drops it.
    bool bStall = false;
    // Extra response headers of a fixed answer (a redirect's Location).
    FDevBackendHeaders Headers;
    // Reset: how much of the body is read before the connection is reset.
    long long ResetAfterBytes = 0;
    // Stores: the body is read at this many bytes a second; 0 reads it at full speed.
    long long DripBytesPerSecond = 0;
    // Stores: a client waiting for "100 Continue" never gets it.
    bool bWithholdContinue = false;

    // The normal behaviour; the default for an endpoint without a script.
    static FDevBackendAnswer Handle();
    // A fixed answer, e.g. Respond(500, "oops", "text/plain").
    static FDevBackendAnswer Respond(int Status, std::string Body = {},
                                     std::string ContentType = "application/json");
    // A fixed answer in the backend's error shape:
    // {"success":false,"data":{"code":Code,"message":Message}}.
    static FDevBackendAnswer Error(int Status, std::string_view Code, std::string_view Message);
    static FDevBackendAnswer Drop();
    // Handle normally once released: the shape of a request that outlives a client timeout.
    static FDevBackendAnswer Stall();
    // A fixed redirect (301, 302, 307, 308) to Location, with an empty body.
    static FDevBackendAnswer Redirect(int Status, std::string Location);
    // Reads the first Bytes of the body, then resets the connection.
    static FDevBackendAnswer ResetMidBody(long long Bytes);
    // Handles normally, reading the body at BytesPerSecond: a slow uplink.
    static FDevBackendAnswer Drip(long long BytesPerSecond);
    // Handles normally, except that "Expect: 100-continue" is never answered.
    static FDevBackendAnswer NoContinue();

    // The same answer, given only after waiting.
    FDevBackendAnswer WithDelay(std::chrono::milliseconds Wait) const;
    // The same answer, given only once released.
    FDevBackendAnswer Stalled() const;
};
