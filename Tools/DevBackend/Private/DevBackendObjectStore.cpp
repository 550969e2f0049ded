#include "DevBackendObjectStore.h"

#include "Hashing.h"
#include "StringUtils.h"

#include <openssl/evp.h>

#include <algorithm>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace
{
constexpr std::size_t WriteBufferBytes = 256 * 1024;

std::string Hex(const unsigned char* Bytes, std::size_t Count)
{
    std::string Text;
    for (std::size_t I = 0; I < Count; ++I)
    {
        Text += FStringUtils::Printf("%02x", Bytes[I]);
    }
    return Text;
}

std::string MakeTempFolder()
{
    std::error_code Error;
    std::filesystem::path Base = std::filesystem::temp_directory_path(Error);
    if (Error)
    {
        Base = "/tmp";
    }
    std::string Template = (Base / "quorvex-dev-backend-XXXXXX").string();
    if (!mkdtemp(Template.data()))
    {
        return {};
    }
    return Template;
}
} // namespace

struct FDevBackendUpload::FHashes
{
    FSHA1 Sha1;
    EVP_MD_CTX* Md5 = EVP_MD_CTX_new();
    FHashes() { EVP_DigestInit_ex(Md5, EVP_md5(), nullptr); }
    ~FHashes() { EVP_MD_CTX_free(Md5); }
    FHashes(const FHashes&) = delete;
    FHashes& operator=(const FHashes&) = delete;
};

FDevBackendUpload::FDevBackendUpload(std::string InPath, std::int64_t InLimit)
    : FilePath(std::move(InPath)), Limit(InLimit), Hashes(std::make_unique<FHashes>())
{
    File = std::fopen(FilePath.c_str(), "wb");
    if (File)
    {
        std::setvbuf(File, nullptr, _IOFBF, WriteBufferBytes);
    }
}

FDevBackendUpload::~FDevBackendUpload()
{
    if (File)
    {
        std::fclose(File);
    }
    if (!bReleased)
    {
        std::error_code Ignored;
        std::filesystem::remove(FilePath, Ignored);
    }
}

bool FDevBackendUpload::IsOpen() const
{
    return File != nullptr;
}

bool FDevBackendUpload::Write(const char* Data, std::size_t Size)
{
    Hashes->Sha1.Update(Data, Size);
    EVP_DigestUpdate(Hashes->Md5, Data, Size);
    const std::int64_t Before = Received;
    Received += static_cast<std::int64_t>(Size);
    if (!File || bWriteFailed || Before >= Limit)
    {
        return File && !bWriteFailed;
    }
    const auto Room = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(Size), Limit - Before));
    bWriteFailed = std::fwrite(Data, 1, Room, File) != Room;
    return !bWriteFailed;
}

bool FDevBackendUpload::Finish()
{
    if (!File)
    {
        return false;
    }
    const bool bClosed = std::fclose(File) == 0;
    File = nullptr;
    Sha1Hex = FSHA1::ToHex(Hashes->Sha1.Final());
    unsigned char Md5[EVP_MAX_MD_SIZE];
    unsigned int Md5Length = 0;
    EVP_DigestFinal_ex(Hashes->Md5, Md5, &Md5Length);
    Md5Hex = Hex(Md5, Md5Length);
    return bClosed && !bWriteFailed;
}

FDevBackendObjectStore::FDevBackendObjectStore(std::string DataFolder) : Root(std::move(DataFolder))
{
}

FDevBackendObjectStore::~FDevBackendObjectStore()
{
    if (bOwned && !Root.empty())
    {
        std::error_code Ignored;
        std::filesystem::remove_all(Root, Ignored);
    }
}

bool FDevBackendObjectStore::Open(std::string& OutError)
{
    if (Root.empty())
    {
        Root = MakeTempFolder();
        bOwned = !Root.empty();
    }
    std::error_code Error;
    for (const char* Sub : {"incoming", "objects"})
    {
        std::filesystem::create_directories(std::filesystem::path(Root) / Sub, Error);
        if (Root.empty() || Error)
        {
            OutError = "could not make the data folder \"" + Root + "\"";
            return false;
        }
    }
    return true;
}

std::string FDevBackendObjectStore::NextFilePath(const char* Folder)
{
    std::lock_guard Lock(Mutex);
    return (std::filesystem::path(Root) / Folder /
            FStringUtils::Printf("%012llu.bin", static_cast<unsigned long long>(++Counter)))
        .string();
}

std::unique_ptr<FDevBackendUpload> FDevBackendObjectStore::BeginUpload(std::int64_t Limit)
{
    return std::make_unique<FDevBackendUpload>(NextFilePath("incoming"), Limit);
}

bool FDevBackendObjectStore::Commit(FDevBackendUpload& Upload, const std::string& SessionId,
                                    const std::string& Name, EDevBackendStore Store,
                                    const std::string& ContentType, FDevBackendObject& OutObject)
{
    const std::string Final = NextFilePath("objects");
    std::error_code Error;
    std::filesystem::rename(Upload.Path(), Final, Error);
    if (Error)
    {
        return false;
    }
    Upload.Release();
    OutObject = {SessionId,    Name,  Upload.Size(), Upload.Sha1(),
                 Upload.Md5(), Final, ContentType,   Store};
    std::string Replaced;
    {
        std::lock_guard Lock(Mutex);
        FDevBackendObject& Slot = Index[{SessionId, Name}];
        Replaced = Slot.Path;
        Slot = OutObject;
    }
    if (!Replaced.empty())
    {
        std::filesystem::remove(Replaced, Error);
    }
    return true;
}

std::vector<FDevBackendObject> FDevBackendObjectStore::Objects(const std::string& SessionId) const
{
    std::lock_guard Lock(Mutex);
    std::vector<FDevBackendObject> Found;
    for (auto It = Index.lower_bound({SessionId, std::string()});
         It != Index.end() && It->first.first == SessionId; ++It)
    {
        Found.push_back(It->second);
    }
    return Found;
}

std::optional<FDevBackendObject> FDevBackendObjectStore::Find(const std::string& SessionId,
                                                              const std::string& Name) const
{
    std::lock_guard Lock(Mutex);
    const auto It = Index.find({SessionId, Name});
    if (It == Index.end())
    {
        return std::nullopt;
    }
    return It->second;
}
