#include "DevBackendSessionStore.h"

#include "DateTime.h"

namespace
{
std::int64_t NowMs()
{
    return FDateTime::UtcNow().ToUnixMicroseconds() / 1000;
}
} // namespace

const char* DevBackendSessionStateName(EDevBackendSessionState State)
{
    switch (State)
    {
    case EDevBackendSessionState::Active:
        return "active";
    case EDevBackendSessionState::Inactive:
        return "inactive";
    case EDevBackendSessionState::Ended:
        return "ended";
    }
    return "?";
}

std::optional<FDevBackendSession>
FDevBackendSessionStore::Create(const std::string& Id, EDevBackendStore Store, bool bRollover,
                                const nlohmann::json& CreateRequest,
                                const std::optional<std::string>& InGameId)
{
    FDevBackendSession Session;
    Session.Id = Id;
    Session.Store = Store;
    Session.bRollover = bRollover;
    Session.CreateRequest = CreateRequest;
    Session.InGameId = InGameId;
    Session.CreatedAtMs = NowMs();
    std::lock_guard Lock(Mutex);
    if (!Sessions.emplace(Id, Session).second)
    {
        return std::nullopt;
    }
    CreationOrder.push_back(Id);
    return Session;
}

std::optional<FDevBackendSession> FDevBackendSessionStore::Find(const std::string& Id) const
{
    std::lock_guard Lock(Mutex);
    const auto It = Sessions.find(Id);
    if (It == Sessions.end())
    {
        return std::nullopt;
    }
    return It->second;
}

std::vector<FDevBackendSession> FDevBackendSessionStore::All() const
{
    std::lock_guard Lock(Mutex);
    std::vector<FDevBackendSession> Result;
    Result.reserve(CreationOrder.size());
    for (const std::string& Id : CreationOrder)
    {
        Result.push_back(Sessions.at(Id));
    }
    return Result;
}

std::size_t FDevBackendSessionStore::Count() const
{
    std::lock_guard Lock(Mutex);
    return Sessions.size();
}

bool FDevBackendSessionStore::MarkInactive(const std::string& Id)
{
    std::lock_guard Lock(Mutex);
    FDevBackendSession* Session = FindLocked(Id);
    if (!Session || Session->State != EDevBackendSessionState::Active)
    {
        return false;
    }
    Session->State = EDevBackendSessionState::Inactive;
    return true;
}

EDevBackendLookup FDevBackendSessionStore::FindActiveLocked(const std::string& Id,
                                                            FDevBackendSession*& OutSession)
{
    OutSession = FindLocked(Id);
    if (!OutSession)
    {
        return EDevBackendLookup::NotFound;
    }
    return OutSession->State == EDevBackendSessionState::Active ? EDevBackendLookup::Ok
                                                                : EDevBackendLookup::NotActive;
}

EDevBackendLookup FDevBackendSessionStore::Heartbeat(const std::string& Id)
{
    std::lock_guard Lock(Mutex);
    FDevBackendSession* Session = nullptr;
    if (const EDevBackendLookup Found = FindActiveLocked(Id, Session);
        Found != EDevBackendLookup::Ok)
    {
        return Found;
    }
    ++Session->Heartbeats;
    return EDevBackendLookup::Ok;
}

EDevBackendLookup FDevBackendSessionStore::End(const std::string& Id, const std::string& Reason,
                                               std::int64_t FramesCaptured,
                                               std::int64_t EventsRecorded,
                                               const std::string& ErrorDetails)
{
    std::lock_guard Lock(Mutex);
    FDevBackendSession* Session = FindLocked(Id);
    if (!Session)
    {
        return EDevBackendLookup::NotFound;
    }
    if (Session->State == EDevBackendSessionState::Ended)
    {
        return EDevBackendLookup::Ok;
    }
    Session->State = EDevBackendSessionState::Ended;
    Session->EndReason = Reason;
    Session->TotalFramesCaptured = FramesCaptured;
    Session->TotalEventsRecorded = EventsRecorded;
    Session->ErrorDetails = ErrorDetails;
    Session->EndedAtMs = NowMs();
    return EDevBackendLookup::Ok;
}

EDevBackendLookup FDevBackendSessionStore::SetInGameId(const std::string& Id,
                                                       const std::optional<std::string>& InGameId)
{
    std::lock_guard Lock(Mutex);
    FDevBackendSession* Session = nullptr;
    if (const EDevBackendLookup Found = FindActiveLocked(Id, Session);
        Found != EDevBackendLookup::Ok)
    {
        return Found;
    }
    Session->InGameId = InGameId;
    return EDevBackendLookup::Ok;
}

EDevBackendLookup FDevBackendSessionStore::StoreCredentials(const std::string& Id,
                                                            const std::string& Token,
                                                            const nlohmann::json& Credentials)
{
    std::lock_guard Lock(Mutex);
    FDevBackendSession* Session = nullptr;
    if (const EDevBackendLookup Found = FindActiveLocked(Id, Session);
        Found != EDevBackendLookup::Ok)
    {
        return Found;
    }
    Session->UploadToken = Token;
    Session->UploadCredentials = Credentials;
    ++Session->CredentialsIssued;
    return EDevBackendLookup::Ok;
}

bool FDevBackendSessionStore::CountGameEvent(const std::string& Id)
{
    std::lock_guard Lock(Mutex);
    FDevBackendSession* Session = FindLocked(Id);
    if (!Session)
    {
        return false;
    }
    ++Session->GameEvents;
    return true;
}

FDevBackendSession* FDevBackendSessionStore::FindLocked(const std::string& Id)
{
    const auto It = Sessions.find(Id);
    return It == Sessions.end() ? nullptr : &It->second;
}
