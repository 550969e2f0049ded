#include "QuorvexSubsystemTestBase.h"

#include "CoreDelegates.h"
#include "Tasks.h"

void FQuorvexSubsystemTestBase::SetUp()
{
    FEngineTestBase::SetUp();
    GIsEditor = false;
    Subsystem = std::make_unique<UQuorvexSubsystem>();
    Peer = std::make_unique<FQuorvexSubsystemTestPeer>(*Subsystem);
    FSubsystemCollectionBase Collection;
    Subsystem->Initialize(Collection);
    // Nothing in these tests may reach a real host.
    Subsystem->BaseHostUrlOverride = "http://127.0.0.1:" + std::to_string(ClosedLoopbackPort());
    // The log switches are process-wide: start every test from their defaults.
    Subsystem->SetDebugLogsEnabled(true, false);
    Subsystem->SetTimingLogsEnabled(false, false);
    Subsystem->OnSdkStateChanged.Add(
        [this](EQuorvexSdkState Old, EQuorvexSdkState New, const FString& Reason) {
            Changes.push_back({Old, New, Reason});
        });
    Log.Clear();
}

void FQuorvexSubsystemTestBase::TearDown()
{
    Subsystem->Deinitialize();
    Pump();
    Peer.reset();
    Subsystem.reset();
    GIsEditor = false;
    FEngineTestBase::TearDown();
}

void FQuorvexSubsystemTestBase::Pump()
{
    while (FTaskGraph::PumpGameThreadTasks() > 0)
    {
    }
}

FQuorvexSessionData FQuorvexSubsystemTestBase::MakeSession(int32 UploadIntervalMs,
                                                           int32 HeartbeatSeconds)
{
    FQuorvexSessionData Data;
    Data.SessionId = "session-1";
    Data.StorageProvider = "GCS";
    Data.CaptureConfig.UploadIntervalMs = UploadIntervalMs;
    Data.CaptureConfig.HeartbeatIntervalSeconds = HeartbeatSeconds;
    Data.UploadCredentials.UploadUrl = "http://127.0.0.1:1/upload";
    return Data;
}

void FQuorvexSubsystemTestBase::StartCapturing(const FQuorvexSessionData& Data)
{
    Subsystem->StartSessionNative("player", "payload", nullptr);
    Peer->CreateSession(Data);
    Pump();
}
