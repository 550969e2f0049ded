#include "RhiAdapter.h"

#include <mutex>

namespace
{
std::mutex GMutex;
FRHIAdapterDescription GDescription; // guarded by GMutex
} // namespace

FRHIAdapterDescription FRHIAdapter::Get()
{
    std::lock_guard Lock(GMutex);
    return GDescription;
}

void FRHIAdapter::Set(const FRHIAdapterDescription& Description)
{
    std::lock_guard Lock(GMutex);
    GDescription = Description;
}

const char* RHIVendorIdToString(uint32 VendorId)
{
    switch (VendorId)
    {
    case 0x1002:
        return "AMD";
    case 0x1010:
        return "ImgTec";
    case 0x10DE:
        return "NVIDIA";
    case 0x13B5:
        return "ARM";
    case 0x14E4:
        return "Broadcom";
    case 0x5143:
        return "Qualcomm";
    case 0x106B:
        return "Apple";
    case 0x8086:
        return "Intel";
    case 0x1414:
        return "Microsoft";
    case 0x10005:
        return "Mesa";
    default:
        return "Unknown";
    }
}
