// Slate and the game viewport inside the engine loop: composition of the viewport
// and the user interface into the back buffer, the present event, the
// viewport-rendered event and the reflected layout of the engine object.
#include "Reflection.h"
#include "RhiCommandList.h"
#include "Tasks.h"
#include "TestEngineScene.h"
#include "TestSupport.h"

#include <atomic>
#include <cstddef>
#include <gtest/gtest.h>

namespace
{
class SlateTest : public FEngineTestBase
{
};

std::array<uint8, 3> BackBufferRgb(const FTestEngineScene& Scene, int32 X, int32 Y)
{
    const FRHITexture& BackBuffer = *Scene.Window->GetViewportRHI()->GetBackBuffer();
    const uint8* P = BackBuffer.GetRow(Y) + X * 4;
    return {P[2], P[1], P[0]};
}
} // namespace

TEST(SlateGeometryTest, PixelRectanglesRoundHalvesUp)
{
    struct FCase
    {
        FGeometry Geometry;
        FIntRect Expected;
    };
    const FCase Cases[] = {
        {{{16.f, 8.f}, {128.f, 96.f}, 1.f}, {16, 8, 144, 104}},
        {{{10.5f, 3.49f}, {99.5f, 20.5f}, 1.f}, {11, 3, 111, 24}},
        // 7 x 1.5 = 10.5 -> 11; 33 x 1.5 = 49.5 -> 50.
        {FGeometry{{0.f, 0.f}, {100.f, 100.f}, 1.5f}.MakeChild({7.f, 2.f}, {33.f, 10.f}),
         {11, 3, 61, 18}},
    };
    for (const FCase& Case : Cases)
    {
        EXPECT_EQ(RoundGeometryToPixels(Case.Geometry), Case.Expected);
    }
}

TEST_F(SlateTest, WindowShowsTheViewportWithTheInterfaceOnTop)
{
    FTestEngineScene Scene;
    Scene.Tick();
    FlushRenderingCommands();
    // Viewport at (16, 8), 128 x 96, drawn 1:1; box at (20, 10), 8 x 4.
    EXPECT_EQ(BackBufferRgb(Scene, 16, 8), FTestEngineScene::ScenePixel(0, 0));
    EXPECT_EQ(BackBufferRgb(Scene, 143, 103), FTestEngineScene::ScenePixel(127, 95));
    EXPECT_EQ(BackBufferRgb(Scene, 100, 50), FTestEngineScene::ScenePixel(84, 42));
    EXPECT_EQ(BackBufferRgb(Scene, 20, 10), FTestEngineScene::OverlayRgb);
    EXPECT_EQ(BackBufferRgb(Scene, 27, 13), FTestEngineScene::OverlayRgb);
    EXPECT_EQ(BackBufferRgb(Scene, 28, 13), FTestEngineScene::ScenePixel(12, 5));
    const std::array<uint8, 3> Background{13, 13, 13};
    EXPECT_EQ(BackBufferRgb(Scene, 15, 8), Background);
    EXPECT_EQ(BackBufferRgb(Scene, 144, 104), Background);
    EXPECT_EQ(Scene.Window->GetViewportRHI()->GetPresentCount(), 1u);
    EXPECT_EQ(GDynamicRHI->GetValidationErrorCount(), 0);
}

TEST_F(SlateTest, BackBufferReadyFiresOnTheRenderThreadBeforeEachPresent)
{
    FTestEngineScene Scene;
    std::atomic<int32> Calls{0};
    std::atomic<bool> bOnRenderThread{true};
    std::atomic<bool> bRightArguments{true};
    std::atomic<uint64> PresentsSeen{0};
    const FDelegateHandle Handle =
        FSlateApplication::Get().GetRenderer()->OnBackBufferReadyToPresent().Add(
            [&](SWindow& Window, FRHITexture* BackBuffer)
            {
                bOnRenderThread = bOnRenderThread && IsInRenderingThread();
                bRightArguments = bRightArguments && &Window == Scene.Window.get() &&
                                  BackBuffer == Window.GetViewportRHI()->GetBackBuffer().get();
                PresentsSeen = Window.GetViewportRHI()->GetPresentCount();
                ++Calls;
            });
    Scene.Tick(3);
    FlushRenderingCommands();
    EXPECT_EQ(Calls.load(), 3);
    EXPECT_TRUE(bOnRenderThread);
    EXPECT_TRUE(bRightArguments);
    EXPECT_EQ(PresentsSeen.load(), 2u); // the third frame was not presented yet

    // Without a back buffer the handler still hears of the present, with null.
    GDynamicRHI->GetTestHooks().bNullBackBuffer = true;
    std::atomic<bool> bGotNull{false};
    FSlateApplication::Get().GetRenderer()->OnBackBufferReadyToPresent().Add(
        [&](SWindow&, FRHITexture* BackBuffer) { bGotNull = BackBuffer == nullptr; });
    Scene.Tick();
    FlushRenderingCommands();
    EXPECT_TRUE(bGotNull);
    EXPECT_EQ(Scene.Window->GetViewportRHI()->GetPresentCount(), 3u);
    FSlateApplication::Get().GetRenderer()->OnBackBufferReadyToPresent().Remove(Handle);
}

TEST_F(SlateTest, ViewportRenderedFollowsTheQueuedSceneDraw)
{
    FTestEngineScene Scene;
    int32 Calls = 0;
    std::atomic<bool> bSceneWasDrawn{false};
    const FDelegateHandle Handle = UGameViewportClient::ViewportRenderedDelegate.Add(
        [&](FViewport* Viewport)
        {
            ++Calls;
            EXPECT_TRUE(IsInGameThread());
            EXPECT_EQ(Viewport, Scene.Client->GetGameViewport());
            // Work queued now runs after the draw.
            EnqueueRenderCommand("Probe",
                                 [&, Viewport]
                                 {
                                     const FTextureRHIRef RT = Viewport->GetRenderTargetTexture();
                                     bSceneWasDrawn = RT && RT->GetRow(1)[1] == 3;
                                 });
        });
    Scene.Tick(2);
    UGameViewportClient::ViewportRenderedDelegate.Remove(Handle);
    EXPECT_EQ(Calls, 2);
    EXPECT_TRUE(bSceneWasDrawn);
}

TEST_F(SlateTest, FindsTheWindowOfTheGameViewportWidget)
{
    FTestEngineScene Scene;
    EXPECT_EQ(FSlateApplication::Get().FindWidgetWindow(Scene.Client->GetGameViewportWidget()),
              Scene.Window);
    EXPECT_EQ(FSlateApplication::Get().FindWidgetWindow(std::make_shared<SViewport>()), nullptr);
}

TEST(ReflectionTest, DescribesTheEngineLayoutAndCanBeToldOtherwise)
{
    std::optional<FObjectProperty> Property = FindFProperty("UEngine", "GameViewport");
    ASSERT_TRUE(Property.has_value());
    EXPECT_EQ(Property->GetOffset_ForInternal(),
              static_cast<int32>(offsetof(UEngine, GameViewport)));
    UEngine Engine;
    UGameViewportClient Client(8, 8);
    Engine.GameViewport = &Client;
    EXPECT_EQ(Property->GetObjectPropertyValue_InContainer(&Engine), &Client);

    FReflectionRegistry::RegisterObjectProperty("UEngine", "GameViewport",
                                                offsetof(UEngine, GameSingleton));
    EXPECT_EQ(FindFProperty("UEngine", "GameViewport")->GetOffset_ForInternal(),
              static_cast<int32>(offsetof(UEngine, GameSingleton)));
    FReflectionRegistry::UnregisterProperty("UEngine", "GameViewport");
    EXPECT_FALSE(FindFProperty("UEngine", "GameViewport").has_value());
    FReflectionRegistry::ResetToEngineLayout();
    EXPECT_TRUE(FindFProperty("UEngine", "GameViewport").has_value());
}
