#include "DevBackendMultipart.h"

#include "StringUtils.h"

#include <map>

namespace
{
std::string_view Trim(std::string_view Text)
{
    while (!Text.empty() && (Text.front() == ' ' || Text.front() == '\t'))
    {
        Text.remove_prefix(1);
    }
    while (!Text.empty() && (Text.back() == ' ' || Text.back() == '\t'))
    {
        Text.remove_suffix(1);
    }
    return Text;
}

// Splits "type; a=1; b=\"x;y\"" into the type and lower-cased parameter names with
// their values, quotes and backslash escapes removed.
std::string ParseParameters(std::string_view Text, std::map<std::string, std::string>& Out)
{
    std::vector<std::string> Pieces(1);
    bool bQuoted = false;
    for (std::size_t I = 0; I < Text.size(); ++I)
    {
        const char C = Text[I];
        if (bQuoted && C == '\\' && I + 1 < Text.size())
        {
            Pieces.back() += Text[++I];
            continue;
        }
        if (C == '"')
        {
            bQuoted = !bQuoted;
            continue;
        }
        if (C == ';' && !bQuoted)
        {
            Pieces.emplace_back();
            continue;
        }
        Pieces.back() += C;
    }
    for (std::size_t I = 1; I < Pieces.size(); ++I)
    {
        const std::size_t Equals = Pieces[I].find('=');
        if (Equals == std::string::npos)
        {
            continue;
        }
        const std::string Name(Trim(std::string_view(Pieces[I]).substr(0, Equals)));
        Out[FStringUtils::ToLower(Name)] =
            std::string(Trim(std::string_view(Pieces[I]).substr(Equals + 1)));
    }
    return FStringUtils::ToLower(std::string(Trim(Pieces.front())));
}

bool IsBoundaryChar(char C)
{
    const std::string_view Allowed = "'()+_,-./:=? ";
    return (C >= '0' && C <= '9') || (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') ||
           Allowed.find(C) != std::string_view::npos;
}
} // namespace

std::string DevBackendMultipartBoundary(std::string_view ContentType)
{
    std::map<std::string, std::string> Parameters;
    if (ParseParameters(ContentType, Parameters) != "multipart/form-data")
    {
        return {};
    }
    const std::string& Boundary = Parameters["boundary"];
    if (Boundary.empty() || Boundary.size() > 70 || Boundary.back() == ' ')
    {
        return {};
    }
    for (const char C : Boundary)
    {
        if (!IsBoundaryChar(C))
        {
            return {};
        }
    }
    return Boundary;
}

FDevBackendMultipartReader::FDevBackendMultipartReader(const std::string& Boundary,
                                                       FDevBackendBodySink InFileSink,
                                                       FLimits InLimits)
    : Delimiter("\r\n--" + Boundary), FileSink(std::move(InFileSink)), Limits(InLimits)
{
}

void FDevBackendMultipartReader::Feed(const char* Data, std::size_t Size)
{
    if (State == EState::Done || State == EState::Failed)
    {
        return;
    }
    Pending.append(Data, Size);
    while (Step())
    {
    }
}

bool FDevBackendMultipartReader::Finish()
{
    if (State != EState::Done && State != EState::Failed)
    {
        Fail("the body ended before the closing boundary");
    }
    return State == EState::Done;
}

bool FDevBackendMultipartReader::Step()
{
    switch (State)
    {
    case EState::Preamble:
        return StepPreamble();
    case EState::AfterDelimiter:
        return StepAfterDelimiter();
    case EState::Headers:
        return StepHeaders();
    case EState::Body:
        return StepBody();
    case EState::Done:
    case EState::Failed:
        break;
    }
    return false;
}

bool FDevBackendMultipartReader::StepPreamble()
{
    const std::size_t At = Pending.find(Delimiter);
    if (At == std::string::npos)
    {
        // Only a possible start of the delimiter needs keeping.
        if (Pending.size() >= Delimiter.size())
        {
            Pending.erase(0, Pending.size() - (Delimiter.size() - 1));
        }
        return false;
    }
    Pending.erase(0, At + Delimiter.size());
    State = EState::AfterDelimiter;
    return true;
}

bool FDevBackendMultipartReader::StepAfterDelimiter()
{
    // Transport padding (spaces and tabs) may follow a delimiter.
    std::size_t Skip = 0;
    while (Skip < Pending.size() && (Pending[Skip] == ' ' || Pending[Skip] == '\t'))
    {
        ++Skip;
    }
    if (Skip > 1024)
    {
        return Fail("too much padding after a boundary");
    }
    if (Pending.size() < Skip + 2)
    {
        return false;
    }
    const std::string_view Next = std::string_view(Pending).substr(Skip, 2);
    if (Next == "--")
    {
        State = EState::Done;
        Pending.clear();
        return false;
    }
    if (Next != "\r\n")
    {
        return Fail("a boundary is not followed by a line break");
    }
    Pending.erase(0, Skip + 2);
    State = EState::Headers;
    return true;
}

bool FDevBackendMultipartReader::StepHeaders()
{
    std::size_t End = 0;
    std::size_t Skip = 0;
    if (Pending.rfind("\r\n", 0) == 0)
    {
        Skip = 2; // a part without headers
    }
    else if ((End = Pending.find("\r\n\r\n")) != std::string::npos)
    {
        Skip = End + 4;
    }
    else
    {
        if (Pending.size() > Limits.MaxHeaderBytes)
        {
            return Fail("a part's headers are too long");
        }
        return false;
    }
    if (End > Limits.MaxHeaderBytes)
    {
        return Fail("a part's headers are too long");
    }
    const std::string Block = Pending.substr(0, Skip == 2 ? 0 : End);
    Pending.erase(0, Skip);
    if (!StartPart(Block))
    {
        return false;
    }
    State = EState::Body;
    return true;
}

bool FDevBackendMultipartReader::StartPart(std::string_view HeaderBlock)
{
    std::string Disposition;
    for (const std::string& Line : FStringUtils::Split(HeaderBlock, "\r\n"))
    {
        const std::size_t Colon = Line.find(':');
        if (Colon == std::string::npos)
        {
            return Fail("a part header has no colon");
        }
        if (FStringUtils::EqualsIgnoreCase(Trim(std::string_view(Line).substr(0, Colon)),
                                           "Content-Disposition"))
        {
            Disposition = std::string(std::string_view(Line).substr(Colon + 1));
        }
    }
    std::map<std::string, std::string> Parameters;
    if (ParseParameters(Disposition, Parameters) != "form-data" || !Parameters.count("name"))
    {
        return Fail("a part has no form-data disposition with a name");
    }
    const std::string& Name = Parameters["name"];
    if (bFileSeen)
    {
        Part = EPart::Ignored;
    }
    else if (Name == "file")
    {
        Part = EPart::File;
        bFileSeen = true;
        FileNameText = Parameters["filename"];
    }
    else
    {
        if (FieldList.size() >= Limits.MaxFields)
        {
            return Fail("too many form fields");
        }
        Part = EPart::Field;
        FieldList.emplace_back(Name, std::string());
    }
    return true;
}

bool FDevBackendMultipartReader::StepBody()
{
    const std::size_t At = Pending.find(Delimiter);
    if (At != std::string::npos)
    {
        if (!Emit(Pending.data(), At))
        {
            return false;
        }
        Pending.erase(0, At + Delimiter.size());
        State = EState::AfterDelimiter;
        return true;
    }
    if (Pending.size() >= Delimiter.size())
    {
        const std::size_t Safe = Pending.size() - (Delimiter.size() - 1);
        if (!Emit(Pending.data(), Safe))
        {
            return false;
        }
        Pending.erase(0, Safe);
    }
    return false;
}

bool FDevBackendMultipartReader::Emit(const char* Data, std::size_t Size)
{
    switch (Part)
    {
    case EPart::File:
        if (Size > 0 && !FileSink(Data, Size))
        {
            return Fail("the file could not be stored");
        }
        return true;
    case EPart::Field:
        if (FieldList.back().second.size() + Size > Limits.MaxFieldBytes)
        {
            return Fail("the form field \"" + FieldList.back().first + "\" is too long");
        }
        FieldList.back().second.append(Data, Size);
        return true;
    case EPart::Ignored:
        break;
    }
    return true;
}

bool FDevBackendMultipartReader::Fail(std::string Why)
{
    if (State != EState::Failed)
    {
        ErrorText = std::move(Why);
    }
    State = EState::Failed;
    Pending.clear();
    return false;
}
