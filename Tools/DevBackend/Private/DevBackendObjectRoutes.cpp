// The dev routes for reading back what the stores accepted: a session's object list
// as JSON, and one object's bytes.
#include "DevBackendReplies.h"
#include "DevBackendStores.h"
#include "UrlEncoding.h"

#include <nlohmann/json.hpp>

#include <optional>

namespace
{
nlohmann::json Describe(const FDevBackendObject& Object)
{
    return {
        {"name", Object.Name},
        {"size", Object.Size},
        {"sha1", Object.Sha1},
        {"md5", Object.Md5},
        {"contentType", Object.ContentType},
        {"store", DevBackendStoreName(Object.Store)},
        {"url", "/dev/objects/" + FGenericPlatformHttp::UrlEncode(Object.SessionId) + "/" +
                    FGenericPlatformHttp::UrlEncode(Object.Name)},
    };
}

// "/dev/objects/{id}/{name...}" decoded: the name is everything after the id.
std::string ObjectName(const std::string& DecodedPath, const std::string& SessionId)
{
    const std::string Lead = "/dev/objects/" + SessionId + "/";
    return DecodedPath.size() > Lead.size() ? DecodedPath.substr(Lead.size()) : std::string();
}
} // namespace

FDevBackendReply HandleObjectList(const FDevBackendRequest& Request,
                                  FDevBackendStoreContext& Context)
{
    nlohmann::json Objects = nlohmann::json::array();
    for (const FDevBackendObject& Object : Context.Objects.Objects(Request.PathSessionId))
    {
        Objects.push_back(Describe(Object));
    }
    FDevBackendReply Reply;
    Reply.Body = nlohmann::json{{"sessionId", Request.PathSessionId}, {"objects", Objects}}.dump(
        -1, ' ', false, nlohmann::json::error_handler_t::replace);
    return Reply;
}

FDevBackendReply HandleObjectDownload(const FDevBackendRequest& Request,
                                      FDevBackendStoreContext& Context)
{
    const std::optional<FDevBackendObject> Object = Context.Objects.Find(
        Request.PathSessionId, ObjectName(Request.Path, Request.PathSessionId));
    if (!Object)
    {
        return DevBackendError(404, DevBackendCodes::NotFound, "No such object");
    }
    FDevBackendReply Reply;
    Reply.ContentType = "application/octet-stream";
    Reply.BodyFilePath = Object->Path;
    Reply.Headers.emplace_back("X-Object-Sha1", Object->Sha1);
    return Reply;
}
