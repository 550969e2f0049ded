// Small value types for pixel geometry: integer points and rectangles, float vectors.
#pragma once

#include "CoreTypes.h"

struct FIntPoint
{
    int32 X = 0;
    int32 Y = 0;
    bool operator==(const FIntPoint&) const = default;
};

// A rectangle from Min (inclusive) to Max (exclusive).
template <typename T> struct TIntRect
{
    struct FPoint
    {
        T X = 0;
        T Y = 0;
        bool operator==(const FPoint&) const = default;
    };
    FPoint Min;
    FPoint Max;

    TIntRect() = default;
    TIntRect(T MinX, T MinY, T MaxX, T MaxY) : Min{MinX, MinY}, Max{MaxX, MaxY} {}
    T Width() const { return Max.X - Min.X; }
    T Height() const { return Max.Y - Min.Y; }
    bool IsEmpty() const { return Width() <= 0 || Height() <= 0; }
    bool operator==(const TIntRect&) const = default;
};
using FIntRect = TIntRect<int32>;

struct FVector2f
{
    float X = 0.f;
    float Y = 0.f;
    bool operator==(const FVector2f&) const = default;
};

struct FVector2D
{
    double X = 0.0;
    double Y = 0.0;
    bool operator==(const FVector2D&) const = default;
    FVector2D operator+(const FVector2D& Other) const { return {X + Other.X, Y + Other.Y}; }
    FVector2D operator-(const FVector2D& Other) const { return {X - Other.X, Y - Other.Y}; }
};
