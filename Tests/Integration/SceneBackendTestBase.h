// A subsystem recording a running test scene against the dev backend, driven only
// through the public API: each engine frame ticks the subsystem and asks for a
// capture when the capture interval is one frame.
#pragma once

#include "SubsystemBackendTestBase.h"
#include "TestEngineScene.h"

#include <memory>

class FSceneBackendTestBase : public FSubsystemBackendTestBase
{
protected:
    // Every engine frame of TickSeconds asks for one capture.
    static constexpr float TickSeconds = 0.5f;

    void SetUp() override
    {
        Scene = std::make_unique<FTestEngineScene>();
        FSubsystemBackendTestBase::SetUp();
        Scene->Tick(2);
    }

    void TearDown() override
    {
        FSubsystemBackendTestBase::TearDown();
        Scene.reset();
    }

    nlohmann::json CaptureConfig() const override
    {
        nlohmann::json Config = FDevBackendOptions::DefaultCaptureConfig();
        Config["captureIntervalSeconds"] = TickSeconds;
        Config["stopCaptureCpuUsagePercent"] = 0;
        return Config;
    }

    // Runs engine frames (each ticks the subsystem) until Condition holds.
    bool FramesUntil(const std::function<bool()>& Condition)
    {
        return PumpUntil(
            [&]
            {
                if (Condition())
                {
                    return true;
                }
                BeforeFrame();
                Scene->Loop.Tick(TickSeconds);
                return false;
            });
    }

    // Called before each engine frame FramesUntil runs.
    virtual void BeforeFrame() {}

    void Start()
    {
        FCompletionProbe Started;
        Subsystem->StartSessionNative("p", "", Started.Callback());
        ASSERT_TRUE(FramesUntil([&] { return Started.Calls > 0; }));
        ASSERT_EQ(Started.Response, EQuorvexSdkResponse::QUORVEX_SUCCESS);
    }

    void Stop()
    {
        FCompletionProbe Stopped;
        Subsystem->StopSessionNative(Stopped.Callback());
        ASSERT_TRUE(FramesUntil([&] { return Stopped.Calls > 0; }));
    }

    std::unique_ptr<FTestEngineScene> Scene;
};
