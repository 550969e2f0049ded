// What a failed result means for its caller, and keeping secrets out of the log.
#include "QuorvexApiClient.h"

#include "JsonSerializer.h"
#include "QuorvexRedaction.h"
#include "StringUtils.h"

FString FQuorvexApiClient::RedactForLog(const FString& Text)
{
    return QuorvexRedaction::RedactBounded(Text);
}

bool FQuorvexApiClient::IsInactiveSessionResponse(const FQuorvexHttpResult& Result)
{
    if (Result.bSuccess)
    {
        return false;
    }
    if (Result.StatusCode == 400 || Result.StatusCode == 401)
    {
        return true;
    }
    // Backends that answer a session they no longer know with 404 or 410 say so in
    // their error body; a store's own 404 (an XML error) is not such an answer.
    return FStringUtils::ContainsIgnoreCase(Result.ResponseBody, "Session has expired") ||
           FStringUtils::ContainsIgnoreCase(Result.ResponseBody,
                                            "\"code\":\"InvalidSessionToken\"") ||
           FStringUtils::ContainsIgnoreCase(Result.ResponseBody, "\"code\":\"SessionNotFound\"");
}

EQuorvexUploadFailureKind FQuorvexApiClient::ClassifyUploadFailure(const FQuorvexHttpResult& Result)
{
    using EKind = EQuorvexUploadFailureKind;
    if (Result.bSuccess)
    {
        return EKind::Other;
    }
    const int32 Status = Result.StatusCode;
    if (Status == 401 || Status == 503)
    {
        return EKind::CredentialsRejected;
    }
    if ((Status == 400 || Status == 403) && !Result.ResponseBody.empty())
    {
        for (const char* Marker :
             {"SignatureDoesNotMatch", "ExpiredToken", "expired", "auth_token_limit"})
        {
            if (FStringUtils::ContainsIgnoreCase(Result.ResponseBody, Marker))
            {
                return EKind::CredentialsRejected;
            }
        }
    }
    if (IsInactiveSessionResponse(Result))
    {
        return EKind::SessionInactive;
    }
    if (Status >= 400 && Status <= 404)
    {
        return EKind::RequestRejected;
    }
    return EKind::Other;
}

bool FQuorvexApiClient::IsTerminalSessionCreateResponse(const FQuorvexHttpResult& Result,
                                                        FString& OutCode, FString& OutMessage)
{
    if (Result.bSuccess)
    {
        return false;
    }
    FJsonObjectPtr Root;
    if (FJsonSerializer::Deserialize(Result.ResponseBody, Root))
    {
        FJsonObjectPtr Detail;
        if (Root->TryGetObjectField("detail", Detail) || Root->TryGetObjectField("data", Detail))
        {
            Detail->TryGetStringField("code", OutCode);
            Detail->TryGetStringField("message", OutMessage);
        }
    }
    return FStringUtils::EqualsIgnoreCase(OutCode, "PlatformNotAllowed") ||
           Result.StatusCode == 422;
}
