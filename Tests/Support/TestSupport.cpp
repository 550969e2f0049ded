#include "TestSupport.h"

#include "Clock.h"
#include "FileFaults.h"
#include "Files.h"
#include "PluginManager.h"
#include "Tasks.h"

#include <cstdio>
#include <sys/wait.h>

#include <arpa/inet.h>
#include <atomic>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

FTempDir::FTempDir()
{
    static std::atomic<int> Counter{0};
    const auto Base = std::filesystem::temp_directory_path();
    Root = (Base / ("quorvex-test-" + std::to_string(getpid()) + "-" +
                    std::to_string(Counter.fetch_add(1))))
               .string();
    std::filesystem::remove_all(Root);
    std::filesystem::create_directories(Root);
}

FTempDir::~FTempDir()
{
    std::error_code Ignored;
    std::filesystem::remove_all(Root, Ignored);
}

FString FTempDir::File(const FString& Name) const
{
    return FPaths::Combine(Root, Name);
}

bool PumpUntil(const std::function<bool()>& Condition, std::chrono::milliseconds Deadline)
{
    const auto End = std::chrono::steady_clock::now() + Deadline;
    while (!Condition())
    {
        if (std::chrono::steady_clock::now() > End)
        {
            return false;
        }
        if (FTaskGraph::PumpGameThreadTasks() == 0)
        {
            // Most conditions turn true through a posted task; the short timeout
            // covers those that other threads change directly.
            FTaskGraph::WaitForGameThreadTask(0.002);
        }
    }
    return true;
}

void FEngineTestBase::SetUp()
{
    FTaskGraph::SetGameThread();
    FFileFaults::Clear();
    FPaths::SetProjectSavedDir(Saved.Path());
    IPluginManager::Get().ClearPluginSearchPaths();
    IPluginManager::Get().AddPluginSearchPath(QUORVEX_PLUGINS_DIR);
}

void FEngineTestBase::TearDown()
{
    FTaskGraph::SetRenderThreadLagFrames(0);
    FlushRenderingCommands();
    FTaskGraph::WaitForBackgroundIdle();
    FTaskGraph::PumpGameThreadTasks();
    FFileFaults::Clear();
    FClock::Unfreeze();
}

int32 RunCommand(const FString& Command, FString& OutOutput)
{
    OutOutput.clear();
    std::FILE* Pipe = popen((Command + " 2>&1").c_str(), "r");
    if (!Pipe)
    {
        return -1;
    }
    char Buffer[4096];
    for (size_t Got; (Got = std::fread(Buffer, 1, sizeof(Buffer), Pipe)) > 0;)
    {
        OutOutput.append(Buffer, Got);
    }
    const int Status = pclose(Pipe);
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

int ClosedLoopbackPort()
{
    const int Socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Address.sin_port = 0;
    ::bind(Socket, reinterpret_cast<sockaddr*>(&Address), sizeof(Address));
    socklen_t Length = sizeof(Address);
    ::getsockname(Socket, reinterpret_cast<sockaddr*>(&Address), &Length);
    ::close(Socket);
    return ntohs(Address.sin_port);
}
