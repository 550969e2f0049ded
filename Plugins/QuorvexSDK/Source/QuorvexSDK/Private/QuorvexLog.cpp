#include "QuorvexLog.h"

#include "QuorvexRedaction.h"
#include "StringUtils.h"

#include <cstdarg>
#include <cstdio>

FLogCategory LogQuorvex("LogQuorvex", ELogVerbosity::Log);

namespace
{
// No SDK line of its own comes near this; only server text can.
constexpr size_t MaxLineBytes = 4096;
} // namespace

void QuorvexLogPrintf(ELogVerbosity Verbosity, const char* Format, ...)
{
    if (Verbosity > LogQuorvex.Verbosity)
    {
        return;
    }
    va_list Args;
    va_start(Args, Format);
    va_list Copy;
    va_copy(Copy, Args);
    const int Needed = std::vsnprintf(nullptr, 0, Format, Copy);
    va_end(Copy);
    FString Text;
    if (Needed > 0)
    {
        // Only the part that will be written is formatted into memory.
        Text.resize(std::min(static_cast<size_t>(Needed), MaxLineBytes));
        std::vsnprintf(Text.data(), Text.size() + 1, Format, Args);
    }
    va_end(Args);
    FLogLine Line;
    Line.Category = LogQuorvex.Name;
    Line.Verbosity = Verbosity;
    Line.Message =
        QuorvexRedaction::EscapeControlCharacters(QuorvexRedaction::RedactUrlQueries(Text));
    if (Needed > 0 && static_cast<size_t>(Needed) > MaxLineBytes)
    {
        Line.Message += FStringUtils::Printf(" [... line of %d bytes cut]", Needed);
    }
    FLogSinks::Write(Line);
}
