#include "QuorvexMultipartFormBuilder.h"

#include "Files.h"
#include "Guid.h"
#include "QuorvexLog.h"
#include "StringUtils.h"

#include <vector>

namespace
{
constexpr int64 CopyChunkBytes = 64 * 1024;

void WriteText(FArchive& Writer, const FString& Text)
{
    Writer.Serialize(const_cast<char*>(Text.data()), static_cast<int64>(Text.size()));
}

// Copies the payload through one buffer; false when the reader fails.
bool CopyPayload(FArchive& Reader, FArchive& Writer)
{
    std::vector<uint8> Buffer(static_cast<size_t>(CopyChunkBytes));
    for (int64 Left = Reader.TotalSize(); Left > 0 && !Writer.IsError();)
    {
        const int64 Chunk = std::min(Left, CopyChunkBytes);
        Reader.Serialize(Buffer.data(), Chunk);
        if (Reader.IsError())
        {
            return false;
        }
        Writer.Serialize(Buffer.data(), Chunk);
        Left -= Chunk;
    }
    return true;
}
} // namespace

FQuorvexMultipartFormBuilder::~FQuorvexMultipartFormBuilder()
{
    DeleteBody();
}

void FQuorvexMultipartFormBuilder::DeleteBody()
{
    if (!BodyPath.empty())
    {
        IFileManager::Get().Delete(BodyPath);
        BodyPath.clear();
    }
}

bool FQuorvexMultipartFormBuilder::Build(const TCaseInsensitiveOrderedMap<FString>& FormFields,
                                         const FString& PayloadPath, const FString& PayloadFileName,
                                         const FString& PayloadContentType,
                                         const FString& InBodyPath)
{
    DeleteBody();
    if (PayloadPath.empty() || InBodyPath.empty())
    {
        return false;
    }
    std::unique_ptr<FArchive> Reader = IFileManager::Get().CreateFileReader(PayloadPath);
    if (!Reader)
    {
        QUORVEX_LOG(Error, "QuorvexSDK: multipart: could not open payload. path=%s",
                    PayloadPath.c_str());
        return false;
    }
    IFileManager::Get().MakeDirectory(FPaths::GetPath(InBodyPath), true);
    std::unique_ptr<FArchive> Writer = IFileManager::Get().CreateFileWriter(InBodyPath);
    if (!Writer)
    {
        QUORVEX_LOG(Error, "QuorvexSDK: multipart: could not open body for writing. path=%s",
                    InBodyPath.c_str());
        return false;
    }
    const FString Boundary = "Quorvex" + FGuid::NewGuid().ToString(EGuidFormats::Digits);
    ContentType = "multipart/form-data; boundary=" + Boundary;
    for (const auto& [Name, Value] : FormFields)
    {
        WriteText(*Writer, "--" + Boundary + "\r\nContent-Disposition: form-data; name=\"" + Name +
                               "\"\r\n\r\n" + Value + "\r\n");
    }
    WriteText(*Writer,
              "--" + Boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" +
                  PayloadFileName + "\"\r\nContent-Type: " + PayloadContentType + "\r\n\r\n");
    if (!CopyPayload(*Reader, *Writer))
    {
        QUORVEX_LOG(Error,
                    "QuorvexSDK: multipart: payload became unreadable while streaming. path=%s",
                    PayloadPath.c_str());
        Writer->Close();
        IFileManager::Get().Delete(InBodyPath);
        return false;
    }
    Reader->Close();
    WriteText(*Writer, "\r\n--" + Boundary + "--\r\n");
    const bool bClosed = Writer->Close();
    if (!bClosed || Writer->IsError())
    {
        IFileManager::Get().Delete(InBodyPath);
        return false;
    }
    BodyPath = InBodyPath;
    return true;
}
