// The subsystem's side of input: while capturing, its tick ticks the tracker with
// the world's first player; pause and stop park the tracker's gestures in the live
// batch and reset it; the stop flush clears them (uploads are not built yet).
#include "GameInstance.h"
#include "QuorvexSubsystem.h"
#include "QuorvexSubsystemTestPeer.h"
#include "TestEngineScene.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace
{
class SubsystemInput : public FEngineTestBase
{
protected:
    void SetUp() override
    {
        FEngineTestBase::SetUp();
        Scene = std::make_unique<FTestEngineScene>();
        FSubsystemRegistry::Register<UQuorvexSubsystem>("UQuorvexSubsystem");
        Instance.SetWorld(&Scene->World);
        Instance.Init();
        Subsystem = Instance.GetSubsystem<UQuorvexSubsystem>();
        Subsystem->BaseHostUrlOverride = "http://127.0.0.1:" + std::to_string(ClosedLoopbackPort());
        Peer = std::make_unique<FQuorvexSubsystemTestPeer>(*Subsystem);
        Subsystem->StartSessionNative("player", "", nullptr);
        FQuorvexSessionData Session;
        Session.SessionId = "session-1";
        Session.UploadCredentials.UploadUrl = "http://127.0.0.1:1/upload";
        Peer->CreateSession(Session);
        Scene->Tick();
    }

    void TearDown() override
    {
        Peer.reset();
        Instance.Shutdown();
        FSubsystemRegistry::Unregister("UQuorvexSubsystem");
        Scene.reset();
        FEngineTestBase::TearDown();
    }

    FSyntheticOsInput& Os()
    {
        return FSlateApplication::Get().GetPlatformApplication()->GetOsInput();
    }

    void Click()
    {
        Os().PressMouseButton(EMouseButtons::Left);
        Scene->Tick();
        Os().ReleaseMouseButton(EMouseButtons::Left);
        Scene->Tick();
    }

    std::unique_ptr<FTestEngineScene> Scene;
    UGameInstance Instance;
    UQuorvexSubsystem* Subsystem = nullptr;
    std::unique_ptr<FQuorvexSubsystemTestPeer> Peer;
};
} // namespace

TEST_F(SubsystemInput, PauseAndStopParkTheTrackersGesturesInTheLiveBatch)
{
    ASSERT_EQ(Subsystem->GetSdkState(), EQuorvexSdkState::SDK_STATE_CAPTURING);
    Click();
    ASSERT_EQ(Subsystem->PauseSession(), EQuorvexSdkResponse::QUORVEX_SUCCESS);
    EXPECT_EQ(Peer->LiveBatch().Gestures.Taps.size(), 1u);
    EXPECT_EQ(Peer->LiveBatch().Gestures.MouseButtons.size(), 2u);
    EXPECT_EQ(FSlateApplication::Get().NumInputPreProcessors(), 0) << "the tracker was reset";

    // Input while paused is not recorded.
    Os().PressKey('A');
    Os().ReleaseKey('A');
    Scene->Tick();
    Subsystem->ResumeSessionNative(nullptr);
    Scene->Tick(2);
    ASSERT_EQ(Subsystem->GetSdkState(), EQuorvexSdkState::SDK_STATE_CAPTURING);
    Os().PressKey('D');
    Os().ScrollWheel(2.f);
    Scene->Tick();
    Click();

    Subsystem->StopSessionNative(nullptr);
    const FQuorvexGestures& Live = Peer->LiveBatch().Gestures;
    ASSERT_EQ(Live.KeyEvents.size(), 1u);
    EXPECT_EQ(Live.KeyEvents[0].Key, "D");
    EXPECT_EQ(Live.Scrolls.size(), 1u);
    EXPECT_EQ(Live.Taps.size(), 2u) << "after the one parked by the pause";
    EXPECT_EQ(Live.MouseButtons.size(), 4u);

    // The stop flush ends with the live batch cleared.
    ASSERT_TRUE(PumpUntil(
        [&]
        {
            Scene->Tick();
            return Subsystem->GetSdkState() == EQuorvexSdkState::SDK_STATE_IDLE;
        }));
    EXPECT_TRUE(Peer->LiveBatch().Gestures.Taps.empty());
    EXPECT_TRUE(Peer->LiveBatch().Gestures.KeyEvents.empty());
}
