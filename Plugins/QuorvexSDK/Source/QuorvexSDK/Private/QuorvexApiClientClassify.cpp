// What a failed result means for its caller, and keeping secrets out of the log.
#include "QuorvexApiClient.h"

#include "JsonSerializer.h"
#include "StringUtils.h"

namespace
{
// Case-insensitive find starting at From.
size_t FindIgnoreCase(const FString& Text, const FString& Needle, size_t From)
{
    if (Needle.empty() || From > Text.size())
    {
        return FString::npos;
    }
    for (size_t At = From; At + Needle.size() <= Text.size(); ++At)
    {
        if (FStringUtils::EqualsIgnoreCase(std::string_view(Text).substr(At, Needle.size()),
                                           Needle))
        {
            return At;
        }
    }
    return FString::npos;
}

size_t SkipWhitespace(const FString& Text, size_t At)
{
    while (At < Text.size() && FStringUtils::IsWhitespace(Text[At]))
    {
        ++At;
    }
    return At;
}

// Replaces the string value of every "Key": "..." member with <redacted>.
void RedactKey(FString& Text, const FString& Key)
{
    const FString Quoted = "\"" + Key + "\"";
    size_t Search = 0;
    while (true)
    {
        const size_t Hit = FindIgnoreCase(Text, Quoted, Search);
        if (Hit == FString::npos)
        {
            return;
        }
        Search = Hit + Quoted.size();
        size_t At = SkipWhitespace(Text, Search);
        if (At >= Text.size() || Text[At] != ':')
        {
            continue;
        }
        At = SkipWhitespace(Text, At + 1);
        if (At >= Text.size() || Text[At] != '"')
        {
            continue;
        }
        const size_t Close = Text.find('"', At + 1);
        if (Close == FString::npos)
        {
            return;
        }
        static const FString Redacted = "<redacted>";
        Text.replace(At + 1, Close - At - 1, Redacted);
        Search = At + 1 + Redacted.size();
    }
}
} // namespace

FString FQuorvexApiClient::RedactForLog(const FString& Text)
{
    if (Text.empty())
    {
        return Text;
    }
    FString Out = Text;
    for (const char* Key : {"authorizationToken", "uploadUrl", "Authorization"})
    {
        RedactKey(Out, Key);
    }
    const size_t Api = FindIgnoreCase(Out, "/b2api/", 0);
    if (Api != FString::npos)
    {
        const size_t Upload = FindIgnoreCase(Out, "b2_upload_file", Api);
        if (Upload != FString::npos)
        {
            Out = Out.substr(0, Upload) + "<redacted-upload-url>";
        }
    }
    return Out;
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
    return FStringUtils::ContainsIgnoreCase(Result.ResponseBody, "Session has expired") ||
           FStringUtils::ContainsIgnoreCase(Result.ResponseBody,
                                            "\"code\":\"InvalidSessionToken\"");
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
