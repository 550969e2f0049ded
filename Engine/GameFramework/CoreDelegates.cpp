#include "CoreDelegates.h"

bool GIsEditor = false;

TMulticastDelegate<>& FCoreDelegates::ApplicationWillEnterBackgroundDelegate()
{
    static TMulticastDelegate<> Delegate;
    return Delegate;
}

TMulticastDelegate<>& FCoreDelegates::ApplicationWillDeactivateDelegate()
{
    static TMulticastDelegate<> Delegate;
    return Delegate;
}

TMulticastDelegate<FCoreDelegates::ETemperatureSeverity>& FCoreDelegates::OnTemperatureChange()
{
    static TMulticastDelegate<ETemperatureSeverity> Delegate;
    return Delegate;
}

TMulticastDelegate<bool>& FCoreDelegates::OnLowPowerMode()
{
    static TMulticastDelegate<bool> Delegate;
    return Delegate;
}
