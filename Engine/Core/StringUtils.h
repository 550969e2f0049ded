// String helpers the engine offers on its string type: printf-style formatting,
// trimming, and comparisons that ignore ASCII case.
#pragma once

#include "CoreTypes.h"

#include <string_view>
#include <vector>

namespace FStringUtils
{
// printf into a new string; the compiler checks the arguments against the format.
FString Printf(const char* Format, ...) __attribute__((format(printf, 1, 2)));

bool EqualsIgnoreCase(std::string_view A, std::string_view B);
bool StartsWithIgnoreCase(std::string_view Text, std::string_view Prefix);
bool EndsWithIgnoreCase(std::string_view Text, std::string_view Suffix);
bool ContainsIgnoreCase(std::string_view Text, std::string_view Needle);
// Negative, zero or positive like strcmp, comparing ASCII letters case-blind.
int CompareIgnoreCase(std::string_view A, std::string_view B);

FString ToLower(std::string_view Text);
FString ToUpper(std::string_view Text);

// White space is space, tab, CR, LF, vertical tab and form feed.
bool IsWhitespace(char C);
FString TrimStart(std::string_view Text);
FString TrimEnd(std::string_view Text);
FString TrimStartAndEnd(std::string_view Text);

// Splits on every occurrence of Delimiter; empty pieces are kept unless bCullEmpty.
std::vector<FString> Split(std::string_view Text, std::string_view Delimiter,
                           bool bCullEmpty = false);
FString Join(const std::vector<FString>& Parts, std::string_view Separator);
FString ReplaceAll(std::string_view Text, std::string_view From, std::string_view To);
// True when every character is a decimal digit (and there is at least one).
bool IsAllDigits(std::string_view Text);
} // namespace FStringUtils
