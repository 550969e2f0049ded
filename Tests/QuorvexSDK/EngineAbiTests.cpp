// The engine hooks: the layout check, the viewport-rendered and back-buffer hooks,
// the game window cache and the module's start-up switch.
#include "CommandLine.h"
#include "GameInstance.h"
#include "Logging.h"
#include "QuorvexEngineAbi.h"
#include "QuorvexSDKModule.h"
#include "QuorvexSubsystem.h"
#include "Reflection.h"
#include "Tasks.h"
#include "TestEngineScene.h"
#include "TestSupport.h"

#include <atomic>
#include <cstddef>
#include <gtest/gtest.h>

namespace
{
const char* const HookNotInstalled = "QuorvexSDK: Slate composite hook not installed: ";
const char* const HookInstalled =
    "QuorvexSDK: Slate composite hook installed: captured frames include Slate/UMG UI.";

class EngineAbiTest : public FEngineTestBase
{
protected:
    void TearDown() override
    {
        FQuorvexEngineAbi::Deactivate();
        FQuorvexEngineAbi::SetViewportRenderedHandler(nullptr);
        FQuorvexEngineAbi::SetSlateCaptureDisabled(false);
        FReflectionRegistry::ResetToEngineLayout();
        FQuorvexEngineAbi::ResetLayoutVerdictForTests();
        FCommandLine::Set("");
        // Module start-up registers the subsystem class for every later game instance.
        FSubsystemRegistry::Unregister("UQuorvexSubsystem");
        FEngineTestBase::TearDown();
    }

    // Describes GameViewport at another member's offset, as a differently built engine would.
    static void ForceLayoutMismatch()
    {
        FReflectionRegistry::RegisterObjectProperty("UEngine", "GameViewport",
                                                    offsetof(UEngine, GameSingleton));
        FQuorvexEngineAbi::ResetLayoutVerdictForTests();
    }

    FLogCapture Log;
};
} // namespace

TEST_F(EngineAbiTest, MatchingLayoutIsVerifiedAndTheVerdictKept)
{
    FString Reason = "stale";
    EXPECT_TRUE(FQuorvexEngineAbi::VerifyEngineLayout(Reason));
    EXPECT_EQ(Reason, "");
    // The verdict stays even when the description changes afterwards.
    FReflectionRegistry::RegisterObjectProperty("UEngine", "GameViewport", 0);
    EXPECT_TRUE(FQuorvexEngineAbi::VerifyEngineLayout(Reason));
}

TEST_F(EngineAbiTest, MismatchNamesBothOffsets)
{
    ForceLayoutMismatch();
    FString Reason;
    EXPECT_FALSE(FQuorvexEngineAbi::VerifyEngineLayout(Reason));
    char Expected[300];
    std::snprintf(Expected, sizeof(Expected),
                  "Engine ABI mismatch: UEngine::GameViewport reflected offset 0x%zx != compiled "
                  "offset 0x%zx \xE2\x80\x94 this engine's class layout differs from the headers "
                  "this SDK binary was built against",
                  offsetof(UEngine, GameSingleton), offsetof(UEngine, GameViewport));
    EXPECT_EQ(Reason, Expected);
    FReflectionRegistry::ResetToEngineLayout();
    EXPECT_FALSE(FQuorvexEngineAbi::VerifyEngineLayout(Reason)); // cached
}

TEST_F(EngineAbiTest, MissingPropertyIsNotAVerdict)
{
    FReflectionRegistry::UnregisterProperty("UEngine", "GameViewport");
    FString Reason;
    EXPECT_FALSE(FQuorvexEngineAbi::VerifyEngineLayout(Reason));
    EXPECT_EQ(Reason, "UEngine has no reflected GameViewport property \xE2\x80\x94 cannot verify "
                      "engine ABI");
    FReflectionRegistry::ResetToEngineLayout();
    EXPECT_TRUE(FQuorvexEngineAbi::VerifyEngineLayout(Reason));
}

TEST_F(EngineAbiTest, MismatchWarnsOncePerActivationAndKeepsTheHookOff)
{
    FTestEngineScene Scene;
    ForceLayoutMismatch();
    FQuorvexEngineAbi::Activate();
    Scene.Tick(3); // every rendered viewport retries the installation
    EXPECT_EQ(Log.Count(HookNotInstalled), 1);
    EXPECT_TRUE(
        Log.Has(ELogVerbosity::Warning,
                FString(HookNotInstalled) +
                    "Engine ABI mismatch: UEngine::GameViewport "
                    "reflected offset 0x0 != compiled offset 0x8 \xE2\x80\x94 this engine's "
                    "class layout differs from the headers this SDK binary was built "
                    "against. Captured frames will contain the 3D scene and HUD canvas but "
                    "NOT Slate/UMG UI."));
    EXPECT_FALSE(FQuorvexEngineAbi::IsBackBufferHookInstalled());
    // The viewport is still found, so the viewport path can capture.
    EXPECT_EQ(FQuorvexEngineAbi::GetRenderedViewport(), Scene.Client->GetGameViewport());

    FQuorvexEngineAbi::Deactivate();
    FQuorvexEngineAbi::Activate();
    Scene.Tick();
    EXPECT_EQ(Log.Count(HookNotInstalled), 2);
}

TEST_F(EngineAbiTest, HooksForwardToTheHandlersOnTheirThreads)
{
    FTestEngineScene Scene;
    std::atomic<int32> BackBufferCalls{0};
    std::atomic<bool> bRenderThread{true};
    std::atomic<FRHITexture*> SeenBackBuffer{nullptr};
    FQuorvexEngineAbi::SetBackBufferReadyHandler(
        [&](SWindow* Window, FRHITexture* BackBuffer)
        {
            bRenderThread = bRenderThread && IsInRenderingThread() && Window == Scene.Window.get();
            SeenBackBuffer = BackBuffer;
            ++BackBufferCalls;
        });
    int32 ViewportCalls = 0;
    FQuorvexEngineAbi::SetViewportRenderedHandler([&](FViewport*) { ++ViewportCalls; });
    FQuorvexEngineAbi::Activate();
    FQuorvexEngineAbi::Activate(); // a second activation adds nothing
    EXPECT_TRUE(FQuorvexEngineAbi::IsBackBufferHookInstalled());
    EXPECT_EQ(Log.Count(HookInstalled), 1);
    Scene.Tick(2);
    FlushRenderingCommands();
    EXPECT_EQ(ViewportCalls, 2);
    EXPECT_EQ(BackBufferCalls.load(), 2);
    EXPECT_TRUE(bRenderThread);
    EXPECT_EQ(SeenBackBuffer.load(), Scene.Window->GetViewportRHI()->GetBackBuffer().get());
    EXPECT_EQ(FQuorvexEngineAbi::GetGameViewport(), Scene.Client.get());

    FQuorvexEngineAbi::Deactivate();
    Scene.Tick();
    FlushRenderingCommands();
    EXPECT_EQ(ViewportCalls, 2);
    EXPECT_EQ(BackBufferCalls.load(), 2);
    EXPECT_FALSE(FQuorvexEngineAbi::IsBackBufferHookInstalled());
    EXPECT_EQ(FQuorvexEngineAbi::GetGameWindow(), nullptr);
    EXPECT_EQ(FQuorvexEngineAbi::GetRenderedViewport(), nullptr);
}

TEST_F(EngineAbiTest, GameWindowCacheFollowsTheViewportWidget)
{
    FTestSceneOptions Options;
    Options.DpiScale = 1.5f;
    Options.ViewportPosition = {7.f, 2.f};   // 10.5, 3 pixels
    Options.ViewportSlotSize = {33.f, 10.f}; // 49.5, 15 pixels
    FTestEngineScene Scene(Options);
    FQuorvexEngineAbi::Activate();
    Scene.Tick();
    EXPECT_EQ(FQuorvexEngineAbi::GetGameWindow(), Scene.Window.get());
    EXPECT_EQ(FQuorvexEngineAbi::GetGameViewportRect(), FIntRect(11, 3, 61, 18));
    EXPECT_EQ(Log.Count("QuorvexSDK: game window cache refreshed: "), 1);

    // Moving the widget, then resizing the viewport, are both picked up.
    Scene.Window->SetViewportSlot(Scene.Client->GetGameViewportWidget(), {20.f, 20.f},
                                  {33.f, 10.f});
    Scene.Tick();
    EXPECT_EQ(FQuorvexEngineAbi::GetGameViewportRect(), FIntRect(30, 30, 80, 45));
    Scene.Client->GetGameViewport()->Resize(64, 48);
    Scene.Tick(2);
    EXPECT_EQ(Log.Count("QuorvexSDK: game window cache refreshed: "), 3);
    EXPECT_EQ(Log.Count("viewport=64x48"), 1);
}

TEST_F(EngineAbiTest, ViewportWithoutWidthIsNeverReported)
{
    FTestEngineScene Scene;
    Scene.Client->GetGameViewport()->Resize(0, 96);
    int32 Calls = 0;
    FQuorvexEngineAbi::SetViewportRenderedHandler([&](FViewport*) { ++Calls; });
    FQuorvexEngineAbi::Activate();
    Scene.Tick(2);
    EXPECT_EQ(Calls, 0);
    EXPECT_EQ(FQuorvexEngineAbi::GetRenderedViewport(), nullptr);
}

TEST_F(EngineAbiTest, ReplacedViewportClientTakesItsViewportAlong)
{
    FTestEngineScene Scene;
    FQuorvexEngineAbi::Activate();
    Scene.Tick();
    ASSERT_EQ(FQuorvexEngineAbi::GetRenderedViewport(), Scene.Client->GetGameViewport());
    // The host replaces its viewport client; the old one's viewport is destroyed.
    auto Replacement = std::make_unique<UGameViewportClient>(64, 48);
    Scene.Engine.GameViewport = Replacement.get();
    std::swap(Scene.Client, Replacement);
    Replacement.reset();
    EXPECT_EQ(FQuorvexEngineAbi::GetRenderedViewport(), nullptr);
    Scene.Client->Draw(1);
    FlushRenderingCommands();
    EXPECT_EQ(FQuorvexEngineAbi::GetRenderedViewport(), Scene.Client->GetGameViewport());
    {
        FViewport Unrelated(8, 8); // destroying a viewport never reported changes nothing
    }
    EXPECT_EQ(FQuorvexEngineAbi::GetRenderedViewport(), Scene.Client->GetGameViewport());
}

TEST_F(EngineAbiTest, HookWaitsForSlateAndIsInstalledAfterTheNextRenderedViewport)
{
    FTestEngineScene Scene;
    FSlateApplication::Get().SetRendererEnabled(false);
    FQuorvexEngineAbi::Activate();
    EXPECT_FALSE(FQuorvexEngineAbi::IsBackBufferHookInstalled());
    Scene.Tick();
    EXPECT_FALSE(FQuorvexEngineAbi::IsBackBufferHookInstalled());
    FSlateApplication::Get().SetRendererEnabled(true);
    Scene.Tick();
    EXPECT_TRUE(FQuorvexEngineAbi::IsBackBufferHookInstalled());
    EXPECT_EQ(Log.Count(HookNotInstalled), 0);
}

TEST_F(EngineAbiTest, NoSlateCaptureSwitchKeepsTheHookOff)
{
    FCommandLine::Set("Game.exe -windowed -QuorvexNoSlateCapture");
    FQuorvexSDKModule Module;
    Module.StartupModule();
    EXPECT_TRUE(FQuorvexEngineAbi::IsSlateCaptureDisabled());
    EXPECT_TRUE(Log.Has(ELogVerbosity::Warning,
                        "QuorvexSDK: -QuorvexNoSlateCapture: the Slate composite hook is disabled. "
                        "Captured frames will contain the 3D scene and HUD canvas but NOT "
                        "Slate/UMG UI."));
    FTestEngineScene Scene;
    FQuorvexEngineAbi::Activate();
    Scene.Tick(2);
    EXPECT_FALSE(FQuorvexEngineAbi::IsBackBufferHookInstalled());
    EXPECT_EQ(Log.Count("-QuorvexNoSlateCapture"), 1);
    EXPECT_EQ(Log.Count(HookNotInstalled), 0);
}

TEST_F(EngineAbiTest, StartupWithoutTheSwitchLeavesCaptureAlone)
{
    FCommandLine::Set("Game.exe -QuorvexNoSlateCaptureX");
    FQuorvexSDKModule Module;
    Module.StartupModule();
    EXPECT_FALSE(FQuorvexEngineAbi::IsSlateCaptureDisabled());
    EXPECT_EQ(Log.Count("QuorvexNoSlateCapture"), 0);
    // Game instances made from now on carry the SDK's subsystem.
    UGameInstance Instance;
    Instance.Init();
    EXPECT_NE(Instance.GetSubsystem<UQuorvexSubsystem>(), nullptr);
    Instance.Shutdown();
}
