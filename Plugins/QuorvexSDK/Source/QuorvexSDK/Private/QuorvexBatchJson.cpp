#include "QuorvexBatchJson.h"

namespace
{
double Ms(int64 Value)
{
    return static_cast<double>(Value);
}

void WriteTap(FJsonObject& Object, const FQuorvexTapEvent& Tap)
{
    Object.SetNumberField("x", Tap.X);
    Object.SetNumberField("y", Tap.Y);
    Object.SetNumberField("pressure", Tap.Pressure);
    Object.SetNumberField("timestamp", Ms(Tap.Timestamp));
}

void WriteSwipe(FJsonObject& Object, const FQuorvexSwipeEvent& Swipe)
{
    Object.SetNumberField("startX", Swipe.StartX);
    Object.SetNumberField("startY", Swipe.StartY);
    Object.SetNumberField("endX", Swipe.EndX);
    Object.SetNumberField("endY", Swipe.EndY);
    Object.SetNumberField("durationMs", Swipe.DurationMs);
    Object.SetNumberField("timestamp", Ms(Swipe.Timestamp));
}

void WriteLongPress(FJsonObject& Object, const FQuorvexLongPressEvent& Press)
{
    Object.SetNumberField("x", Press.X);
    Object.SetNumberField("y", Press.Y);
    Object.SetNumberField("durationMs", Press.DurationMs);
    Object.SetNumberField("timestamp", Ms(Press.Timestamp));
}

void WriteKey(FJsonObject& Object, const FQuorvexKeyEventData& Key)
{
    Object.SetNumberField("keyCode", Key.KeyCode);
    Object.SetStringField("key", Key.Key);
    Object.SetStringField("action", Key.Action);
    Object.SetNumberField("timestamp", Ms(Key.Timestamp));
}

void WriteMouseButton(FJsonObject& Object, const FQuorvexMouseButtonEvent& Button)
{
    Object.SetNumberField("button", Button.Button);
    Object.SetStringField("action", Button.Action);
    Object.SetNumberField("x", Button.X);
    Object.SetNumberField("y", Button.Y);
    Object.SetNumberField("timestamp", Ms(Button.Timestamp));
}

void WriteScroll(FJsonObject& Object, const FQuorvexScrollEvent& Scroll)
{
    Object.SetNumberField("deltaX", Scroll.DeltaX);
    Object.SetNumberField("deltaY", Scroll.DeltaY);
    Object.SetNumberField("x", Scroll.X);
    Object.SetNumberField("y", Scroll.Y);
    Object.SetNumberField("timestamp", Ms(Scroll.Timestamp));
}
} // namespace

void WriteInputEventArrays(FJsonObject& Target, const FQuorvexDetachedBatchData& Batch)
{
    Target.SetArrayField("taps", ToJsonObjectArray(Batch.Taps, WriteTap));
    Target.SetArrayField("swipes", ToJsonObjectArray(Batch.Swipes, WriteSwipe));
    Target.SetArrayField("longPresses", ToJsonObjectArray(Batch.LongPresses, WriteLongPress));
    Target.SetArrayField("keyEvents", ToJsonObjectArray(Batch.KeyEvents, WriteKey));
    Target.SetArrayField("mouseButtons", ToJsonObjectArray(Batch.MouseButtons, WriteMouseButton));
    Target.SetArrayField("scrolls", ToJsonObjectArray(Batch.Scrolls, WriteScroll));
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
