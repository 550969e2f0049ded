#include "Tickable.h"

#include "CoreDelegates.h"
#include "EngineTimings.h"

#include <algorithm>
#include <vector>

namespace
{
// Game thread only.
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
    const std::vector<FTickableGameObject*> Snapshot = Registry();
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
