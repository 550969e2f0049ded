// Categorised, printf-style logging with verbosities and pluggable sinks.
//
// Every line goes to every registered output device. The default device writes to
// stderr; tests register a capturing device to assert on exact lines. Devices are
// called under the log lock, so a device must not log.
#pragma once

#include "CoreTypes.h"

#include <mutex>
#include <vector>

enum class ELogVerbosity : uint8
{
    Error = 1,
    Warning = 2,
    Display = 3,
    Log = 4,
    Verbose = 5,
};

const char* LexToString(ELogVerbosity Verbosity);

// A named log category. Lines above the category's verbosity are dropped.
struct FLogCategory
{
    explicit FLogCategory(const char* InName, ELogVerbosity InVerbosity = ELogVerbosity::Log)
        : Name(InName), Verbosity(InVerbosity)
    {
    }
    const char* Name;
    ELogVerbosity Verbosity;
};

struct FLogLine
{
    FString Category;
    ELogVerbosity Verbosity = ELogVerbosity::Log;
    FString Message;
};

class FOutputDevice
{
public:
    virtual ~FOutputDevice() = default;
    // Called on the logging thread with the log lock held.
    virtual void Serialize(const FLogLine& Line) = 0;
};

// Registry of output devices. Thread-safe.
class FLogSinks
{
public:
    static void Add(FOutputDevice* Device);
    static void Remove(FOutputDevice* Device);
    // Turns the built-in stderr device on or off (on by default; QUORVEX_QUIET_LOG=1 turns it off).
    static void SetStderrEnabled(bool bEnabled);
    static void Write(const FLogLine& Line);
};

// Formats and writes one line. The compiler checks the arguments against Format.
void LogPrintf(const FLogCategory& Category, ELogVerbosity Verbosity, const char* Format, ...)
    __attribute__((format(printf, 3, 4)));

// Collects every line logged while it exists. Thread-safe; for tests.
class FLogCapture : public FOutputDevice
{
public:
    FLogCapture();
    ~FLogCapture() override;
    FLogCapture(const FLogCapture&) = delete;
    FLogCapture& operator=(const FLogCapture&) = delete;

    void Serialize(const FLogLine& Line) override;

    std::vector<FLogLine> Lines() const;
    // Lines whose message contains Needle.
    std::vector<FLogLine> Matching(const FString& Needle) const;
    int32 Count(const FString& Needle) const;
    bool Contains(const FString& Needle) const { return Count(Needle) > 0; }
    // True when a line with exactly this message and verbosity was logged.
    bool Has(ELogVerbosity Verbosity, const FString& Message) const;
    void Clear();

private:
    mutable std::mutex Mutex; // guards Captured; any thread
    std::vector<FLogLine> Captured;
};
