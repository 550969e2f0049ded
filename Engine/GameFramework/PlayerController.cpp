#include "PlayerController.h"

#include "Viewport.h"

bool APlayerController::GetMousePosition(float& LocationX, float& LocationY) const
{
    FVector2D Position;
    if (!ViewportClient || !ViewportClient->GetGameViewport() ||
        !ViewportClient->GetGameViewport()->GetMousePos(Position))
    {
        return false;
    }
    LocationX = static_cast<float>(Position.X);
    LocationY = static_cast<float>(Position.Y);
    return true;
}

bool APlayerController::InputKey(const FKey& Key, EInputEvent Event)
{
    if (!Key.IsValid())
    {
        return false;
    }
    if (Event == IE_Pressed || Event == IE_Repeat || Event == IE_DoubleClick)
    {
        KeysDown.insert(Key.ToString());
    }
    else if (Event == IE_Released)
    {
        KeysDown.erase(Key.ToString());
    }
    return true;
}
