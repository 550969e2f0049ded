// The pending batch file: one JSON object per batch. Integers are written from
// their integer value and read back by truncating the number; floats are widened to
// double, so a value written and read back is the same float. Readers accept the
// indented and the compact form.
#include "QuorvexBatchJson.h"
#include "QuorvexDetachedBatchData.h"
#include "QuorvexOfflineStore.h"

#include "Hashing.h"
#include "JsonSerializer.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace
{
// ---- Writing ----

void WriteFrameRecord(FJsonObject& Object, const FQuorvexScreenshotRecord& Record)
{
    Object.SetNumberField("timestamp", static_cast<double>(Record.Timestamp));
    Object.SetNumberField("captureDurationMs", Record.CaptureDurationMs);
    Object.SetNumberField("mainThreadCaptureMs", Record.MainThreadCaptureMs);
    Object.SetNumberField("width", Record.Width);
    Object.SetNumberField("height", Record.Height);
    Object.SetNumberField("byteSize", static_cast<double>(Record.ByteSize));
    if (!Record.FilePath.empty())
    {
        Object.SetStringField("filePath", Record.FilePath);
    }
    else if (!Record.JpegBytes.empty())
    {
        Object.SetStringField("base64",
                              FBase64::Encode(Record.JpegBytes.data(), Record.JpegBytes.size()));
    }
    else if (!Record.Base64Jpeg.empty())
    {
        Object.SetStringField("base64", Record.Base64Jpeg);
    }
}

// ---- Reading ----

// The number truncated towards zero, held inside the target's range (a damaged file
// must not turn into an out-of-range conversion); 0 when absent or not a number.
template <typename TInt> TInt ReadInteger(const FJsonObject& Object, const char* Key)
{
    double Value = 0.0;
    if (!Object.TryGetNumberField(Key, Value) || std::isnan(Value))
    {
        return 0;
    }
    // The type's limits are powers of two, so both bounds are exact doubles.
    constexpr double Lowest = static_cast<double>(std::numeric_limits<TInt>::min());
    if (Value <= Lowest)
    {
        return std::numeric_limits<TInt>::min();
    }
    if (Value >= -Lowest)
    {
        return std::numeric_limits<TInt>::max();
    }
    return static_cast<TInt>(Value); // truncates towards zero
}

float ReadFloat(const FJsonObject& Object, const char* Key)
{
    double Value = 0.0;
    if (!Object.TryGetNumberField(Key, Value) || std::isnan(Value))
    {
        return 0.f;
    }
    constexpr double Max = std::numeric_limits<float>::max();
    return static_cast<float>(std::clamp(Value, -Max, Max));
}

void ReadString(const FJsonObject& Object, const char* Key, FString& Out)
{
    Object.TryGetStringField(Key, Out); // an absent key leaves the field as it was
}

// Appends one element per object item of the array under Key; other items are skipped.
template <typename TEvent, typename TReader>
void AppendArray(const FJsonObject& Object, const char* Key, std::vector<TEvent>& Out,
                 TReader Reader)
{
    const FJsonArray* Array = nullptr;
    if (!Object.TryGetArrayField(Key, Array) || !Array)
    {
        return;
    }
    for (const FJsonValuePtr& Item : *Array)
    {
        FJsonObjectPtr ItemObject;
        if (Item && Item->Type() == EJson::Object && Item->TryGetObject(ItemObject) && ItemObject)
        {
            TEvent Event;
            Reader(*ItemObject, Event);
            Out.push_back(std::move(Event));
        }
    }
}

void ReadTap(const FJsonObject& Object, FQuorvexTapEvent& Tap)
{
    Tap.X = ReadFloat(Object, "x");
    Tap.Y = ReadFloat(Object, "y");
    Tap.Pressure = ReadFloat(Object, "pressure");
    Tap.Timestamp = ReadInteger<int64>(Object, "timestamp");
}

void ReadSwipe(const FJsonObject& Object, FQuorvexSwipeEvent& Swipe)
{
    Swipe.StartX = ReadFloat(Object, "startX");
    Swipe.StartY = ReadFloat(Object, "startY");
    Swipe.EndX = ReadFloat(Object, "endX");
    Swipe.EndY = ReadFloat(Object, "endY");
    Swipe.DurationMs = ReadInteger<int32>(Object, "durationMs");
    Swipe.Timestamp = ReadInteger<int64>(Object, "timestamp");
}

void ReadLongPress(const FJsonObject& Object, FQuorvexLongPressEvent& Press)
{
    Press.X = ReadFloat(Object, "x");
    Press.Y = ReadFloat(Object, "y");
    Press.DurationMs = ReadInteger<int32>(Object, "durationMs");
    Press.Timestamp = ReadInteger<int64>(Object, "timestamp");
}

void ReadKey(const FJsonObject& Object, FQuorvexKeyEventData& Key)
{
    Key.KeyCode = ReadInteger<int32>(Object, "keyCode");
    ReadString(Object, "key", Key.Key);
    ReadString(Object, "action", Key.Action);
    Key.Timestamp = ReadInteger<int64>(Object, "timestamp");
}

void ReadMouseButton(const FJsonObject& Object, FQuorvexMouseButtonEvent& Button)
{
    Button.Button = ReadInteger<int32>(Object, "button");
    ReadString(Object, "action", Button.Action);
    Button.X = ReadFloat(Object, "x");
    Button.Y = ReadFloat(Object, "y");
    Button.Timestamp = ReadInteger<int64>(Object, "timestamp");
}

void ReadScroll(const FJsonObject& Object, FQuorvexScrollEvent& Scroll)
{
    Scroll.DeltaX = ReadFloat(Object, "deltaX");
    Scroll.DeltaY = ReadFloat(Object, "deltaY");
    Scroll.X = ReadFloat(Object, "x");
    Scroll.Y = ReadFloat(Object, "y");
    Scroll.Timestamp = ReadInteger<int64>(Object, "timestamp");
}

void ReadFrameRecord(const FJsonObject& Object, FQuorvexScreenshotRecord& Record)
{
    Record.Timestamp = ReadInteger<int64>(Object, "timestamp");
    Record.CaptureDurationMs = ReadInteger<int32>(Object, "captureDurationMs");
    Record.MainThreadCaptureMs = ReadInteger<int32>(Object, "mainThreadCaptureMs");
    Record.Width = ReadInteger<int32>(Object, "width");
    Record.Height = ReadInteger<int32>(Object, "height");
    Record.ByteSize = ReadInteger<int64>(Object, "byteSize");
    ReadString(Object, "filePath", Record.FilePath);
    ReadString(Object, "base64", Record.Base64Jpeg);
}

void ReadMetadata(const FJsonObject& Object, FQuorvexEventMetadata& Metadata)
{
    Metadata.MemoryUsageMb = ReadInteger<int32>(Object, "memoryUsageMb");
    Metadata.CpuUsagePercent = ReadInteger<int32>(Object, "cpuUsagePercent");
    Metadata.BatteryLevel = ReadInteger<int32>(Object, "batteryLevel");
    ReadString(Object, "screenOrientation", Metadata.ScreenOrientation);
}
} // namespace

FString FQuorvexOfflineStore::SerializePendingBatch(const FQuorvexDetachedBatchData& Batch)
{
    FJsonObject Root;
    Root.SetStringField("sessionId", Batch.SessionId);
    Root.SetNumberField("timestamp", static_cast<double>(Batch.Timestamp));
    Root.SetNumberField("sequenceNumber", static_cast<double>(Batch.SequenceNumber));
    Root.SetStringField("inGameId", Batch.InGameId);
    Root.SetStringField("developerPayload", Batch.DeveloperPayload);
    Root.SetStringField("captureMode", Batch.CaptureMode);
    Root.SetStringField("imageFormat", Batch.ImageFormat);
    WriteInputEventArrays(Root, Batch);
    Root.SetObjectField("metadata", MetadataToJson(Batch.Metadata));
    Root.SetArrayField("frameRecords",
                       ToJsonObjectArray(Batch.ScreenshotRecords, WriteFrameRecord));
    return FJsonSerializer::Serialize(Root, /*bPretty=*/false);
}

void FQuorvexOfflineStore::ReadPendingBatch(const FJsonObject& Object,
                                            FQuorvexDetachedBatchData& Batch)
{
    ReadString(Object, "sessionId", Batch.SessionId);
    Batch.Timestamp = ReadInteger<int64>(Object, "timestamp");
    Batch.SequenceNumber = ReadInteger<int64>(Object, "sequenceNumber");
    ReadString(Object, "inGameId", Batch.InGameId);
    ReadString(Object, "developerPayload", Batch.DeveloperPayload);
    ReadString(Object, "captureMode", Batch.CaptureMode);
    ReadString(Object, "imageFormat", Batch.ImageFormat);
    AppendArray(Object, "taps", Batch.Taps, ReadTap);
    AppendArray(Object, "swipes", Batch.Swipes, ReadSwipe);
    AppendArray(Object, "longPresses", Batch.LongPresses, ReadLongPress);
    AppendArray(Object, "keyEvents", Batch.KeyEvents, ReadKey);
    AppendArray(Object, "mouseButtons", Batch.MouseButtons, ReadMouseButton);
    AppendArray(Object, "scrolls", Batch.Scrolls, ReadScroll);
    FJsonObjectPtr Metadata;
    if (Object.HasTypedField("metadata", EJson::Object) &&
        Object.TryGetObjectField("metadata", Metadata) && Metadata)
    {
        ReadMetadata(*Metadata, Batch.Metadata);
    }
    AppendArray(Object, "frameRecords", Batch.ScreenshotRecords, ReadFrameRecord);
}
