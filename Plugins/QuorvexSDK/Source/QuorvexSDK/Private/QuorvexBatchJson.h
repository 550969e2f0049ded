// JSON pieces of a batch shared by the uploaded events document and the pending
// batch file, so both always spell an event and the system snapshot the same way.
#pragma once

#include "JsonValue.h"
#include "QuorvexDetachedBatchData.h"

#include <vector>

// One object per item, filled by Writer(FJsonObject&, const TItem&).
template <typename TItem, typename TWriter>
FJsonArray ToJsonObjectArray(const std::vector<TItem>& Items, TWriter Writer)
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

// Sets "taps", "swipes", "longPresses", "keyEvents", "mouseButtons" and "scrolls".
void WriteInputEventArrays(FJsonObject& Target, const FQuorvexDetachedBatchData& Batch);
// { memoryUsageMb, cpuUsagePercent, batteryLevel, screenOrientation }
FJsonObjectPtr MetadataToJson(const FQuorvexEventMetadata& Metadata);
