// Every upload credential the dev backend issued, by its secret (the B2 token, the
// signature of a policy or of a URL), so that the stores can tell which session an
// upload belongs to and whether its credentials are still valid. Credentials stay
// valid until their own expiry, also after a refresh issued newer ones, as on the
// real services.
//
// Thread safety: every member may be called from any thread (one internal mutex).
#pragma once

#include "DevBackendTypes.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

struct FDevBackendIssuedRecord
{
    std::string SessionId;
    EDevBackendStore Store = EDevBackendStore::Gcs;
    std::int64_t ExpiresAtUnixMicros = 0;
    std::string UploadPath; // the B2 upload URL's path, which only this token may use
};

class FDevBackendCredentialBook
{
public:
    void Remember(const std::string& Secret, const FDevBackendIssuedRecord& Record);
    std::optional<FDevBackendIssuedRecord> Find(const std::string& Secret) const;

private:
    mutable std::mutex Mutex;
    std::map<std::string, FDevBackendIssuedRecord> Records; // guarded by Mutex
};
