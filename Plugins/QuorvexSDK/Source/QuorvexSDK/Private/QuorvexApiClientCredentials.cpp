// Object-store upload credentials: reading them and refreshing them.
#include "QuorvexApiClient.h"

#include "JsonSerializer.h"
#include "QuorvexLog.h"
#include "StringUtils.h"

namespace
{
// Members of the first of two keys that holds an object; string-like values only.
void ReadStringMap(const FJsonObject& Object, const char* Key, const char* AlternateKey,
                   TCaseInsensitiveOrderedMap<FString>& Out)
{
    FJsonObjectPtr Map;
    if (!Object.TryGetObjectField(Key, Map) && !Object.TryGetObjectField(AlternateKey, Map))
    {
        return;
    }
    for (const auto& [Name, Value] : Map->Values())
    {
        FString Text;
        if (Value && Value->TryGetString(Text))
        {
            Out.Add(Name, Text);
        }
    }
}
} // namespace

bool FQuorvexApiClient::IsGcsProvider(const FString& Provider)
{
    return FStringUtils::EqualsIgnoreCase(Provider, "GCS");
}

bool FQuorvexApiClient::ParseUploadCredentials(const FJsonObjectPtr& Object,
                                               FQuorvexUploadCredentials& OutCredentials)
{
    if (!Object)
    {
        return false;
    }
    FQuorvexUploadCredentials& C = OutCredentials;
    Object->TryGetStringField("uploadUrl", C.UploadUrl);
    Object->TryGetStringField("authorizationToken", C.AuthorizationToken);
    Object->TryGetStringField("bucketId", C.BucketId);
    Object->TryGetStringField("bucketName", C.BucketName);
    Object->TryGetStringField("keyPrefix", C.KeyPrefix);
    Object->TryGetStringField("objectKeyTemplate", C.ObjectKeyTemplate);
    Object->TryGetStringField("expiresAt", C.ExpiresAt);
    Object->TryGetNumberField("ttlSeconds", C.TtlSeconds);
    Object->TryGetStringField("uploadMethod", C.UploadMethod);
    Object->TryGetStringField("storageProvider", C.StorageProvider);
    ReadStringMap(*Object, "requiredHeaders", "required_headers", C.RequiredHeaders);
    ReadStringMap(*Object, "formFields", "form_fields", C.FormFields);
    const FJsonArray* PerFile = nullptr;
    if (Object->TryGetArrayField("perFileHeaders", PerFile))
    {
        for (const FJsonValuePtr& Value : *PerFile)
        {
            FString Text;
            if (Value && Value->TryGetString(Text))
            {
                C.PerFileHeaders.push_back(Text);
            }
        }
    }
    return !C.UploadUrl.empty();
}

void FQuorvexApiClient::RefreshUploadUrlAsync(const FString& SessionId,
                                              FQuorvexUploadUrlRefreshed OnDone)
{
    const FString Endpoint = BuildRefreshUploadUrlEndpoint(SessionId);
    if (Endpoint.empty())
    {
        if (OnDone)
        {
            OnDone(false, FQuorvexUploadCredentials());
        }
        return;
    }
    QUORVEX_LOG_DEBUG("QuorvexSDK: RefreshUploadUrl -> POST %s", Endpoint.c_str());
    PostJsonAsync(
        Endpoint, "{}",
        [OnDone = std::move(OnDone)](const FQuorvexHttpResult& Result)
        {
            auto Done = [&OnDone](bool bOk, const FQuorvexUploadCredentials& Credentials)
            {
                if (OnDone)
                {
                    OnDone(bOk, Credentials);
                }
            };
            if (!Result.bSuccess)
            {
                QUORVEX_LOG(Warning, "QuorvexSDK: RefreshUploadUrl: HTTP failed status=%d",
                            Result.StatusCode);
                return Done(false, FQuorvexUploadCredentials());
            }
            FJsonObjectPtr Root;
            if (!FJsonSerializer::Deserialize(Result.ResponseBody, Root))
            {
                QUORVEX_LOG(Warning, "QuorvexSDK: RefreshUploadUrl: could not parse response");
                return Done(false, FQuorvexUploadCredentials());
            }
            FJsonObjectPtr CredentialsObject;
            if (!Root->TryGetObjectField("uploadCredentials", CredentialsObject))
            {
                QUORVEX_LOG(Warning,
                            "QuorvexSDK: RefreshUploadUrl: response carried no uploadCredentials");
                return Done(false, FQuorvexUploadCredentials());
            }
            FQuorvexUploadCredentials Credentials;
            if (!ParseUploadCredentials(CredentialsObject, Credentials))
            {
                QUORVEX_LOG(
                    Warning,
                    "QuorvexSDK: RefreshUploadUrl: uploadCredentials had no usable uploadUrl");
                return Done(false, Credentials);
            }
            QUORVEX_LOG_DEBUG("QuorvexSDK: Upload credentials refreshed. provider=%s expiresAt=%s",
                              Credentials.StorageProvider.c_str(), Credentials.ExpiresAt.c_str());
            Done(true, Credentials);
        },
        "POST", true);
}
