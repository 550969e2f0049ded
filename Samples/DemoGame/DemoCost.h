// What the recorder cost the game during one run, from the engine's timings of the
// work it does for plugins and from the CPU clocks of the threads only the recorder
// uses (the task workers and the HTTP network thread). The game itself posts no
// tasks and owns no tickables, so the engine's time in those is the recorder's.
//
// Game thread only.
#pragma once

#include "CoreTypes.h"

#include <chrono>
#include <vector>

struct FDemoCostReport
{
    double WallSeconds = 0.0;
    int64 Frames = 0;
    double FrameMedianMs = 0.0; // the game thread's work per frame, waits for vsync excluded
    double FrameP99Ms = 0.0;
    double GameThreadMsPerFrame = 0.0;   // the recorder's share of the game thread
    double RenderThreadMsPerFrame = 0.0; // its render-thread work, software downscale included
    double SoftwareDownscaleMs = 0.0;    // total: the stand-in GPU's resampling for it
    double WorkerCpuSeconds = 0.0;       // encoding, archives, files
    double NetworkCpuSeconds = 0.0;      // the HTTP thread
    // Recorder CPU over wall time, in percent of one core, without the software
    // downscale (a GPU does that in a real game).
    double CpuSharePercent = 0.0;
};

class FDemoCostMeter
{
public:
    // Starts measuring now: the engine's timings are reset. Room for ExpectedFrames is
    // made at once, so that timing a frame allocates nothing.
    explicit FDemoCostMeter(std::size_t ExpectedFrames = 0);

    // Times one frame of the game (call around the engine tick, not the vsync wait).
    void BeginFrame();
    void EndFrame();

    FDemoCostReport Finish() const;

private:
    std::chrono::steady_clock::time_point Started;
    std::chrono::steady_clock::time_point FrameStarted;
    std::vector<double> FrameMs;
    double StartWorkerCpu = 0.0;
    double StartNetworkCpu = 0.0;
};
