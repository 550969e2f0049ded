#include "DemoCost.h"

#include "EngineTimings.h"

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <string>

namespace
{
// CPU seconds used so far by this process's threads called Name, from the scheduler's
// nanosecond account of each thread (the tick counts in /proc/<tid>/stat are too coarse
// for threads that run a few milliseconds at a time).
double ThreadCpuSeconds(const std::string& Name)
{
    double Seconds = 0.0;
    DIR* Tasks = opendir("/proc/self/task");
    if (!Tasks)
    {
        return 0.0;
    }
    while (const dirent* Entry = readdir(Tasks))
    {
        const std::string Dir = std::string("/proc/self/task/") + Entry->d_name;
        std::string Comm;
        std::getline(std::ifstream(Dir + "/comm"), Comm);
        unsigned long long RunNanoseconds = 0;
        if (Comm == Name && (std::ifstream(Dir + "/schedstat") >> RunNanoseconds))
        {
            Seconds += static_cast<double>(RunNanoseconds) * 1e-9;
        }
    }
    closedir(Tasks);
    return Seconds;
}

bool IsRecorderName(const FString& Name)
{
    return Name.rfind("Quorvex", 0) == 0;
}

double RecorderSeconds(ENamedEngineTiming Kind)
{
    double Seconds = 0.0;
    for (const FNamedEngineTiming& Timing : FEngineTimings::Named(Kind))
    {
        Seconds += IsRecorderName(Timing.Name) ? Timing.Seconds : 0.0;
    }
    return Seconds;
}

double Percentile(std::vector<double> Values, double Fraction)
{
    if (Values.empty())
    {
        return 0.0;
    }
    std::sort(Values.begin(), Values.end());
    const size_t Index = static_cast<size_t>(Fraction * static_cast<double>(Values.size() - 1));
    return Values[Index];
}
} // namespace

FDemoCostMeter::FDemoCostMeter(std::size_t ExpectedFrames)
    : Started(std::chrono::steady_clock::now()), StartWorkerCpu(ThreadCpuSeconds("TaskWorker")),
      StartNetworkCpu(ThreadCpuSeconds("HttpNetwork"))
{
    FrameMs.reserve(ExpectedFrames);
    FEngineTimings::Reset();
}

void FDemoCostMeter::BeginFrame()
{
    FrameStarted = std::chrono::steady_clock::now();
}

void FDemoCostMeter::EndFrame()
{
    FrameMs.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - FrameStarted)
            .count());
}

FDemoCostReport FDemoCostMeter::Finish() const
{
    FDemoCostReport Report;
    Report.WallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - Started).count();
    Report.Frames = static_cast<int64>(FrameMs.size());
    Report.FrameMedianMs = Percentile(FrameMs, 0.5);
    Report.FrameP99Ms = Percentile(FrameMs, 0.99);
    const double GameThread = FEngineTimings::Total(EEngineTiming::GameThreadTasks).Seconds +
                              FEngineTimings::Total(EEngineTiming::Tickables).Seconds +
                              FEngineTimings::Total(EEngineTiming::ViewportRendered).Seconds;
    const double RenderThread = FEngineTimings::Total(EEngineTiming::BackBufferReady).Seconds +
                                RecorderSeconds(ENamedEngineTiming::RenderCommand);
    const double Downscale = RecorderSeconds(ENamedEngineTiming::ScreenPass);
    Report.WorkerCpuSeconds = ThreadCpuSeconds("TaskWorker") - StartWorkerCpu;
    Report.NetworkCpuSeconds = ThreadCpuSeconds("HttpNetwork") - StartNetworkCpu;
    const double Frames = std::max<double>(1.0, static_cast<double>(Report.Frames));
    Report.GameThreadMsPerFrame = GameThread * 1000.0 / Frames;
    Report.RenderThreadMsPerFrame = RenderThread * 1000.0 / Frames;
    Report.SoftwareDownscaleMs = Downscale * 1000.0;
    const double RecorderCpu =
        GameThread + RenderThread - Downscale + Report.WorkerCpuSeconds + Report.NetworkCpuSeconds;
    Report.CpuSharePercent = 100.0 * RecorderCpu / std::max(1e-9, Report.WallSeconds);
    return Report;
}
