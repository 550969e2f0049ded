#include "SWindow.h"

#include "Tasks.h"

#include <cmath>

SWindow::SWindow(FString InTitle, int32 SizeX, int32 SizeY, EPixelFormat BackBufferFormat)
    : Title(std::move(InTitle)), ClientSize{SizeX, SizeY},
      ViewportRHI(std::make_shared<FRHIViewport>(SizeX, SizeY, BackBufferFormat))
{
}

SWindow::~SWindow() = default;

void SWindow::Resize(int32 SizeX, int32 SizeY)
{
    ClientSize = {SizeX, SizeY};
    EnqueueRenderCommand("SlateResizeWindow", [Viewport = ViewportRHI, SizeX, SizeY]
                         { Viewport->Resize(SizeX, SizeY); });
}

void SWindow::SetViewportSlot(std::shared_ptr<SViewport> Widget, FVector2f Position, FVector2f Size)
{
    ViewportWidget = std::move(Widget);
    ViewportPosition = Position;
    ViewportSize = Size;
}

FGeometry SWindow::GetWindowGeometryInWindow() const
{
    return {
        {0.f, 0.f},
        {static_cast<float>(ClientSize.X) / DpiScale, static_cast<float>(ClientSize.Y) / DpiScale},
        DpiScale};
}

bool SWindow::FindChildGeometry(const FGeometry& WindowGeometry, const SWidget& Widget,
                                FGeometry& OutGeometry) const
{
    if (!ViewportWidget || ViewportWidget.get() != &Widget)
    {
        return false;
    }
    OutGeometry = WindowGeometry.MakeChild(ViewportPosition, ViewportSize);
    return true;
}

FIntRect RoundGeometryToPixels(const FGeometry& Geometry)
{
    const auto Round = [](float Value) { return static_cast<int32>(std::floor(Value + 0.5f)); };
    const FVector2f Position = Geometry.GetAbsolutePosition();
    const FVector2f Size = Geometry.GetAbsoluteSize();
    const int32 MinX = Round(Position.X);
    const int32 MinY = Round(Position.Y);
    return {MinX, MinY, MinX + Round(Size.X), MinY + Round(Size.Y)};
}
