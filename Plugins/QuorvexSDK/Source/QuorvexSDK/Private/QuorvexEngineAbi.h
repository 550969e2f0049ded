// The capture pipeline's connection to the engine's presentation.
//
// Finds the viewport the engine rendered, the Slate window that shows the game and
// the game viewport's rectangle inside it, and installs two hooks: one on the
// viewport-rendered event and one on the Slate renderer's back-buffer-ready event.
// Before relying on the engine's class layout it checks the reflected layout
// against the one the SDK was compiled with.
//
// Process-wide and static. Everything runs on the game thread except the
// back-buffer hook, which the renderer calls on the render thread.
#pragma once

#include "CoreTypes.h"
#include "IntPoint.h"

#include <functional>

class SWindow;
class FRHITexture;
class FViewport;
class UGameViewportClient;

class FQuorvexEngineAbi
{
public:
    using FBackBufferReadyHandler = std::function<void(SWindow*, FRHITexture*)>;
    using FViewportRenderedHandler = std::function<void(FViewport*)>;

    // True when the engine's reflected GameViewport offset matches the compiled
    // one; otherwise false with the reason. A verdict, once reached, is kept.
    static bool VerifyEngineLayout(FString& OutReason);

    // Adds the viewport-rendered hook (once) and tries to install the back-buffer hook.
    static void Activate();
    // Removes both hooks, clears the back-buffer handler and forgets the cached window.
    static void Deactivate();

    // Replace the handler the hooks forward to; an empty function clears it. When
    // SetBackBufferReadyHandler returns, no call of the old handler is running.
    static void SetBackBufferReadyHandler(FBackBufferReadyHandler Handler);
    static void SetViewportRenderedHandler(FViewportRenderedHandler Handler);

    static bool IsBackBufferHookInstalled();
    // GEngine's game viewport client, read through the reflected property.
    static UGameViewportClient* GetGameViewport();
    // The game viewport's rectangle in its window's pixels (as last cached).
    static FIntRect GetGameViewportRect();
    // The window showing the game viewport, or null while unknown or destroyed.
    static SWindow* GetGameWindow();
    // The last viewport reported rendered with a positive width.
    static FViewport* GetRenderedViewport();

    // Set at module start-up by the switch that keeps the composite hook off.
    static void SetSlateCaptureDisabled(bool bDisabled);
    static bool IsSlateCaptureDisabled();

    // Forgets the layout verdict so the next check looks again; for tests.
    static void ResetLayoutVerdictForTests();

private:
    static void TryInstallBackBufferHook();
    static void RefreshGameWindowCache(FViewport& Viewport);
    static void HandleViewportRendered(FViewport* Viewport);
    static void HandleBackBufferReady(SWindow& Window, FRHITexture* BackBuffer);
};
