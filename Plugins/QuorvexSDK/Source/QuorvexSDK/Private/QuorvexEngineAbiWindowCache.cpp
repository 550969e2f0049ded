// Keeping track of the window that shows the game and where the game viewport
// lies inside it, refreshed after every rendered viewport.
#include "QuorvexEngineAbi.h"
#include "QuorvexEngineAbiState.h"
#include "QuorvexLog.h"
#include "SlateApplication.h"
#include "Viewport.h"

#include <cmath>

namespace
{
int32 RoundHalfUp(float Value)
{
    return static_cast<int32>(std::floor(Value + 0.5f));
}

// The widget's rectangle in the window's pixels, or false when it is not laid out there.
bool ComputeViewportRect(const SWindow& Window, const SViewport& Widget, FIntRect& OutRect)
{
    FGeometry Arranged;
    if (!Window.FindChildGeometry(Window.GetWindowGeometryInWindow(), Widget, Arranged))
    {
        return false;
    }
    const FVector2f Position = Arranged.GetAbsolutePosition();
    const FVector2f Size = Arranged.GetAbsoluteSize();
    OutRect.Min = {RoundHalfUp(Position.X), RoundHalfUp(Position.Y)};
    OutRect.Max = {OutRect.Min.X + RoundHalfUp(Size.X), OutRect.Min.Y + RoundHalfUp(Size.Y)};
    return true;
}
} // namespace

void FQuorvexEngineAbi::RefreshGameWindowCache(FViewport& Viewport)
{
    if (!FSlateApplication::IsInitialized())
    {
        return;
    }
    FQuorvexEngineAbiState& S = FQuorvexEngineAbiState::Get();
    const std::shared_ptr<SViewport>& Widget = FSlateApplication::Get().GetGameViewport();
    const FIntPoint Size = Viewport.GetSizeXY();
    std::shared_ptr<SWindow> Window = S.CachedWindow.lock();
    const bool bSameTarget =
        Widget && Window && S.CachedWidget.lock() == Widget && S.CachedViewportSize == Size;
    if (!bSameTarget)
    {
        Window = Widget ? FSlateApplication::Get().FindWidgetWindow(Widget) : nullptr;
    }
    FIntRect Rect;
    if (!Window || !ComputeViewportRect(*Window, *Widget, Rect))
    {
        S.CachedWidget.reset();
        S.CachedWindow.reset();
        S.CachedWindowRaw = nullptr;
        S.CachedViewportRect = {};
        S.CachedViewportSize = {};
        return;
    }
    // The rectangle is recomputed every time (it is cheap), so moving the widget
    // inside an unchanged window is picked up too.
    if (bSameTarget && Rect == S.CachedViewportRect)
    {
        return;
    }
    S.CachedWidget = Widget;
    S.CachedWindow = Window;
    S.CachedWindowRaw = Window.get();
    S.CachedViewportSize = Size;
    S.CachedViewportRect = Rect;
    QUORVEX_LOG_DEBUG("QuorvexSDK: game window cache refreshed: window=%p rect=(%d,%d)-(%d,%d) "
                      "viewport=%dx%d",
                      static_cast<void*>(Window.get()), Rect.Min.X, Rect.Min.Y, Rect.Max.X,
                      Rect.Max.Y, Size.X, Size.Y);
}
