// A fixture holding one initialised subsystem, a log capture, and the list of
// public state changes it raised.
#pragma once

#include "Logging.h"
#include "QuorvexSubsystem.h"
#include "QuorvexSubsystemTestPeer.h"
#include "TestSupport.h"

#include <memory>
#include <optional>
#include <vector>

struct FStateChange
{
    EQuorvexSdkState Old;
    EQuorvexSdkState New;
    FString Reason;
    bool operator==(const FStateChange&) const = default;
};

// Records one completion: whether and with what it was called.
struct FCompletionProbe
{
    std::optional<EQuorvexSdkResponse> Response;
    FString Message;
    int32 Calls = 0;

    FQuorvexLifecycleCompleteNative Callback()
    {
        return [this](EQuorvexSdkResponse InResponse, const FString& InMessage)
        {
            Response = InResponse;
            Message = InMessage;
            ++Calls;
        };
    }
};

class FQuorvexSubsystemTestBase : public FEngineTestBase
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs every queued game-thread task (completions, hops).
    void Pump();
    // A usable session with the given intervals.
    static FQuorvexSessionData MakeSession(int32 UploadIntervalMs = 60000,
                                           int32 HeartbeatSeconds = 0);
    // Start, then complete the session create: the subsystem ends up capturing.
    void StartCapturing(const FQuorvexSessionData& Data = MakeSession());

    FLogCapture Log;
    std::unique_ptr<UQuorvexSubsystem> Subsystem;
    std::unique_ptr<FQuorvexSubsystemTestPeer> Peer;
    std::vector<FStateChange> Changes;
};
