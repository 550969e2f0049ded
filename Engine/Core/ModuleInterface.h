// The interface every engine module implements; the host calls StartupModule when
// it loads the module and ShutdownModule before unloading it. Game thread.
#pragma once

class IModuleInterface
{
public:
    virtual ~IModuleInterface() = default;
    virtual void StartupModule() {}
    virtual void ShutdownModule() {}
    virtual bool SupportsDynamicReloading() { return true; }
    virtual bool SupportsAutomaticShutdown() { return true; }
    virtual bool IsGameModule() const { return false; }
};
