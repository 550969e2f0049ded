// The sample game's command line.
#pragma once

#include "CoreTypes.h"
#include "DevBackendTypes.h"
#include "DynamicRhi.h"

#include <optional>
#include <string>
#include <vector>

struct FDemoOptions
{
    double Seconds = 20.0; // wall time of play (game time when unpaced)
    FString Backend;       // empty: start the dev backend in this process
    EDevBackendStore Store = EDevBackendStore::Gcs;
    ERHIInterfaceType Rhi = ERHIInterfaceType::D3D12;
    std::optional<int32> Quality; // JPEG quality sent by the in-process backend
    double IntervalSeconds = 5.0; // batch send interval sent by the in-process backend
    FString Faults;               // a fault script of the in-process backend
    bool bServe = false;          // keep the backend and the replay page up at the end
    int32 Port = 0;               // the in-process backend's port; 0 picks a free one
    FString OutputFolder;         // where the replay page is written; empty: a default
    bool bUnpaced = false;        // frames as fast as possible
    bool bHelp = false;
};

// Parses Args (without the program name). False with a message for bad input.
bool ParseDemoOptions(const std::vector<std::string>& Args, FDemoOptions& Out,
                      std::string& OutError);
std::string DemoUsage();
