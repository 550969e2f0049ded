// The game's viewport: the render target the scene is drawn into each frame, and
// the viewport client that draws it and announces that it was drawn.
#pragma once

#include "Delegates.h"
#include "Object.h"
#include "RhiCommandList.h"
#include "SViewport.h"

#include <atomic>
#include <functional>
#include <memory>

class FViewport : public ISlateViewport
{
public:
    // Raised on the game thread when a viewport is being destroyed, so whoever kept
    // its address forgets it (a replaced viewport client takes its viewport along).
    inline static TMulticastDelegate<FViewport*> ViewportDestroyedDelegate;

    FViewport(int32 SizeX, int32 SizeY, EPixelFormat InFormat = PF_B8G8R8A8);
    // Waits for queued render commands, which may still use the render target, then
    // raises ViewportDestroyedDelegate.
    ~FViewport() override;

    // Game thread: the size the scene is rendered at.
    FIntPoint GetSizeXY() const { return Size; }
    FIntPoint GetSize() const override { return Size; }
    // Game thread: the next draw renders at the new size.
    void Resize(int32 SizeX, int32 SizeY) { Size = {SizeX, SizeY}; }
    EPixelFormat GetFormat() const { return Format; }

    // Render thread: the texture the scene was last drawn into (null before the
    // first draw, or while the test hook withholds it).
    FTextureRHIRef GetRenderTargetTexture() const;
    FTextureRHIRef GetViewportRenderTargetTexture() const override
    {
        return GetRenderTargetTexture();
    }
    // Test hook: GetRenderTargetTexture returns null while withheld.
    void SetRenderTargetWithheld(bool bWithheld) { bWithheldForTest.store(bWithheld); }

    // Render thread: makes sure the render target matches DrawSize and returns it.
    FRHITexture& PrepareRenderTarget_RenderThread(FIntPoint DrawSize);

private:
    FIntPoint Size;              // game thread
    EPixelFormat Format;         // fixed
    FTextureRHIRef RenderTarget; // render thread
    std::atomic<bool> bWithheldForTest{false};
};

// Draws the scene into Target on the render thread; Frame counts engine frames.
using FSceneRenderFunction =
    std::function<void(FRHICommandListImmediate& CmdList, FRHITexture& Target, uint64 Frame)>;

class UGameViewportClient : public UObject
{
public:
    // Raised on the game thread after a viewport's draw has been queued.
    inline static TMulticastDelegate<FViewport*> ViewportRenderedDelegate;

    UGameViewportClient(int32 SizeX, int32 SizeY, EPixelFormat Format = PF_B8G8R8A8);
    ~UGameViewportClient() override;

    FViewport* GetGameViewport() const { return Viewport.get(); }
    // The widget that shows the viewport; the host places it in a window.
    const std::shared_ptr<SViewport>& GetGameViewportWidget() const { return Widget; }

    // Game thread. Without a renderer the scene is cleared to a flat colour.
    void SetSceneRenderer(FSceneRenderFunction Renderer);
    // Game thread: queues the scene draw for Frame, then raises ViewportRenderedDelegate.
    void Draw(uint64 Frame);

private:
    std::unique_ptr<FViewport> Viewport;
    std::shared_ptr<SViewport> Widget;
    std::shared_ptr<const FSceneRenderFunction> SceneRenderer; // game thread
};
