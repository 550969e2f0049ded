// The dev backend in a process of its own, forked before the benchmark starts any
// thread, so that the bytes it receives and writes never count towards the measured
// process's memory or CPU.
#pragma once

#include "DevBackendServer.h"
#include "Logging.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <string>
#include <sys/wait.h>
#include <unistd.h>

class FDevBackendProcess
{
public:
    // Forks the server; false when it did not come up.
    bool Start(const FDevBackendOptions& Options)
    {
        int PortPipe[2], StopPipe[2];
        if (pipe(PortPipe) != 0 || pipe(StopPipe) != 0)
        {
            return false;
        }
        Pid = fork();
        if (Pid == 0)
        {
            close(PortPipe[0]);
            close(StopPipe[1]);
            _exit(Serve(Options, PortPipe[1], StopPipe[0]));
        }
        close(PortPipe[1]);
        close(StopPipe[0]);
        StopFd = StopPipe[1];
        int ServerPort = 0;
        const bool bGotPort = read(PortPipe[0], &ServerPort, sizeof(ServerPort)) ==
                              static_cast<ssize_t>(sizeof(ServerPort));
        close(PortPipe[0]);
        Port = bGotPort ? ServerPort : 0;
        return Port > 0;
    }

    ~FDevBackendProcess()
    {
        if (Pid > 0)
        {
            close(StopFd); // the server sees end-of-file and stops
            waitpid(Pid, nullptr, 0);
        }
    }

    std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(Port); }

    // The objects the store accepted for a session, each with a non-empty body; -1
    // when the listing could not be read.
    int64 CountObjects(const std::string& SessionId) const
    {
        httplib::Client Client("127.0.0.1", Port);
        const auto Reply = Client.Get("/dev/sessions/" + SessionId + "/objects");
        if (!Reply || Reply->status != 200)
        {
            return -1;
        }
        const nlohmann::json Body = nlohmann::json::parse(Reply->body, nullptr, false);
        if (!Body.is_object() || !Body.contains("objects") || !Body["objects"].is_array())
        {
            return -1;
        }
        int64 Count = 0;
        for (const nlohmann::json& Object : Body["objects"])
        {
            Count += Object.value("size", 0) > 0 ? 1 : 0;
        }
        return Count;
    }

private:
    static int Serve(const FDevBackendOptions& Options, int PortFd, int StopFd)
    {
        FLogSinks::SetStderrEnabled(false);
        FDevBackendServer Server(Options);
        std::string Error;
        int BoundPort = Server.Start(Error) ? Server.Port() : 0;
        if (write(PortFd, &BoundPort, sizeof(BoundPort)) != static_cast<ssize_t>(sizeof(BoundPort)))
        {
            return 1;
        }
        close(PortFd);
        char Byte = 0;
        while (read(StopFd, &Byte, 1) > 0)
        {
        }
        Server.Stop();
        return 0;
    }

    pid_t Pid = -1;
    int StopFd = -1;
    int Port = 0;
};
