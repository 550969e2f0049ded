// The process-wide state behind FQuorvexEngineAbi, shared by its source files.
#pragma once

#include "Delegates.h"
#include "IntPoint.h"
#include "QuorvexEngineAbi.h"

#include <memory>
#include <mutex>

class SViewport;
class FSlateRenderer;

struct FQuorvexEngineAbiState
{
    // Game thread.
    bool bActive = false;
    FDelegateHandle ViewportRenderedHandle;
    FDelegateHandle ViewportDestroyedHandle;
    bool bBackBufferHookInstalled = false;
    FDelegateHandle BackBufferHandle;
    FSlateRenderer* HookedRenderer = nullptr; // the renderer the hook was added to
    bool bHookNotInstalledWarned = false;
    // Cleared when that viewport is destroyed, so it never outlives its client.
    FViewport* RenderedViewport = nullptr;
    std::weak_ptr<SViewport> CachedWidget;
    std::weak_ptr<SWindow> CachedWindow;
    SWindow* CachedWindowRaw = nullptr;
    FIntPoint CachedViewportSize;
    FIntRect CachedViewportRect;
    bool bLayoutVerified = false;
    bool bLayoutResult = false;
    FString LayoutReason;
    bool bSlateCaptureDisabled = false;
    FQuorvexEngineAbi::FViewportRenderedHandler ViewportRenderedHandler;

    // Set on the game thread, called on the render thread; guarded by HandlerMutex,
    // which is held during the call.
    std::mutex HandlerMutex;
    FQuorvexEngineAbi::FBackBufferReadyHandler BackBufferReadyHandler;

    static FQuorvexEngineAbiState& Get();
};
