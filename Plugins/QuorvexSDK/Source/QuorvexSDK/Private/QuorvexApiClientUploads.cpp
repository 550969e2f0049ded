// Object-store uploads: what exactly to send for one batch archive (a GCS form, or
// the raw archive with B2 headers) and sending it.
#include "QuorvexApiClient.h"

#include "Files.h"
#include "Guid.h"
#include "Hashing.h"
#include "QuorvexLog.h"
#include "QuorvexMultipartFormBuilder.h"
#include "StringUtils.h"
#include "Tasks.h"
#include "UrlEncoding.h"

namespace
{
constexpr int64 HashChunkBytes = 64 * 1024;

void PrepareGcsForm(const FQuorvexUploadTarget& Target, const FString& ZipPath,
                    FQuorvexPreparedUpload& Out)
{
    if (Target.FormFields.IsEmpty())
    {
        Out.Error = "Media upload form fields are missing for GCS";
        QUORVEX_LOG(Error, "QuorvexSDK: %s", Out.Error.c_str());
        return;
    }
    const FString BodyPath =
        FPaths::Combine(FPaths::GetPath(ZipPath),
                        "multipart_" + FGuid::NewGuid().ToString(EGuidFormats::Digits) + ".bin");
    auto Builder = std::make_shared<FQuorvexMultipartFormBuilder>();
    if (!Builder->Build(Target.FormFields, ZipPath, FPaths::GetCleanFilename(ZipPath),
                        "application/zip", BodyPath))
    {
        Out.Error = "Could not assemble the GCS multipart body";
        QUORVEX_LOG(Error, "QuorvexSDK: %s", Out.Error.c_str());
        return;
    }
    Out.BodyFilePath = Builder->GetBodyPath();
    Out.ContentType = Builder->GetContentType();
    Out.LogBody = "<gcs multipart body: " + Target.ObjectKey + ">";
    // The policy travels in the form fields; the target's headers are not sent.
    Out.MultipartBody = std::move(Builder);
}

} // namespace

FString FQuorvexApiClient::ComputeFileSha1Hex(const FString& Path)
{
    std::unique_ptr<FArchive> Reader = IFileManager::Get().CreateFileReader(Path);
    if (!Reader)
    {
        return {};
    }
    FSHA1 Hash;
    std::vector<uint8> Buffer(static_cast<size_t>(HashChunkBytes));
    for (int64 Left = Reader->TotalSize(); Left > 0;)
    {
        const int64 Chunk = std::min(Left, HashChunkBytes);
        Reader->Serialize(Buffer.data(), Chunk);
        if (Reader->IsError())
        {
            return {};
        }
        Hash.Update(Buffer.data(), static_cast<size_t>(Chunk));
        Left -= Chunk;
    }
    const FSHA1::FDigest Digest = Hash.Final();
    FString Hex;
    for (const uint8 Byte : Digest)
    {
        Hex += FStringUtils::Printf("%02x", Byte);
    }
    return Hex;
}

void FQuorvexApiClient::PrepareUploadBody(const FQuorvexUploadTarget& Target,
                                          const FString& ZipPath, FQuorvexPreparedUpload& Out)
{
    Out = FQuorvexPreparedUpload();
    if (Target.UploadUrl.empty())
    {
        Out.Error = "Upload URL is empty";
        return;
    }
    if (!IFileManager::Get().FileExists(ZipPath))
    {
        Out.Error = FStringUtils::Printf("Upload payload missing: %s", ZipPath.c_str());
        QUORVEX_LOG(Error, "QuorvexSDK: %s", Out.Error.c_str());
        return;
    }
    Out.Verb = Target.Verb.empty() ? FString("POST") : Target.Verb;
    if (IsGcsProvider(Target.StorageProvider))
    {
        PrepareGcsForm(Target, ZipPath, Out);
        return;
    }
    Out.Headers = Target.Headers;
    if (!Target.AuthorizationToken.empty())
    {
        const FString* Given = Out.Headers.Find("Authorization");
        if (!Given || Given->empty() ||
            FStringUtils::EqualsIgnoreCase(*Given, "{authorizationToken}"))
        {
            Out.Headers.Add("Authorization", Target.AuthorizationToken);
        }
    }
    if (!Target.ObjectKey.empty())
    {
        Out.Headers.Add("X-Bz-File-Name", FGenericPlatformHttp::UrlEncode(Target.ObjectKey));
    }
    const bool bNothingAsksForAHash =
        Target.AuthorizationToken.empty() && Target.ObjectKey.empty() &&
        !Out.Headers.Contains("X-Bz-File-Name") && !Out.Headers.Contains("X-Bz-Content-Sha1");
    if (!bNothingAsksForAHash && !Out.Headers.Contains("X-Bz-Content-Sha1"))
    {
        const FString Sha1 = ComputeFileSha1Hex(ZipPath);
        if (Sha1.empty())
        {
            Out.Error = "Media upload SHA1 calculation failed";
            QUORVEX_LOG(Error, "QuorvexSDK: %s path=%s", Out.Error.c_str(), ZipPath.c_str());
            return;
        }
        Out.Headers.Add("X-Bz-Content-Sha1", Sha1);
    }
    Out.ContentType = "application/zip";
    if (const FString* Given = Out.Headers.Find("Content-Type"); Given && !Given->empty())
    {
        Out.ContentType = *Given;
    }
    Out.BodyFilePath = ZipPath;
    Out.LogBody = "<zip body: " + Target.ObjectKey + ">";
}

void FQuorvexApiClient::SendPreparedUploadAsync(const FQuorvexUploadTarget& Target,
                                                FQuorvexPreparedUpload Prepared,
                                                FQuorvexHttpComplete OnComplete)
{
    if (!Prepared.Error.empty())
    {
        FQuorvexHttpResult Failed;
        Failed.Error = Prepared.Error;
        // Like every completion, in a later game-thread task and never inside the call.
        AsyncTask(ENamedThreads::GameThread,
                  [OnComplete = std::move(OnComplete), Failed]
                  {
                      if (OnComplete)
                      {
                          OnComplete(Failed);
                      }
                  });
        return;
    }
    auto Body = std::make_shared<FRequestBody>();
    Body->FilePath = Prepared.BodyFilePath;
    QUORVEX_LOG_DEBUG("QuorvexSDK: UploadEventZip (%s) -> %s objectKey=%s bytes=%lld",
                      Prepared.MultipartBody ? "GCS" : "B2", Prepared.Verb.c_str(),
                      Target.ObjectKey.c_str(),
                      static_cast<long long>(IFileManager::Get().FileSize(Prepared.BodyFilePath)));
    // The completion keeps a GCS body file alive until the result is delivered.
    FQuorvexHttpComplete Complete =
        [OnComplete = std::move(OnComplete),
         Multipart = std::move(Prepared.MultipartBody)](const FQuorvexHttpResult& Result) mutable
    {
        if (OnComplete)
        {
            OnComplete(Result);
        }
        Multipart.reset();
    };
    SendContentAsync(
        Target.UploadUrl, Prepared.ContentType, std::move(Body), Prepared.Headers, Prepared.LogBody,
        std::move(Complete), Prepared.Verb,
        [](const FQuorvexHttpResult& Result) { return Result.StatusCode == 503; }, true);
}

void FQuorvexApiClient::UploadEventZipAsync(const FQuorvexUploadTarget& Target,
                                            const FString& ZipPath, FQuorvexHttpComplete OnComplete)
{
    FQuorvexPreparedUpload Prepared;
    PrepareUploadBody(Target, ZipPath, Prepared);
    SendPreparedUploadAsync(Target, std::move(Prepared), std::move(OnComplete));
}
