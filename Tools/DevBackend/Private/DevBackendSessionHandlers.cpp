// Session create, in-game-id update and end.
#include "DevBackendHandlers.h"

#include "DevBackendReplies.h"
#include "DevBackendValidation.h"
#include "Guid.h"
#include "StringUtils.h"

#include <optional>

namespace
{
std::string NextSessionId(const FDevBackendHandlerContext& Context)
{
    if (Context.Options.SessionIdFactory)
    {
        return Context.Options.SessionIdFactory();
    }
    return "dev-" + FStringUtils::ToLower(FGuid::NewGuid().ToString(EGuidFormats::Digits));
}

std::optional<std::string> OptionalString(const nlohmann::json& Value)
{
    if (Value.is_string() && !Value.get<std::string>().empty())
    {
        return Value.get<std::string>();
    }
    return std::nullopt;
}

nlohmann::json InGameIdJson(const std::optional<std::string>& InGameId)
{
    return InGameId ? nlohmann::json(*InGameId) : nlohmann::json(nullptr);
}

FDevBackendReply NotFound(const std::string& Id)
{
    return DevBackendError(404, DevBackendCodes::SessionNotFound, "No session " + Id);
}

FDevBackendReply Expired()
{
    return DevBackendError(401, DevBackendCodes::InvalidSessionToken,
                           DevBackendSessionExpiredMessage);
}
} // namespace

FDevBackendReply HandleSessionCreate(const FDevBackendRequest& Request,
                                     FDevBackendHandlerContext& Context)
{
    nlohmann::json Body;
    FDevBackendReply Reject;
    if (!ReadDevBackendJsonBody(Request, Body, Reject, &ValidateSessionCreateBody))
    {
        return Reject;
    }
    const std::string Id = NextSessionId(Context);
    const std::optional<FDevBackendSession> Session =
        Id.empty() ? std::nullopt
                   : Context.Sessions.Create(Id, Context.Options.Store.Style,
                                             Body["isRollover"].get<bool>(), Body,
                                             OptionalString(Body["inGameId"]));
    if (!Session)
    {
        return DevBackendError(500, DevBackendCodes::SessionIdCollision,
                               "Session id \"" + Id + "\" is empty or already taken");
    }
    nlohmann::json Credentials;
    IssueDevBackendSessionCredentials(*Session, Context, Credentials);
    return DevBackendSuccess({
        {"sessionId", Session->Id},
        {"expiresAt", DevBackendIsoTimeIn(Context.Options.SessionTtlSeconds)},
        {"storageProvider", DevBackendStoreProvider(Session->Store)},
        {"captureConfig", Context.Options.CaptureConfig},
        {"uploadCredentials", Credentials},
    });
}

FDevBackendReply HandleSessionUpdate(const FDevBackendRequest& Request,
                                     FDevBackendHandlerContext& Context)
{
    nlohmann::json Body;
    FDevBackendReply Reject;
    if (!ReadDevBackendJsonBody(Request, Body, Reject, &ValidateSessionUpdateBody))
    {
        return Reject;
    }
    const std::string Id = Body["sessionId"].get<std::string>();
    const std::optional<std::string> InGameId = OptionalString(Body["inGameId"]);
    switch (Context.Sessions.SetInGameId(Id, InGameId))
    {
    case EDevBackendLookup::NotFound:
        return NotFound(Id);
    case EDevBackendLookup::NotActive:
        return Expired();
    case EDevBackendLookup::Ok:
        break;
    }
    return DevBackendSuccess({{"sessionId", Id}, {"inGameId", InGameIdJson(InGameId)}});
}

FDevBackendReply HandleEndSession(const FDevBackendRequest& Request,
                                  FDevBackendHandlerContext& Context)
{
    nlohmann::json Body;
    FDevBackendReply Reject;
    if (!ReadDevBackendJsonBody(Request, Body, Reject, &ValidateEndSessionBody))
    {
        return Reject;
    }
    const std::string& Id = Request.PathSessionId;
    const EDevBackendLookup Found = Context.Sessions.End(
        Id, Body["reason"].get<std::string>(), Body["totalFramesCaptured"].get<std::int64_t>(),
        Body["totalEventsRecorded"].get<std::int64_t>(), Body["errorDetails"].get<std::string>());
    if (Found == EDevBackendLookup::NotFound)
    {
        return NotFound(Id);
    }
    return DevBackendSuccess({{"sessionId", Id}, {"state", "ended"}});
}
