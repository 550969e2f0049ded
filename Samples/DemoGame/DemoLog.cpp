#include "DemoLog.h"

#include <cstdio>

namespace
{
// The lines by which the SDK reports frames that will never reach the store, each with
// the count as its first number.
constexpr const char* DropRules[] = {
    "QuorvexSDK: Final flush is inline at teardown; dropping ",
    "QuorvexSDK: batch zip: ",
    "QuorvexSDK: discarded ",
};

std::string WithoutNumbers(const std::string& Message)
{
    std::string Out;
    for (const char Char : Message.substr(0, 160))
    {
        if (Char < '0' || Char > '9')
        {
            Out += Char;
        }
    }
    return Out;
}
} // namespace

FDemoLog::FDemoLog(std::function<void(int64, int32)> InOnUploaded)
    : OnUploaded(std::move(InOnUploaded))
{
}

void FDemoLog::Serialize(const FLogLine& Line)
{
    const std::string& Message = Line.Message;
    if (Line.Verbosity <= ELogVerbosity::Warning)
    {
        std::printf("  [%s] %s\n", LexToString(Line.Verbosity), Message.substr(0, 400).c_str());
        std::lock_guard Lock(Mutex);
        ++WarningCount;
    }
    if (Message.rfind("QuorvexSDK: screenshot stored ts=", 0) == 0)
    {
        std::lock_guard Lock(Mutex);
        ++Stored;
        return;
    }
    long long Sequence = 0;
    int Frames = 0;
    if (std::sscanf(Message.c_str(), "QuorvexSDK: event upload success seq=%lld frames=%d",
                    &Sequence, &Frames) == 2)
    {
        OnUploaded(Sequence, Frames);
        return;
    }
    for (const char* Rule : DropRules)
    {
        const std::string Prefix = Rule;
        int Count = 0;
        if (Message.rfind(Prefix, 0) == 0 &&
            std::sscanf(Message.c_str() + Prefix.size(), "%d", &Count) == 1 && Count > 0)
        {
            std::lock_guard Lock(Mutex);
            Dropped[WithoutNumbers(Message)] += Count;
        }
    }
}

int32 FDemoLog::FramesStored() const
{
    std::lock_guard Lock(Mutex);
    return Stored;
}

std::map<std::string, int32> FDemoLog::FramesDropped() const
{
    std::lock_guard Lock(Mutex);
    return Dropped;
}

int32 FDemoLog::Warnings() const
{
    std::lock_guard Lock(Mutex);
    return WarningCount;
}
