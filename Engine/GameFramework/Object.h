// The common base of engine objects that reflected properties can point at, so a
// value read through a property can be checked for its class.
#pragma once

class UObject
{
public:
    virtual ~UObject() = default;
};

template <typename T> T* Cast(UObject* Object)
{
    return dynamic_cast<T*>(Object);
}
