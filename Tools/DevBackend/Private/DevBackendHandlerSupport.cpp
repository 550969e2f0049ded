#include "DevBackendHandlers.h"

#include "DateTime.h"
#include "DevBackendReplies.h"
#include "DevBackendValidation.h"
#include "StringUtils.h"

bool ReadDevBackendJsonBody(const FDevBackendRequest& Request, nlohmann::json& OutBody,
                            FDevBackendReply& OutReject, FDevBackendBodyValidator Validate)
{
    const std::string ContentType = FindDevBackendHeader(Request.Headers, "Content-Type");
    if (!FStringUtils::StartsWithIgnoreCase(ContentType, "application/json"))
    {
        OutReject =
            DevBackendError(415, DevBackendCodes::UnsupportedMediaType,
                            "Content-Type must be application/json, got \"" + ContentType + "\"");
        return false;
    }
    std::string Error;
    if (!ParseDevBackendJsonObject(Request.Body, OutBody, Error) ||
        (Validate && !Validate(OutBody, Error)))
    {
        OutReject = DevBackendError(400, DevBackendCodes::InvalidRequest, Error);
        return false;
    }
    return true;
}

bool IssueDevBackendSessionCredentials(const FDevBackendSession& Session,
                                       FDevBackendHandlerContext& Context,
                                       nlohmann::json& OutCredentials)
{
    // The style is the session's own: a refresh never moves a session to another store.
    FDevBackendStoreOptions Store = Context.Options.Store;
    Store.Style = Session.Store;
    FDevBackendIssuedCredentials Issued =
        IssueDevBackendCredentials(Store, Context.BaseUrl, Context.Secret, Session.Id);
    if (Context.Options.CustomizeCredentials)
    {
        Context.Options.CustomizeCredentials(Issued.Json);
    }
    if (Context.Sessions.StoreCredentials(Session.Id, Issued.Token, Issued.Json) !=
        EDevBackendLookup::Ok)
    {
        return false;
    }
    // The stores accept every issued credential until its own expiry, also after a
    // refresh has issued newer ones.
    Context.Credentials.Remember(
        Issued.Token, {Session.Id, Session.Store, Issued.ExpiresAtUnixMicros, Issued.UploadPath});
    OutCredentials = std::move(Issued.Json);
    return true;
}

std::string DevBackendIsoTimeIn(long long Seconds)
{
    const FDateTime Now = FDateTime::UtcNow();
    return FDateTime::FromUnixMicroseconds(Now.ToUnixMicroseconds() + Seconds * 1000000LL)
        .ToIso8601();
}
