// The calls that keep a session going: heartbeat and upload-credential refresh.
#include "DevBackendHandlers.h"

#include "DevBackendReplies.h"

#include <optional>

FDevBackendReply HandleHeartbeat(const FDevBackendRequest& Request,
                                 FDevBackendHandlerContext& Context)
{
    nlohmann::json Body;
    FDevBackendReply Reject;
    if (!ReadDevBackendJsonBody(Request, Body, Reject))
    {
        return Reject;
    }
    const std::string& Id = Request.PathSessionId;
    // A session that is gone is answered 200 with success false: the client reads that
    // as "not alive" and rolls over, while an error status would only look like a
    // network failure to it.
    switch (Context.Sessions.Heartbeat(Id))
    {
    case EDevBackendLookup::NotFound:
        return DevBackendError(200, DevBackendCodes::SessionNotFound, "No session " + Id);
    case EDevBackendLookup::NotActive:
        return DevBackendError(200, DevBackendCodes::InvalidSessionToken,
                               DevBackendSessionExpiredMessage);
    case EDevBackendLookup::Ok:
        break;
    }
    const std::optional<FDevBackendSession> Session = Context.Sessions.Find(Id);
    return DevBackendSuccess(
        {{"sessionId", Id}, {"alive", true}, {"heartbeats", Session ? Session->Heartbeats : 0}});
}

FDevBackendReply HandleRefreshUploadUrl(const FDevBackendRequest& Request,
                                        FDevBackendHandlerContext& Context)
{
    nlohmann::json Body;
    FDevBackendReply Reject;
    if (!ReadDevBackendJsonBody(Request, Body, Reject))
    {
        return Reject;
    }
    const std::string& Id = Request.PathSessionId;
    const std::optional<FDevBackendSession> Session = Context.Sessions.Find(Id);
    if (!Session)
    {
        return DevBackendError(404, DevBackendCodes::SessionNotFound, "No session " + Id);
    }
    nlohmann::json Credentials;
    if (!IssueDevBackendSessionCredentials(*Session, Context, Credentials))
    {
        return DevBackendError(401, DevBackendCodes::InvalidSessionToken,
                               DevBackendSessionExpiredMessage);
    }
    // The refreshed credentials sit at the top level, not under "data".
    FDevBackendReply Reply;
    Reply.Body = nlohmann::json{{"success", true}, {"uploadCredentials", Credentials}}.dump();
    return Reply;
}
