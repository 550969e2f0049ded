// The graphics and display parts of the device description, and the size of the
// viewport the engine rendered.
#include "QuorvexSubsystem.h"

#include "DisplayMetrics.h"
#include "DynamicRhi.h"
#include "PlatformTime.h"
#include "QuorvexCapturePipeline.h"
#include "QuorvexEngineAbi.h"
#include "QuorvexLog.h"
#include "RhiAdapter.h"
#include "Viewport.h"

#include <mutex>

namespace
{
// What the device's graphics hardware can do, probed at most once per process:
// several subsystems of one process may ask at the same time.
struct FGraphicsProbe
{
    std::mutex Lock;
    bool bComputed = false;              // guarded by Lock
    FQuorvexDeviceGraphicsConfig Result; // guarded by Lock
};

// Never destroyed: the background probe may still be running when the process exits.
FGraphicsProbe& GraphicsProbe()
{
    static FGraphicsProbe* Probe = new FGraphicsProbe;
    return *Probe;
}

void ResolveGpu(FQuorvexDeviceInfo& Device)
{
    const FRHIAdapterDescription Adapter = FRHIAdapter::Get();
    Device.GpuName = Adapter.AdapterName;
    Device.GpuVendor = RHIVendorIdToString(Adapter.VendorId);
    Device.GpuDriverVersion = Adapter.UserDriverVersion.empty() ? Adapter.InternalDriverVersion
                                                                : Adapter.UserDriverVersion;
    Device.GpuMemoryMb = Adapter.DedicatedVideoMemoryBytes > 0
                             ? static_cast<int32>(Adapter.DedicatedVideoMemoryBytes / 1048576)
                             : 0;
    QUORVEX_LOG_DEBUG("QuorvexSDK: Device GPU resolved: name=%s vendor=%s driver=%s memoryMb=%d",
                      Device.GpuName.c_str(), Device.GpuVendor.c_str(),
                      Device.GpuDriverVersion.empty() ? "(unavailable)"
                                                      : Device.GpuDriverVersion.c_str(),
                      Device.GpuMemoryMb);
}

void ResolveGraphicsStack(FQuorvexDeviceInfo& Device)
{
    const double Start = FPlatformTime::Seconds();
    const FRHIAdapterDescription Adapter = FRHIAdapter::Get();
    const FQuorvexDeviceGraphicsConfig& Probe = Device.DeviceGraphicsConfig;
    FQuorvexUeGraphicsConfig& Selected = Device.UeSelectedConfig;
    Selected.Api = FQuorvexCapturePipeline::GetActiveRhiApiName();
    Selected.FeatureLevel = Adapter.FeatureLevel;
    Selected.ShaderPlatform = Adapter.ShaderPlatform;
    Selected.bAdvancedPlatformDenied = Adapter.bAdvancedPlatformDenied;
    Selected.bIsNullRhi = GDynamicRHI && GDynamicRHI->GetInterfaceType() == ERHIInterfaceType::Null;
    Device.bUsesNativeReadbackPath =
        !Selected.bIsNullRhi && FQuorvexCapturePipeline::IsNativeReadbackPathActive();
    QUORVEX_LOG_DEBUG(
        "QuorvexSDK: Graphics resolved in %.1fms: device source=%s api=%s fl=%s sm=%s "
        "tier=%d waveOps=%d atomic64=%d | ue api=%s fl=%s sp=%s denied=%d nullRhi=%d | "
        "nativeReadback=%d",
        (FPlatformTime::Seconds() - Start) * 1000.0, Probe.Source.c_str(), Probe.Api.c_str(),
        Probe.D3dFeatureLevel.c_str(), Probe.D3dShaderModel.c_str(), Probe.D3dResourceBindingTier,
        Probe.bD3dSupportsWaveOps ? 1 : 0, Probe.bD3dSupportsAtomic64 ? 1 : 0, Selected.Api.c_str(),
        Selected.FeatureLevel.c_str(), Selected.ShaderPlatform.c_str(),
        Selected.bAdvancedPlatformDenied ? 1 : 0, Selected.bIsNullRhi ? 1 : 0,
        Device.bUsesNativeReadbackPath ? 1 : 0);
}
} // namespace

FQuorvexDeviceGraphicsConfig UQuorvexSubsystem::ProbeDeviceGraphicsOnce()
{
    FGraphicsProbe& Probe = GraphicsProbe();
    std::lock_guard Guard(Probe.Lock);
    if (!Probe.bComputed)
    {
        // No independent capability probe exists off Windows: the attempt cannot answer.
        Probe.Result = FQuorvexDeviceGraphicsConfig{};
        Probe.Result.Source = "probeUnavailable";
        Probe.bComputed = true;
        QUORVEX_LOG_DEBUG("QuorvexSDK: Graphics probe resolved: source=%s",
                          Probe.Result.Source.c_str());
    }
    return Probe.Result;
}

bool UQuorvexSubsystem::IsDeviceGraphicsProbed()
{
    FGraphicsProbe& Probe = GraphicsProbe();
    std::lock_guard Guard(Probe.Lock);
    return Probe.bComputed;
}

void UQuorvexSubsystem::ResolveGraphicsAndDisplay()
{
    FQuorvexDeviceInfo& Device = DeviceDescription.CachedConfigRequest.Device;
    ResolveGpu(Device);
    Device.DeviceGraphicsConfig = ProbeDeviceGraphicsOnce();
    ResolveGraphicsStack(Device);

    FDisplayMetrics Metrics;
    FDisplayMetrics::RebuildDisplayMetrics(Metrics);
    DeviceDescription.LogicalDisplayWidth = Metrics.PrimaryDisplayWidth;
    DeviceDescription.LogicalDisplayHeight = Metrics.PrimaryDisplayHeight;
    const FMonitorInfo* Primary = nullptr;
    for (const FMonitorInfo& Monitor : Metrics.MonitorInfo)
    {
        if (Monitor.bIsPrimary)
        {
            Primary = &Monitor;
            break;
        }
    }
    if (!Primary && !Metrics.MonitorInfo.empty())
    {
        Primary = &Metrics.MonitorInfo.front();
    }
    Device.Dpi = Primary ? static_cast<float>(Primary->DPI) : 0.f;
    // The primary display's current mode when the platform reports one.
    const bool bPhysical = Primary && Primary->NativeWidth > 0 && Primary->NativeHeight > 0;
    Device.Resolution = bPhysical
                            ? FQuorvexDeviceResolution{Primary->NativeWidth, Primary->NativeHeight}
                            : FQuorvexDeviceResolution{DeviceDescription.LogicalDisplayWidth,
                                                       DeviceDescription.LogicalDisplayHeight};
    QUORVEX_LOG_DEBUG("QuorvexSDK: Display resolved: physical=%dx%d (%s) logical=%dx%d dpi=%.0f",
                      Device.Resolution.Width, Device.Resolution.Height,
                      bPhysical ? "platform" : "display-metrics fallback",
                      DeviceDescription.LogicalDisplayWidth, DeviceDescription.LogicalDisplayHeight,
                      static_cast<double>(Device.Dpi));
}

bool UQuorvexSubsystem::GetRenderedViewportSize(int32& OutWidth, int32& OutHeight) const
{
    const FViewport* Viewport = FQuorvexEngineAbi::GetRenderedViewport();
    OutWidth = Viewport ? Viewport->GetSizeXY().X : 0;
    OutHeight = Viewport ? Viewport->GetSizeXY().Y : 0;
    return Viewport != nullptr;
}
