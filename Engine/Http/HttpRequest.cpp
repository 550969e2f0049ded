#include "HttpRequest.h"

#include "Files.h"
#include "HttpModule.h"
#include "StringUtils.h"
#include "Tasks.h"

#include <cstring>
#include <curl/curl.h>

namespace
{
// Responses larger than this are refused: the backend and the stores answer with a
// few kilobytes, and an unbounded body would let a misbehaving peer exhaust memory.
constexpr size_t MaxResponseBytes = 16u * 1024u * 1024u;
} // namespace

// The libcurl side of one request. Network thread only.
struct FCurlTransfer
{
    CURL* Easy = nullptr;
    curl_slist* HeaderList = nullptr;
    std::unique_ptr<FArchive> FileReader; // streamed body
    int64 BodyOffset = 0;                 // in-memory body
    int64 BodyLength = 0;
    FHttpResponsePtr Response = std::make_shared<FHttpResponse>();
    bool bResponseTooLarge = false;

    ~FCurlTransfer()
    {
        if (Easy)
        {
            curl_easy_cleanup(Easy);
        }
        curl_slist_free_all(HeaderList);
    }
};

namespace
{
FHttpRequest* RequestOf(void* User)
{
    return static_cast<FHttpRequest*>(User);
}
} // namespace

struct FCurlCallbacks
{
    static size_t Read(char* Buffer, size_t Size, size_t Count, void* User);
    static int Seek(void* User, curl_off_t Offset, int Origin);
    static size_t Write(char* Data, size_t Size, size_t Count, void* User);
    static size_t Header(char* Data, size_t Size, size_t Count, void* User);
};

const char* LexToString(EHttpFailureReason Reason)
{
    switch (Reason)
    {
    case EHttpFailureReason::None:
        return "None";
    case EHttpFailureReason::ConnectionError:
        return "ConnectionError";
    case EHttpFailureReason::Cancelled:
        return "Cancelled";
    case EHttpFailureReason::TimedOut:
        return "TimedOut";
    case EHttpFailureReason::Other:
        return "Other";
    }
    return "Unknown";
}

FString FHttpResponse::GetHeader(const FString& Name) const
{
    const FString* Value = Headers.Find(Name);
    return Value ? *Value : FString();
}

FHttpRequest::FHttpRequest() = default;
FHttpRequest::~FHttpRequest() = default;

void* FHttpRequest::GetEasyHandle() const
{
    return Transfer ? Transfer->Easy : nullptr;
}

bool FHttpRequestNetworkAccess::IsCancelRequested(const FHttpRequest& Request)
{
    return Request.bCancelRequested.load();
}

bool FHttpRequestNetworkAccess::Prepare(FHttpRequest& Request, void* Multi, float TimeoutCapSeconds)
{
    return Request.PrepareTransfer(Multi, TimeoutCapSeconds);
}

void FHttpRequestNetworkAccess::Finish(FHttpRequest& Request, int CurlCode, bool bCancelled)
{
    Request.FinishTransfer(CurlCode, bCancelled);
}

void* FHttpRequestNetworkAccess::EasyHandle(const FHttpRequest& Request)
{
    return Request.GetEasyHandle();
}

void FHttpRequestNetworkAccess::Release(FHttpRequest& Request)
{
    Request.Transfer.reset();
}

void FHttpRequest::SetURL(const FString& InUrl)
{
    Url = InUrl;
}

void FHttpRequest::SetVerb(const FString& InVerb)
{
    Verb = FStringUtils::ToUpper(InVerb);
}

void FHttpRequest::SetHeader(const FString& Name, const FString& Value)
{
    Headers.Add(Name, Value);
}

FString FHttpRequest::GetHeader(const FString& Name) const
{
    const FString* Value = Headers.Find(Name);
    return Value ? *Value : FString();
}

void FHttpRequest::SetContent(std::vector<uint8> Bytes)
{
    Body = std::move(Bytes);
    BodyFilePath.clear();
}

void FHttpRequest::SetContentAsString(const FString& Text)
{
    SetContent(std::vector<uint8>(Text.begin(), Text.end()));
}

bool FHttpRequest::SetContentAsStreamedFile(const FString& Path)
{
    if (!IFileManager::Get().CreateFileReader(Path))
    {
        return false;
    }
    BodyFilePath = Path;
    Body.clear();
    return true;
}

void FHttpRequest::SetTimeout(float Seconds)
{
    TimeoutSeconds = Seconds;
}

int64 FHttpRequest::GetContentLength() const
{
    if (!BodyFilePath.empty())
    {
        return std::max<int64>(0, IFileManager::Get().FileSize(BodyFilePath));
    }
    return static_cast<int64>(Body.size());
}

FHttpResponsePtr FHttpRequest::GetResponse() const
{
    std::lock_guard Lock(ResponseMutex);
    return Response;
}

bool FHttpRequest::ProcessRequest()
{
    EHttpRequestStatus Expected = EHttpRequestStatus::NotStarted;
    if (Url.empty() || !Status.compare_exchange_strong(Expected, EHttpRequestStatus::Processing))
    {
        return false;
    }
    FHttpModule::Get().GetHttpManager().Start(shared_from_this());
    return true;
}

void FHttpRequest::CancelRequest()
{
    if (Status.load() != EHttpRequestStatus::Processing || bCancelRequested.exchange(true))
    {
        return;
    }
    FHttpModule::Get().GetHttpManager().Cancel(shared_from_this());
}

bool FHttpRequest::PrepareTransfer(void* Multi, float TimeoutCapSeconds)
{
    (void)Multi;
    Transfer = std::make_unique<FCurlTransfer>();
    FCurlTransfer& T = *Transfer;
    const bool bHasBody =
        !BodyFilePath.empty() || !Body.empty() || (Verb != "GET" && Verb != "HEAD");
    if (!BodyFilePath.empty())
    {
        // Opened here, for this attempt, so every attempt sends the file from its start.
        T.FileReader = IFileManager::Get().CreateFileReader(BodyFilePath);
        if (!T.FileReader)
        {
            return false;
        }
        T.BodyLength = T.FileReader->TotalSize();
    }
    else
    {
        T.BodyLength = static_cast<int64>(Body.size());
    }

    T.Easy = curl_easy_init();
    if (!T.Easy)
    {
        return false;
    }
    CURL* E = T.Easy;
    curl_easy_setopt(E, CURLOPT_URL, Url.c_str());
    curl_easy_setopt(E, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(E, CURLOPT_FOLLOWLOCATION, 0L); // a 3xx is an answer
    curl_easy_setopt(E, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(E, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(E, CURLOPT_PRIVATE, this);
    curl_easy_setopt(E, CURLOPT_WRITEFUNCTION, &FCurlCallbacks::Write);
    curl_easy_setopt(E, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(E, CURLOPT_HEADERFUNCTION, &FCurlCallbacks::Header);
    curl_easy_setopt(E, CURLOPT_HEADERDATA, this);

    float Timeout = TimeoutSeconds > 0.f ? TimeoutSeconds : FHttpModule::Get().GetHttpTimeout();
    if (TimeoutCapSeconds > 0.f)
    {
        Timeout = std::min(Timeout, TimeoutCapSeconds);
    }
    curl_easy_setopt(E, CURLOPT_TIMEOUT_MS, static_cast<long>(Timeout * 1000.f));

    if (Verb == "HEAD")
    {
        curl_easy_setopt(E, CURLOPT_NOBODY, 1L);
    }
    else if (bHasBody)
    {
        // Upload mode streams the body through the read callback for every verb,
        // so a large file is never held in memory.
        curl_easy_setopt(E, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(E, CURLOPT_CUSTOMREQUEST, Verb.c_str());
        curl_easy_setopt(E, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(T.BodyLength));
        curl_easy_setopt(E, CURLOPT_READFUNCTION, &FCurlCallbacks::Read);
        curl_easy_setopt(E, CURLOPT_READDATA, this);
        curl_easy_setopt(E, CURLOPT_SEEKFUNCTION, &FCurlCallbacks::Seek);
        curl_easy_setopt(E, CURLOPT_SEEKDATA, this);
    }
    else if (Verb != "GET")
    {
        curl_easy_setopt(E, CURLOPT_CUSTOMREQUEST, Verb.c_str());
    }

    for (const auto& [Name, Value] : Headers)
    {
        T.HeaderList = curl_slist_append(T.HeaderList, (Name + ": " + Value).c_str());
    }
    // Never wait for "100 Continue": a peer that does not send it would add a
    // one-second stall to every upload.
    T.HeaderList = curl_slist_append(T.HeaderList, "Expect:");
    curl_easy_setopt(E, CURLOPT_HTTPHEADER, T.HeaderList);
    return true;
}

void FHttpRequest::FinishTransfer(int CurlCode, bool bCancelled)
{
    FHttpResponsePtr Received;
    EHttpFailureReason Reason = EHttpFailureReason::None;
    if (bCancelled)
    {
        Reason = EHttpFailureReason::Cancelled;
    }
    else if (CurlCode == CURLE_OK && Transfer && Transfer->Easy)
    {
        long Code = 0;
        curl_easy_getinfo(Transfer->Easy, CURLINFO_RESPONSE_CODE, &Code);
        Transfer->Response->ResponseCode = static_cast<int32>(Code);
        Received = Transfer->Response;
    }
    else if (CurlCode == CURLE_OPERATION_TIMEDOUT)
    {
        Reason = EHttpFailureReason::TimedOut;
    }
    else
    {
        Reason = EHttpFailureReason::ConnectionError;
    }
    {
        std::lock_guard Lock(ResponseMutex);
        Response = Received;
    }
    FailureReason = Reason;
    Status = Received ? EHttpRequestStatus::Succeeded : EHttpRequestStatus::Failed;
    Transfer.reset();

    FHttpManager& Manager = FHttpModule::Get().GetHttpManager();
    Manager.OnCompletionPosted();
    AsyncTask(ENamedThreads::GameThread,
              [Self = shared_from_this()] { Self->DeliverCompletion(); });
}

void FHttpRequest::DeliverCompletion()
{
    FHttpRequestCompleteDelegate Delegate = std::move(CompleteDelegate);
    CompleteDelegate = nullptr;
    if (Delegate)
    {
        Delegate(shared_from_this(), GetResponse(), GetStatus() == EHttpRequestStatus::Succeeded);
    }
    FHttpModule::Get().GetHttpManager().OnCompletionDelivered();
}

size_t FCurlCallbacks::Read(char* Buffer, size_t Size, size_t Count, void* User)
{
    FHttpRequest* Request = RequestOf(User);
    FCurlTransfer& T = *Request->Transfer;
    const size_t Capacity = Size * Count;
    if (T.FileReader)
    {
        const int64 Remaining = T.BodyLength - T.FileReader->Tell();
        const size_t Num =
            static_cast<size_t>(std::min<int64>(Remaining, static_cast<int64>(Capacity)));
        if (Num == 0)
        {
            return 0;
        }
        T.FileReader->Serialize(Buffer, static_cast<int64>(Num));
        // A file that vanished or shrank under us cannot be sent as announced.
        return T.FileReader->IsError() ? CURL_READFUNC_ABORT : Num;
    }
    const size_t Num = static_cast<size_t>(
        std::min<int64>(T.BodyLength - T.BodyOffset, static_cast<int64>(Capacity)));
    std::memcpy(Buffer, Request->Body.data() + T.BodyOffset, Num);
    T.BodyOffset += static_cast<int64>(Num);
    return Num;
}

int FCurlCallbacks::Seek(void* User, curl_off_t Offset, int Origin)
{
    FHttpRequest* Request = RequestOf(User);
    FCurlTransfer& T = *Request->Transfer;
    if (Origin != SEEK_SET || Offset < 0 || Offset > T.BodyLength)
    {
        return CURL_SEEKFUNC_CANTSEEK;
    }
    if (T.FileReader)
    {
        T.FileReader->Seek(static_cast<int64>(Offset));
        return T.FileReader->IsError() ? CURL_SEEKFUNC_FAIL : CURL_SEEKFUNC_OK;
    }
    T.BodyOffset = static_cast<int64>(Offset);
    return CURL_SEEKFUNC_OK;
}

size_t FCurlCallbacks::Write(char* Data, size_t Size, size_t Count, void* User)
{
    FCurlTransfer& T = *RequestOf(User)->Transfer;
    const size_t Num = Size * Count;
    std::vector<uint8>& Content = T.Response->Content;
    if (Content.size() + Num > MaxResponseBytes)
    {
        T.bResponseTooLarge = true;
        return 0; // aborts the transfer
    }
    Content.insert(Content.end(), Data, Data + Num);
    return Num;
}

size_t FCurlCallbacks::Header(char* Data, size_t Size, size_t Count, void* User)
{
    FCurlTransfer& T = *RequestOf(User)->Transfer;
    const size_t Num = Size * Count;
    const std::string_view Line(Data, Num);
    if (FStringUtils::StartsWithIgnoreCase(Line, "HTTP/"))
    {
        // A new status line (after an interim response) starts a new header set.
        T.Response->Headers.Empty();
        return Num;
    }
    const size_t Colon = Line.find(':');
    if (Colon != std::string_view::npos)
    {
        T.Response->Headers.Add(FStringUtils::TrimStartAndEnd(Line.substr(0, Colon)),
                                FStringUtils::TrimStartAndEnd(Line.substr(Colon + 1)));
    }
    return Num;
}
