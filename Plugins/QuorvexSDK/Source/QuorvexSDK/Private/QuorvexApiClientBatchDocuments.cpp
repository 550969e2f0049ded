// The two documents of a batch archive: "events.json", the full record of the batch,
// and "manifest.json", a short index of its frames that a consumer can read without
// parsing the events. Both list only the frames that made it into the archive and
// keep every array in the batch's order.
#include "QuorvexApiClient.h"
#include "QuorvexBatchJson.h"
#include "QuorvexDetachedBatchData.h"

#include "JsonSerializer.h"

namespace
{
constexpr const char* DefaultMediaType = "Screenshots";
constexpr const char* DefaultMediaFormat = "Jpeg";

double Ms(int64 Value)
{
    return static_cast<double>(Value);
}

FJsonObjectPtr InputEventsToJson(const FQuorvexDetachedBatchData& Batch)
{
    FJsonObjectPtr Events = FJsonObject::Make();
    WriteInputEventArrays(*Events, Batch);
    return Events;
}

void SetMediaTypeAndFormat(FJsonObject& Media, const FQuorvexDetachedBatchData& Batch)
{
    Media.SetStringField("type", Batch.CaptureMode.empty() ? DefaultMediaType : Batch.CaptureMode);
    Media.SetStringField("format",
                         Batch.ImageFormat.empty() ? DefaultMediaFormat : Batch.ImageFormat);
}

void WriteEventFrame(FJsonObject& Object, const FQuorvexMediaFrame& Frame)
{
    Object.SetNumberField("timestamp", Ms(Frame.Timestamp));
    Object.SetNumberField("captureDurationMs", Frame.CaptureDurationMs);
    Object.SetNumberField("mainThreadCaptureMs", Frame.MainThreadCaptureMs);
    Object.SetStringField("attachmentId", Frame.AttachmentId);
    Object.SetNumberField("width", Frame.Width);
    Object.SetNumberField("height", Frame.Height);
}

// The manifest leads with the id: it is an index of entries.
void WriteManifestFrame(FJsonObject& Object, const FQuorvexMediaFrame& Frame)
{
    Object.SetStringField("attachmentId", Frame.AttachmentId);
    Object.SetNumberField("timestamp", Ms(Frame.Timestamp));
    Object.SetNumberField("captureDurationMs", Frame.CaptureDurationMs);
    Object.SetNumberField("mainThreadCaptureMs", Frame.MainThreadCaptureMs);
    Object.SetNumberField("width", Frame.Width);
    Object.SetNumberField("height", Frame.Height);
}

} // namespace

FString FQuorvexApiClient::BuildEventJson(const FQuorvexDetachedBatchData& Batch,
                                          const std::vector<FQuorvexMediaFrame>& Frames)
{
    FJsonObject Root;
    Root.SetStringField("sessionId", Batch.SessionId);
    Root.SetStringField("inGameId", Batch.InGameId);
    Root.SetStringField("developerPayload", Batch.DeveloperPayload);
    Root.SetNumberField("timestamp", Ms(Batch.Timestamp));
    Root.SetNumberField("sequenceNumber", Ms(Batch.SequenceNumber));
    Root.SetObjectField("inputEvents", InputEventsToJson(Batch));
    if (!Frames.empty())
    {
        FJsonObjectPtr Media = FJsonObject::Make();
        SetMediaTypeAndFormat(*Media, Batch);
        Media->SetArrayField("frames", ToJsonObjectArray(Frames, WriteEventFrame));
        Root.SetObjectField("media", Media);
    }
    Root.SetObjectField("metadata", MetadataToJson(Batch.Metadata));
    return FJsonSerializer::Serialize(Root);
}

FString FQuorvexApiClient::BuildManifestJson(const FQuorvexDetachedBatchData& Batch,
                                             const std::vector<FQuorvexMediaFrame>& Frames)
{
    FJsonObject Root;
    Root.SetNumberField("schemaVersion", 1);
    Root.SetStringField("sessionId", Batch.SessionId);
    Root.SetNumberField("sequenceNumber", Ms(Batch.SequenceNumber));
    FJsonObjectPtr Media = FJsonObject::Make();
    SetMediaTypeAndFormat(*Media, Batch);
    Root.SetObjectField("media", Media);
    Root.SetArrayField("frames", ToJsonObjectArray(Frames, WriteManifestFrame));
    return FJsonSerializer::Serialize(Root);
}
