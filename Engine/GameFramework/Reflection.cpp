#include "Reflection.h"

#include "GameEngine.h"

#include <cstddef>
#include <cstring>
#include <mutex>
#include <vector>

namespace
{
struct FEntry
{
    FString ClassName;
    FObjectProperty Property;
};

std::vector<FEntry> EngineLayout()
{
    return {{"UEngine", FObjectProperty("GameViewport", offsetof(UEngine, GameViewport))},
            {"UEngine", FObjectProperty("GameSingleton", offsetof(UEngine, GameSingleton))}};
}

std::mutex GMutex;
std::vector<FEntry>& Entries() // guarded by GMutex
{
    static std::vector<FEntry> List = EngineLayout();
    return List;
}
} // namespace

UObject* FObjectProperty::GetObjectPropertyValue_InContainer(const void* Container) const
{
    if (!Container)
    {
        return nullptr;
    }
    // Object members hold pointers to classes whose first base is UObject, so the
    // stored address is the UObject's.
    UObject* Value = nullptr;
    std::memcpy(&Value, static_cast<const uint8*>(Container) + Offset, sizeof(Value));
    return Value;
}

void FReflectionRegistry::RegisterObjectProperty(const FString& ClassName,
                                                 const FString& PropertyName, int32 Offset)
{
    std::lock_guard Lock(GMutex);
    std::erase_if(Entries(), [&](const FEntry& E)
                  { return E.ClassName == ClassName && E.Property.GetName() == PropertyName; });
    Entries().push_back({ClassName, FObjectProperty(PropertyName, Offset)});
}

void FReflectionRegistry::UnregisterProperty(const FString& ClassName, const FString& PropertyName)
{
    std::lock_guard Lock(GMutex);
    std::erase_if(Entries(), [&](const FEntry& E)
                  { return E.ClassName == ClassName && E.Property.GetName() == PropertyName; });
}

void FReflectionRegistry::ResetToEngineLayout()
{
    std::lock_guard Lock(GMutex);
    Entries() = EngineLayout();
}

std::optional<FObjectProperty> FindFProperty(const FString& ClassName, const FString& PropertyName)
{
    std::lock_guard Lock(GMutex);
    for (const FEntry& E : Entries())
    {
        if (E.ClassName == ClassName && E.Property.GetName() == PropertyName)
        {
            return E.Property;
        }
    }
    return std::nullopt;
}
