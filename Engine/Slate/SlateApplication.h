// The Slate application: the windows, the renderer and the game viewport widget.
//
// The host creates it once with Create and destroys it with Shutdown; everything
// here is game-thread only except the renderer's present event.
#pragma once

#include "SWindow.h"
#include "SlateRenderer.h"

#include <memory>
#include <vector>

class FSlateApplication
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

private:
    std::vector<std::shared_ptr<SWindow>> Windows;
    std::unique_ptr<FSlateRenderer> Renderer;
    std::shared_ptr<SViewport> GameViewport;
};
