#include "DevBackendCredentialBook.h"

void FDevBackendCredentialBook::Remember(const std::string& Secret,
                                         const FDevBackendIssuedRecord& Record)
{
    std::lock_guard Lock(Mutex);
    Records[Secret] = Record;
}

std::optional<FDevBackendIssuedRecord>
FDevBackendCredentialBook::Find(const std::string& Secret) const
{
    std::lock_guard Lock(Mutex);
    const auto It = Records.find(Secret);
    if (It == Records.end())
    {
        return std::nullopt;
    }
    return It->second;
}
