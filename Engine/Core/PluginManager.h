// Finds plugins by their descriptor files ("<Name>.uplugin") under the folders the
// host registers, and reports what the descriptors say.
#pragma once

#include "CoreTypes.h"

#include <memory>
#include <mutex>
#include <vector>

struct FPluginDescriptor
{
    int32 Version = 0;
    FString VersionName;
    FString FriendlyName;
    FString Description;
};

class IPlugin
{
public:
    virtual ~IPlugin() = default;
    virtual const FString& GetName() const = 0;
    virtual const FString& GetBaseDir() const = 0;
    virtual const FPluginDescriptor& GetDescriptor() const = 0;
};

class IPluginManager
{
public:
    static IPluginManager& Get();

    // Adds a folder that is searched (recursively) for descriptor files.
    void AddPluginSearchPath(const FString& Folder);
    void ClearPluginSearchPaths();
    // Reads the descriptor of the named plugin; null when none is found or it
    // cannot be parsed. Descriptors are read again on every call.
    std::shared_ptr<IPlugin> FindPlugin(const FString& Name) const;

private:
    mutable std::mutex Mutex;
    std::vector<FString> SearchPaths; // guarded by Mutex
};
