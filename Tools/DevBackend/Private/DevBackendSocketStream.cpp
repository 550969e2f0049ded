#include "DevBackendSocketStream.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace
{
void Describe(const sockaddr_storage& Storage, std::string& Ip, int& Port)
{
    char Text[INET6_ADDRSTRLEN] = {};
    if (Storage.ss_family == AF_INET6)
    {
        sockaddr_in6 V6;
        std::memcpy(&V6, &Storage, sizeof(V6));
        inet_ntop(AF_INET6, &V6.sin6_addr, Text, sizeof(Text));
        Port = ntohs(V6.sin6_port);
    }
    else
    {
        sockaddr_in V4;
        std::memcpy(&V4, &Storage, sizeof(V4));
        inet_ntop(AF_INET, &V4.sin_addr, Text, sizeof(Text));
        Port = ntohs(V4.sin_port);
    }
    Ip = Text;
}
} // namespace

FDevBackendSocketStream::FDevBackendSocketStream(socket_t InSocket, int InReadTimeoutMs,
                                                 int InWriteTimeoutMs)
    : Socket(InSocket), ReadTimeoutMs(InReadTimeoutMs), WriteTimeoutMs(InWriteTimeoutMs)
{
}

bool FDevBackendSocketStream::WaitFor(short Events, int TimeoutMs) const
{
    pollfd Poll = {Socket, Events, 0};
    int Ready = 0;
    do
    {
        Ready = poll(&Poll, 1, TimeoutMs);
    } while (Ready < 0 && errno == EINTR);
    return Ready > 0;
}

bool FDevBackendSocketStream::is_readable() const
{
    return BufferBegin < BufferEnd || WaitFor(POLLIN, ReadTimeoutMs);
}

bool FDevBackendSocketStream::is_writable() const
{
    return WaitFor(POLLOUT, WriteTimeoutMs);
}

ssize_t FDevBackendSocketStream::read(char* Ptr, size_t Size)
{
    if (BufferBegin == BufferEnd)
    {
        if (!WaitFor(POLLIN, ReadTimeoutMs))
        {
            return -1;
        }
        ssize_t Received = 0;
        do
        {
            Received = recv(Socket, Buffer, sizeof(Buffer), 0);
        } while (Received < 0 && errno == EINTR);
        if (Received <= 0)
        {
            return Received;
        }
        BufferBegin = 0;
        BufferEnd = static_cast<size_t>(Received);
    }
    const size_t Count = std::min(Size, BufferEnd - BufferBegin);
    std::memcpy(Ptr, Buffer + BufferBegin, Count);
    BufferBegin += Count;
    KeepHead(Ptr, Count);
    return static_cast<ssize_t>(Count);
}

void FDevBackendSocketStream::KeepHead(const char* Data, size_t Size)
{
    if (bHeadDone)
    {
        return;
    }
    const size_t From = Head.size() < 3 ? 0 : Head.size() - 3;
    Head.append(Data, Size);
    const size_t End = Head.find("\r\n\r\n", From);
    if (End != std::string::npos)
    {
        Head.resize(End + 4);
        bHeadDone = true;
    }
    else if (Head.size() > MaxHeadBytes)
    {
        // httplib refuses such a request itself; nothing more is worth keeping.
        bHeadDone = true;
    }
}

ssize_t FDevBackendSocketStream::write(const char* Ptr, size_t Size)
{
    if (bSwallowNextWrite)
    {
        bSwallowNextWrite = false;
        return static_cast<ssize_t>(Size);
    }
    if (bWritesFail || !is_writable())
    {
        return -1;
    }
    ssize_t Sent = 0;
    do
    {
        Sent = send(Socket, Ptr, Size, MSG_NOSIGNAL);
    } while (Sent < 0 && errno == EINTR);
    return Sent;
}

void FDevBackendSocketStream::get_remote_ip_and_port(std::string& Ip, int& Port) const
{
    sockaddr_storage Address = {};
    socklen_t Length = sizeof(Address);
    Ip.clear();
    Port = -1;
    if (getpeername(Socket, reinterpret_cast<sockaddr*>(&Address), &Length) == 0)
    {
        Describe(Address, Ip, Port);
    }
}

void FDevBackendSocketStream::get_local_ip_and_port(std::string& Ip, int& Port) const
{
    sockaddr_storage Address = {};
    socklen_t Length = sizeof(Address);
    Ip.clear();
    Port = -1;
    if (getsockname(Socket, reinterpret_cast<sockaddr*>(&Address), &Length) == 0)
    {
        Describe(Address, Ip, Port);
    }
}
