#include "DevBackendReplies.h"

#include <utility>

std::string DevBackendErrorBody(std::string_view Code, std::string_view Message)
{
    nlohmann::json Body = {
        {"success", false},
        {"data", {{"code", std::string(Code)}, {"message", std::string(Message)}}}};
    // Compact on purpose: the client recognises "code":"InvalidSessionToken" only
    // without white space around the colon.
    return Body.dump();
}

FDevBackendReply DevBackendError(int Status, std::string_view Code, std::string_view Message)
{
    FDevBackendReply Reply;
    Reply.Status = Status;
    Reply.Body = DevBackendErrorBody(Code, Message);
    return Reply;
}

FDevBackendReply DevBackendSuccess(nlohmann::json Data, int Status)
{
    FDevBackendReply Reply;
    Reply.Status = Status;
    Reply.Body = nlohmann::json{{"success", true}, {"data", std::move(Data)}}.dump();
    return Reply;
}
