// The replay catalogue: what a session recorded, rebuilt from what the backend holds
// (the session records, the batch archives the stores accepted, read back from disk,
// and the game-event requests in the request log), in the JSON shapes the replay page
// reads: a summary per session and one detail document per session.
//
//   FDevBackendReplayCatalogue& Replay = Server.ReplayCatalogue();
//   nlohmann::json List = Replay.SessionList(Server);              // {"sessions": [...]}
//   std::optional<nlohmann::json> Detail = Replay.Detail(Server, Id, EDevBackendFrameUrls::Served);
//
// Archives and request bodies come from outside: every string kept is cut to a bounded
// length, every list is capped, and an archive that cannot be read becomes a batch with
// a "problem" (and a line in "problems") rather than a failed page. Each archive is
// parsed once and kept: objects never change once committed (a replaced object gets a
// new file).
//
// Thread safety: every member may be called from any thread (one internal mutex guards
// the parse cache; parsing itself runs outside it).
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class FDevBackendServer;
struct FDevBackendObject;
struct FDevBackendReplayBatch;

// Where a detail's frame urls point, relative to the page.
enum class EDevBackendFrameUrls
{
    Served,   // api/sessions/{id}/frames/{objectIndex}/{attachmentId}.jpeg
    Exported, // frames/{objectIndex}/{attachmentId}.jpeg
};

class FDevBackendReplayCatalogue
{
public:
    FDevBackendReplayCatalogue();
    ~FDevBackendReplayCatalogue();
    FDevBackendReplayCatalogue(const FDevBackendReplayCatalogue&) = delete;
    FDevBackendReplayCatalogue& operator=(const FDevBackendReplayCatalogue&) = delete;

    // {"sessions": [summary, ...]} in creation order.
    nlohmann::json SessionList(const FDevBackendServer& Server);
    // One session's summary; nullopt for an unknown id.
    std::optional<nlohmann::json> Summary(const FDevBackendServer& Server,
                                          const std::string& SessionId);
    // One session's detail; nullopt for an unknown id.
    std::optional<nlohmann::json> Detail(const FDevBackendServer& Server,
                                         const std::string& SessionId, EDevBackendFrameUrls Urls);
    // The JPEG bytes of frame AttachmentId in the session's object ObjectIndex (objects
    // ordered by name), read from the archive and CRC-checked. False with a reason.
    bool FrameBytes(const FDevBackendServer& Server, const std::string& SessionId,
                    std::size_t ObjectIndex, const std::string& AttachmentId, std::string& OutBytes,
                    std::string& OutError);

    // Whether an attachment id can name a file and a URL segment as it is.
    static bool IsSafeAttachmentId(const std::string& AttachmentId);

private:
    // The parsed archive of Object, from the cache or read now.
    std::shared_ptr<const FDevBackendReplayBatch> Batch(const FDevBackendObject& Object);

    std::mutex Mutex;
    // Keyed by the object's file path, which no other object ever reuses. Guarded by Mutex.
    std::map<std::string, std::shared_ptr<const FDevBackendReplayBatch>> Cache;
};

// Text of a script that assigns Json to window.QUORVEX_REPLAY_DATA, safe to load as a
// script and to inline in an HTML page: "</" is written "<\/", "<!--" is escaped, and
// U+2028 / U+2029 are written as \u escapes.
std::string DevBackendReplayDataScript(const nlohmann::json& Json);
