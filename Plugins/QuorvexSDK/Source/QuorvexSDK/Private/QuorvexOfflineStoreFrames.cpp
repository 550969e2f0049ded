// Turning a batch's screenshot records into ZIP attachments and into the frame
// entries of its documents. Ids follow record indices, so a frame's id names the
// same record in the archive and in both documents.
#include "QuorvexOfflineStore.h"

#include "Hashing.h"
#include "QuorvexLog.h"
#include "StringUtils.h"

namespace
{
FQuorvexMediaFrame FrameFromRecord(const FQuorvexScreenshotRecord& Record, FString AttachmentId)
{
    FQuorvexMediaFrame Frame;
    Frame.Timestamp = Record.Timestamp;
    Frame.CaptureDurationMs = Record.CaptureDurationMs;
    Frame.MainThreadCaptureMs = Record.MainThreadCaptureMs;
    Frame.AttachmentId = std::move(AttachmentId);
    Frame.Width = Record.Width;
    Frame.Height = Record.Height;
    return Frame;
}
} // namespace

FString FQuorvexOfflineStore::BuildFrameAttachmentId(const FQuorvexScreenshotRecord& /*Record*/,
                                                     int32 Index)
{
    return FStringUtils::Printf("frame_%d", Index);
}

std::vector<FQuorvexScreenshotAttachment> FQuorvexOfflineStore::BuildScreenshotAttachments(
    const std::vector<FQuorvexScreenshotRecord>& Records)
{
    std::vector<FQuorvexScreenshotAttachment> Attachments;
    Attachments.reserve(Records.size());
    for (size_t Index = 0; Index < Records.size(); ++Index)
    {
        const FQuorvexScreenshotRecord& Record = Records[Index];
        const int32 RecordIndex = static_cast<int32>(Index);
        FQuorvexScreenshotAttachment Attachment;
        Attachment.AttachmentId = BuildFrameAttachmentId(Record, RecordIndex);
        Attachment.EntryName =
            FStringUtils::Printf("frames/%s.jpeg", Attachment.AttachmentId.c_str());
        Attachment.RecordIndex = RecordIndex;
        if (!Record.JpegBytes.empty())
        {
            Attachment.Bytes = Record.JpegBytes;
        }
        else if (!Record.Base64Jpeg.empty())
        {
            // An empty result is no image either: it would become an empty entry.
            if (!FBase64::Decode(Record.Base64Jpeg, Attachment.Bytes) || Attachment.Bytes.empty())
            {
                QUORVEX_LOG(Error,
                            "QuorvexSDK: OfflineStore: screenshot base64 decode failed index=%d; "
                            "skipping attachment",
                            RecordIndex);
                continue;
            }
        }
        else if (!Record.FilePath.empty())
        {
            Attachment.FilePath = Record.FilePath;
        }
        else
        {
            continue;
        }
        Attachments.push_back(std::move(Attachment));
    }
    return Attachments;
}

std::vector<FQuorvexMediaFrame>
FQuorvexOfflineStore::BuildScreenshotFrames(const std::vector<FQuorvexScreenshotRecord>& Records)
{
    std::vector<FQuorvexMediaFrame> Frames;
    Frames.reserve(Records.size());
    for (size_t Index = 0; Index < Records.size(); ++Index)
    {
        Frames.push_back(FrameFromRecord(
            Records[Index], BuildFrameAttachmentId(Records[Index], static_cast<int32>(Index))));
    }
    return Frames;
}

std::vector<FQuorvexMediaFrame> FQuorvexOfflineStore::BuildFramesForAttachments(
    const std::vector<FQuorvexScreenshotRecord>& Records,
    const std::vector<FQuorvexScreenshotAttachment>& Attachments)
{
    std::vector<FQuorvexMediaFrame> Frames;
    Frames.reserve(Attachments.size());
    for (const FQuorvexScreenshotAttachment& Attachment : Attachments)
    {
        if (Attachment.RecordIndex < 0 ||
            static_cast<size_t>(Attachment.RecordIndex) >= Records.size())
        {
            continue;
        }
        Frames.push_back(FrameFromRecord(Records[static_cast<size_t>(Attachment.RecordIndex)],
                                         Attachment.AttachmentId));
    }
    return Frames;
}
