#include "DevBackendAnswer.h"

#include "DevBackendReplies.h"

#include <utility>

FDevBackendAnswer FDevBackendAnswer::Handle()
{
    return FDevBackendAnswer{};
}

FDevBackendAnswer FDevBackendAnswer::Respond(int Status, std::string Body, std::string ContentType)
{
    FDevBackendAnswer Answer;
    Answer.Action = EDevBackendAction::Respond;
    Answer.Status = Status;
    Answer.Body = std::move(Body);
    Answer.ContentType = std::move(ContentType);
    return Answer;
}

FDevBackendAnswer FDevBackendAnswer::Error(int Status, std::string_view Code,
                                           std::string_view Message)
{
    return Respond(Status, DevBackendErrorBody(Code, Message));
}

FDevBackendAnswer FDevBackendAnswer::Drop()
{
    FDevBackendAnswer Answer;
    Answer.Action = EDevBackendAction::Drop;
    return Answer;
}

FDevBackendAnswer FDevBackendAnswer::Stall()
{
    return Handle().Stalled();
}

FDevBackendAnswer FDevBackendAnswer::WithDelay(std::chrono::milliseconds Wait) const
{
    FDevBackendAnswer Copy = *this;
    Copy.Delay = Wait;
    return Copy;
}

FDevBackendAnswer FDevBackendAnswer::Stalled() const
{
    FDevBackendAnswer Copy = *this;
    Copy.bStall = true;
    return Copy;
}
