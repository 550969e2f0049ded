// Process-level services.
#pragma once

#include <chrono>
#include <thread>

struct FPlatformProcess
{
    // Blocks the calling thread. Never call it on the game thread.
    static void Sleep(float Seconds)
    {
        std::this_thread::sleep_for(std::chrono::duration<float>(Seconds));
    }
};
