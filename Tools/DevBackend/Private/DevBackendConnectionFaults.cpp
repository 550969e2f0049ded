#include "DevBackendConnectionFaults.h"

namespace
{
// Pauses shorter than this are added up and taken together.
constexpr std::chrono::microseconds MinPause{10000};
} // namespace

FDevBackendDripConnection::FDevBackendDripConnection(IDevBackendConnection& InInner,
                                                     long long InBytesPerSecond, FPause InPause)
    : Inner(InInner), BytesPerSecond(InBytesPerSecond > 0 ? InBytesPerSecond : 1),
      Pause(std::move(InPause))
{
}

bool FDevBackendDripConnection::ReadBody(const FDevBackendBodySink& Sink)
{
    std::chrono::microseconds Owed{0};
    bool bStopped = false;
    const bool bRead = Inner.ReadBody(
        [&](const char* Data, std::size_t Size)
        {
            Owed += std::chrono::microseconds(static_cast<long long>(Size) * 1000000LL /
                                              BytesPerSecond);
            if (Owed >= MinPause)
            {
                bStopped = !Pause(Owed);
                Owed = std::chrono::microseconds{0};
            }
            return !bStopped && Sink(Data, Size);
        });
    return bRead && !bStopped;
}

FDevBackendReply DevBackendResetMidBody(IDevBackendConnection& Connection, long long Bytes)
{
    if (Bytes > 0)
    {
        long long Seen = 0;
        Connection.ReadBody(
            [&Seen, Bytes](const char*, std::size_t Size)
            {
                Seen += static_cast<long long>(Size);
                return Seen < Bytes;
            });
    }
    Connection.Reset();
    FDevBackendReply Reply;
    Reply.bDrop = true;
    return Reply;
}
