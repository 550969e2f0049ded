// Upload targets: when credentials need renewing, and how one batch's upload (URL,
// verb, object key, headers, form fields) is built from them.
#include "QuorvexApiClient.h"

#include "DateTime.h"
#include "Files.h"
#include "Guid.h"
#include "StringUtils.h"
#include "UrlEncoding.h"

#include <algorithm>

namespace
{
// Replaces every case-blind occurrence of Placeholder in Text.
void ReplacePlaceholder(FString& Text, std::string_view Placeholder, const FString& Value)
{
    const FString Lower = FStringUtils::ToLower(Text);
    const FString Needle = FStringUtils::ToLower(Placeholder);
    FString Out;
    size_t From = 0;
    for (size_t At = Lower.find(Needle); At != FString::npos; At = Lower.find(Needle, From))
    {
        Out.append(Text, From, At - From);
        Out += Value;
        From = At + Needle.size();
    }
    Out.append(Text, From, FString::npos);
    Text = std::move(Out);
}

FString AsIs(const FString& Value)
{
    return Value;
}

// Percent-encodes a value for a URL path, keeping its '/' separators.
FString EncodePathValue(const FString& Value)
{
    std::vector<FString> Segments = FStringUtils::Split(Value, "/");
    for (FString& Segment : Segments)
    {
        Segment = FGenericPlatformHttp::UrlEncode(Segment);
    }
    return FStringUtils::Join(Segments, "/");
}

// Expands every upload placeholder of Text (case-blind), passing the values that come
// from outside through Encode.
FString ExpandPlaceholders(FString Text, const FString& SessionId, int64 SequenceNumber,
                           int64 TimestampMs, const FString& FilePath, const FString& ObjectKey,
                           FString (*Encode)(const FString&))
{
    const long long Sequence = SequenceNumber;
    const long long Timestamp = TimestampMs;
    ReplacePlaceholder(Text, "{sessionId}", Encode(SessionId));
    ReplacePlaceholder(Text, "{sequenceNumber}", FStringUtils::Printf("%lld", Sequence));
    ReplacePlaceholder(Text, "{sequenceNumberPadded}", FStringUtils::Printf("%020lld", Sequence));
    ReplacePlaceholder(Text, "{timestamp}", FStringUtils::Printf("%lld", Timestamp));
    ReplacePlaceholder(Text, "{timestampMs}", FStringUtils::Printf("%lld", Timestamp));
    ReplacePlaceholder(Text, "{fileName}", Encode(FPaths::GetCleanFilename(FilePath)));
    ReplacePlaceholder(Text, "{objectKey}", Encode(ObjectKey));
    ReplacePlaceholder(Text, "{guid}", FGuid::NewGuid().ToString(EGuidFormats::Digits));
    return Text;
}
} // namespace

bool FQuorvexApiClient::LooksLikeBackblazeCredentials(const FQuorvexUploadCredentials& Credentials)
{
    if (!Credentials.AuthorizationToken.empty() ||
        FStringUtils::ContainsIgnoreCase(Credentials.UploadUrl, "b2_upload_file"))
    {
        return true;
    }
    return std::any_of(Credentials.RequiredHeaders.begin(), Credentials.RequiredHeaders.end(),
                       [](const auto& Header)
                       { return FStringUtils::StartsWithIgnoreCase(Header.first, "X-Bz-"); });
}

bool FQuorvexApiClient::ShouldRefreshCredentialsBeforeExpiry(
    const FQuorvexUploadCredentials& Credentials)
{
    FDateTime Expiry;
    if (Credentials.ExpiresAt.empty() ||
        !FDateTime::ParseIso8601(Credentials.ExpiresAt.c_str(), Expiry))
    {
        return false;
    }
    const double Lifetime = Credentials.TtlSeconds > 0 ? Credentials.TtlSeconds : 3600.0;
    const double Margin = std::min(Lifetime * 0.1, 300.0);
    const int64 MarginMicros = static_cast<int64>(Margin * 1e6);
    return FDateTime::UtcNow().ToUnixMicroseconds() >= Expiry.ToUnixMicroseconds() - MarginMicros;
}

FString FQuorvexApiClient::ApplyUploadTemplate(const FString& Template, const FString& SessionId,
                                               int64 SequenceNumber, int64 TimestampMs,
                                               const FString& FilePath, const FString& ObjectKey)
{
    if (Template.empty())
    {
        return Template;
    }
    return ExpandPlaceholders(Template, SessionId, SequenceNumber, TimestampMs, FilePath, ObjectKey,
                              &AsIs);
}

bool FQuorvexApiClient::TryBuildUploadTarget(const FQuorvexUploadCredentials& Credentials,
                                             const FString& SessionId, int64 SequenceNumber,
                                             int64 TimestampMs, const FString& FilePath,
                                             FQuorvexUploadTarget& OutTarget)
{
    if (Credentials.UploadUrl.empty())
    {
        return false;
    }
    const auto Expand = [&](const FString& Template, const FString& Key) {
        return ApplyUploadTemplate(Template, SessionId, SequenceNumber, TimestampMs, FilePath, Key);
    };

    FQuorvexUploadTarget Target;
    Target.AuthorizationToken = Credentials.AuthorizationToken;
    Target.StorageProvider = Credentials.StorageProvider;
    if (!Credentials.ObjectKeyTemplate.empty())
    {
        Target.ObjectKey = Expand(Credentials.ObjectKeyTemplate, "");
    }
    else
    {
        const FString Name = FStringUtils::Printf("%s_%020lld.zip", SessionId.c_str(),
                                                  static_cast<long long>(SequenceNumber));
        FString Prefix = Expand(Credentials.KeyPrefix, "");
        while (!Prefix.empty() && Prefix.back() == '/')
        {
            Prefix.pop_back();
        }
        Target.ObjectKey = Prefix.empty() ? Name : Prefix + "/" + Name;
    }
    Target.UploadUrl = ExpandUploadUrlPath(Credentials.UploadUrl, SessionId, SequenceNumber,
                                           TimestampMs, FilePath, Target.ObjectKey);
    if (!Credentials.UploadMethod.empty())
    {
        Target.Verb = Credentials.UploadMethod;
    }
    else
    {
        Target.Verb = LooksLikeBackblazeCredentials(Credentials) ? "POST" : "PUT";
    }
    for (const auto& [Name, Value] : Credentials.RequiredHeaders)
    {
        Target.Headers.Add(Name, Expand(Value, Target.ObjectKey));
    }
    for (const auto& [Name, Value] : Credentials.FormFields)
    {
        Target.FormFields.Add(Name, Expand(Value, Target.ObjectKey));
    }
    if (IsGcsProvider(Target.StorageProvider) && !Target.FormFields.Contains("key"))
    {
        Target.FormFields.Add("key", Target.ObjectKey);
    }
    OutTarget = std::move(Target);
    return true;
}

FString FQuorvexApiClient::ExpandUploadUrlPath(const FString& Url, const FString& SessionId,
                                               int64 SequenceNumber, int64 TimestampMs,
                                               const FString& FilePath, const FString& ObjectKey)
{
    // One URL serves every batch of a session. A container-style URL names each
    // object through placeholders in its path; without them every batch would be
    // written over the one before. The query (signatures) is left exactly as issued,
    // and the values are percent-encoded so a key cannot change the URL's shape.
    const size_t QueryStart = std::min(Url.find('?'), Url.find('#'));
    FString Path = Url.substr(0, QueryStart);
    if (Path.find('{') == FString::npos)
    {
        return Url;
    }
    const FString Rest = QueryStart == FString::npos ? FString() : Url.substr(QueryStart);
    return ExpandPlaceholders(Path, SessionId, SequenceNumber, TimestampMs, FilePath, ObjectKey,
                              &EncodePathValue) +
           Rest;
}
