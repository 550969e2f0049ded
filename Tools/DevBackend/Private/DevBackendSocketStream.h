// One served connection as cpp-httplib's Stream, over a socket the dev backend knows.
// httplib gives request handlers no access to their socket; serving each connection
// through this stream lets a handler close it without answering (a scripted drop),
// and every write uses MSG_NOSIGNAL, so a peer that went away costs an error, never
// a SIGPIPE. The host may also have it swallow httplib's own "100 Continue" (the host
// sends that itself, when a handler starts reading the body) and fail every write
// after a reset. Included only by the HTTP host.
#pragma once

#include <httplib.h>

#include <string>

class FDevBackendSocketStream final : public httplib::Stream
{
public:
    FDevBackendSocketStream(socket_t Socket, int ReadTimeoutMs, int WriteTimeoutMs);

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* Ptr, size_t Size) override;
    ssize_t write(const char* Ptr, size_t Size) override;
    void get_remote_ip_and_port(std::string& Ip, int& Port) const override;
    void get_local_ip_and_port(std::string& Ip, int& Port) const override;
    socket_t socket() const override { return Socket; }

    // The next write is reported as sent without reaching the socket.
    void SwallowNextWrite() { bSwallowNextWrite = true; }
    // Every later write fails, as on a connection that was reset.
    void FailWrites() { bWritesFail = true; }
    // The request line and headers exactly as received (through the blank line).
    // httplib percent-decodes header values it parses, which loses what a header such
    // as an encoded file name really said; the host reads headers from here instead.
    const std::string& RawHead() const { return Head; }

private:
    // Waits for Events within TimeoutMs; true when the socket is ready.
    bool WaitFor(short Events, int TimeoutMs) const;
    // Adds bytes handed to httplib to Head until the headers end.
    void KeepHead(const char* Data, size_t Size);

    static constexpr size_t MaxHeadBytes = 64 * 1024;

    // Owned by the worker thread serving the connection.
    socket_t Socket;
    int ReadTimeoutMs;
    int WriteTimeoutMs;
    // httplib reads request lines a byte at a time; reads are served from this buffer.
    char Buffer[4096];
    size_t BufferBegin = 0;
    size_t BufferEnd = 0;
    std::string Head; // grows until the blank line that ends the headers
    bool bHeadDone = false;
    bool bSwallowNextWrite = false;
    bool bWritesFail = false;
};
