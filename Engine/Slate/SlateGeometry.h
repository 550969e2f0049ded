// Where a widget is drawn: its top-left position in window pixels, its size in
// Slate units and the scale (DPI) from Slate units to pixels.
#pragma once

#include "IntPoint.h"

struct FGeometry
{
    FVector2f AbsolutePosition;
    FVector2f LocalSize;
    float Scale = 1.f;

    FVector2f GetAbsolutePosition() const { return AbsolutePosition; }
    FVector2f GetLocalSize() const { return LocalSize; }
    FVector2f GetAbsoluteSize() const { return {LocalSize.X * Scale, LocalSize.Y * Scale}; }
    // The geometry of a child placed at Offset (Slate units) with Size (Slate units).
    FGeometry MakeChild(const FVector2f& Offset, const FVector2f& Size) const
    {
        return {{AbsolutePosition.X + Offset.X * Scale, AbsolutePosition.Y + Offset.Y * Scale},
                Size,
                Scale};
    }
};
