#include "FileFaults.h"

#include <mutex>
#include <vector>

namespace
{
struct FRuleEntry
{
    int32 Id;
    FFileFaultRule Rule;
};

struct FFaultState
{
    std::mutex Mutex;
    std::vector<FRuleEntry> Rules; // guarded by Mutex
    int32 NextId = 1;              // guarded by Mutex
    int32 Hits = 0;                // guarded by Mutex
};

FFaultState& State()
{
    static FFaultState Instance;
    return Instance;
}
} // namespace

int32 FFileFaults::Add(const FFileFaultRule& Rule)
{
    std::lock_guard Lock(State().Mutex);
    const int32 Id = State().NextId++;
    State().Rules.push_back({Id, Rule});
    return Id;
}

void FFileFaults::Remove(int32 Id)
{
    std::lock_guard Lock(State().Mutex);
    std::erase_if(State().Rules, [Id](const FRuleEntry& Entry) { return Entry.Id == Id; });
}

void FFileFaults::Clear()
{
    std::lock_guard Lock(State().Mutex);
    State().Rules.clear();
    State().Hits = 0;
}

bool FFileFaults::Match(EFileFault Fault, const FString& Path, FFileFaultRule* OutRule)
{
    std::lock_guard Lock(State().Mutex);
    for (FRuleEntry& Entry : State().Rules)
    {
        FFileFaultRule& Rule = Entry.Rule;
        if (Rule.Fault != Fault || Rule.RemainingHits == 0)
        {
            continue;
        }
        if (!Rule.PathContains.empty() && Path.find(Rule.PathContains) == FString::npos)
        {
            continue;
        }
        if (Rule.RemainingHits > 0)
        {
            --Rule.RemainingHits;
        }
        ++State().Hits;
        if (OutRule)
        {
            *OutRule = Rule;
        }
        return true;
    }
    return false;
}

int32 FFileFaults::HitCount()
{
    std::lock_guard Lock(State().Mutex);
    return State().Hits;
}
