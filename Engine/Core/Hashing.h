// SHA-1 and Base64, both from OpenSSL.
#pragma once

#include "CoreTypes.h"

#include <array>
#include <memory>
#include <string_view>
#include <vector>

class FSHA1
{
public:
    using FDigest = std::array<uint8, 20>;

    FSHA1();
    ~FSHA1();
    FSHA1(const FSHA1&) = delete;
    FSHA1& operator=(const FSHA1&) = delete;

    void Update(const void* Data, size_t Num);
    // Finishes the hash; the object must not be updated afterwards.
    FDigest Final();

    static FDigest HashBuffer(const void* Data, size_t Num);
    // Lowercase hexadecimal, 40 characters.
    static FString ToHex(const FDigest& Digest);
    // Hashes a whole file in chunks; false when it cannot be read.
    static bool HashFile(const FString& Path, FDigest& OutDigest);

private:
    struct FImpl;
    std::unique_ptr<FImpl> Impl;
};

namespace FBase64
{
FString Encode(const void* Data, size_t Num);
FString Encode(std::string_view Text);
// Standard alphabet with padding; false on malformed input.
bool Decode(std::string_view Encoded, std::vector<uint8>& Out);
} // namespace FBase64
