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

FDevBackendAnswer FDevBackendAnswer::Redirect(int Status, std::string Location)
{
    FDevBackendAnswer Answer = Respond(Status, {}, "text/plain");
    Answer.Headers.emplace_back("Location", std::move(Location));
    return Answer;
}

FDevBackendAnswer FDevBackendAnswer::ResetMidBody(long long Bytes)
{
    FDevBackendAnswer Answer;
    Answer.Action = EDevBackendAction::Reset;
    Answer.ResetAfterBytes = Bytes;
    return Answer;
}

FDevBackendAnswer FDevBackendAnswer::Drip(long long BytesPerSecond)
{
    FDevBackendAnswer Answer;
    Answer.DripBytesPerSecond = BytesPerSecond;
    return Answer;
}

FDevBackendAnswer FDevBackendAnswer::NoContinue()
{
    FDevBackendAnswer Answer;
    Answer.bWithholdContinue = true;
    return Answer;
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
