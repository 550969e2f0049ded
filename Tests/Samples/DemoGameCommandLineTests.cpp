// The sample game as a user runs it: bad input gets a clear message and a non-zero
// exit before anything is recorded, and --help names every option and fault script.
#include "DevBackendFaultScripts.h"
#include "TestSupport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
struct FRun
{
    int32 Exit = -1;
    FString Output; // stdout and stderr
};

FRun RunDemo(const FString& Arguments)
{
    FRun Run;
    Run.Exit = RunCommand(FString("'") + QUORVEX_DEMOGAME + "' " + Arguments, Run.Output);
    return Run;
}

// A socket listening on a free loopback port, which another server cannot take.
class FBusyPort
{
public:
    FBusyPort()
    {
        Socket = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t Size = sizeof(Address);
        bind(Socket, reinterpret_cast<sockaddr*>(&Address), Size);
        listen(Socket, 1);
        getsockname(Socket, reinterpret_cast<sockaddr*>(&Address), &Size);
        Port = ntohs(Address.sin_port);
    }
    ~FBusyPort() { close(Socket); }
    int Socket = -1;
    int Port = 0;
};

// A loopback port nothing listens on: taken and given back.
int ClosedPort()
{
    return FBusyPort().Port;
}
} // namespace

TEST(DemoGameCommandLine, BadInputIsRefusedWithAMessageBeforeAnythingRuns)
{
    const struct
    {
        const char* Arguments;
        const char* Message;
    } Cases[] = {
        {"--frobnicate", "unknown option '--frobnicate'"},
        {"--seconds", "--seconds needs a value"},
        {"--seconds abc", "bad value for --seconds"},
        {"--seconds 0", "bad value for --seconds"},
        {"--store ftp", "bad value for --store"},
        {"--rhi metal", "bad value for --rhi"},
        {"--quality 101", "bad value for --quality"},
        {"--interval -5", "bad value for --interval"},
        {"--port 70000", "bad value for --port"},
        {"--faults flaky", "unknown fault script 'flaky'"},
        {"--backend ftp://example.com", "bad value for --backend"},
        {"--backend http://127.0.0.1:9 --faults flaky-store", "cannot be used with --backend"},
        {"--backend http://127.0.0.1:9 --serve", "cannot be used with --backend"},
    };
    for (const auto& Case : Cases)
    {
        SCOPED_TRACE(Case.Arguments);
        const FRun Run = RunDemo(Case.Arguments);
        EXPECT_EQ(Run.Exit, 2) << Run.Output;
        EXPECT_NE(Run.Output.find(Case.Message), FString::npos) << Run.Output;
        EXPECT_NE(Run.Output.find("Usage: DemoGame"), FString::npos) << Run.Output;
    }
}

TEST(DemoGameCommandLine, HelpNamesEveryOptionAndFaultScript)
{
    const FRun Run = RunDemo("--help");
    EXPECT_EQ(Run.Exit, 0);
    for (const char* Option : {"--seconds", "--backend", "--store", "--rhi", "--quality",
                               "--interval", "--faults", "--serve", "--port", "--out"})
    {
        EXPECT_NE(Run.Output.find(Option), FString::npos) << Option;
    }
    for (const FDevBackendFaultScriptInfo& Script : FDevBackendFaultScript::All())
    {
        EXPECT_NE(Run.Output.find(Script.Name), FString::npos) << Script.Name;
    }
}

TEST(DemoGameCommandLine, APortInUseIsRefused)
{
    const FBusyPort Busy;
    const FRun Run = RunDemo("--seconds 1 --port " + std::to_string(Busy.Port));
    EXPECT_EQ(Run.Exit, 2) << Run.Output;
    EXPECT_NE(Run.Output.find("could not start the dev backend"), FString::npos) << Run.Output;
}

TEST(DemoGameCommandLine, AnUnreachableBackendIsReported)
{
    const FString Url = "http://127.0.0.1:" + std::to_string(ClosedPort());
    const FRun Run = RunDemo("--seconds 2 --backend " + Url);
    EXPECT_EQ(Run.Exit, 1) << Run.Output;
    EXPECT_NE(Run.Output.find("could not start a session at " + Url), FString::npos) << Run.Output;
}
