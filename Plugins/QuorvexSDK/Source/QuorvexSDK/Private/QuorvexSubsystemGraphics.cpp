// The graphics and display parts of the device description.
#include "QuorvexSubsystem.h"

#include "QuorvexLog.h"

void UQuorvexSubsystem::ResolveGraphicsAndDisplay()
{
    FQuorvexDeviceInfo& Device = CachedConfigRequest.Device;
    // No independent capability probe exists off Windows: the attempt cannot answer.
    Device.DeviceGraphicsConfig.Source = "probeUnavailable";
    Device.UeSelectedConfig.Api = "Unknown";
}

bool UQuorvexSubsystem::GetRenderedViewportSize(int32& OutWidth, int32& OutHeight) const
{
    OutWidth = 0;
    OutHeight = 0;
    return false;
}
