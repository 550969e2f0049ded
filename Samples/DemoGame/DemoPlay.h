// One play of the sample game: the scene, the SDK inside its game instance, a session
// from start to stop, paced like a game with vertical sync, and what the recorder
// cost while it ran. The SDK's working folder is a temporary one, removed at the end.
//
// Game thread (the caller's) only.
#pragma once

#include "DemoCost.h"
#include "DemoInput.h"
#include "DemoLog.h"
#include "DemoOptions.h"

#include <atomic>

struct FDemoPlayResult
{
    bool bStarted = false;     // the start completed
    bool bStartFailed = false; // ...with an error
    FString StartMessage;
    bool bStopped = false; // the stop completed
    FString SessionId;     // the session the play ended in
    FDemoCostReport Cost;
    FDemoInputScript::FCounts InputPlayed;
    int32 GameEvents = 0; // sent by the game through the SDK
};

// Plays until the options' time is up or StopRequested is raised, then stops the
// session. Log receives the SDK's log lines while it plays.
FDemoPlayResult PlayDemo(const FDemoOptions& Options, const FString& BackendUrl, FDemoLog& Log,
                         const std::atomic<bool>& StopRequested);
