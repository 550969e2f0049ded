// Multicast events with add/remove handles.
//
// The listener list is copy-on-write: adding or removing a listener makes a new list,
// and Broadcast takes a reference to the current one under the lock and calls it
// outside, so a listener may add or remove listeners (the change applies from the next
// broadcast) and a broadcast never allocates. Safe to use from several threads.
#pragma once

#include "CoreTypes.h"

#include <functional>
#include <memory>
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
        auto Next =
            Listeners ? std::make_shared<FListeners>(*Listeners) : std::make_shared<FListeners>();
        Next->push_back({Handle, std::move(Function)});
        Listeners = std::move(Next);
        return Handle;
    }

    // Returns whether a listener was removed.
    bool Remove(FDelegateHandle Handle)
    {
        std::lock_guard Lock(Mutex);
        if (!Listeners)
        {
            return false;
        }
        auto Next = std::make_shared<FListeners>(*Listeners);
        if (std::erase_if(*Next, [&](const FListener& L) { return L.Handle == Handle; }) == 0)
        {
            return false;
        }
        Listeners = Next->empty() ? nullptr : std::move(Next);
        return true;
    }

    void Clear()
    {
        std::lock_guard Lock(Mutex);
        Listeners.reset();
    }

    bool IsBound() const
    {
        std::lock_guard Lock(Mutex);
        return Listeners != nullptr;
    }

    void Broadcast(ArgTypes... Args) const
    {
        std::shared_ptr<const FListeners> Current;
        {
            std::lock_guard Lock(Mutex);
            Current = Listeners;
        }
        if (!Current)
        {
            return;
        }
        for (const FListener& Listener : *Current)
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
    using FListeners = std::vector<FListener>;
    mutable std::mutex Mutex;
    // Never changed once published; null when nobody listens. Guarded by Mutex.
    std::shared_ptr<const FListeners> Listeners;
    uint64 LastId = 0; // guarded by Mutex
};
