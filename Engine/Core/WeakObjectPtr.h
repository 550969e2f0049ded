// Weak references to objects that are destroyed on the game thread.
//
// An object owns an FLifetimeToken; work posted elsewhere captures a
// TWeakObjectPtr made from it and, once back on the game thread, calls Get(),
// which returns null after the object was destroyed. Get() is only meaningful on
// the game thread: on another thread the object could be destroyed right after
// the check.
#pragma once

#include <memory>

template <typename T> class TWeakObjectPtr
{
public:
    TWeakObjectPtr() = default;
    TWeakObjectPtr(std::weak_ptr<const void> InToken, T* InObject)
        : Token(std::move(InToken)), Object(InObject)
    {
    }

    T* Get() const { return Token.expired() ? nullptr : Object; }
    bool IsValid() const { return Get() != nullptr; }

private:
    std::weak_ptr<const void> Token;
    T* Object = nullptr;
};

class FLifetimeToken
{
public:
    FLifetimeToken() : Token(std::make_shared<int>(0)) {}
    FLifetimeToken(const FLifetimeToken&) = delete;
    FLifetimeToken& operator=(const FLifetimeToken&) = delete;

    template <typename T> TWeakObjectPtr<T> MakeWeak(T* Object) const
    {
        return TWeakObjectPtr<T>(Token, Object);
    }

    std::weak_ptr<const void> Get() const { return Token; }

private:
    std::shared_ptr<const void> Token;
};
