// Widgets: the base widget and the viewport widget that shows a rendered scene.
#pragma once

#include "IntPoint.h"
#include "RhiTexture.h"

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
