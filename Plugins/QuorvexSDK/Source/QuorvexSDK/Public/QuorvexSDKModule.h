// The QuorvexSDK module: what happens when the engine loads the plugin.
//
// Start-up reads the switch that keeps the Slate composite hook off, registers the
// SDK's game-instance subsystem, and sweeps stranded upload files on a background
// task. The stand-in engine has no module loader: the host (or a test) calls
// FQuorvexSDKModule::LoadModule() once, before creating its game instance.
#pragma once

#include "ModuleInterface.h"

class FQuorvexSDKModule : public IModuleInterface
{
public:
    // Creates the process's module instance and starts it, once; returns it. Game thread.
    static FQuorvexSDKModule& LoadModule();

    void StartupModule() override;
    // Does nothing: the subsystem releases everything it holds when it deinitialises.
    void ShutdownModule() override {}
    bool SupportsDynamicReloading() override { return true; }
    bool SupportsAutomaticShutdown() override { return true; }
    bool IsGameModule() const override { return false; }

private:
    static void ApplyCommandLine();
    // Deletes upload files an earlier run left in the media archive folder; runs on
    // a background worker.
    static void SweepStrandedUploadArtifactsInMediaArchive();
};
