#include "DateTime.h"
#include "DevBackendStores.h"
#include "StringUtils.h"
#include "UrlEncoding.h"

std::string DevBackendRawPath(const FDevBackendRequest& Request)
{
    return Request.Target.substr(0, Request.Target.find('?'));
}

std::string DevBackendQueryValue(const FDevBackendRequest& Request, const std::string& Name)
{
    const std::size_t Question = Request.Target.find('?');
    if (Question == std::string::npos)
    {
        return {};
    }
    for (const std::string& Pair :
         FStringUtils::Split(std::string_view(Request.Target).substr(Question + 1), "&"))
    {
        const std::size_t Equals = Pair.find('=');
        if (FGenericPlatformHttp::UrlDecode(Pair.substr(0, Equals)) == Name)
        {
            return Equals == std::string::npos
                       ? std::string()
                       : FGenericPlatformHttp::UrlDecode(Pair.substr(Equals + 1));
        }
    }
    return {};
}

bool DevBackendHasContentLength(const FDevBackendRequest& Request)
{
    const std::string Length = FindDevBackendHeader(Request.Headers, "Content-Length");
    const std::string Encoding = FindDevBackendHeader(Request.Headers, "Transfer-Encoding");
    return !Length.empty() && FStringUtils::IsAllDigits(Length) && Encoding.empty();
}

bool DevBackendReceiveInto(const FDevBackendRequest& Request, FDevBackendUpload& Upload)
{
    if (!Request.Connection)
    {
        Upload.Write(Request.Body.data(), Request.Body.size());
        return true;
    }
    // The sink keeps accepting after a failed write (which Finish reports) so that the
    // body is consumed.
    return Request.Connection->ReadBody(
        [&Upload](const char* Data, std::size_t Size)
        {
            Upload.Write(Data, Size);
            return true;
        });
}

std::int64_t DevBackendNowMicros()
{
    return FDateTime::UtcNow().ToUnixMicroseconds();
}
