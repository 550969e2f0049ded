// Upload speed and slow-network mode: every completed upload is a measurement; slow
// ones, timeouts and sends that find the previous upload still busy are slow
// observations, and the third in a row stops capture, because a recording that
// cannot leave the device only fills its disk.
#include "QuorvexSubsystem.h"

#include "QuorvexApiClient.h"
#include "QuorvexLog.h"
#include "StringUtils.h"
#include "Tasks.h"

#include <algorithm>

namespace
{
constexpr int32 SlowTicksBeforeStop = 3;
} // namespace

int32 UQuorvexSubsystem::GetCurrentMinUploadBitsPerSecond() const
{
    if (Session && Session->CaptureConfig.MinUploadBitsPerSecond > 0)
    {
        return Session->CaptureConfig.MinUploadBitsPerSecond;
    }
    return std::max(1, MinUploadBitsPerSecond.Get());
}

FString UQuorvexSubsystem::NetworkTypeToString(EQuorvexNetworkType Type)
{
    switch (Type)
    {
    case EQuorvexNetworkType::Wifi:
        return "Wifi";
    case EQuorvexNetworkType::MobileData:
        return "MobileData";
    default:
        return "Offline";
    }
}

void UQuorvexSubsystem::UpdateUploadSpeedState(int32 BytesSent, double Seconds,
                                               const FQuorvexHttpResult& Result)
{
    if (Result.bCanceled)
    {
        return;
    }
    if (!Result.bSuccess || BytesSent < 1 || Seconds <= 0.0)
    {
        // Only a timeout says something about the speed; other failures do not.
        if (Result.bTimedOut)
        {
            QUORVEX_LOG(Warning, "QuorvexSDK: upload timed out, slow tick");
            HandleSlowNetworkTick(SlowNetwork.LastUploadBytesPerSecond, "timeout", true);
        }
        return;
    }
    SlowNetwork.LastUploadBytesPerSecond = static_cast<double>(BytesSent) / Seconds;
    const int32 Threshold = GetCurrentMinUploadBitsPerSecond();
    const double BitsPerSecond = SlowNetwork.LastUploadBytesPerSecond * 8.0;
    if (BitsPerSecond >= static_cast<double>(Threshold))
    {
        HandleRecoveredUpload(SlowNetwork.LastUploadBytesPerSecond);
        return;
    }
    QUORVEX_LOG(Warning, "QuorvexSDK: upload below threshold. bps=%.0f thresholdBps=%d",
                BitsPerSecond, Threshold);
    HandleSlowNetworkTick(SlowNetwork.LastUploadBytesPerSecond, "throughput", true);
}

bool UQuorvexSubsystem::HandleSlowNetworkTick(double BytesPerSecond, const char* Reason,
                                              bool bHasMeasurement)
{
    const FString Suffix =
        bHasMeasurement ? FStringUtils::Printf(" bytesPerSecond=%.0f", BytesPerSecond) : FString();
    if (!SlowNetwork.bSlowNetworkMode)
    {
        SlowNetwork.bSlowNetworkMode = true;
        SlowNetwork.ConsecutiveSlowTicks = 1;
        QUORVEX_LOG(Warning, "QuorvexSDK: Entered slow network mode. reason=%s%s", Reason,
                    Suffix.c_str());
        SetSdkStatus(EQuorvexInternalState::SlowNetwork, Reason);
        return false;
    }
    SlowNetwork.ConsecutiveSlowTicks = std::max(1, SlowNetwork.ConsecutiveSlowTicks + 1);
    QUORVEX_LOG(Warning,
                "QuorvexSDK: Slow network still active. consecutiveSlowTicks=%d/%d reason=%s%s",
                SlowNetwork.ConsecutiveSlowTicks, SlowTicksBeforeStop, Reason, Suffix.c_str());
    if (SlowNetwork.ConsecutiveSlowTicks < SlowTicksBeforeStop)
    {
        return false;
    }
    QUORVEX_LOG(Warning, "QuorvexSDK: Slow network threshold hit 3 times. Stopping capture.");
    RequestStopCaptureDueToSlowNetwork("SlowNetwork");
    return true;
}

void UQuorvexSubsystem::HandleRecoveredUpload(double BytesPerSecond)
{
    const bool bWasSlow = SlowNetwork.bSlowNetworkMode;
    SlowNetwork.bSlowNetworkMode = false;
    SlowNetwork.ConsecutiveSlowTicks = 0;
    if (!bWasSlow)
    {
        return;
    }
    QUORVEX_LOG(Log, "QuorvexSDK: Exited slow network mode. bytesPerSecond=%.0f", BytesPerSecond);
    if (IsCaptureRunning())
    {
        SetSdkStatus(EQuorvexInternalState::Capturing, "network-recovered");
    }
}

void UQuorvexSubsystem::RequestStopCaptureDueToSlowNetwork(const char* Reason)
{
    if (IsInGameThread())
    {
        StopCaptureDueToSlowNetwork(Reason);
        return;
    }
    AsyncTask(ENamedThreads::GameThread,
              [WeakThis = Lifetime.MakeWeak(this), ReasonText = FString(Reason ? Reason : "")]
              {
                  if (UQuorvexSubsystem* Self = WeakThis.Get())
                  {
                      Self->StopCaptureDueToSlowNetwork(ReasonText.c_str());
                  }
              });
}

void UQuorvexSubsystem::StopCaptureDueToSlowNetwork(const char* Reason)
{
    FLifecycleOperation Operation(*this);
    if (SlowNetwork.bSlowNetworkStopInProgress)
    {
        return;
    }
    SlowNetwork.bSlowNetworkStopInProgress = true;
    if (!IsCaptureRunning())
    {
        SlowNetwork.bSlowNetworkStopInProgress = false;
        return;
    }
    QUORVEX_LOG(Warning, "QuorvexSDK: Capture stopped. reason=SlowNetwork(%s) sessionId=%s", Reason,
                Session ? Session->SessionId.c_str() : "unknown");
    ReleaseCaptureResources();
    ClearBufferedEvents(false);
    DisownSessionWork();
    if (HasEndableSession())
    {
        SendEndSessionAsync(Session->SessionId);
    }
    SlowNetwork.bSlowNetworkMode = false;
    SlowNetwork.ConsecutiveSlowTicks = 0;
    SlowNetwork.bSlowNetworkStopInProgress = false;
    SetSdkStatus(EQuorvexInternalState::Stopping, "SlowNetwork");
    SetSdkStatus(EQuorvexInternalState::Stopped, "SlowNetwork");
}
