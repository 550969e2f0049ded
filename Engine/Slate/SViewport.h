// Widgets: the base widget and the viewport widget that shows a rendered scene.
#pragma once

#include "InputEvents.h"
#include "IntPoint.h"
#include "RhiTexture.h"
#include "SlateGeometry.h"

#include <memory>

// What a viewport widget shows: something with a size and a render target.
class ISlateViewport
{
public:
    virtual ~ISlateViewport() = default;
    // Game thread: the size of the rendered image in pixels.
    virtual FIntPoint GetSize() const = 0;
    // Render thread: the texture holding the last rendered image (may be null).
    virtual FTextureRHIRef GetViewportRenderTargetTexture() const = 0;

    // Game thread: input Slate routes to the viewport, with the viewport widget's
    // geometry in desktop pixels. Each returns whether it handled the event.
    virtual bool OnKeyDown(const FGeometry& Geometry, const FKeyEvent& Event)
    {
        (void)Geometry, (void)Event;
        return false;
    }
    virtual bool OnKeyUp(const FGeometry& Geometry, const FKeyEvent& Event)
    {
        (void)Geometry, (void)Event;
        return false;
    }
    // Mouse buttons and touches (IsTouchEvent tells them apart).
    virtual bool OnPointerDown(const FGeometry& Geometry, const FPointerEvent& Event)
    {
        (void)Geometry, (void)Event;
        return false;
    }
    virtual bool OnPointerUp(const FGeometry& Geometry, const FPointerEvent& Event)
    {
        (void)Geometry, (void)Event;
        return false;
    }
    virtual bool OnPointerMove(const FGeometry& Geometry, const FPointerEvent& Event)
    {
        (void)Geometry, (void)Event;
        return false;
    }
    virtual bool OnMouseWheel(const FGeometry& Geometry, const FPointerEvent& Event)
    {
        (void)Geometry, (void)Event;
        return false;
    }
};

class SWidget : public std::enable_shared_from_this<SWidget>
{
public:
    virtual ~SWidget() = default;
};

class SViewport : public SWidget
{
public:
    // The viewport must outlive its presence in the widget (game thread).
    void SetViewportInterface(ISlateViewport* InViewport) { Viewport = InViewport; }
    ISlateViewport* GetViewportInterface() const { return Viewport; }

private:
    ISlateViewport* Viewport = nullptr; // game thread
};
