#include "DevBackendFaultScripts.h"

#include "DevBackendServer.h"

#include <atomic>
#include <chrono>

namespace
{
using namespace std::chrono_literals;

constexpr EDevBackendStore AllStores[] = {EDevBackendStore::Gcs, EDevBackendStore::B2,
                                          EDevBackendStore::SignedPut};

const FDevBackendFaultScriptInfo FlakyStoreInfo{
    "flaky-store", "the object store fails about one upload in three (503, a reset mid-body, "
                   "a dropped connection, 429) and accepts the rest"};
const FDevBackendFaultScriptInfo ExpiringCredentialsInfo{
    "expiring-credentials", "upload credentials live 6 seconds, so most batches need fresh "
                            "ones and some reach the store after theirs expired"};
const FDevBackendFaultScriptInfo SlowNetworkInfo{
    "slow-network", "the object store reads uploads at 40 KB/s, below the SDK's slow-network "
                    "threshold"};
const FDevBackendFaultScriptInfo SessionEndedInfo{
    "session-ended", "after the second accepted batch the backend ends the session, and the "
                     "next upload is refused because the session is gone"};

// A store that fails in a fixed, repeating pattern, so every run shows the same faults.
class FFlakyStore : public FDevBackendFaultScript
{
public:
    FFlakyStore() : FDevBackendFaultScript(FlakyStoreInfo) {}

    void Apply(FDevBackendServer& Server) override
    {
        const FDevBackendAnswer Ok = FDevBackendAnswer::Handle();
        const std::vector<FDevBackendAnswer> Round = {
            Ok,
            FDevBackendAnswer::Respond(503, "Service Unavailable", "text/plain"),
            Ok,
            FDevBackendAnswer::ResetMidBody(16 * 1024),
            Ok,
            Ok,
            FDevBackendAnswer::Drop(),
            Ok,
            FDevBackendAnswer::Respond(429, "Slow Down", "text/plain"),
        };
        std::vector<FDevBackendAnswer> Answers;
        for (int Rounds = 0; Rounds < 100; ++Rounds)
        {
            Answers.insert(Answers.end(), Round.begin(), Round.end());
        }
        for (EDevBackendStore Store : AllStores)
        {
            Server.Script(DevBackendStoreEndpoint(Store), Answers);
        }
    }
};

class FExpiringCredentials : public FDevBackendFaultScript
{
public:
    FExpiringCredentials() : FDevBackendFaultScript(ExpiringCredentialsInfo) {}

    void Apply(FDevBackendServer& Server) override
    {
        FDevBackendStoreOptions Store = Server.StoreOptions();
        Store.TtlSeconds = 6;
        Server.SetStoreOptions(Store);
    }

    // The faults here are quiet when the client copes, so say when it had to.
    std::string OnAnswered(FDevBackendServer& Server,
                           const FDevBackendRecordedRequest& Record) override
    {
        if (Record.Endpoint == EDevBackendEndpoint::RefreshUploadUrl && Record.Status == 200)
        {
            return "the client fetched fresh upload credentials (they live 6 s)";
        }
        return FDevBackendFaultScript::OnAnswered(Server, Record);
    }
};

class FSlowNetwork : public FDevBackendFaultScript
{
public:
    FSlowNetwork() : FDevBackendFaultScript(SlowNetworkInfo) {}

    void Apply(FDevBackendServer& Server) override
    {
        for (EDevBackendStore Store : AllStores)
        {
            Server.ScriptAlways(DevBackendStoreEndpoint(Store), FDevBackendAnswer::Drip(40 * 1024));
        }
    }
};

class FSessionEnded : public FDevBackendFaultScript
{
public:
    FSessionEnded() : FDevBackendFaultScript(SessionEndedInfo) {}

    void Apply(FDevBackendServer&) override {}

    std::string OnAnswered(FDevBackendServer& Server,
                           const FDevBackendRecordedRequest& Record) override
    {
        if (!IsDevBackendStoreUpload(Record.Endpoint) || Record.Status < 200 || Record.Status > 299)
        {
            return FDevBackendFaultScript::OnAnswered(Server, Record);
        }
        const std::vector<FDevBackendSession> Sessions = Server.Sessions().All();
        if (Sessions.empty() || Server.Objects(Sessions.back().Id).size() < 2 ||
            bEnded.exchange(true))
        {
            return {};
        }
        const FDevBackendSession& Session = Sessions.back();
        Server.Sessions().MarkInactive(Session.Id);
        Server.Script(DevBackendStoreEndpoint(Session.Store),
                      {FDevBackendAnswer::Error(404, "SessionNotFound", "no such session")});
        return "the backend ended session " + Session.Id + "; the next upload will be refused";
    }

private:
    std::atomic<bool> bEnded{false};
};
} // namespace

const std::vector<FDevBackendFaultScriptInfo>& FDevBackendFaultScript::All()
{
    static const std::vector<FDevBackendFaultScriptInfo> Scripts = {
        FlakyStoreInfo, ExpiringCredentialsInfo, SlowNetworkInfo, SessionEndedInfo};
    return Scripts;
}

std::unique_ptr<FDevBackendFaultScript> FDevBackendFaultScript::Make(std::string_view Name,
                                                                     std::string& OutError)
{
    if (Name == FlakyStoreInfo.Name)
    {
        return std::make_unique<FFlakyStore>();
    }
    if (Name == ExpiringCredentialsInfo.Name)
    {
        return std::make_unique<FExpiringCredentials>();
    }
    if (Name == SlowNetworkInfo.Name)
    {
        return std::make_unique<FSlowNetwork>();
    }
    if (Name == SessionEndedInfo.Name)
    {
        return std::make_unique<FSessionEnded>();
    }
    OutError = "unknown fault script '" + std::string(Name.substr(0, 64)) + "'; known:";
    for (const FDevBackendFaultScriptInfo& Script : All())
    {
        OutError += std::string(" ") + Script.Name;
    }
    return nullptr;
}

std::string FDevBackendFaultScript::OnAnswered(FDevBackendServer&,
                                               const FDevBackendRecordedRequest& Record)
{
    return DescribeFailure(Record);
}

std::string FDevBackendFaultScript::DescribeFailure(const FDevBackendRecordedRequest& Record)
{
    const std::string Endpoint = DevBackendEndpointName(Record.Endpoint);
    if (Record.bDropped)
    {
        return Endpoint + " dropped the connection";
    }
    if (Record.Status >= 200 && Record.Status <= 299)
    {
        return {};
    }
    return Endpoint + " answered " + std::to_string(Record.Status);
}
