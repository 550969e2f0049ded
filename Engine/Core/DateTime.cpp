#include "DateTime.h"

#include "Clock.h"
#include "StringUtils.h"

#include <cctype>
#include <ctime>

namespace
{
constexpr int64 MicrosPerSecond = 1000000;
constexpr int64 MicrosPerDay = 86400 * MicrosPerSecond;

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
int64 DaysFromCivil(int64 Y, unsigned M, unsigned D)
{
    Y -= M <= 2;
    const int64 Era = (Y >= 0 ? Y : Y - 399) / 400;
    const unsigned Yoe = static_cast<unsigned>(Y - Era * 400);
    const unsigned Doy = (153 * (M + (M > 2 ? -3 : 9)) + 2) / 5 + D - 1;
    const unsigned Doe = Yoe * 365 + Yoe / 4 - Yoe / 100 + Doy;
    return Era * 146097 + static_cast<int64>(Doe) - 719468;
}

void CivilFromDays(int64 Z, int32& Y, int32& M, int32& D)
{
    Z += 719468;
    const int64 Era = (Z >= 0 ? Z : Z - 146096) / 146097;
    const unsigned Doe = static_cast<unsigned>(Z - Era * 146097);
    const unsigned Yoe = (Doe - Doe / 1460 + Doe / 36524 - Doe / 146096) / 365;
    const unsigned Doy = Doe - (365 * Yoe + Yoe / 4 - Yoe / 100);
    const unsigned Mp = (5 * Doy + 2) / 153;
    D = static_cast<int32>(Doy - (153 * Mp + 2) / 5 + 1);
    M = static_cast<int32>(Mp < 10 ? Mp + 3 : Mp - 9);
    Y = static_cast<int32>(static_cast<int64>(Yoe) + Era * 400 + (M <= 2));
}

int32 DaysInMonth(int32 Year, int32 Month)
{
    static const int32 Days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool bLeap = (Year % 4 == 0 && Year % 100 != 0) || Year % 400 == 0;
    return Month == 2 && bLeap ? 29 : Days[Month - 1];
}

int64 FloorDiv(int64 A, int64 B)
{
    return A / B - ((A % B != 0) && ((A < 0) != (B < 0)));
}

// Reads exactly Count digits at Pos.
bool ReadDigits(const char* Text, size_t& Pos, int Count, int32& Out)
{
    Out = 0;
    for (int I = 0; I < Count; ++I)
    {
        const char C = Text[Pos];
        if (!std::isdigit(static_cast<unsigned char>(C)))
        {
            return false;
        }
        Out = Out * 10 + (C - '0');
        ++Pos;
    }
    return true;
}

bool ParseZone(const char* Text, size_t& Pos, int64& OffsetMicros)
{
    OffsetMicros = 0;
    const char Sign = Text[Pos];
    if (Sign == 'Z' || Sign == 'z')
    {
        ++Pos;
        return true;
    }
    if (Sign != '+' && Sign != '-')
    {
        return Sign == '\0'; // no zone: UTC
    }
    ++Pos;
    int32 Hours = 0, Minutes = 0;
    if (!ReadDigits(Text, Pos, 2, Hours))
    {
        return false;
    }
    if (Text[Pos] == ':')
    {
        ++Pos;
    }
    if (Text[Pos] != '\0' && !ReadDigits(Text, Pos, 2, Minutes))
    {
        return false;
    }
    if (Hours > 23 || Minutes > 59)
    {
        return false;
    }
    OffsetMicros = (Hours * 3600 + Minutes * 60) * MicrosPerSecond * (Sign == '-' ? -1 : 1);
    return true;
}
} // namespace

FDateTime::FDateTime(int32 Year, int32 Month, int32 Day, int32 Hour, int32 Minute, int32 Second,
                     int32 Millisecond)
{
    const int64 Days =
        DaysFromCivil(Year, static_cast<unsigned>(Month), static_cast<unsigned>(Day));
    UnixMicros = Days * MicrosPerDay + (Hour * 3600LL + Minute * 60LL + Second) * MicrosPerSecond +
                 Millisecond * 1000LL;
}

FDateTime FDateTime::FromUnixMicroseconds(int64 Micros)
{
    FDateTime Result;
    Result.UnixMicros = Micros;
    return Result;
}

FDateTime FDateTime::UtcNow()
{
    return FromUnixMicroseconds(FClock::UtcMicroseconds());
}

FDateTime FDateTime::Now()
{
    const int64 Utc = FClock::UtcMicroseconds();
    const time_t Seconds = static_cast<time_t>(FloorDiv(Utc, MicrosPerSecond));
    tm Local{};
    localtime_r(&Seconds, &Local);
    return FromUnixMicroseconds(Utc + static_cast<int64>(Local.tm_gmtoff) * MicrosPerSecond);
}

FDateTime::FParts FDateTime::Split() const
{
    FParts P{};
    const int64 Days = FloorDiv(UnixMicros, MicrosPerDay);
    int64 Rest = UnixMicros - Days * MicrosPerDay;
    CivilFromDays(Days, P.Year, P.Month, P.Day);
    P.Hour = static_cast<int32>(Rest / (3600 * MicrosPerSecond));
    Rest %= 3600 * MicrosPerSecond;
    P.Minute = static_cast<int32>(Rest / (60 * MicrosPerSecond));
    Rest %= 60 * MicrosPerSecond;
    P.Second = static_cast<int32>(Rest / MicrosPerSecond);
    P.Micro = static_cast<int32>(Rest % MicrosPerSecond);
    return P;
}

int64 FDateTime::ToUnixTimestamp() const
{
    return FloorDiv(UnixMicros, MicrosPerSecond);
}

int32 FDateTime::GetYear() const
{
    return Split().Year;
}
int32 FDateTime::GetMonth() const
{
    return Split().Month;
}
int32 FDateTime::GetDay() const
{
    return Split().Day;
}
int32 FDateTime::GetHour() const
{
    return Split().Hour;
}
int32 FDateTime::GetMinute() const
{
    return Split().Minute;
}
int32 FDateTime::GetSecond() const
{
    return Split().Second;
}
int32 FDateTime::GetMillisecond() const
{
    return Split().Micro / 1000;
}

FString FDateTime::ToIso8601() const
{
    const FParts P = Split();
    return FStringUtils::Printf("%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", P.Year, P.Month, P.Day,
                                P.Hour, P.Minute, P.Second, P.Micro / 1000);
}

bool FDateTime::ParseIso8601(const char* Text, FDateTime& Out)
{
    if (Text == nullptr)
    {
        return false;
    }
    size_t Pos = 0;
    int32 Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
    int64 Fraction = 0;
    if (!ReadDigits(Text, Pos, 4, Year) || Text[Pos++] != '-' || !ReadDigits(Text, Pos, 2, Month) ||
        Text[Pos++] != '-' || !ReadDigits(Text, Pos, 2, Day))
    {
        return false;
    }
    if (Text[Pos] == 'T' || Text[Pos] == 't' || Text[Pos] == ' ')
    {
        ++Pos;
        if (!ReadDigits(Text, Pos, 2, Hour) || Text[Pos++] != ':' ||
            !ReadDigits(Text, Pos, 2, Minute))
        {
            return false;
        }
        if (Text[Pos] == ':')
        {
            ++Pos;
            if (!ReadDigits(Text, Pos, 2, Second))
            {
                return false;
            }
            if (Text[Pos] == '.' || Text[Pos] == ',')
            {
                ++Pos;
                int64 Scale = 100000;
                int Digits = 0;
                while (std::isdigit(static_cast<unsigned char>(Text[Pos])))
                {
                    Fraction += (Text[Pos] - '0') * Scale;
                    Scale /= 10;
                    ++Pos;
                    ++Digits;
                }
                if (Digits == 0)
                {
                    return false;
                }
            }
        }
    }
    int64 Offset = 0;
    if (!ParseZone(Text, Pos, Offset) || Text[Pos] != '\0')
    {
        return false;
    }
    if (Month < 1 || Month > 12 || Day < 1 || Day > DaysInMonth(Year, Month) || Hour > 23 ||
        Minute > 59 || Second > 59)
    {
        return false;
    }
    FDateTime Result(Year, Month, Day, Hour, Minute, Second, 0);
    Result.UnixMicros += Fraction - Offset;
    Out = Result;
    return true;
}
