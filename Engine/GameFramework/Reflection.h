// A minimal reflected-property registry: for each engine class, the object
// properties it describes by name and byte offset.
//
// The engine registers its own layout; a test may describe a property at another
// offset (as an engine built from different headers would) or remove it. Registered
// offsets must address an object-pointer member of the class. Thread-safe.
#pragma once

#include "CoreTypes.h"
#include "Object.h"

#include <optional>

class FObjectProperty
{
public:
    FObjectProperty(FString InName, int32 InOffset) : Name(std::move(InName)), Offset(InOffset) {}

    const FString& GetName() const { return Name; }
    int32 GetOffset_ForInternal() const { return Offset; }
    // The object the property holds in Container (an instance of the owning class).
    UObject* GetObjectPropertyValue_InContainer(const void* Container) const;

private:
    FString Name;
    int32 Offset;
};

class FReflectionRegistry
{
public:
    static void RegisterObjectProperty(const FString& ClassName, const FString& PropertyName,
                                       int32 Offset);
    static void UnregisterProperty(const FString& ClassName, const FString& PropertyName);
    // Puts back the engine's own description of its classes.
    static void ResetToEngineLayout();
};

// The named property of the named class, if the class describes one.
std::optional<FObjectProperty> FindFProperty(const FString& ClassName, const FString& PropertyName);
