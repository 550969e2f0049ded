// Named fault scripts: the dev backend misbehaving the way real stores, networks and
// backends do (a flaky store, credentials that expire between batches, a slow uplink,
// a backend that ends the session), for the sample game and for runs by hand.
//
//   std::string Error;
//   std::unique_ptr<FDevBackendFaultScript> Faults = FDevBackendFaultScript::Make("flaky-store",
//   Error); Faults->Apply(Server);                       // once the server has started
//   ... from the server's OnAnswered observer:
//   std::string Injected = Faults->OnAnswered(Server, Record);
//
// Threads: Apply belongs to the thread that owns the server; OnAnswered is called on
// the server's worker threads and may run on several at once.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

class FDevBackendServer;
struct FDevBackendRecordedRequest;

struct FDevBackendFaultScriptInfo
{
    const char* Name;
    const char* Description;
};

class FDevBackendFaultScript
{
public:
    // Every script there is, in the order a usage text lists them.
    static const std::vector<FDevBackendFaultScriptInfo>& All();
    // The script called Name; null with a message naming the known scripts otherwise.
    static std::unique_ptr<FDevBackendFaultScript> Make(std::string_view Name,
                                                        std::string& OutError);

    virtual ~FDevBackendFaultScript() = default;
    const FDevBackendFaultScriptInfo& Info() const { return ScriptInfo; }

    // Sets the server up to misbehave; call once after it started.
    virtual void Apply(FDevBackendServer& Server) = 0;
    // Sees every answered request. Returns a line saying what fault the script just
    // injected because of it, or empty when it injected none.
    virtual std::string OnAnswered(FDevBackendServer& Server,
                                   const FDevBackendRecordedRequest& Record);

    // A short description of how a request was answered when that was a failure
    // ("StoreGcs answered 503", "StoreB2 dropped"); empty for a success.
    static std::string DescribeFailure(const FDevBackendRecordedRequest& Record);

protected:
    explicit FDevBackendFaultScript(FDevBackendFaultScriptInfo InInfo) : ScriptInfo(InInfo) {}

private:
    FDevBackendFaultScriptInfo ScriptInfo;
};
