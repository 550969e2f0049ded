#include "StringUtils.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace
{
char LowerAscii(char C)
{
    return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C;
}
char UpperAscii(char C)
{
    return (C >= 'a' && C <= 'z') ? static_cast<char>(C - 'a' + 'A') : C;
}
} // namespace

namespace FStringUtils
{
FString Printf(const char* Format, ...)
{
    va_list Args;
    va_start(Args, Format);
    va_list Copy;
    va_copy(Copy, Args);
    const int Needed = std::vsnprintf(nullptr, 0, Format, Copy);
    va_end(Copy);
    FString Out;
    if (Needed > 0)
    {
        Out.resize(static_cast<size_t>(Needed));
        std::vsnprintf(Out.data(), Out.size() + 1, Format, Args);
    }
    va_end(Args);
    return Out;
}

int CompareIgnoreCase(std::string_view A, std::string_view B)
{
    const size_t N = std::min(A.size(), B.size());
    for (size_t I = 0; I < N; ++I)
    {
        const char X = LowerAscii(A[I]);
        const char Y = LowerAscii(B[I]);
        if (X != Y)
        {
            return static_cast<unsigned char>(X) < static_cast<unsigned char>(Y) ? -1 : 1;
        }
    }
    if (A.size() == B.size())
    {
        return 0;
    }
    return A.size() < B.size() ? -1 : 1;
}

bool EqualsIgnoreCase(std::string_view A, std::string_view B)
{
    return A.size() == B.size() && CompareIgnoreCase(A, B) == 0;
}

bool StartsWithIgnoreCase(std::string_view Text, std::string_view Prefix)
{
    return Text.size() >= Prefix.size() && EqualsIgnoreCase(Text.substr(0, Prefix.size()), Prefix);
}

bool EndsWithIgnoreCase(std::string_view Text, std::string_view Suffix)
{
    return Text.size() >= Suffix.size() &&
           EqualsIgnoreCase(Text.substr(Text.size() - Suffix.size()), Suffix);
}

bool ContainsIgnoreCase(std::string_view Text, std::string_view Needle)
{
    if (Needle.empty())
    {
        return true;
    }
    const auto It = std::search(Text.begin(), Text.end(), Needle.begin(), Needle.end(),
                                [](char X, char Y) { return LowerAscii(X) == LowerAscii(Y); });
    return It != Text.end();
}

FString ToLower(std::string_view Text)
{
    FString Out(Text);
    std::transform(Out.begin(), Out.end(), Out.begin(), LowerAscii);
    return Out;
}

FString ToUpper(std::string_view Text)
{
    FString Out(Text);
    std::transform(Out.begin(), Out.end(), Out.begin(), UpperAscii);
    return Out;
}

bool IsWhitespace(char C)
{
    return C == ' ' || C == '\t' || C == '\r' || C == '\n' || C == '\v' || C == '\f';
}

FString TrimStart(std::string_view Text)
{
    size_t Begin = 0;
    while (Begin < Text.size() && IsWhitespace(Text[Begin]))
    {
        ++Begin;
    }
    return FString(Text.substr(Begin));
}

FString TrimEnd(std::string_view Text)
{
    size_t End = Text.size();
    while (End > 0 && IsWhitespace(Text[End - 1]))
    {
        --End;
    }
    return FString(Text.substr(0, End));
}

FString TrimStartAndEnd(std::string_view Text)
{
    return TrimEnd(TrimStart(Text));
}

std::vector<FString> Split(std::string_view Text, std::string_view Delimiter, bool bCullEmpty)
{
    std::vector<FString> Parts;
    if (Delimiter.empty())
    {
        if (!(bCullEmpty && Text.empty()))
        {
            Parts.emplace_back(Text);
        }
        return Parts;
    }
    size_t Start = 0;
    while (true)
    {
        const size_t At = Text.find(Delimiter, Start);
        const std::string_view Piece =
            Text.substr(Start, At == std::string_view::npos ? std::string_view::npos : At - Start);
        if (!(bCullEmpty && Piece.empty()))
        {
            Parts.emplace_back(Piece);
        }
        if (At == std::string_view::npos)
        {
            break;
        }
        Start = At + Delimiter.size();
    }
    return Parts;
}

FString Join(const std::vector<FString>& Parts, std::string_view Separator)
{
    FString Out;
    for (size_t I = 0; I < Parts.size(); ++I)
    {
        if (I > 0)
        {
            Out.append(Separator);
        }
        Out.append(Parts[I]);
    }
    return Out;
}

FString ReplaceAll(std::string_view Text, std::string_view From, std::string_view To)
{
    if (From.empty())
    {
        return FString(Text);
    }
    FString Out;
    size_t Start = 0;
    while (true)
    {
        const size_t At = Text.find(From, Start);
        if (At == std::string_view::npos)
        {
            Out.append(Text.substr(Start));
            return Out;
        }
        Out.append(Text.substr(Start, At - Start));
        Out.append(To);
        Start = At + From.size();
    }
}

bool IsAllDigits(std::string_view Text)
{
    return !Text.empty() &&
           std::all_of(Text.begin(), Text.end(), [](char C) { return C >= '0' && C <= '9'; });
}
} // namespace FStringUtils
