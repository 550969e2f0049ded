#include "Hashing.h"

#include "Files.h"

#include <openssl/evp.h>

struct FSHA1::FImpl
{
    EVP_MD_CTX* Context = nullptr;
};

FSHA1::FSHA1() : Impl(std::make_unique<FImpl>())
{
    Impl->Context = EVP_MD_CTX_new();
    EVP_DigestInit_ex(Impl->Context, EVP_sha1(), nullptr);
}

FSHA1::~FSHA1()
{
    EVP_MD_CTX_free(Impl->Context);
}

void FSHA1::Update(const void* Data, size_t Num)
{
    EVP_DigestUpdate(Impl->Context, Data, Num);
}

FSHA1::FDigest FSHA1::Final()
{
    FDigest Digest{};
    unsigned int Length = 0;
    EVP_DigestFinal_ex(Impl->Context, Digest.data(), &Length);
    return Digest;
}

FSHA1::FDigest FSHA1::HashBuffer(const void* Data, size_t Num)
{
    FSHA1 Hash;
    Hash.Update(Data, Num);
    return Hash.Final();
}

FString FSHA1::ToHex(const FDigest& Digest)
{
    static const char Hex[] = "0123456789abcdef";
    FString Out;
    Out.reserve(40);
    for (uint8 Byte : Digest)
    {
        Out += Hex[Byte >> 4];
        Out += Hex[Byte & 15];
    }
    return Out;
}

bool FSHA1::HashFile(const FString& Path, FDigest& OutDigest)
{
    std::unique_ptr<FArchive> Reader = IFileManager::Get().CreateFileReader(Path);
    if (!Reader)
    {
        return false;
    }
    FSHA1 Hash;
    std::vector<uint8> Chunk(64 * 1024);
    int64 Remaining = Reader->TotalSize();
    while (Remaining > 0 && !Reader->IsError())
    {
        const int64 Num = std::min<int64>(Remaining, static_cast<int64>(Chunk.size()));
        Reader->Serialize(Chunk.data(), Num);
        Hash.Update(Chunk.data(), static_cast<size_t>(Num));
        Remaining -= Num;
    }
    if (!Reader->Close())
    {
        return false;
    }
    OutDigest = Hash.Final();
    return true;
}

namespace FBase64
{
FString Encode(const void* Data, size_t Num)
{
    FString Out(4 * ((Num + 2) / 3), '\0');
    if (Num > 0)
    {
        const int Written =
            EVP_EncodeBlock(reinterpret_cast<unsigned char*>(Out.data()),
                            static_cast<const unsigned char*>(Data), static_cast<int>(Num));
        Out.resize(static_cast<size_t>(Written));
    }
    return Out;
}

FString Encode(std::string_view Text)
{
    return Encode(Text.data(), Text.size());
}

bool Decode(std::string_view Encoded, std::vector<uint8>& Out)
{
    if (Encoded.size() % 4 != 0)
    {
        return false;
    }
    std::vector<uint8> Bytes(Encoded.size() / 4 * 3);
    if (!Encoded.empty())
    {
        const int Written =
            EVP_DecodeBlock(Bytes.data(), reinterpret_cast<const unsigned char*>(Encoded.data()),
                            static_cast<int>(Encoded.size()));
        if (Written < 0)
        {
            return false;
        }
        // EVP_DecodeBlock keeps the zero bytes that stand for padding.
        size_t Padding = 0;
        for (size_t I = Encoded.size(); I > 0 && Encoded[I - 1] == '=' && Padding < 2; --I)
        {
            ++Padding;
        }
        Bytes.resize(static_cast<size_t>(Written) - Padding);
    }
    Out = std::move(Bytes);
    return true;
}
} // namespace FBase64
