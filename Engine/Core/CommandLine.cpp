#include "CommandLine.h"

#include "StringUtils.h"

#include <mutex>

namespace
{
std::mutex GMutex;
FString GCommandLine; // guarded by GMutex
} // namespace

FString FCommandLine::Get()
{
    std::lock_guard Lock(GMutex);
    return GCommandLine;
}

void FCommandLine::Set(const FString& CommandLine)
{
    std::lock_guard Lock(GMutex);
    GCommandLine = CommandLine;
}

bool FParse::Param(const FString& Stream, const FString& Switch)
{
    for (const FString& Token : FStringUtils::Split(Stream, " ", true))
    {
        if ((Token[0] == '-' || Token[0] == '/') &&
            FStringUtils::EqualsIgnoreCase(std::string_view(Token).substr(1), Switch))
        {
            return true;
        }
    }
    return false;
}
