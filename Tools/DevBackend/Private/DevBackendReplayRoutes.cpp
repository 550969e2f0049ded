#include "DevBackendReplayRoutes.h"

#include "DevBackendReplay.h"
#include "DevBackendReplayAssets.h"
#include "DevBackendReplies.h"
#include "DevBackendServer.h"
#include "StringUtils.h"
#include "UrlEncoding.h"

#include <algorithm>
#include <string>
#include <vector>

namespace
{
constexpr std::size_t MaxSegmentBytes = 256;

// The request path's segments, each percent-decoded on its own (as the router does), so
// an encoded "/" stays inside its segment where the checks below see it.
std::vector<std::string> DecodedSegments(const std::string& Target)
{
    const std::string Path = Target.substr(0, Target.find('?'));
    std::vector<std::string> Segments;
    if (Path.empty() || Path.front() != '/')
    {
        return Segments;
    }
    for (const std::string& Raw : FStringUtils::Split(std::string_view(Path).substr(1), "/"))
    {
        Segments.push_back(FGenericPlatformHttp::UrlDecode(Raw));
    }
    return Segments;
}

// Whether an id or a name from the URL may be looked up at all.
bool IsServable(const std::string& Segment)
{
    return !Segment.empty() && Segment.size() <= MaxSegmentBytes &&
           Segment.find('/') == std::string::npos && Segment.find("..") == std::string::npos &&
           Segment.find('\0') == std::string::npos;
}

bool ParseIndex(const std::string& Text, std::size_t& Out)
{
    if (Text.empty() || Text.size() > 9 || !FStringUtils::IsAllDigits(Text))
    {
        return false;
    }
    Out = static_cast<std::size_t>(std::stoul(Text));
    return true;
}

FDevBackendReply NotFound(const std::string& What)
{
    FDevBackendReply Reply = DevBackendError(404, DevBackendCodes::NotFound, What);
    Reply.Headers.emplace_back("Cache-Control", "no-store");
    return Reply;
}

FDevBackendReply Content(std::string Body, const char* ContentType)
{
    FDevBackendReply Reply;
    Reply.Body = std::move(Body);
    Reply.ContentType = ContentType;
    Reply.Headers.emplace_back("Cache-Control", "no-store");
    Reply.Headers.emplace_back("X-Content-Type-Options", "nosniff");
    return Reply;
}

FDevBackendReply JsonContent(const nlohmann::json& Json)
{
    return Content(Json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                   "application/json");
}

FDevBackendReply Asset(const std::vector<std::string>& Segments)
{
    const std::string Name =
        Segments.size() < 2 || Segments[1].empty() ? "index.html" : Segments[1];
    if (Name == "data.js")
    {
        // The same index.html opens exported folders, whose data.js holds the data; served,
        // the page asks the API instead.
        return Content("window.QUORVEX_REPLAY_DATA = null;\n", DevBackendReplayContentType(Name));
    }
    const std::string_view Bytes = DevBackendReplayAsset(Name);
    if (Bytes.empty())
    {
        return NotFound("No such replay file");
    }
    return Content(std::string(Bytes), DevBackendReplayContentType(Name));
}

FDevBackendReply Frame(const std::vector<std::string>& Segments, const FDevBackendServer& Server,
                       FDevBackendReplayCatalogue& Catalogue)
{
    const std::string& Name = Segments[6];
    const std::string Suffix = ".jpeg";
    std::size_t ObjectIndex = 0;
    if (!IsServable(Name) || !Name.ends_with(Suffix) || !ParseIndex(Segments[5], ObjectIndex))
    {
        return NotFound("No such frame");
    }
    std::string Bytes;
    std::string Error;
    if (!Catalogue.FrameBytes(Server, Segments[3], ObjectIndex,
                              Name.substr(0, Name.size() - Suffix.size()), Bytes, Error))
    {
        return NotFound("No such frame");
    }
    return Content(std::move(Bytes), "image/jpeg");
}
} // namespace

FDevBackendReply HandleReplayRequest(EDevBackendEndpoint Endpoint,
                                     const FDevBackendRequest& Request,
                                     const FDevBackendServer& Server,
                                     FDevBackendReplayCatalogue& Catalogue)
{
    const std::vector<std::string> Segments = DecodedSegments(Request.Target);
    if (Endpoint == EDevBackendEndpoint::ReplayAsset)
    {
        return Asset(Segments);
    }
    if (Endpoint == EDevBackendEndpoint::ReplaySessionList)
    {
        return JsonContent(Catalogue.SessionList(Server));
    }
    if (Segments.size() < 4 || !IsServable(Segments[3]))
    {
        return NotFound("No such session");
    }
    if (Endpoint == EDevBackendEndpoint::ReplayFrame && Segments.size() == 7)
    {
        return Frame(Segments, Server, Catalogue);
    }
    const std::optional<nlohmann::json> Detail =
        Catalogue.Detail(Server, Segments[3], EDevBackendFrameUrls::Served);
    return Detail ? JsonContent(*Detail) : NotFound("No such session");
}
