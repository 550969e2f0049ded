// Objects the engine loop ticks once per frame on the game thread.
#pragma once

#include "CoreTypes.h"

#include <vector>

struct TStatId
{
    const char* Name = "";
};

// Registers itself on construction and unregisters on destruction. Both must
// happen on the game thread.
class FTickableGameObject
{
public:
    FTickableGameObject();
    virtual ~FTickableGameObject();
    FTickableGameObject(const FTickableGameObject&) = delete;
    FTickableGameObject& operator=(const FTickableGameObject&) = delete;

    virtual void Tick(float DeltaTime) = 0;
    // While false the loop skips the object.
    virtual bool IsTickable() const { return true; }
    virtual bool IsTickableInEditor() const { return false; }
    virtual TStatId GetStatId() const = 0;

    // Ticks every registered object that is tickable (and, in the editor, tickable
    // there). Objects created or destroyed during the pass are handled safely.
    static void TickObjects(float DeltaTime);

private:
    static void TickSnapshot(const std::vector<FTickableGameObject*>& Snapshot, float DeltaTime);
};
