// A calendar date and time with microsecond resolution, plus ISO 8601 parsing.
#pragma once

#include "CoreTypes.h"

class FDateTime
{
public:
    FDateTime() = default;
    FDateTime(int32 Year, int32 Month, int32 Day, int32 Hour = 0, int32 Minute = 0,
              int32 Second = 0, int32 Millisecond = 0);

    // Now in UTC, from the engine clock (tests can freeze it).
    static FDateTime UtcNow();
    // Now in the machine's local time zone, from the same clock.
    static FDateTime Now();
    static FDateTime FromUnixMicroseconds(int64 Micros);

    // Parses "YYYY-MM-DD" optionally followed by "THH:MM[:SS[.fraction]]" and a zone
    // ("Z", "+HH:MM", "+HHMM", "-HH"); the result is in UTC. Returns false (leaving
    // Out untouched) on anything else, including out-of-range fields.
    static bool ParseIso8601(const char* Text, FDateTime& Out);

    // "YYYY-MM-DDTHH:MM:SS.mmmZ".
    FString ToIso8601() const;

    int64 ToUnixTimestamp() const; // whole seconds since the epoch (floor)
    int64 ToUnixMicroseconds() const { return UnixMicros; }
    int32 GetYear() const;
    int32 GetMonth() const;
    int32 GetDay() const;
    int32 GetHour() const;
    int32 GetMinute() const;
    int32 GetSecond() const;
    int32 GetMillisecond() const;

    bool operator==(const FDateTime&) const = default;
    auto operator<=>(const FDateTime&) const = default;

private:
    struct FParts
    {
        int32 Year, Month, Day, Hour, Minute, Second, Micro;
    };
    FParts Split() const;

    int64 UnixMicros = 0;
};
