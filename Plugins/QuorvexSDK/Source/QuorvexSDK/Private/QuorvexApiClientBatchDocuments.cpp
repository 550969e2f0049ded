// The two documents of a batch archive: "events.json", the full record of the batch,
// and "manifest.json", a short index of its frames that a consumer can read without
// parsing the events. Both list only the frames that made it into the archive and
// keep every array in the batch's order.
#include "QuorvexApiClient.h"
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

template <typename TItem, typename TWriter>
FJsonArray ToArray(const std::vector<TItem>& Items, TWriter Writer)
{
    FJsonArray Array;
    Array.reserve(Items.size());
    for (const TItem& Item : Items)
    {
        FJsonObjectPtr Object = FJsonObject::Make();
        Writer(*Object, Item);
        Array.push_back(FJsonValue::MakeObject(std::move(Object)));
    }
    return Array;
}

FJsonObjectPtr InputEventsToJson(const FQuorvexDetachedBatchData& Batch)
{
    FJsonObjectPtr Events = FJsonObject::Make();
    Events->SetArrayField("taps", ToArray(Batch.Taps,
                                          [](FJsonObject& Object, const FQuorvexTapEvent& Tap)
                                          {
                                              Object.SetNumberField("x", Tap.X);
                                              Object.SetNumberField("y", Tap.Y);
                                              Object.SetNumberField("pressure", Tap.Pressure);
                                              Object.SetNumberField("timestamp", Ms(Tap.Timestamp));
                                          }));
    Events->SetArrayField("swipes",
                          ToArray(Batch.Swipes,
                                  [](FJsonObject& Object, const FQuorvexSwipeEvent& Swipe)
                                  {
                                      Object.SetNumberField("startX", Swipe.StartX);
                                      Object.SetNumberField("startY", Swipe.StartY);
                                      Object.SetNumberField("endX", Swipe.EndX);
                                      Object.SetNumberField("endY", Swipe.EndY);
                                      Object.SetNumberField("durationMs", Swipe.DurationMs);
                                      Object.SetNumberField("timestamp", Ms(Swipe.Timestamp));
                                  }));
    Events->SetArrayField("longPresses",
                          ToArray(Batch.LongPresses,
                                  [](FJsonObject& Object, const FQuorvexLongPressEvent& Press)
                                  {
                                      Object.SetNumberField("x", Press.X);
                                      Object.SetNumberField("y", Press.Y);
                                      Object.SetNumberField("durationMs", Press.DurationMs);
                                      Object.SetNumberField("timestamp", Ms(Press.Timestamp));
                                  }));
    Events->SetArrayField("keyEvents",
                          ToArray(Batch.KeyEvents,
                                  [](FJsonObject& Object, const FQuorvexKeyEventData& Key)
                                  {
                                      Object.SetNumberField("keyCode", Key.KeyCode);
                                      Object.SetStringField("key", Key.Key);
                                      Object.SetStringField("action", Key.Action);
                                      Object.SetNumberField("timestamp", Ms(Key.Timestamp));
                                  }));
    Events->SetArrayField("mouseButtons",
                          ToArray(Batch.MouseButtons,
                                  [](FJsonObject& Object, const FQuorvexMouseButtonEvent& Button)
                                  {
                                      Object.SetNumberField("button", Button.Button);
                                      Object.SetStringField("action", Button.Action);
                                      Object.SetNumberField("x", Button.X);
                                      Object.SetNumberField("y", Button.Y);
                                      Object.SetNumberField("timestamp", Ms(Button.Timestamp));
                                  }));
    Events->SetArrayField("scrolls",
                          ToArray(Batch.Scrolls,
                                  [](FJsonObject& Object, const FQuorvexScrollEvent& Scroll)
                                  {
                                      Object.SetNumberField("deltaX", Scroll.DeltaX);
                                      Object.SetNumberField("deltaY", Scroll.DeltaY);
                                      Object.SetNumberField("x", Scroll.X);
                                      Object.SetNumberField("y", Scroll.Y);
                                      Object.SetNumberField("timestamp", Ms(Scroll.Timestamp));
                                  }));
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

FJsonObjectPtr MetadataToJson(const FQuorvexEventMetadata& Metadata)
{
    FJsonObjectPtr Object = FJsonObject::Make();
    Object->SetNumberField("memoryUsageMb", Metadata.MemoryUsageMb);
    Object->SetNumberField("cpuUsagePercent", Metadata.CpuUsagePercent);
    Object->SetNumberField("batteryLevel", Metadata.BatteryLevel);
    Object->SetStringField("screenOrientation", Metadata.ScreenOrientation);
    return Object;
}
} // namespace

FString FQuorvexApiClient::BuildEventJson(const FQuorvexDetachedBatchData& Batch,
                                          const std::vector<FQuorvexMediaFrame>& Frames) const
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
        Media->SetArrayField("frames", ToArray(Frames, WriteEventFrame));
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
    Root.SetArrayField("frames", ToArray(Frames, WriteManifestFrame));
    return FJsonSerializer::Serialize(Root);
}
