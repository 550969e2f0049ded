#include "QuorvexSDKModule.h"

#include "CommandLine.h"
#include "GameInstance.h"
#include "QuorvexEngineAbi.h"
#include "QuorvexLog.h"
#include "QuorvexOfflineStore.h"
#include "QuorvexSubsystem.h"
#include "Tasks.h"

#include <memory>

FQuorvexSDKModule& FQuorvexSDKModule::LoadModule()
{
    static std::unique_ptr<FQuorvexSDKModule> Module;
    if (!Module)
    {
        Module = std::make_unique<FQuorvexSDKModule>();
        Module->StartupModule();
    }
    return *Module;
}

void FQuorvexSDKModule::StartupModule()
{
    ApplyCommandLine();
    FSubsystemRegistry::Register<UQuorvexSubsystem>("UQuorvexSubsystem");
    AsyncTask(ENamedThreads::AnyBackgroundThreadNormalTask,
              [] { SweepStrandedUploadArtifactsInMediaArchive(); });
}

void FQuorvexSDKModule::ApplyCommandLine()
{
    if (!FParse::Param(FCommandLine::Get(), "QuorvexNoSlateCapture"))
    {
        return;
    }
    FQuorvexEngineAbi::SetSlateCaptureDisabled(true);
    QUORVEX_LOG(Warning,
                "QuorvexSDK: -QuorvexNoSlateCapture: the Slate composite hook is disabled. "
                "Captured frames will contain the 3D scene and HUD canvas but NOT Slate/UMG UI.");
}

void FQuorvexSDKModule::SweepStrandedUploadArtifactsInMediaArchive()
{
    FQuorvexOfflineStore::SweepStrandedUploadArtifacts(
        FQuorvexOfflineStore::GetMediaArchiveDirectory());
}
