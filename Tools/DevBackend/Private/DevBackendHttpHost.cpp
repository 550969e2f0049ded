#include "DevBackendHttpHost.h"

#include "DevBackendSocketStream.h"

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace
{
constexpr int ReadTimeoutMs = 5000;
constexpr int WriteTimeoutMs = 5000;

// The connection the calling worker is serving; set for the duration of one.
thread_local socket_t CurrentConnection = INVALID_SOCKET;

// Serves every connection itself: one request, then close. httplib calls the
// overridden hook for each accepted socket on a worker thread; keeping the socket at
// hand is what lets a handler drop the connection.
class FDevBackendHttpServer final : public httplib::Server
{
private:
    bool process_and_close_socket(socket_t Socket) override
    {
        CurrentConnection = Socket;
        FDevBackendSocketStream Stream(Socket, ReadTimeoutMs, WriteTimeoutMs);
        bool bConnectionClosed = false;
        // One request per connection: no idle keep-alive connection can pin a worker,
        // so Stop returns promptly; loopback makes the reconnects cheap.
        const bool bServed =
            process_request(Stream, /*close_connection=*/true, bConnectionClosed, nullptr);
        CurrentConnection = INVALID_SOCKET;
        shutdown(Socket, SHUT_RDWR);
        close(Socket);
        return bServed;
    }
};

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
} // namespace

struct FDevBackendHttpHost::FImpl
{
    FDispatch Dispatch;
    int WorkerThreads = 16;
    FDevBackendHttpServer Server;
    std::thread Listener;
    socket_t ListenSocket = INVALID_SOCKET; // the bound socket, owned by Server

    std::mutex Mutex;
    std::condition_variable ListenerDone;
    bool bListenerDone = true; // guarded by Mutex

    void Serve(const httplib::Request& In, httplib::Response& Out) const;
    void Configure();
};

void FDevBackendHttpHost::FImpl::Serve(const httplib::Request& In, httplib::Response& Out) const
{
    const FDevBackendReply Reply = Dispatch(Translate(In));
    if (Reply.bDrop)
    {
        // The server's write of this (unsent) response then fails and the connection
        // closes: the client sees it end with no answer at all.
        shutdown(CurrentConnection, SHUT_RDWR);
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

void FDevBackendHttpHost::FImpl::Configure()
{
    const size_t Threads = static_cast<size_t>(WorkerThreads);
    Server.new_task_queue = [Threads] { return new httplib::ThreadPool(Threads); };
    // Address reuse only: httplib's default also sets SO_REUSEPORT, which would let a
    // second server bind the same port and silently take part of the traffic.
    Server.set_socket_options(
        [this](socket_t Socket)
        {
            int Yes = 1;
            setsockopt(Socket, SOL_SOCKET, SO_REUSEADDR, &Yes, sizeof(Yes));
            ListenSocket = Socket;
        });
    const auto Handler = [this](const httplib::Request& In, httplib::Response& Out)
    { Serve(In, Out); };
    Server.Get(".*", Handler);
    Server.Post(".*", Handler);
    Server.Put(".*", Handler);
    Server.Patch(".*", Handler);
    Server.Delete(".*", Handler);
    Server.Options(".*", Handler);
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
    I.Configure();
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
