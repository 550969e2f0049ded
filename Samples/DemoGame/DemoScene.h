// The demo's world: a software GPU, one window with the game viewport and a HUD box
// over it, and an animated scene. Tick runs one engine frame.
#pragma once

#include "EngineLoop.h"
#include "GameEngine.h"
#include "SWindow.h"
#include "Viewport.h"

#include <memory>

class FDemoScene
{
public:
    FDemoScene();
    ~FDemoScene();
    FDemoScene(const FDemoScene&) = delete;
    FDemoScene& operator=(const FDemoScene&) = delete;

    // One frame of 1/60 s of game time.
    void Tick();

private:
    FEngineLoop Loop;
    UEngine Engine;
    std::unique_ptr<UGameViewportClient> Client;
    std::shared_ptr<SWindow> Window;
};
