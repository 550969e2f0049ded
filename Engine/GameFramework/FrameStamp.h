// A debug overlay a scene can draw: the frame number's low bits as white (1) and
// black (0) blocks across the top sixth of the image, most significant first, so
// anyone looking at a captured image can tell which frame it shows, even after
// scaling and lossy compression.
#pragma once

#include "CoreTypes.h"

namespace FFrameStamp
{
inline constexpr int32 Bits = 12;

// The value the stamp of Frame holds: its low Bits bits.
inline int64 ValueOf(uint64 Frame)
{
    return static_cast<int64>(Frame & ((uint64{1} << Bits) - 1));
}
// Whether row Y of an image Height rows tall belongs to the stamp.
inline bool IsInStamp(int32 Y, int32 Height)
{
    return Y < Height / 6;
}
// Whether column X of an image Width wide is white in the stamp of Frame.
bool IsWhite(uint64 Frame, int32 X, int32 Width);
// Reads the stamp back from rows of R, G, B bytes (any size); -1 when a block is
// neither clearly white nor clearly black.
int64 Read(const uint8* Rgb, int32 Width, int32 Height);
} // namespace FFrameStamp
