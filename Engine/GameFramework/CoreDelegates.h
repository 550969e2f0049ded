// Process-wide notifications the platform raises: app backgrounding and
// deactivation, thermal state, and low-power mode. They may be raised on any thread.
#pragma once

#include "CoreTypes.h"
#include "Delegates.h"

struct FCoreDelegates
{
    enum class ETemperatureSeverity : uint8
    {
        Unknown = 0,
        Good = 1,
        Bad = 2,
        Serious = 3,
        Critical = 4,
    };

    static TMulticastDelegate<>& ApplicationWillEnterBackgroundDelegate();
    static TMulticastDelegate<>& ApplicationWillDeactivateDelegate();
    static TMulticastDelegate<ETemperatureSeverity>& OnTemperatureChange();
    static TMulticastDelegate<bool>& OnLowPowerMode();
};

// True when running inside the editor; the SDK refuses to record there.
extern bool GIsEditor;
