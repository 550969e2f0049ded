// The Slate renderer: composes each window (background, game viewport, user
// interface) into its back buffer on the render thread, tells the listeners of
// OnBackBufferReadyToPresent, then presents.
#pragma once

#include "Delegates.h"
#include "RhiTexture.h"

#include <memory>
#include <vector>

class SWindow;

class FSlateRenderer
{
public:
    // Raised on the render thread for every window about to be presented, with its
    // back buffer (null when the device handed out none).
    using FOnBackBufferReadyToPresent = TMulticastDelegate<SWindow&, FRHITexture*>;
    FOnBackBufferReadyToPresent& OnBackBufferReadyToPresent() { return BackBufferReady; }

    // Game thread: snapshots the windows' layout and queues their composition and
    // presentation on the render thread.
    void DrawWindows(const std::vector<std::shared_ptr<SWindow>>& Windows);

private:
    FOnBackBufferReadyToPresent BackBufferReady;
};
