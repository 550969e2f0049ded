#include "RhiTexture.h"

#include "D3D12Resource.h"
#include "DynamicRhi.h"

#include <algorithm>

const char* LexToString(ERHIAccess Access)
{
    switch (Access)
    {
    case ERHIAccess::SRVGraphics:
        return "SRVGraphics";
    case ERHIAccess::RTV:
        return "RTV";
    case ERHIAccess::CopySrc:
        return "CopySrc";
    case ERHIAccess::CopyDest:
        return "CopyDest";
    case ERHIAccess::Present:
        return "Present";
    case ERHIAccess::Unknown:
        break;
    }
    return "Unknown";
}

FRHITextureCreateDesc FRHITextureCreateDesc::Create2D(const char* InName, int32 SizeX, int32 SizeY,
                                                      EPixelFormat InFormat)
{
    FRHITextureCreateDesc Desc;
    Desc.Name = InName ? InName : "";
    Desc.Extent = {SizeX, SizeY};
    Desc.Format = InFormat;
    return Desc;
}

FRHITextureCreateDesc FRHITextureCreateDesc::FromDesc(const char* InName,
                                                      const FRHITextureDesc& Source)
{
    FRHITextureCreateDesc Desc;
    static_cast<FRHITextureDesc&>(Desc) = Source;
    Desc.Name = InName ? InName : "";
    return Desc;
}

FRHITextureCreateDesc& FRHITextureCreateDesc::SetExtent(int32 SizeX, int32 SizeY)
{
    Extent = {SizeX, SizeY};
    return *this;
}

FRHITextureCreateDesc& FRHITextureCreateDesc::SetFlags(ETextureCreateFlags InFlags)
{
    Flags = InFlags;
    return *this;
}

FRHITextureCreateDesc& FRHITextureCreateDesc::SetInitialState(ERHIAccess InState)
{
    InitialState = InState;
    return *this;
}

FRHITextureCreateDesc& FRHITextureCreateDesc::SetClearValue(const FLinearColor& InColor)
{
    ClearColor = InColor;
    return *this;
}

FRHITexture::FRHITexture(const FRHITextureCreateDesc& CreateDesc, int32 InRowPitchBytes,
                         bool bCreateNative)
    : Name(CreateDesc.Name), Desc(CreateDesc), RowPitchBytes(std::max(InRowPitchBytes, 0)),
      Access(CreateDesc.InitialState)
{
    const int32 Height = std::max(Desc.Extent.Y, 0);
    Pixels.resize(static_cast<size_t>(RowPitchBytes) * Height);
    const int32 BlockBytes = GetPixelFormatBlockBytes(Desc.Format);
    if (BlockBytes > 0 && Desc.Extent.X > 0)
    {
        uint8 Clear[16] = {};
        EncodePixel(Desc.Format, CreateDesc.ClearColor, Clear);
        for (int32 Y = 0; Y < Height; ++Y)
        {
            for (int32 X = 0; X < Desc.Extent.X; ++X)
            {
                std::copy_n(Clear, BlockBytes, GetRow(Y) + static_cast<size_t>(X) * BlockBytes);
            }
        }
    }
    if (bCreateNative)
    {
        D3D12_RESOURCE_DESC NativeDesc;
        if (EnumHasAnyFlags(Desc.Flags, ETextureCreateFlags::CPUReadback))
        {
            NativeDesc.Dimension = D3D12_RESOURCE_DIMENSION_BUFFER;
            NativeDesc.Width = Pixels.size();
            NativeDesc.Height = 1;
        }
        else
        {
            NativeDesc.Dimension = D3D12_RESOURCE_DIMENSION_TEXTURE2D;
            NativeDesc.Width = static_cast<uint64>(std::max(Desc.Extent.X, 0));
            NativeDesc.Height = static_cast<uint32>(Height);
        }
        Native = std::make_unique<ID3D12Resource>(*this, NativeDesc);
    }
}

FRHITexture::~FRHITexture() = default;

uint8* FRHITexture::BeginGpuWrite()
{
    if (!EnumHasAnyFlags(Desc.Flags, ETextureCreateFlags::CPUReadback) || !GDynamicRHI)
    {
        return Pixels.data();
    }
    if (!GpuWrite)
    {
        GpuWrite = std::make_unique<FGpuWrite>();
        GpuWrite->Arrival = GDynamicRHI->RHICreateGPUFence(Name + ".Arrival");
    }
    // An earlier write the GPU has finished lands before this one overwrites staging.
    PublishCompletedGpuWrite();
    std::lock_guard Lock(GpuWrite->Mutex);
    GpuWrite->Arrival->Clear();
    GpuWrite->bUnpublished = true;
    GpuWrite->Staging.resize(Pixels.size());
    return GpuWrite->Staging.data();
}

void FRHITexture::EndGpuWrite()
{
    if (GpuWrite && GDynamicRHI)
    {
        GDynamicRHI->GetTimeline().WriteFence(GpuWrite->Arrival);
    }
}

bool FRHITexture::PublishCompletedGpuWrite()
{
    if (!GpuWrite)
    {
        return true;
    }
    std::lock_guard Lock(GpuWrite->Mutex);
    if (!GpuWrite->bUnpublished)
    {
        return true;
    }
    const FRHIGPUFence& Arrival = *GpuWrite->Arrival;
    if (Arrival.NumPendingWriteCommands.load() != 0 || !Arrival.Poll())
    {
        return false;
    }
    std::copy(GpuWrite->Staging.begin(), GpuWrite->Staging.end(), Pixels.begin());
    GpuWrite->bUnpublished = false;
    return true;
}
