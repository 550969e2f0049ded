// The game instance and its subsystems.
//
// Subsystem classes register a factory once (a plugin does this when its module
// starts); every game instance then creates one of each at Init, initialises them
// in registration order, and deinitialises them in reverse order at Shutdown.
#pragma once

#include "CoreTypes.h"

#include <functional>
#include <memory>
#include <vector>

class UGameInstance;
class UWorld;

// Passed to Initialize; lets a subsystem name others it depends on (unused here).
class FSubsystemCollectionBase
{
};

class UGameInstanceSubsystem
{
public:
    virtual ~UGameInstanceSubsystem() = default;
    virtual void Initialize(FSubsystemCollectionBase& Collection) { (void)Collection; }
    virtual void Deinitialize() {}

    UGameInstance* GetGameInstance() const { return Outer; }
    // The game instance's world, or null when it has none.
    UWorld* GetWorld() const;

private:
    friend class UGameInstance;
    UGameInstance* Outer = nullptr; // set before Initialize; game thread
};

using FSubsystemFactory = std::function<std::unique_ptr<UGameInstanceSubsystem>()>;

class FSubsystemRegistry
{
public:
    // Registers a class once; later registrations under the same name are ignored.
    static void Register(const char* ClassName, FSubsystemFactory Factory);
    static void Unregister(const char* ClassName);

    template <typename T> static void Register(const char* ClassName)
    {
        Register(ClassName, [] { return std::make_unique<T>(); });
    }
};

class UGameInstance
{
public:
    UGameInstance();
    ~UGameInstance();

    // Creates and initialises every registered subsystem. Game thread.
    void Init();
    // Deinitialises and destroys the subsystems in reverse order. Game thread.
    void Shutdown();

    template <typename T> T* GetSubsystem() const
    {
        for (const auto& Subsystem : Subsystems)
        {
            if (T* Typed = dynamic_cast<T*>(Subsystem.get()))
            {
                return Typed;
            }
        }
        return nullptr;
    }

    UWorld* GetWorld() const { return World; }
    void SetWorld(UWorld* InWorld) { World = InWorld; }

private:
    std::vector<std::unique_ptr<UGameInstanceSubsystem>> Subsystems; // game thread
    UWorld* World = nullptr;                                         // game thread
    bool bInitialized = false;                                       // game thread
};
