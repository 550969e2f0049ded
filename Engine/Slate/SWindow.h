// A top-level window: a client area with a back buffer, an optional game viewport
// widget placed inside it, and user-interface boxes drawn over everything.
//
// The layout (viewport slot, boxes, scale) is game-thread data; the renderer takes a
// snapshot of it each frame for the render thread.
#pragma once

#include "DynamicRhi.h"
#include "IntPoint.h"
#include "SViewport.h"
#include "SlateGeometry.h"

#include <memory>
#include <vector>

// A solid box of user interface, in Slate units from the window's top-left corner.
struct FSlateOverlayBox
{
    FVector2f Position;
    FVector2f Size;
    FLinearColor Color;
};

class SWindow : public SWidget
{
public:
    // A window whose client area is SizeX x SizeY pixels with a back buffer in Format.
    SWindow(FString InTitle, int32 SizeX, int32 SizeY, EPixelFormat BackBufferFormat = PF_B8G8R8A8);
    ~SWindow() override;

    const FString& GetTitle() const { return Title; }
    FIntPoint GetClientSize() const { return ClientSize; }
    // Game thread: resizes the client area and (on the render thread) its back buffer.
    void Resize(int32 SizeX, int32 SizeY);
    // Game thread: where the client area's top-left corner is on the desktop, in
    // desktop pixels (the platform's input arrives in those).
    void MoveWindowTo(FVector2D Position) { PositionInScreen = Position; }
    FVector2D GetPositionInScreen() const { return PositionInScreen; }
    // Game thread: a minimised window is neither drawn nor presented, so its
    // back-buffer-ready event does not fire until it is restored.
    void SetMinimized(bool bInMinimized) { bMinimized = bInMinimized; }
    bool IsWindowMinimized() const { return bMinimized; }
    // Pixels per Slate unit.
    void SetDpiScale(float InScale) { DpiScale = InScale; }
    float GetDpiScale() const { return DpiScale; }

    // Places Widget at Position with Size, both in Slate units (null removes it).
    void SetViewportSlot(std::shared_ptr<SViewport> Widget, FVector2f Position, FVector2f Size);
    const std::shared_ptr<SViewport>& GetViewportWidget() const { return ViewportWidget; }
    void AddOverlayBox(const FSlateOverlayBox& Box) { OverlayBoxes.push_back(Box); }
    void ClearOverlayBoxes() { OverlayBoxes.clear(); }
    const std::vector<FSlateOverlayBox>& GetOverlayBoxes() const { return OverlayBoxes; }
    void SetBackgroundColor(const FLinearColor& Color) { Background = Color; }
    const FLinearColor& GetBackgroundColor() const { return Background; }

    // The window's own geometry: origin at its client area, scaled by the DPI.
    FGeometry GetWindowGeometryInWindow() const;
    // The arranged geometry of a direct child; false when Widget is not one.
    bool FindChildGeometry(const FGeometry& WindowGeometry, const SWidget& Widget,
                           FGeometry& OutGeometry) const;

    // The presentable surface; its back buffer belongs to the render thread.
    const std::shared_ptr<FRHIViewport>& GetViewportRHI() const { return ViewportRHI; }

private:
    FString Title;
    FIntPoint ClientSize;
    float DpiScale = 1.f;
    bool bMinimized = false;
    FVector2D PositionInScreen;
    std::shared_ptr<SViewport> ViewportWidget;
    FVector2f ViewportPosition;
    FVector2f ViewportSize;
    std::vector<FSlateOverlayBox> OverlayBoxes;
    FLinearColor Background{0.05f, 0.05f, 0.05f, 1.f};
    std::shared_ptr<FRHIViewport> ViewportRHI;
};

// The pixel rectangle of a geometry: top-left rounded to the nearest pixel (halves
// up), then its size rounded the same way.
FIntRect RoundGeometryToPixels(const FGeometry& Geometry);
