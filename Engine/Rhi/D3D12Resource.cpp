#include "D3D12Resource.h"

#include "DynamicRhi.h"
#include "Logging.h"
#include "RhiTexture.h"

HRESULT ID3D12Resource::Map(uint32 Subresource, const D3D12_RANGE* ReadRange, void** OutData)
{
    if (OutData)
    {
        *OutData = nullptr;
    }
    if (!OutData || Subresource != 0 || Desc.Dimension != D3D12_RESOURCE_DIMENSION_BUFFER)
    {
        return E_INVALIDARG;
    }
    if (ReadRange && ReadRange->End > ReadRange->Begin && ReadRange->End > Desc.Width)
    {
        return E_INVALIDARG;
    }
    if (GDynamicRHI)
    {
        const HRESULT Failure = GDynamicRHI->GetTestHooks().MapFailure.load();
        if (Failure != 0)
        {
            return Failure;
        }
    }
    if (!Owner.PublishCompletedGpuWrite() && GDynamicRHI)
    {
        // A real device hands out the memory as it is, with the copy still on its way.
        LogPrintf(LogRHI, ELogVerbosity::Error,
                  "Map: %s is read before the GPU finished writing it", Owner.GetName().c_str());
        GDynamicRHI->ReportValidationError();
    }
    MapCount.fetch_add(1);
    *OutData = Owner.GetPixelData();
    return S_OK;
}

void ID3D12Resource::Unmap(uint32 Subresource, const D3D12_RANGE* WrittenRange)
{
    (void)WrittenRange;
    if (Subresource == 0 && MapCount.load() > 0)
    {
        MapCount.fetch_sub(1);
    }
}

ID3D12Resource* ID3D12DynamicRHI::RHIGetResource(FRHITexture* Texture) const
{
    return Texture ? Texture->GetNativeResource() : nullptr;
}

ID3D12DynamicRHI* GetID3D12DynamicRHI()
{
    static ID3D12DynamicRHI Instance;
    if (!GDynamicRHI || GDynamicRHI->GetInterfaceType() != ERHIInterfaceType::D3D12)
    {
        return nullptr;
    }
    return &Instance;
}
