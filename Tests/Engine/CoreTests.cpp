// Strings, the case-insensitive map, delegates, the clock, dates and encodings.
#include "CaseInsensitiveMap.h"
#include "ClampedProperty.h"
#include "Clock.h"
#include "DateTime.h"
#include "Delegates.h"
#include "Guid.h"
#include "Hashing.h"
#include "PlatformTime.h"
#include "StringUtils.h"
#include "UrlEncoding.h"

#include <gtest/gtest.h>
#include <set>

TEST(StringUtils, CaseInsensitiveHelpersAndTrim)
{
    using namespace FStringUtils;
    EXPECT_TRUE(EqualsIgnoreCase("Content-Type", "content-TYPE"));
    EXPECT_FALSE(EqualsIgnoreCase("abc", "abcd"));
    EXPECT_TRUE(StartsWithIgnoreCase("X-Bz-Content-Sha1", "x-bz-"));
    EXPECT_TRUE(EndsWithIgnoreCase("file.JPEG", ".jpeg"));
    EXPECT_TRUE(ContainsIgnoreCase("Deinitialize", "DEINIT"));
    EXPECT_FALSE(ContainsIgnoreCase("Stop", "deinit"));
    EXPECT_LT(CompareIgnoreCase("apple", "Banana"), 0);
    EXPECT_EQ(TrimStartAndEnd(" \t player 1 \r\n"), "player 1");
    EXPECT_EQ(Split("a,,b", ","), (std::vector<FString>{"a", "", "b"}));
    EXPECT_EQ(Split("a,,b", ",", true), (std::vector<FString>{"a", "b"}));
    EXPECT_EQ(ReplaceAll("{id}/{id}", "{id}", "42"), "42/42");
    EXPECT_EQ(Printf("%s=%d", "n", 7), "n=7");
}

TEST(CaseInsensitiveMap, KeepsInsertionOrderAndFirstSpelling)
{
    TCaseInsensitiveOrderedMap<FString> Headers;
    Headers.Add("Content-Type", "a");
    Headers.Add("Authorization", "b");
    Headers.Add("content-type", "c");
    ASSERT_EQ(Headers.Num(), 2u);
    EXPECT_EQ(Headers.begin()->first, "Content-Type");
    EXPECT_EQ(*Headers.Find("CONTENT-TYPE"), "c");
    EXPECT_TRUE(Headers.Remove("authorization"));
    EXPECT_FALSE(Headers.Contains("Authorization"));
}

TEST(ClampedProperty, ClampsEveryAssignment)
{
    TClampedProperty<int32> Quality{75, 1, 100};
    Quality = 250;
    EXPECT_EQ(Quality.Get(), 100);
    Quality = 0;
    EXPECT_EQ(Quality.Get(), 1);
    TClampedProperty<float> Interval{1.0f, 1.0f};
    Interval = 0.25f;
    EXPECT_EQ(Interval.Get(), 1.0f);
}

TEST(Delegates, HandlesRemoveOnlyTheirListener)
{
    TMulticastDelegate<int> Event;
    int Sum = 0;
    const FDelegateHandle First = Event.Add([&](int V) { Sum += V; });
    Event.Add([&](int V) { Sum += 10 * V; });
    Event.Broadcast(1);
    EXPECT_EQ(Sum, 11);
    EXPECT_TRUE(Event.Remove(First));
    EXPECT_FALSE(Event.Remove(First));
    Event.Broadcast(1);
    EXPECT_EQ(Sum, 21);
}

TEST(Delegates, ListenerMayRemoveItselfDuringBroadcast)
{
    TMulticastDelegate<> Event;
    int Calls = 0;
    FDelegateHandle Self;
    Self = Event.Add(
        [&]
        {
            ++Calls;
            Event.Remove(Self);
        });
    Event.Broadcast();
    Event.Broadcast();
    EXPECT_EQ(Calls, 1);
}

TEST(Clock, FrozenClockAdvancesBothReadingsTogether)
{
    const int64 Start = FDateTime(2026, 12, 10, 11, 40, 0).ToUnixMicroseconds();
    FScopedFrozenClock Frozen(Start);
    const double Mono = FPlatformTime::Seconds();
    EXPECT_EQ(FPlatformTime::Seconds(), Mono);
    Frozen.Advance(1.5);
    EXPECT_DOUBLE_EQ(FPlatformTime::Seconds(), Mono + 1.5);
    EXPECT_EQ(FDateTime::UtcNow().ToUnixMicroseconds(), Start + 1500000);
    EXPECT_EQ(FDateTime::UtcNow().GetMillisecond(), 500);
}

TEST(DateTime, ParsesIso8601Forms)
{
    struct FCase
    {
        const char* Text;
        bool bOk;
        const char* Utc;
    };
    const FCase Cases[] = {
        {"2026-12-10T11:40:05Z", true, "2026-12-10T11:40:05.000Z"},
        {"2026-12-10T11:40:05.25Z", true, "2026-12-10T11:40:05.250Z"},
        {"2026-12-10T11:40:05+02:00", true, "2026-12-10T09:40:05.000Z"},
        {"2026-12-10T01:40:05-0130", true, "2026-12-10T03:10:05.000Z"},
        {"2026-12-10", true, "2026-12-10T00:00:00.000Z"},
        {"2026-12-10T11:40", true, "2026-12-10T11:40:00.000Z"},
        {"2024-02-29T00:00:00Z", true, "2024-02-29T00:00:00.000Z"},
        {"2026-02-29T00:00:00Z", false, ""},
        {"2026-13-01T00:00:00Z", false, ""},
        {"2026-12-10T24:00:00Z", false, ""},
        {"2026-12-10T11:40:05Zjunk", false, ""},
        {"not a date", false, ""},
        {"", false, ""},
    };
    for (const FCase& Case : Cases)
    {
        FDateTime Parsed;
        EXPECT_EQ(FDateTime::ParseIso8601(Case.Text, Parsed), Case.bOk) << Case.Text;
        if (Case.bOk)
        {
            EXPECT_EQ(Parsed.ToIso8601(), Case.Utc) << Case.Text;
        }
    }
}

TEST(DateTime, CalendarFieldsAroundTheEpoch)
{
    const FDateTime Before = FDateTime::FromUnixMicroseconds(-1000);
    EXPECT_EQ(Before.ToIso8601(), "1969-12-31T23:59:59.999Z");
    EXPECT_EQ(Before.ToUnixTimestamp(), -1);
    const FDateTime Date(1980, 1, 1, 0, 0, 0);
    EXPECT_EQ(Date.ToUnixTimestamp(), 315532800);
}

TEST(Encoding, Sha1AndBase64MatchKnownVectors)
{
    EXPECT_EQ(FSHA1::ToHex(FSHA1::HashBuffer("abc", 3)),
              "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(FSHA1::ToHex(FSHA1::HashBuffer("", 0)), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(FBase64::Encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(FBase64::Encode("fo"), "Zm8=");
    std::vector<uint8> Decoded;
    ASSERT_TRUE(FBase64::Decode("Zm8=", Decoded));
    EXPECT_EQ(FString(Decoded.begin(), Decoded.end()), "fo");
    EXPECT_FALSE(FBase64::Decode("Zm8", Decoded));
    EXPECT_FALSE(FBase64::Decode("Z!8=", Decoded));
}

TEST(Encoding, UrlEncodeKeepsOnlyUnreserved)
{
    EXPECT_EQ(FGenericPlatformHttp::UrlEncode("AZaz09-_.~"), "AZaz09-_.~");
    EXPECT_EQ(FGenericPlatformHttp::UrlEncode("a b/c?d=é"), "a%20b%2Fc%3Fd%3D%C3%A9");
    EXPECT_EQ(FGenericPlatformHttp::UrlDecode("a%20b%2Fc%3Fd%3D%C3%A9"), "a b/c?d=é");
    EXPECT_EQ(FGenericPlatformHttp::UrlDecode("100%"), "100%");
}

TEST(Guid, NewGuidsAreDistinctAndWellFormed)
{
    std::set<FString> Seen;
    for (int I = 0; I < 100; ++I)
    {
        const FGuid Guid = FGuid::NewGuid();
        EXPECT_TRUE(Guid.IsValid());
        const FString Text = Guid.ToString(EGuidFormats::DigitsWithHyphensLower);
        EXPECT_EQ(Text.size(), 36u);
        EXPECT_EQ(Text[14], '4'); // version 4
        Seen.insert(Guid.ToString());
    }
    EXPECT_EQ(Seen.size(), 100u);
}
