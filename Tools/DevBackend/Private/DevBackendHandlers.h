// The endpoint handlers: the backend's normal behaviour for each route. They see
// plain request records and a context with the session store and a snapshot of the
// server's options, and return the reply to send.
#pragma once

#include "DevBackendCredentialBook.h"
#include "DevBackendServer.h"
#include "DevBackendTypes.h"

#include <nlohmann/json.hpp>

#include <string>

struct FDevBackendHandlerContext
{
    FDevBackendSessionStore& Sessions;
    FDevBackendCredentialBook& Credentials; // what the stores will accept
    const FDevBackendOptions& Options;      // a snapshot taken for this request
    const std::string& BaseUrl;
    const std::string& Secret;
};

FDevBackendReply HandleSessionCreate(const FDevBackendRequest& Request,
                                     FDevBackendHandlerContext& Context);
FDevBackendReply HandleSessionUpdate(const FDevBackendRequest& Request,
                                     FDevBackendHandlerContext& Context);
FDevBackendReply HandleEndSession(const FDevBackendRequest& Request,
                                  FDevBackendHandlerContext& Context);
FDevBackendReply HandleHeartbeat(const FDevBackendRequest& Request,
                                 FDevBackendHandlerContext& Context);
FDevBackendReply HandleRefreshUploadUrl(const FDevBackendRequest& Request,
                                        FDevBackendHandlerContext& Context);
FDevBackendReply HandleGameEvent(const FDevBackendRequest& Request,
                                 FDevBackendHandlerContext& Context);

// Shared by the handlers.

// Checks a body's keys and types; false with a message naming the first fault.
using FDevBackendBodyValidator = bool (*)(const nlohmann::json& Body, std::string& OutError);

// Reads a JSON object body and, when given, validates it; on failure fills OutReject
// (415 when the content type is not JSON, 400 when the body is not a JSON object or
// fails validation) and returns false.
bool ReadDevBackendJsonBody(const FDevBackendRequest& Request, nlohmann::json& OutBody,
                            FDevBackendReply& OutReject,
                            FDevBackendBodyValidator Validate = nullptr);
// Issues credentials of the session's style, applies the test's customisation and
// stores them with the session. False when the session is not active any more.
bool IssueDevBackendSessionCredentials(const FDevBackendSession& Session,
                                       FDevBackendHandlerContext& Context,
                                       nlohmann::json& OutCredentials);
// Now (engine clock) plus Seconds, as ISO 8601 UTC.
std::string DevBackendIsoTimeIn(long long Seconds);
