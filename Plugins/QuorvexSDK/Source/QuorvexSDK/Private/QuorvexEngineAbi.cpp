#include "QuorvexEngineAbi.h"

#include "GameEngine.h"
#include "QuorvexEngineAbiState.h"
#include "QuorvexLog.h"
#include "Reflection.h"
#include "SlateApplication.h"
#include "Viewport.h"

#include <cstddef>
#include <cstdio>
#include <utility>

FQuorvexEngineAbiState& FQuorvexEngineAbiState::Get()
{
    static FQuorvexEngineAbiState State;
    return State;
}

namespace
{
FQuorvexEngineAbiState& State()
{
    return FQuorvexEngineAbiState::Get();
}

// Where the headers this SDK is built against put UEngine::GameViewport.
constexpr unsigned long long CompiledGameViewportOffset = offsetof(UEngine, GameViewport);
} // namespace

bool FQuorvexEngineAbi::VerifyEngineLayout(FString& OutReason)
{
    FQuorvexEngineAbiState& S = State();
    if (!S.bLayoutVerified)
    {
        const std::optional<FObjectProperty> Property = FindFProperty("UEngine", "GameViewport");
        if (!Property)
        {
            // Not a verdict: the property may be described later.
            OutReason = "UEngine has no reflected GameViewport property \xE2\x80\x94 cannot "
                        "verify engine ABI";
            return false;
        }
        const auto Reflected = static_cast<unsigned long long>(Property->GetOffset_ForInternal());
        S.bLayoutVerified = true;
        S.bLayoutResult = Reflected == CompiledGameViewportOffset;
        S.LayoutReason.clear();
        if (!S.bLayoutResult)
        {
            char Reason[320];
            std::snprintf(Reason, sizeof(Reason),
                          "Engine ABI mismatch: UEngine::GameViewport reflected offset 0x%llx != "
                          "compiled offset 0x%llx \xE2\x80\x94 this engine's class layout differs "
                          "from the headers this SDK binary was built against",
                          Reflected, CompiledGameViewportOffset);
            S.LayoutReason = Reason;
        }
    }
    OutReason = S.LayoutReason;
    return S.bLayoutResult;
}

void FQuorvexEngineAbi::ResetLayoutVerdictForTests()
{
    State().bLayoutVerified = false;
    State().bLayoutResult = false;
    State().LayoutReason.clear();
}

void FQuorvexEngineAbi::Activate()
{
    FQuorvexEngineAbiState& S = State();
    if (!S.bActive)
    {
        S.ViewportRenderedHandle = UGameViewportClient::ViewportRenderedDelegate.Add(
            [](FViewport* Viewport) { HandleViewportRendered(Viewport); });
        S.ViewportDestroyedHandle = FViewport::ViewportDestroyedDelegate.Add(
            [](FViewport* Viewport)
            {
                FQuorvexEngineAbiState& Abi = State();
                if (Abi.RenderedViewport == Viewport)
                {
                    Abi.RenderedViewport = nullptr;
                }
            });
        S.bActive = true;
    }
    TryInstallBackBufferHook();
}

void FQuorvexEngineAbi::Deactivate()
{
    FQuorvexEngineAbiState& S = State();
    if (S.bBackBufferHookInstalled)
    {
        FSlateRenderer* Renderer =
            FSlateApplication::IsInitialized() ? FSlateApplication::Get().GetRenderer() : nullptr;
        // A handle means nothing to another renderer than the one it came from.
        if (Renderer && Renderer == S.HookedRenderer)
        {
            Renderer->OnBackBufferReadyToPresent().Remove(S.BackBufferHandle);
        }
        S.BackBufferHandle.Reset();
        S.HookedRenderer = nullptr;
        S.bBackBufferHookInstalled = false;
    }
    SetBackBufferReadyHandler(nullptr);
    S.CachedWidget.reset();
    S.CachedWindow.reset();
    S.CachedWindowRaw = nullptr;
    S.CachedViewportRect = {};
    S.CachedViewportSize = {};
    S.bHookNotInstalledWarned = false;
    if (S.bActive)
    {
        UGameViewportClient::ViewportRenderedDelegate.Remove(S.ViewportRenderedHandle);
        S.ViewportRenderedHandle.Reset();
        FViewport::ViewportDestroyedDelegate.Remove(S.ViewportDestroyedHandle);
        S.ViewportDestroyedHandle.Reset();
        S.RenderedViewport = nullptr;
        S.bActive = false;
    }
}

void FQuorvexEngineAbi::TryInstallBackBufferHook()
{
    FQuorvexEngineAbiState& S = State();
    if (S.bBackBufferHookInstalled || S.bSlateCaptureDisabled)
    {
        return;
    }
    FString Reason;
    if (!VerifyEngineLayout(Reason))
    {
        if (!S.bHookNotInstalledWarned)
        {
            S.bHookNotInstalledWarned = true;
            QUORVEX_LOG(Warning,
                        "QuorvexSDK: Slate composite hook not installed: %s. Captured frames will "
                        "contain the 3D scene and HUD canvas but NOT Slate/UMG UI.",
                        Reason.c_str());
        }
        return;
    }
    if (!FSlateApplication::IsInitialized() || !FSlateApplication::Get().GetRenderer())
    {
        return; // retried after the next rendered viewport
    }
    FSlateRenderer* Renderer = FSlateApplication::Get().GetRenderer();
    S.BackBufferHandle =
        Renderer->OnBackBufferReadyToPresent().Add([](SWindow& Window, FRHITexture* BackBuffer)
                                                   { HandleBackBufferReady(Window, BackBuffer); });
    S.HookedRenderer = Renderer;
    S.bBackBufferHookInstalled = true;
    QUORVEX_LOG(Log, "QuorvexSDK: Slate composite hook installed: captured frames include "
                     "Slate/UMG UI.");
}

void FQuorvexEngineAbi::SetBackBufferReadyHandler(FBackBufferReadyHandler Handler)
{
    FQuorvexEngineAbiState& S = State();
    FBackBufferReadyHandler Old;
    {
        std::lock_guard Lock(S.HandlerMutex);
        Old = std::exchange(S.BackBufferReadyHandler, std::move(Handler));
    }
}

void FQuorvexEngineAbi::SetViewportRenderedHandler(FViewportRenderedHandler Handler)
{
    State().ViewportRenderedHandler = std::move(Handler);
}

void FQuorvexEngineAbi::HandleBackBufferReady(SWindow& Window, FRHITexture* BackBuffer)
{
    FQuorvexEngineAbiState& S = State();
    std::lock_guard Lock(S.HandlerMutex);
    if (S.BackBufferReadyHandler)
    {
        S.BackBufferReadyHandler(&Window, BackBuffer);
    }
}

void FQuorvexEngineAbi::HandleViewportRendered(FViewport* Viewport)
{
    if (!Viewport || Viewport->GetSizeXY().X <= 0)
    {
        return;
    }
    FQuorvexEngineAbiState& S = State();
    S.RenderedViewport = Viewport;
    TryInstallBackBufferHook();
    RefreshGameWindowCache(*Viewport);
    if (S.ViewportRenderedHandler)
    {
        S.ViewportRenderedHandler(Viewport);
    }
}

bool FQuorvexEngineAbi::IsBackBufferHookInstalled()
{
    return State().bBackBufferHookInstalled;
}

UGameViewportClient* FQuorvexEngineAbi::GetGameViewport()
{
    if (!GEngine)
    {
        return nullptr;
    }
    const std::optional<FObjectProperty> Property = FindFProperty("UEngine", "GameViewport");
    if (!Property)
    {
        return nullptr;
    }
    return Cast<UGameViewportClient>(Property->GetObjectPropertyValue_InContainer(GEngine));
}

FIntRect FQuorvexEngineAbi::GetGameViewportRect()
{
    return State().CachedViewportRect;
}

SWindow* FQuorvexEngineAbi::GetGameWindow()
{
    const FQuorvexEngineAbiState& S = State();
    return S.CachedWindow.expired() ? nullptr : S.CachedWindowRaw;
}

FViewport* FQuorvexEngineAbi::GetRenderedViewport()
{
    return State().RenderedViewport;
}

void FQuorvexEngineAbi::SetSlateCaptureDisabled(bool bDisabled)
{
    State().bSlateCaptureDisabled = bDisabled;
}

bool FQuorvexEngineAbi::IsSlateCaptureDisabled()
{
    return State().bSlateCaptureDisabled;
}
