#include "DevBackendConnectionDrop.h"

#include <arpa/inet.h>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <system_error>

namespace
{
struct FEndpoint
{
    std::string Addr;
    int Port = -1;
};

bool Describe(const sockaddr_storage& Storage, FEndpoint& Out)
{
    char Text[INET6_ADDRSTRLEN] = {};
    if (Storage.ss_family == AF_INET)
    {
        const auto& V4 = reinterpret_cast<const sockaddr_in&>(Storage);
        inet_ntop(AF_INET, &V4.sin_addr, Text, sizeof(Text));
        Out = {Text, ntohs(V4.sin_port)};
        return true;
    }
    if (Storage.ss_family == AF_INET6)
    {
        const auto& V6 = reinterpret_cast<const sockaddr_in6&>(Storage);
        inet_ntop(AF_INET6, &V6.sin6_addr, Text, sizeof(Text));
        Out = {Text, ntohs(V6.sin6_port)};
        return true;
    }
    return false;
}

bool LocalAndPeer(int Fd, FEndpoint& OutLocal, FEndpoint& OutPeer)
{
    struct stat Info = {};
    if (fstat(Fd, &Info) != 0 || !S_ISSOCK(Info.st_mode))
    {
        return false;
    }
    sockaddr_storage Local = {};
    sockaddr_storage Peer = {};
    socklen_t LocalLen = sizeof(Local);
    socklen_t PeerLen = sizeof(Peer);
    if (getsockname(Fd, reinterpret_cast<sockaddr*>(&Local), &LocalLen) != 0 ||
        getpeername(Fd, reinterpret_cast<sockaddr*>(&Peer), &PeerLen) != 0)
    {
        return false;
    }
    return Describe(Local, OutLocal) && Describe(Peer, OutPeer);
}

bool ParseFd(const std::string& Name, int& OutFd)
{
    if (Name.empty() || Name.size() > 9 ||
        Name.find_first_not_of("0123456789") != std::string::npos)
    {
        return false;
    }
    OutFd = std::stoi(Name);
    return true;
}
} // namespace

bool ShutdownDevBackendConnection(const std::string& LocalAddr, int LocalPort,
                                  const std::string& RemoteAddr, int RemotePort)
{
    // Only the descriptor that matches the connection being served is acted on; that
    // one belongs to the calling worker and cannot be closed or reused meanwhile.
    std::error_code Error;
    for (const auto& Entry : std::filesystem::directory_iterator("/proc/self/fd", Error))
    {
        int Fd = -1;
        FEndpoint Local;
        FEndpoint Peer;
        if (!ParseFd(Entry.path().filename().string(), Fd) || !LocalAndPeer(Fd, Local, Peer))
        {
            continue;
        }
        if (Local.Port == LocalPort && Peer.Port == RemotePort && Local.Addr == LocalAddr &&
            Peer.Addr == RemoteAddr)
        {
            return shutdown(Fd, SHUT_RDWR) == 0;
        }
    }
    return false;
}
