// A subsystem pointed at an in-process dev backend on loopback: the fixture of the
// tests that watch the subsystem and the backend talk over real HTTP.
#pragma once

#include "DevBackendServer.h"
#include "QuorvexSubsystemTestBase.h"

#include <functional>

// Ticks Subsystem while it is tickable (which runs the client's retries) and pumps
// game-thread tasks until Condition holds.
inline bool TickSubsystemUntil(UQuorvexSubsystem& Subsystem, const std::function<bool()>& Condition)
{
    return PumpUntil(
        [&]
        {
            if (Subsystem.IsTickable())
            {
                Subsystem.Tick(0.01f);
            }
            return Condition();
        });
}

class FSubsystemBackendTestBase : public FQuorvexSubsystemTestBase
{
protected:
    void SetUp() override
    {
        FQuorvexSubsystemTestBase::SetUp();
        Server.SetCaptureConfig(CaptureConfig());
        std::string Error;
        ASSERT_TRUE(Server.Start(Error)) << Error;
        Subsystem->BaseHostUrlOverride = Server.BaseUrl();
    }

    void TearDown() override
    {
        Server.ReleaseStalled();
        FQuorvexSubsystemTestBase::TearDown();
        Server.Stop();
    }

    // The captureConfig every session-create answer carries.
    virtual nlohmann::json CaptureConfig() const
    {
        return FDevBackendOptions::DefaultCaptureConfig();
    }

    // Ticks the subsystem (which runs the client's retries) until Condition holds.
    bool TickUntil(const std::function<bool()>& Condition)
    {
        return TickSubsystemUntil(*Subsystem, Condition);
    }

    FDevBackendServer Server;
};
