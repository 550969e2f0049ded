// The dev backend's sessions, kept in memory: id -> state, in-game id, counters and the
// upload credentials last issued. Tests read snapshots and may mark a session inactive,
// which is how the backend's stale-session sweep is played: heartbeats then answer
// "not alive", and credential refreshes and in-game-id updates are refused.
//
// Thread safety: every member may be called from any thread (one internal mutex).
#pragma once

#include "DevBackendTypes.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

enum class EDevBackendSessionState
{
    Active,
    Inactive, // swept by the backend (or a test); not alive, may still be ended
    Ended,
};

const char* DevBackendSessionStateName(EDevBackendSessionState State);

struct FDevBackendSession
{
    std::string Id;
    EDevBackendSessionState State = EDevBackendSessionState::Active;
    bool bRollover = false; // created by a replayed create marked isRollover
    EDevBackendStore Store = EDevBackendStore::Gcs;
    std::optional<std::string> InGameId; // nullopt when unset or set to JSON null
    nlohmann::json CreateRequest;        // the session-create body as received
    std::int64_t Heartbeats = 0;         // alive heartbeats answered
    std::int64_t GameEvents = 0;         // game events naming this session
    std::int64_t CredentialsIssued = 0;  // 1 at create, +1 per refresh
    std::string UploadToken;             // secret of the credentials last issued
    nlohmann::json UploadCredentials;    // the credentials last issued
    std::string EndReason;               // filled by the end call
    std::int64_t TotalFramesCaptured = 0;
    std::int64_t TotalEventsRecorded = 0;
    std::string ErrorDetails;
    // Wall-clock milliseconds since the Unix epoch (engine clock): when the create was
    // handled, and when the first end call was (0 while not ended).
    std::int64_t CreatedAtMs = 0;
    std::int64_t EndedAtMs = 0;
};

// What a session-scoped call found.
enum class EDevBackendLookup
{
    Ok,
    NotFound,
    NotActive, // inactive or ended
};

class FDevBackendSessionStore
{
public:
    // Adds a new active session and returns a copy of it; nullopt when Id is taken.
    std::optional<FDevBackendSession> Create(const std::string& Id, EDevBackendStore Store,
                                             bool bRollover, const nlohmann::json& CreateRequest,
                                             const std::optional<std::string>& InGameId);

    std::optional<FDevBackendSession> Find(const std::string& Id) const;
    std::vector<FDevBackendSession> All() const; // in creation order
    std::size_t Count() const;

    // Test control: an active session becomes inactive. False when unknown or not active.
    bool MarkInactive(const std::string& Id);

    // Counts an alive heartbeat; Ok only for an active session.
    EDevBackendLookup Heartbeat(const std::string& Id);
    // Ends an active or inactive session (ending an ended one again is accepted and keeps
    // the first record: a client retrying a lost answer must not fail). NotActive is
    // never returned; NotFound for an unknown id.
    EDevBackendLookup End(const std::string& Id, const std::string& Reason,
                          std::int64_t FramesCaptured, std::int64_t EventsRecorded,
                          const std::string& ErrorDetails);
    EDevBackendLookup SetInGameId(const std::string& Id,
                                  const std::optional<std::string>& InGameId);
    // Stores newly issued credentials of an active session.
    EDevBackendLookup StoreCredentials(const std::string& Id, const std::string& Token,
                                       const nlohmann::json& Credentials);
    // Counts a game event naming Id; false when no such session exists.
    bool CountGameEvent(const std::string& Id);

private:
    FDevBackendSession* FindLocked(const std::string& Id);
    // The session when it exists and is active; otherwise why not.
    EDevBackendLookup FindActiveLocked(const std::string& Id, FDevBackendSession*& OutSession);

    mutable std::mutex Mutex;
    std::map<std::string, FDevBackendSession> Sessions; // guarded by Mutex
    std::vector<std::string> CreationOrder;             // guarded by Mutex
};
