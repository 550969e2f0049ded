// One scripted answer of the dev backend: what to do with the next request that
// reaches an endpoint. An answer first waits (Delay), then optionally holds the
// request until the test releases it (Stalled), then acts: handle the request as the
// backend normally would, answer with a fixed status and body, or drop the connection.
#pragma once

#include "DevBackendTypes.h"

#include <chrono>
#include <string>

enum class EDevBackendAction
{
    Handle,  // the normal backend behaviour (validation, sessions, credentials)
    Respond, // a fixed status and body, no validation and no state change
    Drop,    // close the socket without writing a response
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

    // The same answer, given only after waiting.
    FDevBackendAnswer WithDelay(std::chrono::milliseconds Wait) const;
    // The same answer, given only once released.
    FDevBackendAnswer Stalled() const;
};
