// Paces a game loop at 60 frames a second, like a game waiting for vertical sync.
#pragma once

#include <chrono>
#include <thread>

class FDemoFramePacer
{
public:
    // Unpaced: every wait returns at once (frames as fast as possible).
    explicit FDemoFramePacer(bool bInUnpaced = false) : bUnpaced(bInUnpaced) {}

    // Sleeps until the next frame is due. A frame that ran late is not caught up with
    // a burst: the schedule starts again from now.
    void WaitForNextFrame()
    {
        if (bUnpaced)
        {
            return;
        }
        Next += std::chrono::microseconds(16667);
        const std::chrono::steady_clock::time_point Now = std::chrono::steady_clock::now();
        if (Next < Now)
        {
            Next = Now;
            return;
        }
        std::this_thread::sleep_until(Next);
    }

private:
    bool bUnpaced;
    std::chrono::steady_clock::time_point Next = std::chrono::steady_clock::now();
};
