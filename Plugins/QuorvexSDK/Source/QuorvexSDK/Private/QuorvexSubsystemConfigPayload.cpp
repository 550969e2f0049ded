// The description of the device, the app and the SDK sent with a session create.
#include "QuorvexSubsystem.h"

void UQuorvexSubsystem::EnsureAttributionResolvedAsync(std::function<void()> Callback)
{
    // Desktop platforms have no install referrer or advertising id to wait for.
    if (Callback)
    {
        Callback();
    }
}

FQuorvexConfigRequest UQuorvexSubsystem::BuildConfigPayload() const
{
    FQuorvexConfigRequest Request;
    Request.InGameId = InGameId;
    Request.DeveloperPayload = DeveloperPayload;
    Request.Sdk.Version = SdkVersion();
    return Request;
}
