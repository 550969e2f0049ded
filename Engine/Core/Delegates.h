// Multicast events with add/remove handles.
//
// Broadcast copies the listener list under its lock and calls the copies outside
// it, so a listener may add or remove listeners (the change applies from the next
// broadcast). Safe to use from several threads.
#pragma once

#include "CoreTypes.h"

#include <functional>
#include <mutex>
#include <utility>
#include <vector>

class FDelegateHandle
{
public:
    FDelegateHandle() = default;
    bool IsValid() const { return Id != 0; }
    void Reset() { Id = 0; }
    bool operator==(const FDelegateHandle&) const = default;

private:
    template <typename...> friend class TMulticastDelegate;
    explicit FDelegateHandle(uint64 InId) : Id(InId) {}
    uint64 Id = 0;
};

template <typename... ArgTypes> class TMulticastDelegate
{
public:
    using FFunction = std::function<void(ArgTypes...)>;

    FDelegateHandle Add(FFunction Function)
    {
        std::lock_guard Lock(Mutex);
        const FDelegateHandle Handle(++LastId);
        Listeners.push_back({Handle, std::move(Function)});
        return Handle;
    }

    // Returns whether a listener was removed.
    bool Remove(FDelegateHandle Handle)
    {
        std::lock_guard Lock(Mutex);
        return std::erase_if(Listeners, [&](const FListener& L) { return L.Handle == Handle; }) > 0;
    }

    void Clear()
    {
        std::lock_guard Lock(Mutex);
        Listeners.clear();
    }

    bool IsBound() const
    {
        std::lock_guard Lock(Mutex);
        return !Listeners.empty();
    }

    void Broadcast(ArgTypes... Args) const
    {
        std::vector<FListener> Copy;
        {
            std::lock_guard Lock(Mutex);
            Copy = Listeners;
        }
        for (const FListener& Listener : Copy)
        {
            Listener.Function(Args...);
        }
    }

private:
    struct FListener
    {
        FDelegateHandle Handle;
        FFunction Function;
    };
    mutable std::mutex Mutex;
    std::vector<FListener> Listeners; // guarded by Mutex
    uint64 LastId = 0;                // guarded by Mutex
};
