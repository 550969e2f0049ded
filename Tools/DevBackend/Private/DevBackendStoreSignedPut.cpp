// The signed-URL store: a PUT whose query carries an expiry, the names of the signed
// headers and a signature over the verb, the session's path prefix, the expiry and
// those headers. Whatever follows the prefix is the object's name, so one URL serves
// every batch of a session and each lands as an object of its own.
#include "DevBackendStoreReplies.h"
#include "DevBackendStores.h"
#include "StringUtils.h"
#include "UrlEncoding.h"

#include <optional>

namespace
{
// "/upload/put/{bucket}/{session}/" is the signed prefix; the rest names the object.
constexpr std::size_t PrefixSegments = 4;

FDevBackendReply SignatureMismatch(std::string_view Details = {})
{
    return DevBackendXmlError(403, "SignatureDoesNotMatch",
                              "The request signature we calculated does not match the signature "
                              "you provided. Check your key and signing method.",
                              Details);
}

// Splits the raw path into the signed prefix and the decoded object name.
bool SplitPath(const std::string& RawPath, std::string& OutPrefix, std::string& OutName)
{
    std::size_t At = 0;
    for (std::size_t Segment = 0; Segment < PrefixSegments; ++Segment)
    {
        At = RawPath.find('/', At + 1);
        if (At == std::string::npos)
        {
            return false;
        }
    }
    OutPrefix = RawPath.substr(0, At + 1);
    std::vector<std::string> Parts;
    for (const std::string& Raw : FStringUtils::Split(RawPath.substr(At + 1), "/"))
    {
        Parts.push_back(FGenericPlatformHttp::UrlDecode(Raw));
    }
    OutName = FStringUtils::Join(Parts, "/");
    return true;
}

bool HoldsPlaceholder(const std::string& Name)
{
    return FStringUtils::ContainsIgnoreCase(Name, "{objectKey}") ||
           FStringUtils::ContainsIgnoreCase(Name, "{fileName}");
}

// The signature, the signed headers and the expiry; nullopt when the URL is good.
std::optional<FDevBackendReply> CheckSignature(const FDevBackendRequest& Request,
                                               const FDevBackendStoreContext& Context,
                                               const std::string& Prefix)
{
    const std::string Expires = DevBackendQueryValue(Request, "expires");
    const std::string Signed = DevBackendQueryValue(Request, "signedHeaders");
    const std::string Signature = DevBackendQueryValue(Request, "signature");
    if (Expires.empty() || Signature.empty())
    {
        return DevBackendXmlError(403, "AccessDenied",
                                  "Query-string authentication requires the expires and "
                                  "signature parameters.");
    }
    std::vector<std::pair<std::string, std::string>> Headers;
    for (const std::string& Name : FStringUtils::Split(Signed, ";", /*bCullEmpty=*/true))
    {
        const std::string Value = FindDevBackendHeader(Request.Headers, Name);
        if (Value.empty())
        {
            return SignatureMismatch("The signed header " + DevBackendBoundedText(Name, 64) +
                                     " is missing from the request.");
        }
        Headers.emplace_back(Name, Value);
    }
    const std::string Expected = DevBackendSign(
        Context.Secret, DevBackendSignedPutStringToSign(Request.Method, Prefix, Expires, Headers));
    if (!DevBackendSecretsEqual(Expected, Signature))
    {
        return SignatureMismatch();
    }
    if (!FStringUtils::IsAllDigits(Expires) || Expires.size() > 12 ||
        DevBackendNowMicros() / 1000000 > std::stoll(Expires))
    {
        return DevBackendXmlError(403, "AccessDenied", "Request has expired");
    }
    return std::nullopt;
}
} // namespace

FDevBackendReply HandleSignedPutUpload(const FDevBackendRequest& Request,
                                       FDevBackendStoreContext& Context)
{
    std::string Prefix;
    std::string Name;
    if (!SplitPath(DevBackendRawPath(Request), Prefix, Name))
    {
        return DevBackendXmlError(400, "InvalidURI", "The URL names no object.");
    }
    if (std::optional<FDevBackendReply> Refused = CheckSignature(Request, Context, Prefix))
    {
        return *Refused;
    }
    if (Name.empty() || Name.size() > 1024 || HoldsPlaceholder(Name))
    {
        // A name still holding the URL's placeholder means the client sent the URL
        // unexpanded: every batch would overwrite the same object.
        return DevBackendXmlError(400, "InvalidArgument",
                                  "The object name is empty, too long or an unexpanded "
                                  "placeholder.",
                                  DevBackendBoundedText(Name, 100));
    }
    if (!DevBackendHasContentLength(Request))
    {
        return DevBackendXmlError(411, "MissingContentLength",
                                  "You must provide the Content-Length HTTP header.");
    }
    std::unique_ptr<FDevBackendUpload> Upload =
        Context.Objects.BeginUpload(DevBackendMaxObjectBytes);
    if (!DevBackendReceiveInto(Request, *Upload))
    {
        FDevBackendReply Gone;
        Gone.bDrop = true; // the client went away part way; nobody reads an answer
        return Gone;
    }
    if (Upload->ExceededLimit())
    {
        return DevBackendXmlError(400, "EntityTooLarge",
                                  "Your proposed upload exceeds the maximum allowed size.");
    }
    FDevBackendObject Object;
    if (!Upload->Finish() ||
        !Context.Objects.Commit(*Upload, Request.PathSessionId, Name, EDevBackendStore::SignedPut,
                                FindDevBackendHeader(Request.Headers, "Content-Type"), Object))
    {
        return DevBackendXmlError(500, "InternalError", "The object could not be stored.");
    }
    FDevBackendReply Reply;
    Reply.ContentType = "text/plain";
    Reply.Headers.emplace_back("ETag", "\"" + Object.Md5 + "\"");
    return Reply;
}
