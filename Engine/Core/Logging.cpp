#include "Logging.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace
{
struct FSinkRegistry
{
    std::mutex Mutex;
    std::vector<FOutputDevice*> Devices; // guarded by Mutex
    std::atomic<bool> bStderr{[]
                              {
                                  const char* Quiet = std::getenv("QUORVEX_QUIET_LOG");
                                  return !(Quiet && Quiet[0] == '1');
                              }()};
};

FSinkRegistry& Registry()
{
    static FSinkRegistry Instance;
    return Instance;
}
} // namespace

const char* LexToString(ELogVerbosity Verbosity)
{
    switch (Verbosity)
    {
    case ELogVerbosity::Error:
        return "Error";
    case ELogVerbosity::Warning:
        return "Warning";
    case ELogVerbosity::Display:
        return "Display";
    case ELogVerbosity::Log:
        return "Log";
    case ELogVerbosity::Verbose:
        return "Verbose";
    }
    return "Unknown";
}

void FLogSinks::Add(FOutputDevice* Device)
{
    std::lock_guard Lock(Registry().Mutex);
    Registry().Devices.push_back(Device);
}

void FLogSinks::Remove(FOutputDevice* Device)
{
    std::lock_guard Lock(Registry().Mutex);
    auto& Devices = Registry().Devices;
    Devices.erase(std::remove(Devices.begin(), Devices.end(), Device), Devices.end());
}

void FLogSinks::SetStderrEnabled(bool bEnabled)
{
    Registry().bStderr = bEnabled;
}

void FLogSinks::Write(const FLogLine& Line)
{
    std::lock_guard Lock(Registry().Mutex);
    if (Registry().bStderr)
    {
        std::fprintf(stderr, "%s: %s: %s\n", Line.Category.c_str(), LexToString(Line.Verbosity),
                     Line.Message.c_str());
    }
    for (FOutputDevice* Device : Registry().Devices)
    {
        Device->Serialize(Line);
    }
}

void LogPrintf(const FLogCategory& Category, ELogVerbosity Verbosity, const char* Format, ...)
{
    if (Verbosity > Category.Verbosity)
    {
        return;
    }
    va_list Args;
    va_start(Args, Format);
    va_list Copy;
    va_copy(Copy, Args);
    const int Needed = std::vsnprintf(nullptr, 0, Format, Copy);
    va_end(Copy);
    FLogLine Line;
    Line.Category = Category.Name;
    Line.Verbosity = Verbosity;
    if (Needed > 0)
    {
        Line.Message.resize(static_cast<size_t>(Needed));
        std::vsnprintf(Line.Message.data(), Line.Message.size() + 1, Format, Args);
    }
    va_end(Args);
    FLogSinks::Write(Line);
}

FLogCapture::FLogCapture()
{
    FLogSinks::Add(this);
}

FLogCapture::~FLogCapture()
{
    FLogSinks::Remove(this);
}

void FLogCapture::Serialize(const FLogLine& Line)
{
    std::lock_guard Lock(Mutex);
    Captured.push_back(Line);
}

std::vector<FLogLine> FLogCapture::Lines() const
{
    std::lock_guard Lock(Mutex);
    return Captured;
}

std::vector<FLogLine> FLogCapture::Matching(const FString& Needle) const
{
    std::vector<FLogLine> Out;
    std::lock_guard Lock(Mutex);
    for (const FLogLine& Line : Captured)
    {
        if (Line.Message.find(Needle) != FString::npos)
        {
            Out.push_back(Line);
        }
    }
    return Out;
}

int32 FLogCapture::Count(const FString& Needle) const
{
    return static_cast<int32>(Matching(Needle).size());
}

bool FLogCapture::Has(ELogVerbosity Verbosity, const FString& Message) const
{
    std::lock_guard Lock(Mutex);
    return std::any_of(Captured.begin(), Captured.end(),
                       [&](const FLogLine& Line)
                       { return Line.Verbosity == Verbosity && Line.Message == Message; });
}

void FLogCapture::Clear()
{
    std::lock_guard Lock(Mutex);
    Captured.clear();
}
