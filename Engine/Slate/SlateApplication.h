// The Slate application: the windows, the renderer, the game viewport widget, and
// the routing of input.
//
// The host creates it once with Create and destroys it with Shutdown; everything
// here is game-thread only except the renderer's present event.
//
// Input: the application owns the platform application and is its message handler.
// Each message becomes a Slate event that goes to the input preprocessors first, in
// their order, and then, unless one of them consumed it, to the game viewport.
#pragma once

#include "GenericApplication.h"
#include "InputEvents.h"
#include "SWindow.h"
#include "SlateRenderer.h"

#include <map>
#include <memory>
#include <vector>

class FSlateApplication : public FGenericApplicationMessageHandler,
                          public std::enable_shared_from_this<FSlateApplication>
{
public:
    static void Create();
    // Waits for queued render commands, then destroys the application.
    static void Shutdown();
    static bool IsInitialized();
    static FSlateApplication& Get();

    void AddWindow(std::shared_ptr<SWindow> Window);
    void RemoveWindow(const std::shared_ptr<SWindow>& Window);
    const std::vector<std::shared_ptr<SWindow>>& GetWindows() const { return Windows; }

    // The renderer; null when the application runs without one (a test can remove it).
    FSlateRenderer* GetRenderer() const { return Renderer.get(); }
    void SetRendererEnabled(bool bEnabled);

    void SetGameViewport(std::shared_ptr<SViewport> Widget) { GameViewport = std::move(Widget); }
    const std::shared_ptr<SViewport>& GetGameViewport() const { return GameViewport; }
    // The window whose content contains Widget, or null.
    std::shared_ptr<SWindow> FindWidgetWindow(const std::shared_ptr<SWidget>& Widget) const;

    // Composes and presents every window (one engine-loop step).
    void DrawWindows();

    // ---- Input ----
    const std::shared_ptr<GenericApplication>& GetPlatformApplication() const
    {
        return PlatformApplication;
    }
    // Delivers the platform's queued input (the engine loop's input step).
    void PumpMessages();
    // Adds Processor at Index of the preprocessor list (-1 or past the end: last).
    // False when it is null or already registered.
    bool RegisterInputPreProcessor(std::shared_ptr<IInputProcessor> Processor, int32 Index = -1);
    void UnregisterInputPreProcessor(const std::shared_ptr<IInputProcessor>& Processor);
    int32 NumInputPreProcessors() const { return static_cast<int32>(PreProcessors.size()); }
    // The cursor in desktop pixels.
    FVector2D GetCursorPos() const;
    // The game viewport widget's geometry in desktop pixels (its window's position on
    // the desktop plus its place in the window); false without a viewport in a window.
    bool GetGameViewportScreenGeometry(FGeometry& OutGeometry) const;

    // The platform's messages, as Slate handles them.
    bool OnKeyDown(int32 KeyCode, uint32 CharacterCode, bool bIsRepeat) override;
    bool OnKeyUp(int32 KeyCode, uint32 CharacterCode, bool bIsRepeat) override;
    bool OnMouseDown(EMouseButtons::Type Button, FVector2D CursorPosition) override;
    bool OnMouseUp(EMouseButtons::Type Button, FVector2D CursorPosition) override;
    bool OnMouseDoubleClick(EMouseButtons::Type Button, FVector2D CursorPosition) override;
    bool OnMouseWheel(float Delta, FVector2D CursorPosition) override;
    bool OnMouseMove() override;
    bool OnRawMouseMove(int32 X, int32 Y) override;
    bool OnTouchStarted(FVector2D Location, float Force, int32 TouchIndex,
                        int32 ControllerId) override;
    bool OnTouchMoved(FVector2D Location, float Force, int32 TouchIndex,
                      int32 ControllerId) override;
    bool OnTouchEnded(FVector2D Location, int32 TouchIndex, int32 ControllerId) override;

private:
    // Offers an event to each preprocessor in turn (PreHandler), then, unless one
    // consumed it, to the game viewport (GameHandler). Returns whether it was handled.
    template <typename FPreHandler, typename FGameHandler>
    bool Route(FPreHandler&& PreHandler, FGameHandler&& GameHandler);

    // Windows and drawing
    std::vector<std::shared_ptr<SWindow>> Windows;
    std::unique_ptr<FSlateRenderer> Renderer;
    std::shared_ptr<SViewport> GameViewport;
    // Input
    std::shared_ptr<GenericApplication> PlatformApplication;
    std::vector<std::shared_ptr<IInputProcessor>> PreProcessors;
    FVector2D LastCursorPosition;
    // Each finger on the screen as last reported, by touch index: a touch's end
    // carries the pressure it was lifted with.
    struct FTouchPoint
    {
        FVector2D Position;
        float Force = 0.f;
    };
    std::map<int32, FTouchPoint> Touches;
};
