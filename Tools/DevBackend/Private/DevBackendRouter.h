// Maps a request line to the endpoint it names. Works on the raw request target and
// decodes each path segment on its own, so a session id holding an encoded "/" or
// space stays one segment.
#pragma once

#include "DevBackendTypes.h"

#include <string>
#include <string_view>

struct FDevBackendRoute
{
    EDevBackendEndpoint Endpoint = EDevBackendEndpoint::Unknown;
    bool bPathKnown = false;   // the path is served, maybe under another verb
    std::string DecodedPath;   // segments decoded, query removed
    std::string PathSessionId; // decoded {id} of the session-scoped routes
};

FDevBackendRoute RouteDevBackendRequest(std::string_view Method, std::string_view Target);
