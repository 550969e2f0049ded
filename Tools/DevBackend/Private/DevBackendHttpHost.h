// The HTTP side of the dev backend: a cpp-httplib server on its own listener thread
// whose every request, whatever the verb or path, goes to one dispatch function.
// This is the only place that includes httplib.h.
#pragma once

#include "DevBackendTypes.h"

#include <functional>
#include <memory>
#include <string>

class FDevBackendHttpHost
{
public:
    // Called on the server's worker threads, concurrently.
    using FDispatch = std::function<FDevBackendReply(const FDevBackendRequest&)>;
    // Whether a request's body is handed to the dispatch as a stream (through
    // FDevBackendRequest::Connection) rather than read whole first.
    using FIsStreamed = std::function<bool(const std::string& Method, const std::string& Target)>;

    FDevBackendHttpHost(FDispatch Dispatch, FIsStreamed IsStreamed, int WorkerThreads);
    ~FDevBackendHttpHost(); // stops
    FDevBackendHttpHost(const FDevBackendHttpHost&) = delete;
    FDevBackendHttpHost& operator=(const FDevBackendHttpHost&) = delete;

    // Binds Host:Port (0 = any free port) and starts serving; false with a reason.
    bool Start(const std::string& Host, int Port, int& OutPort, std::string& OutError);
    // Stops accepting and waits for every worker (dispatches must be able to finish).
    void Stop();

private:
    struct FImpl;
    std::unique_ptr<FImpl> Impl; // owned by the thread that calls Start and Stop
};
