#include "Tickable.h"

#include "CoreDelegates.h"
#include "EngineTimings.h"

#include <algorithm>
#include <vector>

namespace
{
// Game thread only, as is everything here.
std::vector<FTickableGameObject*>& Registry()
{
    static std::vector<FTickableGameObject*> Objects;
    return Objects;
}
} // namespace

FTickableGameObject::FTickableGameObject()
{
    Registry().push_back(this);
}

FTickableGameObject::~FTickableGameObject()
{
    auto& Objects = Registry();
    Objects.erase(std::remove(Objects.begin(), Objects.end(), this), Objects.end());
}

void FTickableGameObject::TickObjects(float DeltaTime)
{
    // A tick may create or destroy tickables: walk a snapshot and skip the ones gone.
    // The snapshot's storage is kept from frame to frame, so a frame allocates nothing
    // (a nested pass, which cannot share it, takes its own).
    static std::vector<FTickableGameObject*> Kept;
    static bool bKeptInUse = false;
    std::vector<FTickableGameObject*> Nested;
    std::vector<FTickableGameObject*>& Snapshot = bKeptInUse ? Nested : Kept;
    const bool bOwnsKept = !bKeptInUse;
    bKeptInUse = true;
    Snapshot.assign(Registry().begin(), Registry().end());
    TickSnapshot(Snapshot, DeltaTime);
    if (bOwnsKept)
    {
        bKeptInUse = false;
    }
}

void FTickableGameObject::TickSnapshot(const std::vector<FTickableGameObject*>& Snapshot,
                                       float DeltaTime)
{
    for (FTickableGameObject* Object : Snapshot)
    {
        const auto& Live = Registry();
        if (std::find(Live.begin(), Live.end(), Object) == Live.end())
        {
            continue;
        }
        if (!Object->IsTickable() || (GIsEditor && !Object->IsTickableInEditor()))
        {
            continue;
        }
        FScopedEngineTiming Timing(EEngineTiming::Tickables);
        Object->Tick(DeltaTime);
    }
}
