// What the graphics device reports about itself: the adapter, its driver, its memory
// and the feature level the engine selected. The host sets the description (the
// software GPU starts with its own) before the SDK reads it.
#pragma once

#include "CoreTypes.h"

struct FRHIAdapterDescription
{
    FString AdapterName = "Quorvex Software GPU";
    uint32 VendorId = 0;
    uint32 DeviceId = 0;
    FString UserDriverVersion;
    FString InternalDriverVersion = "1.0";
    int64 DedicatedVideoMemoryBytes = 0;
    FString FeatureLevel = "SM5";
    FString ShaderPlatform = "VULKAN_SM5";
    // The advanced shader platform was asked for and refused.
    bool bAdvancedPlatformDenied = false;
};

// Thread-safe access to the process's adapter description.
struct FRHIAdapter
{
    static FRHIAdapterDescription Get();
    static void Set(const FRHIAdapterDescription& Description);
};

// "NVIDIA", "AMD", "Intel", ... for a PCI vendor id; "Unknown" otherwise.
const char* RHIVendorIdToString(uint32 VendorId);
