#include "DevBackendRedaction.h"

#include "StringUtils.h"

#include <nlohmann/json.hpp>

namespace
{
bool IsSecretHeader(const std::string& Name)
{
    return FStringUtils::EqualsIgnoreCase(Name, "Authorization") ||
           FStringUtils::EqualsIgnoreCase(Name, "Cookie") ||
           FStringUtils::StartsWithIgnoreCase(Name, "X-Goog-Signature");
}

bool IsSecretParameter(std::string_view Name)
{
    return FStringUtils::ContainsIgnoreCase(Name, "signature") ||
           FStringUtils::EqualsIgnoreCase(Name, "token") ||
           FStringUtils::EqualsIgnoreCase(Name, "authorizationToken");
}

void RedactCredentials(nlohmann::json& Credentials)
{
    if (!Credentials.is_object())
    {
        return;
    }
    if (Credentials.contains("authorizationToken"))
    {
        Credentials["authorizationToken"] = DevBackendRedacted;
    }
    if (Credentials.contains("uploadUrl") && Credentials["uploadUrl"].is_string())
    {
        Credentials["uploadUrl"] = RedactDevBackendTarget(Credentials["uploadUrl"]);
    }
    for (const char* Fields : {"formFields", "form_fields"})
    {
        if (!Credentials.contains(Fields) || !Credentials[Fields].is_object())
        {
            continue;
        }
        for (auto& [Name, Value] : Credentials[Fields].items())
        {
            if (IsSecretParameter(Name) || FStringUtils::EqualsIgnoreCase(Name, "policy"))
            {
                Value = DevBackendRedacted;
            }
        }
    }
}
} // namespace

std::string RedactDevBackendTarget(const std::string& Target)
{
    const std::size_t Question = Target.find('?');
    if (Question == std::string::npos)
    {
        return Target;
    }
    std::vector<std::string> Pairs;
    for (std::string Pair : FStringUtils::Split(std::string_view(Target).substr(Question + 1), "&"))
    {
        const std::size_t Equals = Pair.find('=');
        if (Equals != std::string::npos && IsSecretParameter(Pair.substr(0, Equals)))
        {
            Pair = Pair.substr(0, Equals + 1) + DevBackendRedacted;
        }
        Pairs.push_back(std::move(Pair));
    }
    return Target.substr(0, Question + 1) + FStringUtils::Join(Pairs, "&");
}

FDevBackendRequest RedactDevBackendRequest(const FDevBackendRequest& Request)
{
    FDevBackendRequest Copy = Request;
    Copy.Connection = nullptr;
    Copy.Target = RedactDevBackendTarget(Request.Target);
    for (auto& [Name, Value] : Copy.Headers)
    {
        if (IsSecretHeader(Name))
        {
            Value = DevBackendRedacted;
        }
    }
    return Copy;
}

std::string RedactDevBackendAnswerBody(const std::string& Body)
{
    if (Body.find("uploadCredentials") == std::string::npos)
    {
        return Body;
    }
    nlohmann::json Json = nlohmann::json::parse(Body, nullptr, false);
    if (!Json.is_object())
    {
        return Body;
    }
    if (Json.contains("uploadCredentials"))
    {
        RedactCredentials(Json["uploadCredentials"]);
    }
    if (Json.contains("data") && Json["data"].is_object() &&
        Json["data"].contains("uploadCredentials"))
    {
        RedactCredentials(Json["data"]["uploadCredentials"]);
    }
    return Json.dump();
}
