// One batch: every gesture and screenshot gathered since the previous batch, stamped
// with its session, a sequence number and a metadata snapshot. The unit of upload,
// and what a pending batch file holds.
//
// Handed between the upload worker, the game-thread completion and a fallback save
// as a shared reference; whoever holds it may read it, one stage at a time writes.
#pragma once

#include "CoreTypes.h"
#include "QuorvexModels.h"
#include "QuorvexOfflineStore.h"

#include <vector>

struct FQuorvexDetachedBatchData
{
    FString SessionId;   // empty when no session existed
    int64 Timestamp = 0; // detach time, ms since the Unix epoch (UTC)
    int64 SequenceNumber = 0;
    FString InGameId;
    FString DeveloperPayload;
    std::vector<FQuorvexTapEvent> Taps;
    std::vector<FQuorvexSwipeEvent> Swipes;
    std::vector<FQuorvexLongPressEvent> LongPresses;
    std::vector<FQuorvexKeyEventData> KeyEvents;
    std::vector<FQuorvexMouseButtonEvent> MouseButtons;
    std::vector<FQuorvexScrollEvent> Scrolls;
    FQuorvexEventMetadata Metadata;
    std::vector<FQuorvexScreenshotRecord> ScreenshotRecords; // in capture order
    FString CaptureMode;                                     // "Screenshots" without a session
    FString ImageFormat;                                     // "Jpeg" without a session
};
