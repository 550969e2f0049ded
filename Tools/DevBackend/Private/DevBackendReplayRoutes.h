// The replay page's routes: its files, the served-mode data.js, the session list and
// detail JSON, and frame bytes read from the stored archives.
#pragma once

#include "DevBackendTypes.h"

class FDevBackendServer;
class FDevBackendReplayCatalogue;

// Answers a request routed to one of the Replay* endpoints. Any id or name it will not
// serve (with "/", "..", NUL, over 256 bytes, unknown) is a 404.
FDevBackendReply HandleReplayRequest(EDevBackendEndpoint Endpoint,
                                     const FDevBackendRequest& Request,
                                     const FDevBackendServer& Server,
                                     FDevBackendReplayCatalogue& Catalogue);
