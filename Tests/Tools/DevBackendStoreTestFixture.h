// Shared by the object-store tests: sessions opened on one store style, and uploads
// built the way the SDK builds them (the form of the signed POST with the file part
// last, the B2 headers with the percent-encoded name and the SHA-1, the signed URL
// with the object key put in place of its placeholder).
#pragma once

#include "DevBackendRawHttp.h"
#include "DevBackendTestFixture.h"
#include "Guid.h"
#include "Hashing.h"
#include "StringUtils.h"
#include "UrlEncoding.h"

#include <fstream>
#include <iterator>
#include <utility>
#include <vector>

using FFormFields = std::vector<std::pair<std::string, std::string>>;

// One upload request, before it is sent.
struct FStoreRequest
{
    std::string Method;
    std::string Path; // with the query
    httplib::Headers Headers;
    std::string Body;
    std::string ContentType;
    bool bChunked = false; // sent without a Content-Length
};

// Credentials of a session opened on one store.
struct FStoreSession
{
    std::string Id;
    nlohmann::json Credentials;
};

// Bytes that look like an archive and hold what trips a careless multipart parser:
// CR LF, dashes and a near copy of a delimiter.
inline std::string ArchiveBytes(std::size_t Size, unsigned Seed = 1)
{
    std::string Bytes = "PK\x03\x04\r\n--QuorvexNotTheBoundary\r\n--\r\n";
    unsigned State = Seed * 2654435761u + 1;
    while (Bytes.size() < Size)
    {
        State = State * 1664525u + 1013904223u;
        Bytes += static_cast<char>(State >> 24);
    }
    Bytes.resize(Size);
    return Bytes;
}

inline std::string ReadWholeFile(const std::string& Path)
{
    std::ifstream File(Path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>());
}

inline std::string Sha1Hex(const std::string& Bytes)
{
    return FSHA1::ToHex(FSHA1::HashBuffer(Bytes.data(), Bytes.size()));
}

// The form fields the SDK sends: the credentials' fields, then "key".
inline FFormFields GcsFields(const nlohmann::json& Credentials, const std::string& Key)
{
    FFormFields Fields;
    for (const auto& [Name, Value] : Credentials["formFields"].items())
    {
        Fields.emplace_back(Name, Value.get<std::string>());
    }
    Fields.emplace_back("key", Key);
    return Fields;
}

// A multipart/form-data body laid out as the SDK writes it.
inline std::string MultipartBody(const FFormFields& Fields, const std::string& FileBytes,
                                 const std::string& Boundary,
                                 const std::string& FileName = "batch.zip")
{
    std::string Body;
    for (const auto& [Name, Value] : Fields)
    {
        Body += "--" + Boundary + "\r\nContent-Disposition: form-data; name=\"" + Name +
                "\"\r\n\r\n" + Value + "\r\n";
    }
    Body += "--" + Boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" +
            FileName + "\"\r\nContent-Type: application/zip\r\n\r\n" + FileBytes + "\r\n";
    return Body + "--" + Boundary + "--\r\n";
}

inline std::string NewBoundary()
{
    return "Quorvex" + FGuid::NewGuid().ToString(EGuidFormats::Digits);
}

class FDevBackendStoreTest : public FDevBackendTest
{
protected:
    FStoreSession Open(EDevBackendStore Style)
    {
        Server->SetStore(Style);
        const nlohmann::json Answer = JsonOf(PostJson("/api/v4/session", ValidCreateBody()));
        return {Answer["data"]["sessionId"], Answer["data"]["uploadCredentials"]};
    }

    // The key the SDK gives batch Sequence of a session on any of the three stores.
    static std::string KeyFor(const FStoreSession& Session, long long Sequence)
    {
        return "sessions/" + Session.Id + "/" +
               FStringUtils::Printf("%s_%020lld.zip", Session.Id.c_str(), Sequence);
    }

    // The URL's path and query, relative to the server.
    std::string PathOf(const std::string& Url) const
    {
        const std::string Base = Server->BaseUrl();
        return Url.rfind(Base, 0) == 0 ? Url.substr(Base.size()) : Url;
    }

    FStoreRequest GcsRequest(const FStoreSession& Session, const FFormFields& Fields,
                             const std::string& Bytes) const
    {
        const std::string Boundary = NewBoundary();
        return {"POST",
                PathOf(Session.Credentials["uploadUrl"]),
                {},
                MultipartBody(Fields, Bytes, Boundary),
                "multipart/form-data; boundary=" + Boundary};
    }

    FStoreRequest B2Request(const FStoreSession& Session, const std::string& Key,
                            const std::string& Bytes) const
    {
        return {"POST",
                PathOf(Session.Credentials["uploadUrl"]),
                {{"Authorization", Session.Credentials["authorizationToken"]},
                 {"X-Bz-File-Name", FGenericPlatformHttp::UrlEncode(Key)},
                 {"X-Bz-Content-Sha1", Sha1Hex(Bytes)},
                 {"X-Bz-Info-src_last_modified_millis", "1700000000123"}},
                Bytes,
                "application/zip"};
    }

    FStoreRequest PutRequest(const FStoreSession& Session, const std::string& Key,
                             const std::string& Bytes) const
    {
        std::string Url = Session.Credentials["uploadUrl"];
        const std::size_t At = Url.find("{objectKey}");
        if (At != std::string::npos)
        {
            Url.replace(At, std::string("{objectKey}").size(), Key);
        }
        // The SDK sends the B2 headers on this path too; a signed-URL store ignores them.
        return {"PUT",
                PathOf(Url),
                {{"X-Bz-File-Name", FGenericPlatformHttp::UrlEncode(Key)},
                 {"X-Bz-Content-Sha1", Sha1Hex(Bytes)}},
                Bytes,
                "application/zip"};
    }

    // The request the SDK would send for this store.
    FStoreRequest RequestFor(EDevBackendStore Style, const FStoreSession& Session,
                             const std::string& Key, const std::string& Bytes) const
    {
        switch (Style)
        {
        case EDevBackendStore::Gcs:
            return GcsRequest(Session, GcsFields(Session.Credentials, Key), Bytes);
        case EDevBackendStore::B2:
            return B2Request(Session, Key, Bytes);
        case EDevBackendStore::SignedPut:
            break;
        }
        return PutRequest(Session, Key, Bytes);
    }

    // The request as it goes on the wire, with a Content-Length and the given extra headers.
    std::string Wire(const FStoreRequest& Request, const std::string& Extra = {}) const
    {
        std::string Text = Request.Method + " " + Request.Path +
                           " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                           std::to_string(Request.Body.size()) + "\r\n" + Extra;
        if (!Request.ContentType.empty())
        {
            Text += "Content-Type: " + Request.ContentType + "\r\n";
        }
        for (const auto& [Name, Value] : Request.Headers)
        {
            Text += Name + ": " + Value + "\r\n";
        }
        return Text + "\r\n";
    }

    httplib::Result Send(const FStoreRequest& Request) const
    {
        if (Request.ContentType.empty())
        {
            // httplib would add a Content-Type of its own.
            FRawHttpConnection Raw(Server->Port());
            Raw.Send(Wire(Request) + Request.Body);
            return ParseRawResponse(Raw.ReadToEnd());
        }
        std::unique_ptr<httplib::Client> C = Client();
        if (Request.bChunked)
        {
            const std::string Body = Request.Body;
            const auto Provider = [Body](size_t Offset, httplib::DataSink& Sink)
            {
                if (Offset < Body.size())
                {
                    Sink.write(Body.data() + Offset, Body.size() - Offset);
                }
                else
                {
                    Sink.done();
                }
                return true;
            };
            return Request.Method == "PUT"
                       ? C->Put(Request.Path, Request.Headers, Provider, Request.ContentType)
                       : C->Post(Request.Path, Request.Headers, Provider, Request.ContentType);
        }
        if (Request.Method == "PUT")
        {
            return C->Put(Request.Path, Request.Headers, Request.Body, Request.ContentType);
        }
        return C->Post(Request.Path, Request.Headers, Request.Body, Request.ContentType);
    }

    // The code of an XML error body ("" when there is none).
    static std::string XmlCode(const httplib::Result& Result)
    {
        return Between(Result ? Result->body : std::string(), "<Code>", "</Code>");
    }

    static std::string Between(const std::string& Text, const std::string& Open,
                               const std::string& Close)
    {
        const std::size_t Begin = Text.find(Open);
        const std::size_t End = Text.find(Close);
        if (Begin == std::string::npos || End == std::string::npos || End < Begin)
        {
            return {};
        }
        return Text.substr(Begin + Open.size(), End - Begin - Open.size());
    }
};

inline const std::vector<EDevBackendStore> AllStores = {EDevBackendStore::Gcs, EDevBackendStore::B2,
                                                        EDevBackendStore::SignedPut};
