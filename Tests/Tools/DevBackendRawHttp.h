// HTTP/1.1 over a plain loopback socket, for requests no client library sends as they
// are (no Content-Type at all, "Expect: 100-continue" with the body held back) and
// for watching what a server writes and when.
#pragma once

#include "TestSupport.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

class FRawHttpConnection
{
public:
    explicit FRawHttpConnection(int Port)
    {
        Socket = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in Address = {};
        Address.sin_family = AF_INET;
        Address.sin_port = htons(static_cast<uint16_t>(Port));
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bConnected = connect(Socket, reinterpret_cast<sockaddr*>(&Address), sizeof(Address)) == 0;
    }
    ~FRawHttpConnection() { close(Socket); }
    FRawHttpConnection(const FRawHttpConnection&) = delete;
    FRawHttpConnection& operator=(const FRawHttpConnection&) = delete;

    bool IsConnected() const { return bConnected; }

    bool Send(std::string_view Bytes)
    {
        while (!Bytes.empty())
        {
            const ssize_t Sent = send(Socket, Bytes.data(), Bytes.size(), MSG_NOSIGNAL);
            if (Sent <= 0)
            {
                return false;
            }
            Bytes.remove_prefix(static_cast<std::size_t>(Sent));
        }
        return true;
    }

    // Whatever arrives within Wait (at most what one read returns); empty when nothing did.
    std::string ReadSome(std::chrono::milliseconds Wait)
    {
        pollfd Poll = {Socket, POLLIN, 0};
        if (poll(&Poll, 1, static_cast<int>(Wait.count())) <= 0)
        {
            return {};
        }
        char Buffer[65536];
        const ssize_t Got = recv(Socket, Buffer, sizeof(Buffer), 0);
        return Got > 0 ? std::string(Buffer, static_cast<std::size_t>(Got)) : std::string();
    }

    // Reads until Marker has arrived, the peer closed, or the deadline passed.
    std::string ReadUntil(std::string_view Marker,
                          std::chrono::milliseconds Deadline = TestDeadline)
    {
        const auto Until = std::chrono::steady_clock::now() + Deadline;
        std::string Text;
        while (Text.find(Marker) == std::string::npos && std::chrono::steady_clock::now() < Until)
        {
            pollfd Poll = {Socket, POLLIN, 0};
            if (poll(&Poll, 1, 100) <= 0)
            {
                continue;
            }
            char Buffer[65536];
            const ssize_t Got = recv(Socket, Buffer, sizeof(Buffer), 0);
            if (Got <= 0)
            {
                break;
            }
            Text.append(Buffer, static_cast<std::size_t>(Got));
        }
        return Text;
    }

    // Everything until the peer closes (the dev backend closes after each answer).
    std::string ReadToEnd() { return ReadUntil(std::string_view("\0\0never\0", 8)); }

private:
    int Socket = -1;
    bool bConnected = false;
};

// A response as read off the wire, in httplib's shape; no response when there is none.
inline httplib::Result ParseRawResponse(const std::string& Wire)
{
    const std::size_t HeadEnd = Wire.find("\r\n\r\n");
    if (Wire.rfind("HTTP/1.1 ", 0) != 0 || HeadEnd == std::string::npos)
    {
        return httplib::Result(nullptr, httplib::Error::Read);
    }
    auto Response = std::make_unique<httplib::Response>();
    Response->status = std::stoi(Wire.substr(9, 3));
    std::size_t Line = Wire.find("\r\n") + 2;
    while (Line < HeadEnd)
    {
        const std::size_t End = Wire.find("\r\n", Line);
        const std::string Header = Wire.substr(Line, End - Line);
        const std::size_t Colon = Header.find(':');
        if (Colon != std::string::npos)
        {
            Response->headers.emplace(Header.substr(0, Colon),
                                      Header.substr(Header.find_first_not_of(' ', Colon + 1)));
        }
        Line = End + 2;
    }
    Response->body = Wire.substr(HeadEnd + 4);
    return httplib::Result(std::move(Response), httplib::Error::Success);
}
