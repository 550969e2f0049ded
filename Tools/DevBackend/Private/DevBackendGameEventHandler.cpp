// Custom game events: validated and acknowledged; the request log keeps their bodies.
#include "DevBackendHandlers.h"

#include "DevBackendReplies.h"
#include "DevBackendValidation.h"

FDevBackendReply HandleGameEvent(const FDevBackendRequest& Request,
                                 FDevBackendHandlerContext& Context)
{
    nlohmann::json Body;
    FDevBackendReply Reject;
    if (!ReadDevBackendJsonBody(Request, Body, Reject, &ValidateGameEventBody))
    {
        return Reject;
    }
    // Events may come before any session exists (empty sessionId); they are accepted.
    const std::string SessionId = Body["sessionId"].get<std::string>();
    const bool bKnownSession = !SessionId.empty() && Context.Sessions.CountGameEvent(SessionId);
    return DevBackendSuccess({{"eventName", Body["eventName"]},
                              {"sessionId", SessionId},
                              {"sessionKnown", bKnownSession}});
}
