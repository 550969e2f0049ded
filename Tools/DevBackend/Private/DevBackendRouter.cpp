#include "DevBackendRouter.h"

#include "StringUtils.h"
#include "UrlEncoding.h"

#include <vector>

namespace
{
struct FSessionRoute
{
    const char* Action; // last segment of /api/v4/sessions/{id}/{action}
    EDevBackendEndpoint Endpoint;
};

constexpr FSessionRoute SessionRoutes[] = {
    {"heartbeat", EDevBackendEndpoint::Heartbeat},
    {"end", EDevBackendEndpoint::EndSession},
    {"refresh-upload-url", EDevBackendEndpoint::RefreshUploadUrl},
};

// Splits "/a/b%2Fc" into {"a", "b/c"}; the leading "/" is required.
bool SplitAndDecode(std::string_view Path, std::vector<std::string>& OutSegments)
{
    if (Path.empty() || Path.front() != '/')
    {
        return false;
    }
    for (const std::string& Raw : FStringUtils::Split(Path.substr(1), "/"))
    {
        OutSegments.push_back(FGenericPlatformHttp::UrlDecode(Raw));
    }
    return true;
}

void RouteSegments(std::string_view Method, const std::vector<std::string>& S,
                   FDevBackendRoute& Route)
{
    const bool bApi = S.size() >= 3 && S[0] == "api" && S[1] == "v4";
    if (!bApi)
    {
        return;
    }
    if (S.size() == 3 && S[2] == "session")
    {
        Route.bPathKnown = true;
        if (Method == "POST")
        {
            Route.Endpoint = EDevBackendEndpoint::SessionCreate;
        }
        else if (Method == "PATCH")
        {
            Route.Endpoint = EDevBackendEndpoint::SessionUpdate;
        }
        return;
    }
    if (S.size() == 3 && S[2] == "send_game_event")
    {
        Route.bPathKnown = true;
        if (Method == "POST")
        {
            Route.Endpoint = EDevBackendEndpoint::GameEvent;
        }
        return;
    }
    if (S.size() != 5 || S[2] != "sessions" || S[3].empty())
    {
        return;
    }
    for (const FSessionRoute& Candidate : SessionRoutes)
    {
        if (S[4] == Candidate.Action)
        {
            Route.bPathKnown = true;
            Route.PathSessionId = S[3];
            if (Method == "POST")
            {
                Route.Endpoint = Candidate.Endpoint;
            }
            return;
        }
    }
}
} // namespace

FDevBackendRoute RouteDevBackendRequest(std::string_view Method, std::string_view Target)
{
    FDevBackendRoute Route;
    const std::string_view Path = Target.substr(0, Target.find('?'));
    std::vector<std::string> Segments;
    if (!SplitAndDecode(Path, Segments))
    {
        Route.DecodedPath = std::string(Path);
        return Route;
    }
    Route.DecodedPath = "/" + FStringUtils::Join(Segments, "/");
    RouteSegments(Method, Segments, Route);
    return Route;
}
