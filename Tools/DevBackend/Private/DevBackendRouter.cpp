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

void Match(std::string_view Method, const char* Verb, EDevBackendEndpoint Endpoint,
           FDevBackendRoute& Route)
{
    Route.bPathKnown = true;
    if (Method == Verb)
    {
        Route.Endpoint = Endpoint;
    }
}

// The object stores' upload paths and the dev routes that read objects back.
void RouteStoreSegments(std::string_view Method, const std::vector<std::string>& S,
                        FDevBackendRoute& Route)
{
    if (S.size() == 3 && S[0] == "upload" && S[1] == "gcs" && !S[2].empty())
    {
        Match(Method, "POST", EDevBackendEndpoint::StoreGcs, Route);
    }
    else if (S.size() == 5 && S[0] == "b2api" && S[1] == "v2" && S[2] == "b2_upload_file")
    {
        Match(Method, "POST", EDevBackendEndpoint::StoreB2, Route);
    }
    else if (S.size() >= 5 && S[0] == "upload" && S[1] == "put" && !S[3].empty())
    {
        Route.PathSessionId = S[3];
        Match(Method, "PUT", EDevBackendEndpoint::StoreSignedPut, Route);
    }
    else if (S.size() == 4 && S[0] == "dev" && S[1] == "sessions" && S[3] == "objects")
    {
        Route.PathSessionId = S[2];
        Match(Method, "GET", EDevBackendEndpoint::ObjectList, Route);
    }
    else if (S.size() >= 4 && S[0] == "dev" && S[1] == "objects")
    {
        Route.PathSessionId = S[2];
        Match(Method, "GET", EDevBackendEndpoint::ObjectDownload, Route);
    }
}

// The replay page and its API. Ids and names are checked by the handlers, which
// answer 404 for any they will not serve.
void RouteReplaySegments(std::string_view Method, const std::vector<std::string>& S,
                         FDevBackendRoute& Route)
{
    const bool bAsset =
        S.size() == 1 ||
        (S.size() == 2 && (S[1].empty() || S[1] == "index.html" || S[1] == "replay.js" ||
                           S[1] == "replay.css" || S[1] == "data.js"));
    const bool bApi = S.size() >= 3 && S[1] == "api" && S[2] == "sessions";
    if (bAsset)
    {
        Match(Method, "GET", EDevBackendEndpoint::ReplayAsset, Route);
    }
    else if (bApi && S.size() == 3)
    {
        Match(Method, "GET", EDevBackendEndpoint::ReplaySessionList, Route);
    }
    else if (bApi && S.size() == 4)
    {
        Route.PathSessionId = S[3];
        Match(Method, "GET", EDevBackendEndpoint::ReplaySessionDetail, Route);
    }
    else if (bApi && S.size() == 7 && S[4] == "frames")
    {
        Route.PathSessionId = S[3];
        Match(Method, "GET", EDevBackendEndpoint::ReplayFrame, Route);
    }
}

void RouteSegments(std::string_view Method, const std::vector<std::string>& S,
                   FDevBackendRoute& Route)
{
    if (!S.empty() && S[0] == "replay")
    {
        RouteReplaySegments(Method, S, Route);
        return;
    }
    const bool bApi = S.size() >= 3 && S[0] == "api" && S[1] == "v4";
    if (!bApi)
    {
        RouteStoreSegments(Method, S, Route);
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
