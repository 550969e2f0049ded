// quorvex-dev-backend: the dev backend as a program, for running the SDK or the sample
// game against it by hand.
#include "DevBackendCommandLine.h"
#include "DevBackendServer.h"

#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <string>
#include <vector>

namespace
{
// The record's target has its signatures redacted already.
void PrintAnswered(const FDevBackendRecordedRequest& Record)
{
    if (Record.bDropped)
    {
        std::printf("%s %s -> dropped\n", Record.Method.c_str(), Record.Target.c_str());
    }
    else
    {
        std::printf("%s %s -> %d\n", Record.Method.c_str(), Record.Target.c_str(), Record.Status);
    }
    std::fflush(stdout);
}
} // namespace

int main(int Argc, char** Argv)
{
    const std::vector<std::string> Args(Argv + 1, Argv + Argc);
    FDevBackendCommandLine CommandLine;
    std::string Error;
    if (!ParseDevBackendCommandLine(Args, CommandLine, Error))
    {
        std::fprintf(stderr, "quorvex-dev-backend: %s\n\n%s", Error.c_str(),
                     DevBackendUsage().c_str());
        return 2;
    }
    if (CommandLine.bHelp)
    {
        std::printf("%s", DevBackendUsage().c_str());
        return 0;
    }

    // Blocked before any thread starts, so every server thread inherits the mask and
    // the signals wait for sigwait below.
    sigset_t StopSignals;
    sigemptyset(&StopSignals);
    sigaddset(&StopSignals, SIGINT);
    sigaddset(&StopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &StopSignals, nullptr);

    FDevBackendOptions Options;
    Options.Port = CommandLine.Port;
    Options.Store.Style = CommandLine.Store;
    Options.Store.TtlSeconds = CommandLine.CredentialTtlSeconds;
    Options.DataFolder = CommandLine.DataFolder;
    Options.OnAnswered = PrintAnswered;
    FDevBackendServer Server(Options);
    if (!Server.Start(Error))
    {
        std::fprintf(stderr, "quorvex-dev-backend: %s\n", Error.c_str());
        return 1;
    }
    std::printf("quorvex-dev-backend listening on %s (store: %s, objects in %s)\n",
                Server.BaseUrl().c_str(), DevBackendStoreName(CommandLine.Store),
                Server.DataFolder().c_str());
    std::printf("replay page (sessions recorded here): %s/replay/\n", Server.BaseUrl().c_str());
    std::fflush(stdout);

    int Signal = 0;
    sigwait(&StopSignals, &Signal);
    Server.Stop();
    std::printf("quorvex-dev-backend stopped after %zu requests, %zu sessions\n",
                Server.Requests().All().size(), Server.Sessions().Count());
    return 0;
}
