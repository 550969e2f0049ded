// A value with editor-style limits: every assignment is clamped into [Min, Max],
// the way the engine clamps a property that carries ClampMin/ClampMax metadata.
#pragma once

#include <algorithm>
#include <limits>

template <typename T> class TClampedProperty
{
public:
    constexpr TClampedProperty(T Default, T InMin, T InMax = std::numeric_limits<T>::max())
        : Min(InMin), Max(InMax), Value(std::clamp(Default, InMin, InMax))
    {
    }

    TClampedProperty& operator=(T NewValue)
    {
        Value = std::clamp(NewValue, Min, Max);
        return *this;
    }

    // Stores a value as it stands. The engine clamps only what the editor or a
    // Blueprint sets; values the game's own code computes are taken unchanged.
    void SetUnclamped(T NewValue) { Value = NewValue; }

    constexpr operator T() const { return Value; }
    constexpr T Get() const { return Value; }
    constexpr T GetMin() const { return Min; }
    constexpr T GetMax() const { return Max; }

private:
    T Min;
    T Max;
    T Value;
};
