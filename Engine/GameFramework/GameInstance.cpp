#include "GameInstance.h"

#include <mutex>

namespace
{
struct FRegistration
{
    FString ClassName;
    FSubsystemFactory Factory;
};

std::mutex GMutex;
std::vector<FRegistration>& Registrations() // guarded by GMutex
{
    static std::vector<FRegistration> List;
    return List;
}
} // namespace

UWorld* UGameInstanceSubsystem::GetWorld() const
{
    return Outer ? Outer->GetWorld() : nullptr;
}

void FSubsystemRegistry::Register(const char* ClassName, FSubsystemFactory Factory)
{
    std::lock_guard Lock(GMutex);
    for (const FRegistration& Existing : Registrations())
    {
        if (Existing.ClassName == ClassName)
        {
            return;
        }
    }
    Registrations().push_back({ClassName, std::move(Factory)});
}

void FSubsystemRegistry::Unregister(const char* ClassName)
{
    std::lock_guard Lock(GMutex);
    std::erase_if(Registrations(),
                  [&](const FRegistration& Entry) { return Entry.ClassName == ClassName; });
}

UGameInstance::UGameInstance() = default;

UGameInstance::~UGameInstance()
{
    Shutdown();
}

void UGameInstance::Init()
{
    if (bInitialized)
    {
        return;
    }
    bInitialized = true;
    std::vector<FRegistration> List;
    {
        std::lock_guard Lock(GMutex);
        List = Registrations();
    }
    FSubsystemCollectionBase Collection;
    for (const FRegistration& Entry : List)
    {
        std::unique_ptr<UGameInstanceSubsystem> Subsystem = Entry.Factory();
        Subsystem->Outer = this;
        Subsystems.push_back(std::move(Subsystem));
        Subsystems.back()->Initialize(Collection);
    }
}

void UGameInstance::Shutdown()
{
    if (!bInitialized)
    {
        return;
    }
    bInitialized = false;
    for (auto It = Subsystems.rbegin(); It != Subsystems.rend(); ++It)
    {
        (*It)->Deinitialize();
    }
    while (!Subsystems.empty())
    {
        Subsystems.pop_back();
    }
}
