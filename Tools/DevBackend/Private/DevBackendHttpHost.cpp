#include "DevBackendHttpHost.h"

#include "DevBackendConnectionDrop.h"

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>

struct FDevBackendHttpHost::FImpl
{
    FDispatch Dispatch;
    int WorkerThreads = 16;
    httplib::Server Server;
    std::thread Listener;
    socket_t ListenSocket = -1; // the bound socket, owned by Server

    std::mutex Mutex;
    std::condition_variable ListenerDone;
    bool bListenerDone = true; // guarded by Mutex

    void Serve(const httplib::Request& In, httplib::Response& Out) const;
};

namespace
{
FDevBackendRequest Translate(const httplib::Request& In)
{
    FDevBackendRequest Request;
    Request.Method = In.method;
    Request.Target = In.target;
    Request.Body = In.body;
    for (const auto& [Name, Value] : In.headers)
    {
        Request.Headers.emplace_back(Name, Value);
    }
    return Request;
}

// The workers are created by the listener thread and inherit its signal mask. With
// SIGPIPE blocked there, writing to a connection the client (or a scripted drop) has
// closed fails with EPIPE instead of killing the process.
void BlockSigpipeOnThisThread()
{
    sigset_t Set;
    sigemptyset(&Set);
    sigaddset(&Set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &Set, nullptr);
}
} // namespace

void FDevBackendHttpHost::FImpl::Serve(const httplib::Request& In, httplib::Response& Out) const
{
    const FDevBackendReply Reply = Dispatch(Translate(In));
    if (Reply.bDrop)
    {
        // After the shutdown the server's write of this (unsent) response fails and
        // it closes the socket: the client sees the connection end with no answer.
        ShutdownDevBackendConnection(In.local_addr, In.local_port, In.remote_addr, In.remote_port);
        Out.status = 500;
        return;
    }
    Out.status = Reply.Status;
    for (const auto& [Name, Value] : Reply.Headers)
    {
        Out.set_header(Name, Value);
    }
    Out.set_content(Reply.Body, Reply.ContentType.c_str());
}

FDevBackendHttpHost::FDevBackendHttpHost(FDispatch Dispatch, int WorkerThreads)
    : Impl(std::make_unique<FImpl>())
{
    Impl->Dispatch = std::move(Dispatch);
    Impl->WorkerThreads = WorkerThreads > 0 ? WorkerThreads : 1;
}

FDevBackendHttpHost::~FDevBackendHttpHost()
{
    Stop();
}

bool FDevBackendHttpHost::Start(const std::string& Host, int Port, int& OutPort,
                                std::string& OutError)
{
    FImpl& I = *Impl;
    const size_t Threads = static_cast<size_t>(I.WorkerThreads);
    I.Server.new_task_queue = [Threads] { return new httplib::ThreadPool(Threads); };
    // One request per connection: no idle keep-alive connection can pin a worker, so
    // Stop returns promptly. Clients reconnect for each request, which loopback makes cheap.
    I.Server.set_keep_alive_max_count(1);
    // Address reuse only: httplib's default also sets SO_REUSEPORT, which would let a
    // second server bind the same port and silently take part of the traffic.
    I.Server.set_socket_options(
        [&I](socket_t Socket)
        {
            int Yes = 1;
            setsockopt(Socket, SOL_SOCKET, SO_REUSEADDR, &Yes, sizeof(Yes));
            I.ListenSocket = Socket;
        });
    const auto Handler = [&I](const httplib::Request& In, httplib::Response& Out)
    { I.Serve(In, Out); };
    I.Server.Get(".*", Handler);
    I.Server.Post(".*", Handler);
    I.Server.Put(".*", Handler);
    I.Server.Patch(".*", Handler);
    I.Server.Delete(".*", Handler);
    I.Server.Options(".*", Handler);

    OutPort = Port == 0 ? I.Server.bind_to_any_port(Host) : Port;
    const bool bBound = Port == 0 ? OutPort > 0 : I.Server.bind_to_port(Host, Port);
    if (!bBound)
    {
        OutError = "could not bind " + Host + ":" + std::to_string(Port);
        OutPort = 0;
        return false;
    }
    // httplib listens with a backlog of 5; a burst of concurrent clients then loses
    // connection attempts to SYN retries. Listening again raises the backlog.
    listen(I.ListenSocket, SOMAXCONN);
    {
        std::lock_guard Lock(I.Mutex);
        I.bListenerDone = false;
    }
    I.Listener = std::thread(
        [&I]
        {
            BlockSigpipeOnThisThread();
            I.Server.listen_after_bind();
            {
                std::lock_guard Lock(I.Mutex);
                I.bListenerDone = true;
            }
            I.ListenerDone.notify_all();
        });
    return true;
}

void FDevBackendHttpHost::Stop()
{
    FImpl& I = *Impl;
    if (!I.Listener.joinable())
    {
        return;
    }
    // stop() only acts once the listener has entered its accept loop; until the
    // listener reports that it has finished, ask again.
    std::unique_lock Lock(I.Mutex);
    while (!I.bListenerDone)
    {
        Lock.unlock();
        I.Server.stop();
        Lock.lock();
        I.ListenerDone.wait_for(Lock, std::chrono::milliseconds(20),
                                [&I] { return I.bListenerDone; });
    }
    Lock.unlock();
    I.Listener.join();
}
