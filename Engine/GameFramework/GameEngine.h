// The engine object: what the game is showing through. GEngine is set by the host
// while the engine runs and is null otherwise. Game thread.
#pragma once

#include "Object.h"

class UGameViewportClient;

// Plain layout on purpose: reflected properties address its members by offset.
class UEngine
{
public:
    // An unrelated object slot, kept so a layout can be described differently.
    UObject* GameSingleton = nullptr;
    // The viewport client of the game's main viewport; owned by the host.
    UGameViewportClient* GameViewport = nullptr;
};

extern UEngine* GEngine;
