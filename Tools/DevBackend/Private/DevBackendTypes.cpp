#include "DevBackendTypes.h"

#include "StringUtils.h"

const char* DevBackendEndpointName(EDevBackendEndpoint Endpoint)
{
    switch (Endpoint)
    {
    case EDevBackendEndpoint::SessionCreate:
        return "SessionCreate";
    case EDevBackendEndpoint::SessionUpdate:
        return "SessionUpdate";
    case EDevBackendEndpoint::Heartbeat:
        return "Heartbeat";
    case EDevBackendEndpoint::EndSession:
        return "EndSession";
    case EDevBackendEndpoint::RefreshUploadUrl:
        return "RefreshUploadUrl";
    case EDevBackendEndpoint::GameEvent:
        return "GameEvent";
    case EDevBackendEndpoint::StoreGcs:
        return "StoreGcs";
    case EDevBackendEndpoint::StoreB2:
        return "StoreB2";
    case EDevBackendEndpoint::StoreSignedPut:
        return "StoreSignedPut";
    case EDevBackendEndpoint::ObjectList:
        return "ObjectList";
    case EDevBackendEndpoint::ObjectDownload:
        return "ObjectDownload";
    case EDevBackendEndpoint::ReplayAsset:
        return "ReplayAsset";
    case EDevBackendEndpoint::ReplaySessionList:
        return "ReplaySessionList";
    case EDevBackendEndpoint::ReplaySessionDetail:
        return "ReplaySessionDetail";
    case EDevBackendEndpoint::ReplayFrame:
        return "ReplayFrame";
    case EDevBackendEndpoint::Unknown:
        break;
    }
    return "Unknown";
}

const char* DevBackendStoreName(EDevBackendStore Store)
{
    switch (Store)
    {
    case EDevBackendStore::Gcs:
        return "gcs";
    case EDevBackendStore::B2:
        return "b2";
    case EDevBackendStore::SignedPut:
        return "put";
    }
    return "gcs";
}

bool IsDevBackendStoreUpload(EDevBackendEndpoint Endpoint)
{
    return Endpoint == EDevBackendEndpoint::StoreGcs || Endpoint == EDevBackendEndpoint::StoreB2 ||
           Endpoint == EDevBackendEndpoint::StoreSignedPut;
}

EDevBackendEndpoint DevBackendStoreEndpoint(EDevBackendStore Store)
{
    switch (Store)
    {
    case EDevBackendStore::B2:
        return EDevBackendEndpoint::StoreB2;
    case EDevBackendStore::SignedPut:
        return EDevBackendEndpoint::StoreSignedPut;
    case EDevBackendStore::Gcs:
        break;
    }
    return EDevBackendEndpoint::StoreGcs;
}

bool ParseDevBackendStore(std::string_view Text, EDevBackendStore& OutStore)
{
    for (EDevBackendStore Store :
         {EDevBackendStore::Gcs, EDevBackendStore::B2, EDevBackendStore::SignedPut})
    {
        if (FStringUtils::EqualsIgnoreCase(Text, DevBackendStoreName(Store)))
        {
            OutStore = Store;
            return true;
        }
    }
    if (FStringUtils::EqualsIgnoreCase(Text, "signed"))
    {
        OutStore = EDevBackendStore::SignedPut;
        return true;
    }
    return false;
}

std::string FindDevBackendHeader(const FDevBackendHeaders& Headers, std::string_view Name)
{
    for (const auto& [Key, Value] : Headers)
    {
        if (FStringUtils::EqualsIgnoreCase(Key, Name))
        {
            return Value;
        }
    }
    return {};
}
