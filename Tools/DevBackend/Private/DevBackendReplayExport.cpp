// The replay page of one session written into a folder that opens from disk, and the
// URL of the served page.
#include "DevBackendReplay.h"
#include "DevBackendReplayAssets.h"
#include "DevBackendServer.h"
#include "UrlEncoding.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace
{
namespace fs = std::filesystem;

bool WriteFile(const fs::path& Path, std::string_view Bytes, std::string& OutError)
{
    std::error_code Error;
    fs::create_directories(Path.parent_path(), Error);
    std::ofstream File(Path, std::ios::binary | std::ios::trunc);
    File.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
    File.close();
    if (Error || !File)
    {
        OutError = "cannot write " + Path.string();
        return false;
    }
    return true;
}

// Copies every frame the detail lists; a frame that cannot be read is reported in the
// detail's problems, and the page shows the others.
bool CopyFrames(const FDevBackendServer& Server, const std::string& SessionId,
                nlohmann::json& Detail, const fs::path& Folder, std::string& OutError)
{
    FDevBackendReplayCatalogue& Catalogue = Server.ReplayCatalogue();
    for (const nlohmann::json& Frame : Detail["frames"])
    {
        const std::size_t ObjectIndex = Frame["objectIndex"].get<std::size_t>();
        const std::string AttachmentId = Frame["attachmentId"];
        std::string Bytes;
        std::string Reason;
        if (!Catalogue.FrameBytes(Server, SessionId, ObjectIndex, AttachmentId, Bytes, Reason))
        {
            Detail["problems"].push_back("frame " + std::to_string(ObjectIndex) + "/" +
                                         AttachmentId + " was not copied: " + Reason);
            continue;
        }
        if (!WriteFile(Folder / Frame["url"].get<std::string>(), Bytes, OutError))
        {
            return false;
        }
    }
    return true;
}
} // namespace

std::string FDevBackendServer::ReplayUrl(const std::string& SessionId) const
{
    return BaseUrl() + "/replay/?session=" + FGenericPlatformHttp::UrlEncode(SessionId);
}

bool FDevBackendServer::ExportReplay(const std::string& SessionId, const std::string& Folder,
                                     std::string& OutError) const
{
    std::optional<nlohmann::json> Detail =
        Replay->Detail(*this, SessionId, EDevBackendFrameUrls::Exported);
    const std::optional<nlohmann::json> Summary = Replay->Summary(*this, SessionId);
    if (!Detail || !Summary)
    {
        OutError = "no session with that id";
        return false;
    }
    const fs::path Root(Folder);
    if (!CopyFrames(*this, SessionId, *Detail, Root, OutError))
    {
        return false;
    }
    for (const char* Name : {"index.html", "replay.js", "replay.css"})
    {
        if (!WriteFile(Root / Name, DevBackendReplayAsset(Name), OutError))
        {
            return false;
        }
    }
    nlohmann::json Details = nlohmann::json::object();
    Details[SessionId] = std::move(*Detail);
    const nlohmann::json Data = {{"sessions", nlohmann::json::array({*Summary})},
                                 {"details", std::move(Details)}};
    return WriteFile(Root / "data.js", DevBackendReplayDataScript(Data), OutError);
}
