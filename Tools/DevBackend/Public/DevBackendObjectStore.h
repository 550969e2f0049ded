// The objects the dev backend's stores accepted, kept on disk under a data folder and
// indexed in memory per session. Uploads are written to a private incoming file while
// they stream in (hashed on the way) and become an object only once the store accepts
// them; an object of the same session and name is replaced, as a bucket does.
//
// Object files are named by a counter, never by the (client-chosen) object name, so no
// name can reach outside the data folder.
//
// Thread safety: every member may be called from any thread (one internal mutex);
// an FDevBackendUpload belongs to the thread that streams into it.
#pragma once

#include "DevBackendTypes.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct FDevBackendObject
{
    std::string SessionId;
    std::string Name; // the object key / file name as the store understood it
    std::int64_t Size = 0;
    std::string Sha1; // 40 lower-case hex digits
    std::string Md5;  // 32 lower-case hex digits (the PUT store's ETag)
    std::string Path; // the object's bytes on disk
    std::string ContentType;
    EDevBackendStore Store = EDevBackendStore::Gcs;
};

// One upload streaming into an incoming file. Bytes past Limit are counted and hashed
// but not written, so an oversized body costs no disk. Destroying an upload that was
// not committed deletes its file.
class FDevBackendUpload
{
public:
    FDevBackendUpload(std::string Path, std::int64_t Limit);
    ~FDevBackendUpload();
    FDevBackendUpload(const FDevBackendUpload&) = delete;
    FDevBackendUpload& operator=(const FDevBackendUpload&) = delete;

    bool IsOpen() const;
    // False once a write to disk failed.
    bool Write(const char* Data, std::size_t Size);
    // Flushes and closes the file and finishes the hashes; false when writing failed.
    bool Finish();

    std::int64_t Size() const { return Received; }
    bool ExceededLimit() const { return Received > Limit; }
    // Valid after Finish.
    const std::string& Sha1() const { return Sha1Hex; }
    const std::string& Md5() const { return Md5Hex; }
    const std::string& Path() const { return FilePath; }
    // The object store took the file; it is no longer deleted with the upload.
    void Release() { bReleased = true; }

private:
    struct FHashes;
    // All owned by the thread streaming the upload.
    std::string FilePath;
    std::int64_t Limit;
    std::int64_t Received = 0;
    std::FILE* File = nullptr;
    std::unique_ptr<FHashes> Hashes;
    std::string Sha1Hex;
    std::string Md5Hex;
    bool bWriteFailed = false;
    bool bReleased = false;
};

class FDevBackendObjectStore
{
public:
    // Keeps objects under DataFolder, created when missing; an empty folder means a
    // fresh temporary one that this store deletes when it is destroyed.
    explicit FDevBackendObjectStore(std::string DataFolder = {});
    ~FDevBackendObjectStore();
    FDevBackendObjectStore(const FDevBackendObjectStore&) = delete;
    FDevBackendObjectStore& operator=(const FDevBackendObjectStore&) = delete;

    // False with a reason when the folder cannot be made.
    bool Open(std::string& OutError);
    const std::string& Folder() const { return Root; }

    // A new incoming file for one upload; Limit as in FDevBackendUpload.
    std::unique_ptr<FDevBackendUpload> BeginUpload(std::int64_t Limit);
    // Makes a finished upload the object Name of SessionId; false when the file cannot
    // be moved into place.
    bool Commit(FDevBackendUpload& Upload, const std::string& SessionId, const std::string& Name,
                EDevBackendStore Store, const std::string& ContentType,
                FDevBackendObject& OutObject);

    // A session's objects, ordered by name.
    std::vector<FDevBackendObject> Objects(const std::string& SessionId) const;
    std::optional<FDevBackendObject> Find(const std::string& SessionId,
                                          const std::string& Name) const;

private:
    std::string NextFilePath(const char* Folder);

    std::string Root;    // set at construction or Open, read-only afterwards
    bool bOwned = false; // Root is a temporary folder this store made
    mutable std::mutex Mutex;
    std::uint64_t Counter = 0;                                              // guarded by Mutex
    std::map<std::pair<std::string, std::string>, FDevBackendObject> Index; // guarded by Mutex
};
