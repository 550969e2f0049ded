#include "PluginManager.h"

#include "Files.h"

#include <filesystem>
#include <nlohmann/json.hpp>

namespace
{
class FPlugin final : public IPlugin
{
public:
    FPlugin(FString InName, FString InBaseDir, FPluginDescriptor InDescriptor)
        : Name(std::move(InName)), BaseDir(std::move(InBaseDir)),
          Descriptor(std::move(InDescriptor))
    {
    }
    const FString& GetName() const override { return Name; }
    const FString& GetBaseDir() const override { return BaseDir; }
    const FPluginDescriptor& GetDescriptor() const override { return Descriptor; }

private:
    FString Name;
    FString BaseDir;
    FPluginDescriptor Descriptor;
};

bool ReadDescriptor(const FString& Path, FPluginDescriptor& Out)
{
    FString Text;
    if (!FFileHelper::LoadFileToString(Text, Path))
    {
        return false;
    }
    const nlohmann::json Json = nlohmann::json::parse(Text, nullptr, false);
    if (!Json.is_object())
    {
        return false;
    }
    auto Str = [&](const char* Key)
    {
        const auto It = Json.find(Key);
        return It != Json.end() && It->is_string() ? It->get<FString>() : FString();
    };
    const auto VersionIt = Json.find("Version");
    Out.Version =
        VersionIt != Json.end() && VersionIt->is_number_integer() ? VersionIt->get<int32>() : 0;
    Out.VersionName = Str("VersionName");
    Out.FriendlyName = Str("FriendlyName");
    Out.Description = Str("Description");
    return true;
}
} // namespace

IPluginManager& IPluginManager::Get()
{
    static IPluginManager Instance;
    return Instance;
}

void IPluginManager::AddPluginSearchPath(const FString& Folder)
{
    std::lock_guard Lock(Mutex);
    SearchPaths.push_back(Folder);
}

void IPluginManager::ClearPluginSearchPaths()
{
    std::lock_guard Lock(Mutex);
    SearchPaths.clear();
}

std::shared_ptr<IPlugin> IPluginManager::FindPlugin(const FString& Name) const
{
    std::vector<FString> Paths;
    {
        std::lock_guard Lock(Mutex);
        Paths = SearchPaths;
    }
    const FString FileName = Name + ".uplugin";
    for (const FString& Root : Paths)
    {
        std::error_code Error;
        for (std::filesystem::recursive_directory_iterator It(Root, Error), End;
             !Error && It != End; It.increment(Error))
        {
            if (It->path().filename() != FileName)
            {
                continue;
            }
            FPluginDescriptor Descriptor;
            if (ReadDescriptor(It->path().string(), Descriptor))
            {
                return std::make_shared<FPlugin>(Name, It->path().parent_path().string(),
                                                 std::move(Descriptor));
            }
        }
    }
    return nullptr;
}
