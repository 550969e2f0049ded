// Converting captured pixels to the RGB rows the SDK encodes.
#pragma once

#include "CoreTypes.h"
#include "PixelFormat.h"

// True for the four source formats a capture can convert (4 bytes per pixel each).
bool IsHandledCaptureFormat(EPixelFormat Format);

// Writes Width pixels of Source (in Format) to Out as R, G, B bytes, dropping alpha.
// PF_B8G8R8A8 and PF_R8G8B8A8 reorder bytes, PF_R8G8B8A8_SNORM copies its bytes
// unchanged, and PF_A2B10G10R10 keeps the top 8 bits of each 10-bit channel.
// Format must be handled.
void ConvertCaptureRow(EPixelFormat Format, const uint8* Source, uint8* Out, int32 Width);
