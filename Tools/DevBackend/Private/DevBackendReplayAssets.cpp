#include "DevBackendReplayAssets.h"

#include <cstddef>

// Defined by the sources generated from Tools/DevBackend/Replay at build time.
extern const unsigned char DevBackendReplayAsset_index_html[];
extern const std::size_t DevBackendReplayAsset_index_html_Size;
extern const unsigned char DevBackendReplayAsset_replay_js[];
extern const std::size_t DevBackendReplayAsset_replay_js_Size;
extern const unsigned char DevBackendReplayAsset_replay_css[];
extern const std::size_t DevBackendReplayAsset_replay_css_Size;

namespace
{
std::string_view View(const unsigned char* Bytes, std::size_t Size)
{
    return {reinterpret_cast<const char*>(Bytes), Size};
}
} // namespace

std::string_view DevBackendReplayAsset(std::string_view Name)
{
    if (Name == "index.html")
    {
        return View(DevBackendReplayAsset_index_html, DevBackendReplayAsset_index_html_Size);
    }
    if (Name == "replay.js")
    {
        return View(DevBackendReplayAsset_replay_js, DevBackendReplayAsset_replay_js_Size);
    }
    if (Name == "replay.css")
    {
        return View(DevBackendReplayAsset_replay_css, DevBackendReplayAsset_replay_css_Size);
    }
    return {};
}

const char* DevBackendReplayContentType(std::string_view Name)
{
    if (Name.ends_with(".html"))
    {
        return "text/html; charset=utf-8";
    }
    if (Name.ends_with(".css"))
    {
        return "text/css; charset=utf-8";
    }
    if (Name.ends_with(".js"))
    {
        return "text/javascript; charset=utf-8";
    }
    return "application/octet-stream";
}
