// The sample game's view of the SDK's log: it prints the SDK's warnings and errors as
// they happen and keeps the books of the recording from the SDK's own lines: every
// frame the SDK stored, every frame it said it dropped (and why), and every batch it
// said it uploaded.
//
// Threads: Serialize runs on whichever thread logs, under the log's lock; the readers
// may be called from any thread.
#pragma once

#include "Logging.h"

#include <functional>
#include <map>
#include <mutex>
#include <string>

class FDemoLog : public FOutputDevice
{
public:
    // Called for each batch the SDK reports uploaded, with its sequence number and frames.
    explicit FDemoLog(std::function<void(int64 Sequence, int32 Frames)> InOnUploaded);

    void Serialize(const FLogLine& Line) override;

    int32 FramesStored() const;
    // Frames the SDK said will never reach the store, by the rule that dropped them
    // (the log line without its numbers).
    std::map<std::string, int32> FramesDropped() const;
    int32 Warnings() const;

private:
    std::function<void(int64, int32)> OnUploaded; // set at construction
    mutable std::mutex Mutex;
    int32 Stored = 0;                     // guarded by Mutex
    std::map<std::string, int32> Dropped; // guarded by Mutex
    int32 WarningCount = 0;               // guarded by Mutex
};
