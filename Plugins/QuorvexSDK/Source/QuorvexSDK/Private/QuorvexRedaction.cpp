#include "QuorvexRedaction.h"

#include "StringUtils.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace
{
constexpr std::string_view Redacted = "<redacted>";

char LowerAscii(char C)
{
    return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C;
}

// Inline and size-first: it runs for every key of every body.
bool EqualsNoCase(std::string_view A, std::string_view B)
{
    if (A.size() != B.size())
    {
        return false;
    }
    for (size_t Index = 0; Index < A.size(); ++Index)
    {
        if (LowerAscii(A[Index]) != LowerAscii(B[Index]))
        {
            return false;
        }
    }
    return true;
}

bool IsAnyOf(std::string_view Key, std::initializer_list<std::string_view> Names)
{
    for (const std::string_view Name : Names)
    {
        if (EqualsNoCase(Key, Name))
        {
            return true;
        }
    }
    return false;
}

// Members whose value is a credential.
bool IsSecretKey(std::string_view Key)
{
    return IsAnyOf(Key, {"authorizationToken", "uploadUrl", "Authorization", "accessToken", "token",
                         "signature", "policy", "x-goog-signature", "x-goog-credential",
                         "x-amz-signature", "x-amz-credential", "x-amz-security-token"});
}

// Members whose object or array holds credentials in every string value.
bool IsSecretContainerKey(std::string_view Key)
{
    return IsAnyOf(Key, {"formFields", "requiredHeaders", "headers"});
}

bool IsStructural(char C)
{
    return C == '"' || C == '{' || C == '}' || C == '[' || C == ']' || C == ',';
}

bool IsSpace(char C)
{
    return C == ' ' || C == '\t' || C == '\r' || C == '\n';
}

// One pass over JSON-looking text: keys stay, credential values go. Text that is
// not JSON passes through, except for the strings a credential key announces.
class FJsonSecretScrubber
{
public:
    // Writes into InOut (emptied first), so a caller can reuse its capacity.
    FJsonSecretScrubber(std::string_view InText, FString& InOut) : Text(InText), Out(InOut) {}

    void Run()
    {
        Out.clear();
        Out.reserve(Text.size());
        size_t At = 0;
        while (At < Text.size())
        {
            At = Text[At] == '"' ? TakeString(At) : TakeOther(At);
        }
    }

private:
    bool InSecretContainer() const { return ContainerDepth >= 0; }

    // Index one past the closing quote of the string opening at Open, or npos.
    size_t FindStringEnd(size_t Open) const
    {
        for (size_t At = Open + 1; At < Text.size(); ++At)
        {
            if (Text[At] == '\\')
            {
                ++At;
            }
            else if (Text[At] == '"')
            {
                return At + 1;
            }
        }
        return std::string_view::npos;
    }

    size_t TakeString(size_t Open)
    {
        const size_t End = FindStringEnd(Open);
        const bool bSecretValue = bRedactNextValue || InSecretContainer();
        if (End == std::string_view::npos)
        {
            // A cut-off value still must not show what it began with.
            Out += bSecretValue ? FString("\"").append(Redacted) : FString(Text.substr(Open));
            return Text.size();
        }
        size_t Next = End;
        while (Next < Text.size() && IsSpace(Text[Next]))
        {
            ++Next;
        }
        const bool bKey = Next < Text.size() && Text[Next] == ':';
        if (bKey)
        {
            Out.append(Text.substr(Open, End - Open));
            const std::string_view Key = Text.substr(Open + 1, End - Open - 2);
            if (!InSecretContainer())
            {
                bRedactNextValue = IsSecretKey(Key);
                bContainerNext = IsSecretContainerKey(Key);
            }
            return End;
        }
        if (bSecretValue)
        {
            Out.append("\"").append(Redacted).append("\"");
        }
        else
        {
            Out.append(Text.substr(Open, End - Open));
        }
        bRedactNextValue = false;
        bContainerNext = false;
        return End;
    }

    // Copies a run of plain characters at once; acts on the structural ones.
    size_t TakeOther(size_t At)
    {
        size_t Run = At;
        while (Run < Text.size() && !IsStructural(Text[Run]))
        {
            ++Run;
        }
        if (Run > At)
        {
            Out.append(Text.substr(At, Run - At));
            return Run;
        }
        const char C = Text[At];
        Out += C;
        if (C == '{' || C == '[')
        {
            ++Depth;
            if ((bContainerNext || bRedactNextValue) && !InSecretContainer())
            {
                ContainerDepth = Depth - 1;
            }
            bRedactNextValue = false;
            bContainerNext = false;
        }
        else if (C == '}' || C == ']')
        {
            --Depth;
            if (InSecretContainer() && Depth <= ContainerDepth)
            {
                ContainerDepth = -1;
            }
        }
        else if (C == ',')
        {
            bRedactNextValue = false;
            bContainerNext = false;
        }
        return At + 1;
    }

    std::string_view Text;
    FString& Out;
    int64 Depth = 0;
    int64 ContainerDepth = -1; // depth outside the secret container being walked, or -1
    bool bRedactNextValue = false;
    bool bContainerNext = false;
};

bool EndsUrl(char C)
{
    return IsSpace(C) || C == '"' || C == '\'' || C == '<' || C == '>' || C == '\\' || C == '`';
}

// Jumps between occurrences of Needle's first character (either case) with memchr.
size_t FindNoCase(std::string_view Text, std::string_view Needle, size_t From)
{
    const char First = LowerAscii(Needle[0]);
    const char Other = static_cast<char>(std::toupper(static_cast<unsigned char>(First)));
    size_t At = From;
    while (At + Needle.size() <= Text.size())
    {
        const void* HitLower = std::memchr(Text.data() + At, First, Text.size() - At);
        const void* HitUpper =
            Other == First ? nullptr : std::memchr(Text.data() + At, Other, Text.size() - At);
        const char* Hit = static_cast<const char*>(HitLower);
        if (!Hit || (HitUpper && static_cast<const char*>(HitUpper) < Hit))
        {
            Hit = static_cast<const char*>(HitUpper);
        }
        if (!Hit)
        {
            return std::string_view::npos;
        }
        At = static_cast<size_t>(Hit - Text.data());
        if (At + Needle.size() <= Text.size() &&
            EqualsNoCase(Text.substr(At, Needle.size()), Needle))
        {
            return At;
        }
        ++At;
    }
    return std::string_view::npos;
}
} // namespace

// Signed URLs carry their signature, credential and expiry in the query.
FString QuorvexRedaction::RedactUrlQueries(std::string_view Text)
{
    FString Out;
    Out.reserve(Text.size());
    size_t Copied = 0;
    size_t Search = 0;
    while (true)
    {
        const size_t Scheme = Text.find("://", Search);
        if (Scheme == std::string_view::npos)
        {
            break;
        }
        size_t End = Scheme + 3;
        size_t Query = std::string_view::npos;
        while (End < Text.size() && !EndsUrl(Text[End]))
        {
            if (Text[End] == '?' && Query == std::string_view::npos)
            {
                Query = End;
            }
            ++End;
        }
        if (Query != std::string_view::npos && Query + 1 < End)
        {
            Out.append(Text.substr(Copied, Query + 1 - Copied)).append(Redacted);
            Copied = End;
        }
        Search = End;
    }
    Out.append(Text.substr(Copied));
    return Out;
}

FString QuorvexRedaction::RedactSecrets(std::string_view Text)
{
    // The intermediate text keeps its capacity per thread (up to a bound), so the
    // common small bodies allocate nothing for it.
    thread_local FString Scrubbed;
    FJsonSecretScrubber(Text, Scrubbed).Run();
    FString Out = RedactUrlQueries(Scrubbed);
    if (Scrubbed.capacity() > (MaxServerTextBytes << 4))
    {
        Scrubbed = FString(); // no huge buffer kept for the thread's life
    }
    // A Backblaze upload URL carries its authorisation in the path.
    const size_t Api = FindNoCase(Out, "/b2api/", 0);
    if (Api != std::string_view::npos)
    {
        const size_t Upload = FindNoCase(Out, "b2_upload_file", Api);
        if (Upload != std::string_view::npos)
        {
            Out.resize(Upload);
            Out += "<redacted-upload-url>";
        }
    }
    return Out;
}

FString QuorvexRedaction::RedactBounded(std::string_view Text)
{
    if (Text.size() <= MaxServerTextBytes)
    {
        return RedactSecrets(Text);
    }
    return RedactSecrets(Text.substr(0, MaxServerTextBytes)) +
           FStringUtils::Printf(" [... %zu bytes in all]", Text.size());
}

FString QuorvexRedaction::EscapeControlCharacters(std::string_view Text)
{
    FString Out;
    Out.reserve(Text.size());
    for (const char C : Text)
    {
        const unsigned char Byte = static_cast<unsigned char>(C);
        if (Byte >= 0x20 && Byte != 0x7F)
        {
            Out += C;
        }
        else if (C == '\n')
        {
            Out += "\\n";
        }
        else if (C == '\r')
        {
            Out += "\\r";
        }
        else if (C == '\t')
        {
            Out += "\\t";
        }
        else
        {
            char Escaped[8];
            std::snprintf(Escaped, sizeof(Escaped), "\\x%02X", Byte);
            Out += Escaped;
        }
    }
    return Out;
}
