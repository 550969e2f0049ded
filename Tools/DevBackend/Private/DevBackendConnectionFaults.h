// Connection faults a script can play on the stores: a body read at a trickle, and a
// connection reset part way through the body.
#pragma once

#include "DevBackendTypes.h"

#include <chrono>
#include <functional>

// Reads through another connection at a fixed rate. Pause waits for a duration and
// returns false when the server is stopping, which ends the read.
class FDevBackendDripConnection final : public IDevBackendConnection
{
public:
    using FPause = std::function<bool(std::chrono::microseconds)>;

    FDevBackendDripConnection(IDevBackendConnection& Inner, long long BytesPerSecond, FPause Pause);

    bool ReadBody(const FDevBackendBodySink& Sink) override;
    void WithholdContinue() override { Inner.WithholdContinue(); }
    void Reset() override { Inner.Reset(); }

private:
    // All owned by the worker thread serving the request.
    IDevBackendConnection& Inner;
    long long BytesPerSecond;
    FPause Pause;
};

// Reads the first Bytes of the body (none when 0), then resets the connection; the
// reply to return is a drop.
FDevBackendReply DevBackendResetMidBody(IDevBackendConnection& Connection, long long Bytes);
