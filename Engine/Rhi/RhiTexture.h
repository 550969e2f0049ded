// Textures of the software GPU: CPU pixel buffers with a description, a tracked
// resource state and, on the D3D12-like interface, a native resource.
//
// Pixels are written by GPU work on the render thread. Other threads read them only
// after the GPU work that wrote them has been observed complete (a fence or a
// readback reported ready), which orders the accesses.
//
// A CPU-readback texture behaves like memory the GPU writes asynchronously: what a
// copy writes into it becomes visible to the CPU only once the GPU timeline has
// reached the copy. Reading it earlier sees the previous contents.
#pragma once

#include "CoreTypes.h"
#include "GpuFence.h"
#include "IntPoint.h"
#include "PixelFormat.h"

#include <memory>
#include <mutex>
#include <vector>

enum class ETextureCreateFlags : uint32
{
    None = 0,
    RenderTargetable = 1u << 0,
    ShaderResource = 1u << 1,
    // Lives in CPU-readable memory; on D3D12 its rows are padded to 256 bytes.
    CPUReadback = 1u << 2,
    HideInVisualizeTexture = 1u << 3,
};

constexpr ETextureCreateFlags operator|(ETextureCreateFlags A, ETextureCreateFlags B)
{
    return static_cast<ETextureCreateFlags>(static_cast<uint32>(A) | static_cast<uint32>(B));
}
constexpr bool EnumHasAnyFlags(ETextureCreateFlags Flags, ETextureCreateFlags Test)
{
    return (static_cast<uint32>(Flags) & static_cast<uint32>(Test)) != 0;
}

// What a texture is being used for; GPU operations check the state they need.
enum class ERHIAccess : uint8
{
    Unknown,
    SRVGraphics,
    RTV,
    CopySrc,
    CopyDest,
    Present,
};
const char* LexToString(ERHIAccess Access);

struct FRHITextureDesc
{
    FIntPoint Extent;
    EPixelFormat Format = PF_Unknown;
    ETextureCreateFlags Flags = ETextureCreateFlags::None;
    int32 NumMips = 1;
};

struct FRHITextureCreateDesc : FRHITextureDesc
{
    static FRHITextureCreateDesc Create2D(const char* InName, int32 SizeX, int32 SizeY,
                                          EPixelFormat InFormat);
    // A 2D description copied from Desc under a new name.
    static FRHITextureCreateDesc FromDesc(const char* InName, const FRHITextureDesc& Desc);
    FRHITextureCreateDesc& SetExtent(int32 SizeX, int32 SizeY);
    FRHITextureCreateDesc& SetFlags(ETextureCreateFlags InFlags);
    FRHITextureCreateDesc& SetInitialState(ERHIAccess InState);
    FRHITextureCreateDesc& SetClearValue(const FLinearColor& InColor);

    FString Name;
    ERHIAccess InitialState = ERHIAccess::Unknown;
    FLinearColor ClearColor{0.f, 0.f, 0.f, 0.f};
};

class ID3D12Resource;

class FRHITexture
{
public:
    // Use RHICreateTexture; this is public for the RHI's own factory.
    FRHITexture(const FRHITextureCreateDesc& Desc, int32 RowPitchBytes, bool bCreateNative);
    ~FRHITexture();
    FRHITexture(const FRHITexture&) = delete;
    FRHITexture& operator=(const FRHITexture&) = delete;

    const FRHITextureDesc& GetDesc() const { return Desc; }
    const FString& GetName() const { return Name; }
    FIntPoint GetSizeXY() const { return Desc.Extent; }
    int32 GetSizeX() const { return Desc.Extent.X; }
    int32 GetSizeY() const { return Desc.Extent.Y; }
    EPixelFormat GetFormat() const { return Desc.Format; }

    // The CPU storage behind the texture: rows of GetRowPitchBytes() bytes.
    uint8* GetPixelData() { return Pixels.data(); }
    const uint8* GetPixelData() const { return Pixels.data(); }
    int32 GetRowPitchBytes() const { return RowPitchBytes; }
    uint8* GetRow(int32 Y) { return Pixels.data() + static_cast<size_t>(Y) * RowPitchBytes; }
    const uint8* GetRow(int32 Y) const
    {
        return Pixels.data() + static_cast<size_t>(Y) * RowPitchBytes;
    }

    // Render thread: the storage a GPU write into this texture fills, with the rows
    // of GetRowPitchBytes(); for a CPU-readback texture a staging copy that reaches
    // the pixels only when the GPU completes it. Pair with EndGpuWrite.
    uint8* BeginGpuWrite();
    // Render thread: the write completes with the frame's GPU work.
    void EndGpuWrite();
    // Any thread: makes a completed GPU write visible in the pixels. False while the
    // last write is still on its way, when the pixels hold the earlier contents.
    bool PublishCompletedGpuWrite();

    // The native D3D12-like resource, or null on other interfaces.
    ID3D12Resource* GetNativeResource() const { return Native.get(); }

    // Render thread: the state set by the last transition.
    ERHIAccess GetAccess() const { return Access; }
    void SetAccess(ERHIAccess InAccess) { Access = InAccess; }

private:
    FString Name;
    FRHITextureDesc Desc;
    int32 RowPitchBytes = 0;
    std::vector<uint8> Pixels;
    ERHIAccess Access = ERHIAccess::Unknown; // render thread
    std::unique_ptr<ID3D12Resource> Native;

    // A CPU-readback texture's write in flight; all of it guarded by Mutex, except
    // Staging's bytes, which the render thread fills between BeginGpuWrite and
    // EndGpuWrite while Arrival cannot be complete.
    struct FGpuWrite
    {
        std::mutex Mutex;
        std::vector<uint8> Staging;
        FGPUFenceRHIRef Arrival;
        bool bUnpublished = false;
    };
    std::unique_ptr<FGpuWrite> GpuWrite; // CPU-readback textures only
};

using FTextureRHIRef = std::shared_ptr<FRHITexture>;
