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
    // A session that is gone is answered with the backend's error body, by default
    // with 200 and success false, or with the error status the options choose.
    const int DeadStatus = Context.Options.DeadSessionHeartbeatStatus;
    switch (Context.Sessions.Heartbeat(Id))
    {
    case EDevBackendLookup::NotFound:
        return DevBackendError(DeadStatus, DevBackendCodes::SessionNotFound, "No session " + Id);
    case EDevBackendLookup::NotActive:
        return DevBackendError(DeadStatus, DevBackendCodes::InvalidSessionToken,
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
