// The B2-style store: a POST to the upload URL that was issued with a token, the
// object's name and SHA-1 in headers, the raw bytes as the body. Everything in the
// headers is checked before the body is read, as the service does.
#include "DevBackendStoreReplies.h"
#include "DevBackendStores.h"
#include "StringUtils.h"
#include "UrlEncoding.h"

#include <nlohmann/json.hpp>

#include <optional>

namespace
{
FDevBackendReply BadRequest(std::string_view Message)
{
    return DevBackendB2Error(400, "bad_request", Message);
}

// B2's decoding of X-Bz-File-Name: %XX escapes and '+' for a space; false on a
// malformed escape.
bool DecodeFileName(std::string_view Encoded, std::string& Out)
{
    for (std::size_t I = 0; I < Encoded.size(); ++I)
    {
        if (Encoded[I] == '+')
        {
            Out += ' ';
        }
        else if (Encoded[I] != '%')
        {
            Out += Encoded[I];
        }
        else if (I + 2 < Encoded.size() &&
                 FGenericPlatformHttp::HexDigitValue(Encoded[I + 1]) >= 0 &&
                 FGenericPlatformHttp::HexDigitValue(Encoded[I + 2]) >= 0)
        {
            Out += static_cast<char>(FGenericPlatformHttp::HexDigitValue(Encoded[I + 1]) * 16 +
                                     FGenericPlatformHttp::HexDigitValue(Encoded[I + 2]));
            I += 2;
        }
        else
        {
            return false;
        }
    }
    return true;
}

bool IsValidUtf8(std::string_view Text)
{
    for (std::size_t I = 0; I < Text.size();)
    {
        const auto Lead = static_cast<unsigned char>(Text[I]);
        const std::size_t Length = Lead < 0x80           ? 1
                                   : (Lead >> 5) == 0x6  ? 2
                                   : (Lead >> 4) == 0xe  ? 3
                                   : (Lead >> 3) == 0x1e ? 4
                                                         : 0;
        if (Length == 0 || I + Length > Text.size())
        {
            return false;
        }
        for (std::size_t K = 1; K < Length; ++K)
        {
            if ((static_cast<unsigned char>(Text[I + K]) >> 6) != 0x2)
            {
                return false;
            }
        }
        I += Length;
    }
    return true;
}

// The service's rules for file names; empty when Name is valid, else why not.
std::string FileNameProblem(const std::string& Name)
{
    if (Name.empty() || Name.size() > 1024)
    {
        return "File names must be 1 to 1024 bytes of UTF-8";
    }
    if (!IsValidUtf8(Name))
    {
        return "File names must be valid UTF-8";
    }
    for (const char C : Name)
    {
        if (static_cast<unsigned char>(C) < 0x20 || C == 0x7f)
        {
            return "File names must not contain control characters";
        }
    }
    if (Name.front() == '/' || Name.back() == '/' || Name.find("//") != std::string::npos)
    {
        return "File names must not start or end with '/' or contain '//'";
    }
    return {};
}

bool IsSha1Hex(const std::string& Text)
{
    if (Text.size() != 40)
    {
        return false;
    }
    for (const char C : Text)
    {
        if (FGenericPlatformHttp::HexDigitValue(C) < 0)
        {
            return false;
        }
    }
    return true;
}

// The token and the headers; nullopt when the upload may go ahead.
std::optional<FDevBackendReply> CheckHeaders(const FDevBackendRequest& Request,
                                             const FDevBackendStoreContext& Context,
                                             FDevBackendIssuedRecord& OutIssue,
                                             std::string& OutName)
{
    const std::string Token = FindDevBackendHeader(Request.Headers, "Authorization");
    const std::optional<FDevBackendIssuedRecord> Issue = Context.Credentials.Find(Token);
    if (Token.empty() || !Issue || Issue->Store != EDevBackendStore::B2 ||
        Issue->UploadPath != DevBackendRawPath(Request))
    {
        return DevBackendB2Error(401, "bad_auth_token", "Invalid authorization token");
    }
    if (DevBackendNowMicros() >= Issue->ExpiresAtUnixMicros)
    {
        return DevBackendB2Error(401, "expired_auth_token", "Authorization token has expired");
    }
    OutIssue = *Issue;
    const std::string Encoded = FindDevBackendHeader(Request.Headers, "X-Bz-File-Name");
    if (Encoded.empty())
    {
        return BadRequest("Missing header: X-Bz-File-Name");
    }
    if (!DecodeFileName(Encoded, OutName))
    {
        return BadRequest("Bad character in percent-encoded string");
    }
    if (const std::string Problem = FileNameProblem(OutName); !Problem.empty())
    {
        return BadRequest(Problem);
    }
    if (FindDevBackendHeader(Request.Headers, "Content-Type").empty())
    {
        return BadRequest("Missing header: Content-Type");
    }
    if (!DevBackendHasContentLength(Request))
    {
        return BadRequest("Missing header: Content-Length");
    }
    const std::string Sha1 = FindDevBackendHeader(Request.Headers, "X-Bz-Content-Sha1");
    if (Sha1.empty())
    {
        return BadRequest("Missing header: X-Bz-Content-Sha1");
    }
    if (Sha1 != "do_not_verify" && !IsSha1Hex(Sha1))
    {
        return BadRequest("X-Bz-Content-Sha1 is not a valid SHA1");
    }
    return std::nullopt;
}

nlohmann::json FileInfo(const FDevBackendRequest& Request)
{
    nlohmann::json Info = nlohmann::json::object();
    for (const auto& [Name, Value] : Request.Headers)
    {
        if (FStringUtils::StartsWithIgnoreCase(Name, "X-Bz-Info-"))
        {
            Info[FStringUtils::ToLower(Name.substr(10))] = DevBackendBoundedText(Value, 256);
        }
    }
    return Info;
}

FDevBackendReply Accepted(const FDevBackendRequest& Request, const FDevBackendObject& Object,
                          const FDevBackendStoreContext& Context)
{
    FDevBackendReply Reply;
    Reply.Body =
        nlohmann::json{
            {"accountId", "quorvexdev"},
            {"action", "upload"},
            {"bucketId", Context.Options.BucketId},
            {"contentLength", Object.Size},
            {"contentMd5", Object.Md5},
            {"contentSha1", Object.Sha1},
            {"contentType", Object.ContentType},
            {"fileId", "4_z" + Context.Options.BucketId + "_f" + Object.Md5.substr(0, 24)},
            {"fileInfo", FileInfo(Request)},
            {"fileName", Object.Name},
            {"uploadTimestamp", DevBackendNowMicros() / 1000},
        }
            .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return Reply;
}
} // namespace

FDevBackendReply HandleB2Upload(const FDevBackendRequest& Request, FDevBackendStoreContext& Context)
{
    FDevBackendIssuedRecord Issue;
    std::string Name;
    if (std::optional<FDevBackendReply> Refused = CheckHeaders(Request, Context, Issue, Name))
    {
        return *Refused;
    }
    std::unique_ptr<FDevBackendUpload> Upload =
        Context.Objects.BeginUpload(DevBackendMaxObjectBytes);
    if (!DevBackendReceiveInto(Request, *Upload))
    {
        FDevBackendReply Gone;
        Gone.bDrop = true; // the client went away part way; nobody reads an answer
        return Gone;
    }
    const bool bStored = Upload->Finish();
    const std::string Sha1 = FindDevBackendHeader(Request.Headers, "X-Bz-Content-Sha1");
    if (Sha1 != "do_not_verify" && !FStringUtils::EqualsIgnoreCase(Sha1, Upload->Sha1()))
    {
        return BadRequest("Sha1 did not match data received");
    }
    if (Upload->ExceededLimit())
    {
        return BadRequest("File is larger than this store accepts");
    }
    FDevBackendObject Object;
    if (!bStored ||
        !Context.Objects.Commit(*Upload, Issue.SessionId, Name, EDevBackendStore::B2,
                                FindDevBackendHeader(Request.Headers, "Content-Type"), Object))
    {
        return DevBackendB2Error(500, "internal_error", "The file could not be stored");
    }
    return Accepted(Request, Object, Context);
}
