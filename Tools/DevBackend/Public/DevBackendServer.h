// FDevBackendServer: the recording backend on loopback that tests and the sample game
// talk to. It serves the session endpoints under /api/v4/, validates every body the
// way the backend does, keeps sessions in memory, records every request, and can be
// scripted per endpoint to answer otherwise (error statuses, delays, stalls, dropped
// connections). On the same port it runs the three object stores the issued upload
// credentials point at, keeps what they accept on disk, and lists it per session
// (Objects(), GET /dev/sessions/{id}/objects, GET /dev/objects/{id}/{name}).
//
//   FDevBackendServer Server;                 // 127.0.0.1, ephemeral port, GCS credentials
//   std::string Error;
//   if (!Server.Start(Error)) { ... }
//   Server.Script(EDevBackendEndpoint::Heartbeat,
//                 {FDevBackendAnswer::Respond(500), FDevBackendAnswer::Drop()});
//   ... point the client at Server.BaseUrl() ...
//   Server.Requests().WaitForCount(EDevBackendEndpoint::Heartbeat, 3, std::chrono::seconds(10));
//   Server.Stop();
//
// Threads: Start, Stop and the destructor belong to the owning thread. Every other
// member may be called from any thread while the server runs; requests are handled on
// the HTTP server's worker threads.
#pragma once

#include "DevBackendAnswer.h"
#include "DevBackendCredentials.h"
#include "DevBackendObjectStore.h"
#include "DevBackendRequestLog.h"
#include "DevBackendSessionStore.h"
#include "DevBackendTypes.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class FDevBackendCredentialBook;
class FDevBackendReplayCatalogue;
class FDevBackendHttpHost;
class FDevBackendScriptBook;

struct FDevBackendOptions
{
    std::string Host = "127.0.0.1";
    int Port = 0; // 0 picks a free port
    // Upload style and store details for sessions created from now on.
    FDevBackendStoreOptions Store;
    // The captureConfig object of every session-create answer.
    nlohmann::json CaptureConfig = DefaultCaptureConfig();
    // Makes session ids; empty means "dev-" followed by 32 hex digits.
    std::function<std::string()> SessionIdFactory;
    // Seconds until a session's expiresAt.
    int SessionTtlSeconds = 24 * 3600;
    // How a heartbeat of an unknown, swept or ended session is answered, always with
    // the backend's error body: 200 (success false), or an error status such as 404
    // or 410, as some backends do.
    int DeadSessionHeartbeatStatus = 200;
    // Worker threads of the HTTP server; stalled requests each hold one.
    int WorkerThreads = 16;
    // Where the stores keep accepted objects; empty means a temporary folder that the
    // server makes and deletes when it is destroyed.
    std::string DataFolder;
    // Lets a test reshape credentials after they are built (rename keys, drop uploadUrl...).
    std::function<void(nlohmann::json& Credentials)> CustomizeCredentials;
    // Called on a worker thread after each request was answered or dropped.
    std::function<void(const FDevBackendRecordedRequest&)> OnAnswered;

    static nlohmann::json DefaultCaptureConfig();
};

class FDevBackendServer
{
public:
    explicit FDevBackendServer(FDevBackendOptions Options = {});
    ~FDevBackendServer(); // stops the server
    FDevBackendServer(const FDevBackendServer&) = delete;
    FDevBackendServer& operator=(const FDevBackendServer&) = delete;

    // Binds and starts serving; false with a reason when the port cannot be bound.
    bool Start(std::string& OutError);
    // Drops stalled and delayed requests, stops accepting and joins the workers.
    void Stop();
    bool IsRunning() const { return bRunning.load(); }
    int Port() const { return BoundPort.load(); }
    // "http://127.0.0.1:PORT" (no trailing slash); empty before Start.
    std::string BaseUrl() const;

    // Scripting. A queued answer is used once, in order; when an endpoint's queue is
    // empty its standing answer applies, and without one the request is handled normally.
    void Script(EDevBackendEndpoint Endpoint, std::vector<FDevBackendAnswer> Answers);
    void ScriptAlways(EDevBackendEndpoint Endpoint, FDevBackendAnswer Answer);
    void ClearScripts();
    // Lets every request currently held by a stalled answer go on.
    void ReleaseStalled();
    // How many requests are being held right now.
    int StalledCount() const;
    // Waits until at least Count requests are being held; false at the deadline.
    bool WaitForStalled(int Count, std::chrono::milliseconds Timeout);

    // Configuration that may change while running (applies to later requests).
    void SetStore(EDevBackendStore Style);
    void SetStoreOptions(const FDevBackendStoreOptions& Store);
    FDevBackendStoreOptions StoreOptions() const;
    void SetCaptureConfig(const nlohmann::json& CaptureConfig);
    void SetDeadSessionHeartbeatStatus(int Status);

    FDevBackendRequestLog& Requests() { return Log; }
    const FDevBackendRequestLog& Requests() const { return Log; }
    FDevBackendSessionStore& Sessions() { return SessionStore; }
    const FDevBackendSessionStore& Sessions() const { return SessionStore; }
    // The HMAC secret of this server's signatures (for the store emulators and tests).
    const std::string& SigningSecret() const { return Secret; }
    // The objects the stores accepted for a session, ordered by name.
    std::vector<FDevBackendObject> Objects(const std::string& SessionId) const;
    // The folder the objects live in (set once Start succeeded).
    std::string DataFolder() const { return ObjectStore.Folder(); }

    // The replay page (GET /replay/), rebuilt from what the stores hold.
    // The player's URL for one session: BaseUrl() + "/replay/?session=" + the id encoded.
    std::string ReplayUrl(const std::string& SessionId) const;
    // Writes one session's replay page into Folder, to open from disk: index.html,
    // replay.js, replay.css, data.js with the session's summary and detail, and its
    // frames under frames/{objectIndex}/{attachmentId}.jpeg. A frame that cannot be
    // copied becomes a line in the detail's problems. False with a reason when the
    // session is unknown or the folder cannot be written.
    bool ExportReplay(const std::string& SessionId, const std::string& Folder,
                      std::string& OutError) const;
    // The catalogue behind the replay routes (summaries, details, frame bytes).
    FDevBackendReplayCatalogue& ReplayCatalogue() const { return *Replay; }

private:
    FDevBackendReply Dispatch(const FDevBackendRequest& Request);
    FDevBackendReply Act(const FDevBackendAnswer& Answer, EDevBackendEndpoint Endpoint,
                         const FDevBackendRequest& Request);
    FDevBackendReply Handle(EDevBackendEndpoint Endpoint, const FDevBackendRequest& Request);
    FDevBackendReply HandleStore(EDevBackendEndpoint Endpoint, const FDevBackendRequest& Request,
                                 const FDevBackendOptions& Snapshot);

    // Owner-thread state.
    std::unique_ptr<FDevBackendHttpHost> Host;
    // Shared with worker threads.
    std::unique_ptr<FDevBackendScriptBook> Scripts;
    FDevBackendRequestLog Log;
    FDevBackendSessionStore SessionStore;
    std::unique_ptr<FDevBackendCredentialBook> CredentialBook;
    FDevBackendObjectStore ObjectStore; // opened by Start on the owner thread
    // Made at construction; used from any thread (locked inside).
    const std::unique_ptr<FDevBackendReplayCatalogue> Replay;
    std::atomic<bool> bRunning{false};
    std::atomic<int> BoundPort{0};
    const std::string Secret; // set at construction, read-only afterwards

    mutable std::mutex OptionsMutex;
    FDevBackendOptions Options; // guarded by OptionsMutex
    std::string Base;           // guarded by OptionsMutex
};
