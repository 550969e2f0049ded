// The game world: for now only what the SDK asks of it.
#pragma once

class APlayerController;

class UWorld
{
public:
    // The first local player's controller, or null.
    APlayerController* GetFirstPlayerController() const { return FirstPlayerController; }
    void SetFirstPlayerController(APlayerController* Controller)
    {
        FirstPlayerController = Controller;
    }

private:
    APlayerController* FirstPlayerController = nullptr; // game thread
};
