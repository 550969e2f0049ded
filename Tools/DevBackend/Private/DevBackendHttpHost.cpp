#include "DevBackendHttpHost.h"

#include "DevBackendSocketStream.h"

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace
{
constexpr int ReadTimeoutMs = 5000;
constexpr int WriteTimeoutMs = 5000;
constexpr std::size_t FileChunkBytes = 64 * 1024;

// The connection the calling worker is serving; set for the duration of one.
thread_local socket_t CurrentConnection = INVALID_SOCKET;
thread_local FDevBackendSocketStream* CurrentStream = nullptr;
// The client sent "Expect: 100-continue" and has not been answered yet.
thread_local bool bContinueAwaited = false;

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
        CurrentStream = &Stream;
        bContinueAwaited = false;
        bool bConnectionClosed = false;
        // One request per connection: no idle keep-alive connection can pin a worker,
        // so Stop returns promptly; loopback makes the reconnects cheap.
        const bool bServed =
            process_request(Stream, /*close_connection=*/true, bConnectionClosed, nullptr);
        CurrentStream = nullptr;
        CurrentConnection = INVALID_SOCKET;
        shutdown(Socket, SHUT_RDWR);
        close(Socket);
        return bServed;
    }
};

// The body of one request, read through httplib's content reader. "100 Continue" is
// sent here, when a handler first asks for the body, so a handler that refuses a
// request from its headers alone answers before the client sends any of it, and a
// script can withhold the interim answer altogether.
class FHostConnection final : public IDevBackendConnection
{
public:
    explicit FHostConnection(const httplib::ContentReader* InReader) : Reader(InReader) {}

    bool ReadBody(const FDevBackendBodySink& Sink) override
    {
        if (bRead || bReset || !Reader)
        {
            return false;
        }
        bRead = true;
        if (bContinueAwaited && !bWithholdContinue && CurrentStream)
        {
            static constexpr char Continue[] = "HTTP/1.1 100 Continue\r\n\r\n";
            CurrentStream->write(Continue, sizeof(Continue) - 1);
        }
        bContinueAwaited = false;
        bool bSinkAccepted = true;
        const bool bComplete = (*Reader)(
            [&](const char* Data, size_t Size)
            {
                bSinkAccepted = Sink(Data, Size);
                return bSinkAccepted;
            });
        return bComplete && bSinkAccepted;
    }

    void WithholdContinue() override { bWithholdContinue = true; }

    void Reset() override
    {
        bReset = true;
        // With a zero linger the close that follows sends a reset, not a FIN.
        linger Abort = {1, 0};
        setsockopt(CurrentConnection, SOL_SOCKET, SO_LINGER, &Abort, sizeof(Abort));
        if (CurrentStream)
        {
            CurrentStream->FailWrites();
        }
    }

    // A body nobody read is read and discarded before answering: closing a socket
    // with unread data resets it, and the client could lose the answer. A client
    // still waiting for "100 Continue" has sent nothing and needs no draining.
    void DrainUnread()
    {
        if (!bRead && !bReset && !bContinueAwaited)
        {
            ReadBody([](const char*, std::size_t) { return true; });
        }
    }

    bool WasReset() const { return bReset; }

private:
    // All owned by the worker thread serving the connection.
    const httplib::ContentReader* Reader; // null for verbs without a body
    bool bRead = false;
    bool bReset = false;
    bool bWithholdContinue = false;
};

std::string_view TrimSpace(std::string_view Text)
{
    while (!Text.empty() && (Text.front() == ' ' || Text.front() == '\t'))
    {
        Text.remove_prefix(1);
    }
    while (!Text.empty() && (Text.back() == ' ' || Text.back() == '\t' || Text.back() == '\r'))
    {
        Text.remove_suffix(1);
    }
    return Text;
}

// The headers as the client wrote them, from the raw request head; false when the
// head was not kept whole.
bool ParseRawHeaders(const std::string& Head, FDevBackendHeaders& Out)
{
    if (Head.size() < 4 || Head.compare(Head.size() - 4, 4, "\r\n\r\n") != 0)
    {
        return false;
    }
    std::size_t Line = Head.find("\r\n") + 2; // past the request line
    while (Line + 2 < Head.size())
    {
        const std::size_t End = Head.find("\r\n", Line);
        const std::string_view Text = std::string_view(Head).substr(Line, End - Line);
        const std::size_t Colon = Text.find(':');
        if (Colon != std::string_view::npos)
        {
            Out.emplace_back(std::string(TrimSpace(Text.substr(0, Colon))),
                             std::string(TrimSpace(Text.substr(Colon + 1))));
        }
        Line = End + 2;
    }
    return true;
}

FDevBackendRequest Translate(const httplib::Request& In)
{
    FDevBackendRequest Request;
    Request.Method = In.method;
    Request.Target = In.target;
    Request.Body = In.body;
    if (CurrentStream && ParseRawHeaders(CurrentStream->RawHead(), Request.Headers))
    {
        return Request;
    }
    for (const auto& [Name, Value] : In.headers)
    {
        Request.Headers.emplace_back(Name, Value);
    }
    return Request;
}

// Streams a file as the response body; an unreadable file ends the response early.
void SetFileContent(const std::string& Path, const std::string& ContentType, httplib::Response& Out)
{
    auto File = std::make_shared<std::ifstream>(Path, std::ios::binary | std::ios::ate);
    if (!*File)
    {
        Out.status = 404;
        Out.set_content("object file missing", "text/plain");
        return;
    }
    const auto Size = static_cast<size_t>(File->tellg());
    Out.set_content_provider(
        Size, ContentType.c_str(),
        [File](size_t Offset, size_t Length, httplib::DataSink& Sink)
        {
            char Chunk[FileChunkBytes];
            File->seekg(static_cast<std::streamoff>(Offset));
            File->read(Chunk, static_cast<std::streamsize>(std::min(Length, sizeof(Chunk))));
            const std::streamsize Got = File->gcount();
            return Got > 0 && Sink.write(Chunk, static_cast<size_t>(Got));
        });
}
} // namespace

struct FDevBackendHttpHost::FImpl
{
    FDispatch Dispatch;
    FIsStreamed IsStreamed;
    int WorkerThreads = 16;
    FDevBackendHttpServer Server;
    std::thread Listener;
    socket_t ListenSocket = INVALID_SOCKET; // the bound socket, owned by Server

    std::mutex Mutex;
    std::condition_variable ListenerDone;
    bool bListenerDone = true; // guarded by Mutex

    void Serve(const httplib::Request& In, httplib::Response& Out,
               const httplib::ContentReader* Reader) const;
    void Configure();
};

void FDevBackendHttpHost::FImpl::Serve(const httplib::Request& In, httplib::Response& Out,
                                       const httplib::ContentReader* Reader) const
{
    FDevBackendRequest Request = Translate(In);
    // Asked for the raw bytes of a multipart body, httplib would parse it itself (and
    // fail without a part handler). The handlers have the headers in Request already;
    // httplib's copy loses its Content-Type so that the body stays raw. The request is
    // httplib's own mutable object, handed to handlers as const.
    const_cast<httplib::Request&>(In).headers.erase("Content-Type");
    FHostConnection Connection(Reader);
    if (IsStreamed && IsStreamed(Request.Method, Request.Target))
    {
        Request.Connection = &Connection;
    }
    else
    {
        Connection.ReadBody(
            [&Request](const char* Data, std::size_t Size)
            {
                Request.Body.append(Data, Size);
                return true;
            });
    }
    const FDevBackendReply Reply = Dispatch(Request);
    if (Reply.bDrop || Connection.WasReset())
    {
        // The server's write of this (unsent) response then fails and the connection
        // closes: the client sees it end with no answer at all.
        if (!Connection.WasReset())
        {
            shutdown(CurrentConnection, SHUT_RDWR);
        }
        Out.status = 500;
        return;
    }
    Connection.DrainUnread();
    Out.status = Reply.Status;
    for (const auto& [Name, Value] : Reply.Headers)
    {
        Out.set_header(Name, Value);
    }
    if (!Reply.BodyFilePath.empty())
    {
        SetFileContent(Reply.BodyFilePath, Reply.ContentType, Out);
        return;
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
    // httplib would answer "100 Continue" before routing; it is swallowed here and
    // sent by the connection when a handler reads the body.
    Server.set_expect_100_continue_handler(
        [](const httplib::Request&, httplib::Response&)
        {
            bContinueAwaited = true;
            if (CurrentStream)
            {
                CurrentStream->SwallowNextWrite();
            }
            return 100;
        });
    const auto Handler = [this](const httplib::Request& In, httplib::Response& Out)
    { Serve(In, Out, nullptr); };
    const auto BodyHandler = [this](const httplib::Request& In, httplib::Response& Out,
                                    const httplib::ContentReader& Reader)
    { Serve(In, Out, &Reader); };
    Server.Get(".*", Handler);
    Server.Post(".*", BodyHandler);
    Server.Put(".*", BodyHandler);
    Server.Patch(".*", BodyHandler);
    Server.Delete(".*", BodyHandler);
    Server.Options(".*", Handler);
}

FDevBackendHttpHost::FDevBackendHttpHost(FDispatch Dispatch, FIsStreamed IsStreamed,
                                         int WorkerThreads)
    : Impl(std::make_unique<FImpl>())
{
    Impl->Dispatch = std::move(Dispatch);
    Impl->IsStreamed = std::move(IsStreamed);
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
