// The form-upload store: a multipart POST whose fields carry a base64 policy document
// and its signature. Checked in the order the service does: the form, the signature,
// the policy's expiry, then every condition (each form field must be named by one).
#include "DateTime.h"
#include "DevBackendMultipart.h"
#include "DevBackendStoreReplies.h"
#include "DevBackendStores.h"
#include "Hashing.h"
#include "StringUtils.h"
#include "UrlEncoding.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <set>

namespace
{
struct FGcsForm
{
    std::vector<std::pair<std::string, std::string>> Fields;
    std::string Bucket; // from the URL
    std::int64_t Size = 0;

    // The field's value (names compared ignoring case); nullopt when absent.
    std::optional<std::string> Field(std::string_view Name) const
    {
        if (FStringUtils::EqualsIgnoreCase(Name, "bucket") && !Bucket.empty())
        {
            return Bucket;
        }
        for (const auto& [Key, Value] : Fields)
        {
            if (FStringUtils::EqualsIgnoreCase(Key, Name))
            {
                return Value;
            }
        }
        return std::nullopt;
    }
};

FDevBackendReply Invalid(std::string_view Message)
{
    return DevBackendXmlError(400, "InvalidArgument", Message);
}

FDevBackendReply PolicyFailed(const nlohmann::json& Condition)
{
    return DevBackendXmlError(
        403, "AccessDenied",
        "Invalid according to Policy: Policy Condition failed: " +
            DevBackendBoundedText(
                Condition.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), 300));
}

// One condition; nullopt when it holds. Adds the field it names to Covered.
std::optional<FDevBackendReply> CheckCondition(const nlohmann::json& Condition,
                                               const FGcsForm& Form, std::set<std::string>& Covered)
{
    std::string Op;
    std::string Name;
    std::string Expected;
    if (Condition.is_object() && Condition.size() == 1 && Condition.begin()->is_string())
    {
        Op = "eq";
        Name = Condition.begin().key();
        Expected = Condition.begin()->get<std::string>();
    }
    else if (Condition.is_array() && Condition.size() == 3 &&
             Condition[0] == "content-length-range" && Condition[1].is_number_integer() &&
             Condition[2].is_number_integer())
    {
        if (Form.Size > Condition[2].get<std::int64_t>())
        {
            return DevBackendXmlError(400, "EntityTooLarge",
                                      "Your proposed upload exceeds the maximum allowed size.");
        }
        if (Form.Size < Condition[1].get<std::int64_t>())
        {
            return DevBackendXmlError(400, "EntityTooSmall",
                                      "Your proposed upload is smaller than the minimum allowed "
                                      "size.");
        }
        return std::nullopt;
    }
    else if (Condition.is_array() && Condition.size() == 3 && Condition[0].is_string() &&
             Condition[1].is_string() && Condition[2].is_string() &&
             Condition[1].get<std::string>().rfind('$', 0) == 0)
    {
        Op = FStringUtils::ToLower(Condition[0].get<std::string>());
        Name = Condition[1].get<std::string>().substr(1);
        Expected = Condition[2].get<std::string>();
    }
    if (Op != "eq" && Op != "starts-with")
    {
        return DevBackendXmlError(400, "InvalidPolicyDocument",
                                  "The policy document holds a condition it cannot understand.");
    }
    Covered.insert(FStringUtils::ToLower(Name));
    const std::string Actual = Form.Field(Name).value_or("");
    const bool bHolds =
        Op == "eq" ? Actual == Expected : Actual.compare(0, Expected.size(), Expected) == 0;
    if (!bHolds)
    {
        return PolicyFailed(Condition);
    }
    return std::nullopt;
}

bool IsExempt(const std::string& Name)
{
    const std::string Lower = FStringUtils::ToLower(Name);
    return Lower == "policy" || Lower == "x-goog-signature" || Lower == "file" ||
           Lower.rfind("x-ignore-", 0) == 0;
}

std::optional<FDevBackendReply> CheckPolicy(const nlohmann::json& Policy, const FGcsForm& Form)
{
    FDateTime Expiration;
    if (!Policy.is_object() || !Policy["expiration"].is_string() ||
        !FDateTime::ParseIso8601(Policy["expiration"].get<std::string>().c_str(), Expiration) ||
        !Policy["conditions"].is_array())
    {
        return DevBackendXmlError(400, "InvalidPolicyDocument",
                                  "The policy document is not valid JSON with an expiration and "
                                  "conditions.");
    }
    if (DevBackendNowMicros() >= Expiration.ToUnixMicroseconds())
    {
        return DevBackendXmlError(403, "AccessDenied",
                                  "Invalid according to Policy: Policy expired.");
    }
    std::set<std::string> Covered;
    for (const nlohmann::json& Condition : Policy["conditions"])
    {
        if (std::optional<FDevBackendReply> Failed = CheckCondition(Condition, Form, Covered))
        {
            return Failed;
        }
    }
    for (const auto& [Name, Value] : Form.Fields)
    {
        if (!IsExempt(Name) && !Covered.count(FStringUtils::ToLower(Name)))
        {
            return DevBackendXmlError(403, "AccessDenied",
                                      "Invalid according to Policy: Extra input fields: " +
                                          DevBackendBoundedText(Name, 100));
        }
    }
    return std::nullopt;
}

// The form's signature and policy, checked before any condition.
std::optional<FDevBackendReply> CheckSignature(const FGcsForm& Form,
                                               const FDevBackendStoreContext& Context,
                                               nlohmann::json& OutPolicy,
                                               FDevBackendIssuedRecord& OutIssue)
{
    const std::optional<std::string> Policy = Form.Field("policy");
    const std::optional<std::string> Signature = Form.Field("x-goog-signature");
    if (!Policy || !Signature)
    {
        return DevBackendXmlError(403, "AccessDenied",
                                  "The form carries no policy and x-goog-signature.");
    }
    std::optional<FDevBackendIssuedRecord> Issue = Context.Credentials.Find(*Signature);
    if (!DevBackendSecretsEqual(DevBackendSign(Context.Secret, *Policy), *Signature) || !Issue ||
        Issue->Store != EDevBackendStore::Gcs)
    {
        return DevBackendXmlError(403, "SignatureDoesNotMatch",
                                  "The request signature we calculated does not match the "
                                  "signature you provided. Check your key and signing method.");
    }
    std::vector<uint8> Decoded;
    if (!FBase64::Decode(*Policy, Decoded))
    {
        return DevBackendXmlError(400, "InvalidPolicyDocument", "The policy is not base64.");
    }
    OutPolicy = nlohmann::json::parse(Decoded.begin(), Decoded.end(), nullptr, false);
    OutIssue = *Issue;
    return std::nullopt;
}

FDevBackendReply Accepted(const FGcsForm& Form, const FDevBackendObject& Object)
{
    const std::string Status = Form.Field("success_action_status").value_or("");
    FDevBackendReply Reply;
    Reply.Headers.emplace_back("ETag", "\"" + Object.Md5 + "\"");
    Reply.Status = Status == "200" || Status == "201" ? std::stoi(Status) : 204;
    Reply.ContentType = "text/plain";
    if (Reply.Status == 201)
    {
        Reply.ContentType = "application/xml; charset=UTF-8";
        Reply.Body = "<?xml version='1.0' encoding='UTF-8'?><PostResponse><Location>/" +
                     DevBackendXmlEscape(FGenericPlatformHttp::UrlEncode(Form.Bucket)) + "/" +
                     DevBackendXmlEscape(FGenericPlatformHttp::UrlEncode(Object.Name)) +
                     "</Location><Bucket>" + DevBackendXmlEscape(Form.Bucket) + "</Bucket><Key>" +
                     DevBackendXmlEscape(Object.Name) + "</Key><ETag>\"" + Object.Md5 +
                     "\"</ETag></PostResponse>";
    }
    return Reply;
}
} // namespace

FDevBackendReply HandleGcsUpload(const FDevBackendRequest& Request,
                                 FDevBackendStoreContext& Context)
{
    const std::string Boundary =
        DevBackendMultipartBoundary(FindDevBackendHeader(Request.Headers, "Content-Type"));
    if (Boundary.empty())
    {
        return Invalid("The request must be multipart/form-data with a boundary.");
    }
    std::unique_ptr<FDevBackendUpload> Upload =
        Context.Objects.BeginUpload(Context.Options.MaxUploadBytes);
    FDevBackendMultipartReader Form(Boundary,
                                    [&Upload](const char* Data, std::size_t Size)
                                    {
                                        Upload->Write(Data, Size);
                                        return true;
                                    },
                                    {});
    const bool bRead = !Request.Connection || Request.Connection->ReadBody(
                                                  [&Form](const char* Data, std::size_t Size)
                                                  {
                                                      Form.Feed(Data, Size);
                                                      return true;
                                                  });
    if (!Request.Connection)
    {
        Form.Feed(Request.Body.data(), Request.Body.size());
    }
    if (!bRead)
    {
        FDevBackendReply Gone;
        Gone.bDrop = true; // the client went away part way; nobody reads an answer
        return Gone;
    }
    if (!Form.Finish() || !Form.HasFile())
    {
        return Invalid(Form.HasFile() ? DevBackendBoundedText(Form.Error())
                                      : "The form has no file part.");
    }
    const FGcsForm Fields{Form.Fields(), Request.Path.substr(Request.Path.rfind('/') + 1),
                          Upload->Size()};
    nlohmann::json Policy;
    FDevBackendIssuedRecord Issue;
    if (std::optional<FDevBackendReply> Refused = CheckSignature(Fields, Context, Policy, Issue))
    {
        return *Refused;
    }
    if (std::optional<FDevBackendReply> Refused = CheckPolicy(Policy, Fields))
    {
        return *Refused;
    }
    const std::string Key = Fields.Field("key").value_or("");
    if (Key.empty() || Key.size() > 1024)
    {
        return Invalid("The form's key is empty or longer than 1024 bytes.");
    }
    if (Upload->ExceededLimit())
    {
        return DevBackendXmlError(400, "EntityTooLarge",
                                  "Your proposed upload exceeds the maximum allowed size.");
    }
    FDevBackendObject Object;
    if (!Upload->Finish() ||
        !Context.Objects.Commit(*Upload, Issue.SessionId, Key, EDevBackendStore::Gcs,
                                Fields.Field("Content-Type").value_or(""), Object))
    {
        return DevBackendXmlError(500, "InternalError", "The object could not be stored.");
    }
    return Accepted(Fields, Object);
}
