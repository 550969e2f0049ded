#include "DevBackendStoreReplies.h"

#include <nlohmann/json.hpp>

std::string DevBackendBoundedText(std::string_view Text, std::size_t MaxBytes)
{
    std::string Out;
    const bool bCut = Text.size() > MaxBytes;
    for (const char C : Text.substr(0, MaxBytes))
    {
        const auto Byte = static_cast<unsigned char>(C);
        Out += (Byte < 0x20 || Byte == 0x7f) ? '?' : C;
    }
    return bCut ? Out + "..." : Out;
}

std::string DevBackendXmlEscape(std::string_view Text)
{
    std::string Out;
    for (const char C : Text)
    {
        switch (C)
        {
        case '&':
            Out += "&amp;";
            break;
        case '<':
            Out += "&lt;";
            break;
        case '>':
            Out += "&gt;";
            break;
        case '"':
            Out += "&quot;";
            break;
        case '\'':
            Out += "&apos;";
            break;
        default:
            Out += C;
        }
    }
    return Out;
}

FDevBackendReply DevBackendXmlError(int Status, std::string_view Code, std::string_view Message,
                                    std::string_view Details)
{
    FDevBackendReply Reply;
    Reply.Status = Status;
    Reply.ContentType = "application/xml; charset=UTF-8";
    Reply.Body = "<?xml version='1.0' encoding='UTF-8'?><Error><Code>" + DevBackendXmlEscape(Code) +
                 "</Code><Message>" + DevBackendXmlEscape(Message) + "</Message>";
    if (!Details.empty())
    {
        Reply.Body += "<Details>" + DevBackendXmlEscape(Details) + "</Details>";
    }
    Reply.Body += "</Error>";
    return Reply;
}

FDevBackendReply DevBackendB2Error(int Status, std::string_view Code, std::string_view Message)
{
    FDevBackendReply Reply;
    Reply.Status = Status;
    Reply.Body = nlohmann::json{{"status", Status},
                                {"code", std::string(Code)},
                                {"message", std::string(Message)}}
                     .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return Reply;
}

bool DevBackendSecretsEqual(std::string_view A, std::string_view B)
{
    if (A.size() != B.size())
    {
        return false;
    }
    unsigned char Difference = 0;
    for (std::size_t I = 0; I < A.size(); ++I)
    {
        Difference |= static_cast<unsigned char>(A[I] ^ B[I]);
    }
    return Difference == 0;
}
