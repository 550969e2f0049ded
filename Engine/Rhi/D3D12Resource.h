// The D3D12-like native layer of the software GPU: the resource behind a texture,
// its description and CPU mapping, reached through ID3D12DynamicRHI when the host
// runs the D3D12 interface type.
//
// A CPU-readback texture is backed by a buffer resource whose rows are padded to
// D3D12_TEXTURE_DATA_PITCH_ALIGNMENT bytes; any other texture by a 2D resource that
// cannot be mapped. Map and Unmap may be called from any thread.
#pragma once

#include "CoreTypes.h"

#include <atomic>

using HRESULT = int32;
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline bool FAILED(HRESULT Result)
{
    return Result < 0;
}

inline constexpr int32 D3D12_TEXTURE_DATA_PITCH_ALIGNMENT = 256;

enum D3D12_RESOURCE_DIMENSION : uint8
{
    D3D12_RESOURCE_DIMENSION_UNKNOWN = 0,
    D3D12_RESOURCE_DIMENSION_BUFFER = 1,
    D3D12_RESOURCE_DIMENSION_TEXTURE2D = 3,
};

struct D3D12_RESOURCE_DESC
{
    D3D12_RESOURCE_DIMENSION Dimension = D3D12_RESOURCE_DIMENSION_UNKNOWN;
    // Bytes for a buffer; pixels for a texture.
    uint64 Width = 0;
    uint32 Height = 0;
};

// Byte range [Begin, End); an empty range (End <= Begin) means "nothing".
struct D3D12_RANGE
{
    uint64 Begin = 0;
    uint64 End = 0;
};

class FRHITexture;

class ID3D12Resource
{
public:
    ID3D12Resource(FRHITexture& InOwner, const D3D12_RESOURCE_DESC& InDesc)
        : Owner(InOwner), Desc(InDesc)
    {
    }

    D3D12_RESOURCE_DESC GetDesc() const { return Desc; }
    // Maps subresource 0 of a buffer for reading ReadRange (null: the whole buffer).
    HRESULT Map(uint32 Subresource, const D3D12_RANGE* ReadRange, void** OutData);
    void Unmap(uint32 Subresource, const D3D12_RANGE* WrittenRange);
    // Outstanding Map calls without their Unmap; for tests.
    int32 GetMapCount() const { return MapCount.load(); }

private:
    FRHITexture& Owner;
    D3D12_RESOURCE_DESC Desc;
    std::atomic<int32> MapCount{0};
};

class ID3D12DynamicRHI
{
public:
    // The native resource behind Texture (null when it has none).
    ID3D12Resource* RHIGetResource(FRHITexture* Texture) const;
};

// The D3D12 interface of the current RHI, or null when the host runs another one.
ID3D12DynamicRHI* GetID3D12DynamicRHI();
