#include "DynamicRhi.h"

#include "Tasks.h"

#include <algorithm>

FDynamicRHI* GDynamicRHI = nullptr;
FLogCategory LogRHI("LogRHI", ELogVerbosity::Log);

namespace
{
constexpr size_t MaxRecentDraws = 64;

int32 AlignUp(int32 Value, int32 Alignment)
{
    return (Value + Alignment - 1) / Alignment * Alignment;
}
} // namespace

FDynamicRHI::FDynamicRHI(ERHIInterfaceType InInterfaceType)
    : InterfaceType(InInterfaceType), Timeline(std::make_shared<FRHIGpuTimeline>())
{
}

const char* FDynamicRHI::GetName() const
{
    switch (InterfaceType)
    {
    case ERHIInterfaceType::D3D11:
        return "D3D11";
    case ERHIInterfaceType::D3D12:
        return "D3D12";
    case ERHIInterfaceType::Vulkan:
        return "Vulkan";
    case ERHIInterfaceType::Metal:
        return "Metal";
    case ERHIInterfaceType::Agx:
        return "Agx";
    case ERHIInterfaceType::OpenGL:
        return "OpenGL";
    case ERHIInterfaceType::Null:
        return "Null";
    case ERHIInterfaceType::Hidden:
        break;
    }
    return "Hidden";
}

FTextureRHIRef FDynamicRHI::RHICreateTexture(const FRHITextureCreateDesc& Desc)
{
    // Like a real device, refuse what no GPU can allocate rather than overflow.
    const int32 Block = GetPixelFormatBlockBytes(Desc.Format);
    if (Desc.Extent.X < 1 || Desc.Extent.Y < 1 || Desc.Extent.X > MaxTextureDimension ||
        Desc.Extent.Y > MaxTextureDimension || Block < 1)
    {
        LogPrintf(LogRHI, ELogVerbosity::Error,
                  "RHICreateTexture: %s of %dx%d (%s) cannot be created", Desc.Name.c_str(),
                  Desc.Extent.X, Desc.Extent.Y, GetPixelFormatString(Desc.Format));
        return nullptr;
    }
    const int32 Raw = std::max(Desc.Extent.X, 0) * GetPixelFormatBlockBytes(Desc.Format);
    const bool bNative = InterfaceType == ERHIInterfaceType::D3D12;
    // The D3D12 copy into a readback buffer places rows at the API's pitch alignment.
    const bool bPadRows = bNative && EnumHasAnyFlags(Desc.Flags, ETextureCreateFlags::CPUReadback);
    const int32 Pitch = bPadRows ? AlignUp(Raw, D3D12_TEXTURE_DATA_PITCH_ALIGNMENT) : Raw;
    return std::make_shared<FRHITexture>(Desc, Pitch, bNative);
}

FGPUFenceRHIRef FDynamicRHI::RHICreateGPUFence(const FString& Name)
{
    return std::make_shared<FRHIGPUFence>(Name, Timeline);
}

void FDynamicRHI::RecordDraw(FRHIDrawRecord Record)
{
    std::lock_guard Lock(DrawMutex);
    if (RecentDraws.size() == MaxRecentDraws)
    {
        RecentDraws.pop_front();
    }
    RecentDraws.push_back(std::move(Record));
}

std::vector<FRHIDrawRecord> FDynamicRHI::GetRecentDraws() const
{
    std::lock_guard Lock(DrawMutex);
    return {RecentDraws.begin(), RecentDraws.end()};
}

void FDynamicRHI::ClearRecentDraws()
{
    std::lock_guard Lock(DrawMutex);
    RecentDraws.clear();
}

void RHIInit(ERHIInterfaceType InterfaceType)
{
    RHIExit();
    GDynamicRHI = new FDynamicRHI(InterfaceType);
}

void RHIExit()
{
    FlushRenderingCommands();
    if (GDynamicRHI)
    {
        GDynamicRHI->GetTimeline().DiscardUnsubmitted();
    }
    delete GDynamicRHI;
    GDynamicRHI = nullptr;
}

FRHIViewport::FRHIViewport(int32 SizeX, int32 SizeY, EPixelFormat InFormat) : Format(InFormat)
{
    Resize(SizeX, SizeY);
}

void FRHIViewport::Resize(int32 SizeX, int32 SizeY)
{
    if (!GDynamicRHI)
    {
        BackBuffer.reset();
        return;
    }
    BackBuffer = GDynamicRHI->RHICreateTexture(
        FRHITextureCreateDesc::Create2D("BackBuffer", SizeX, SizeY, Format)
            .SetFlags(ETextureCreateFlags::RenderTargetable | ETextureCreateFlags::ShaderResource)
            .SetInitialState(ERHIAccess::Present));
}

FRHITexture* RHIGetViewportBackBuffer(FRHIViewport& Viewport)
{
    if (GDynamicRHI && GDynamicRHI->GetTestHooks().bNullBackBuffer.load())
    {
        return nullptr;
    }
    return Viewport.GetBackBuffer().get();
}
