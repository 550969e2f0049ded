// The game's viewport: the render target the scene is drawn into each frame, and
// the viewport client that draws it and announces that it was drawn.
#pragma once

#include "Delegates.h"
#include "Object.h"
#include "PlayerController.h"
#include "RhiCommandList.h"
#include "SViewport.h"

#include <atomic>
#include <functional>
#include <memory>

// What a viewport hands the input it receives to, in its own pixels. Game thread.
class FViewportClient
{
public:
    virtual ~FViewportClient() = default;
    // Keys and mouse buttons (a touch is not a key).
    virtual bool InputKey(const FKey& Key, EInputEvent Event) = 0;
    // Touch Handle began, moved (IE_Axis) or ended at Position.
    virtual bool InputTouch(uint32 Handle, EInputEvent Event, FVector2D Position, float Force) = 0;
    virtual bool InputWheel(float Delta, FVector2D Position) = 0;
};

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

    // Game thread: who receives this viewport's input (null: nobody).
    void SetViewportClient(FViewportClient* InClient) { Client = InClient; }
    // Game thread: the cursor in this viewport's pixels (it may lie outside); false
    // without Slate or when the viewport is not shown in a window.
    bool GetMousePos(FVector2D& OutPosition) const;
    // A desktop position in this viewport's pixels, given the widget's desktop geometry.
    FVector2D ScreenToViewport(const FGeometry& Geometry, FVector2D ScreenPosition) const;

    // Input Slate routes here, passed on to the client in viewport pixels.
    bool OnKeyDown(const FGeometry& Geometry, const FKeyEvent& Event) override;
    bool OnKeyUp(const FGeometry& Geometry, const FKeyEvent& Event) override;
    bool OnPointerDown(const FGeometry& Geometry, const FPointerEvent& Event) override;
    bool OnPointerUp(const FGeometry& Geometry, const FPointerEvent& Event) override;
    bool OnPointerMove(const FGeometry& Geometry, const FPointerEvent& Event) override;
    bool OnMouseWheel(const FGeometry& Geometry, const FPointerEvent& Event) override;

private:
    FViewportClient* Client = nullptr; // game thread
    FIntPoint Size;                    // game thread
    EPixelFormat Format;               // fixed
    FTextureRHIRef RenderTarget;       // render thread
    std::atomic<bool> bWithheldForTest{false};
};

// Draws the scene into Target on the render thread; Frame counts engine frames.
using FSceneRenderFunction =
    std::function<void(FRHICommandListImmediate& CmdList, FRHITexture& Target, uint64 Frame)>;

// One input event that reached the game, as the viewport client saw it.
struct FGameInputEvent
{
    enum class EKind : uint8
    {
        Key,   // keys and mouse buttons
        Touch, // EInputEvent IE_Pressed, IE_Axis (moved), IE_Released
        Wheel,
    };
    EKind Kind = EKind::Key;
    FKey Key;
    EInputEvent Event = IE_Pressed;
    uint32 TouchHandle = 0;
    FVector2D Position; // viewport pixels (the cursor for keys)
    float Value = 0.f;  // wheel delta, touch force
};

class UGameViewportClient : public UObject, public FViewportClient
{
public:
    // Raised on the game thread after a viewport's draw has been queued.
    inline static TMulticastDelegate<FViewport*> ViewportRenderedDelegate;
    // Raised on the game thread for every input event that reaches the game.
    TMulticastDelegate<const FGameInputEvent&> OnGameInput;

    UGameViewportClient(int32 SizeX, int32 SizeY, EPixelFormat Format = PF_B8G8R8A8);
    ~UGameViewportClient() override;

    FViewport* GetGameViewport() const { return Viewport.get(); }
    // The widget that shows the viewport; the host places it in a window.
    const std::shared_ptr<SViewport>& GetGameViewportWidget() const { return Widget; }

    // Game thread. Without a renderer the scene is cleared to a flat colour.
    void SetSceneRenderer(FSceneRenderFunction Renderer);
    // Game thread: queues the scene draw for Frame, then raises ViewportRenderedDelegate.
    void Draw(uint64 Frame);

    // Game thread: the player whose controller receives this viewport's input.
    void SetPlayerController(APlayerController* InController);
    APlayerController* GetPlayerController() const { return PlayerController; }

    bool InputKey(const FKey& Key, EInputEvent Event) override;
    bool InputTouch(uint32 Handle, EInputEvent Event, FVector2D Position, float Force) override;
    bool InputWheel(float Delta, FVector2D Position) override;

private:
    APlayerController* PlayerController = nullptr; // game thread
    std::unique_ptr<FViewport> Viewport;
    std::shared_ptr<SViewport> Widget;
    std::shared_ptr<const FSceneRenderFunction> SceneRenderer; // game thread
};
