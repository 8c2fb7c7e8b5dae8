// Time zones named as panel locale files name them: by Windows key name or by IANA name.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/time_zone.h"
#include "support/scoped_time_zone.h"

namespace {

using namespace std::chrono;

system_clock::time_point Midyear(int year) {
    return sys_days{std::chrono::year{year} / July / 1};
}

std::u16string Name(const OLECHAR* text) {
    return std::u16string(text);
}

TEST(TimeZoneTest, WindowsKeyNamesAndIanaNamesGiveTheSameRules) {
    struct Case {
        std::u16string_view windows, iana;
        LONG bias, daylight_bias;
        WORD daylight_month, daylight_week, standard_month, standard_week;
    } cases[] = {
        {u"AUS Eastern Standard Time", u"Australia/Sydney", -600, -60, 10, 1, 4, 1},
        {u"W. Europe Standard Time", u"Europe/Berlin", -60, -60, 3, 5, 10, 5},
        {u"Pacific Standard Time", u"America/Los_Angeles", 480, -60, 3, 2, 11, 1},
        {u"New Zealand Standard Time", u"Pacific/Auckland", -720, -60, 9, 5, 4, 1},
    };
    for (int year : {2023, 2024, 2026}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message()
                         << std::string(c.iana.begin(), c.iana.end()) << " " << year);
            TIME_ZONE_INFORMATION windows{}, iana{};
            ASSERT_TRUE(GetNamedTimeZoneInformation(c.windows, Midyear(year), &windows));
            ASSERT_TRUE(GetNamedTimeZoneInformation(c.iana, Midyear(year), &iana));
            for (const TIME_ZONE_INFORMATION* zone : {&windows, &iana}) {
                EXPECT_EQ(zone->Bias, c.bias);
                EXPECT_EQ(zone->StandardBias, 0);
                EXPECT_EQ(zone->DaylightBias, c.daylight_bias);
                EXPECT_EQ(zone->DaylightDate.wMonth, c.daylight_month);
                EXPECT_EQ(zone->DaylightDate.wDay, c.daylight_week);
                EXPECT_EQ(zone->DaylightDate.wDayOfWeek, 0);  // Sunday
                EXPECT_EQ(zone->StandardDate.wMonth, c.standard_month);
                EXPECT_EQ(zone->StandardDate.wDay, c.standard_week);
            }
            EXPECT_EQ(Name(windows.StandardName), std::u16string(c.windows));
            EXPECT_EQ(Name(iana.StandardName), std::u16string(c.iana));
        }
    }
}

TEST(TimeZoneTest, ZonesWithoutDaylightTimeHaveNoTransitions) {
    TIME_ZONE_INFORMATION zone{};
    ASSERT_TRUE(GetNamedTimeZoneInformation(u"E. Australia Standard Time", Midyear(2026), &zone));
    EXPECT_EQ(zone.Bias, -600);
    EXPECT_EQ(zone.DaylightDate.wMonth, 0);
    EXPECT_EQ(zone.StandardDate.wMonth, 0);
}

TEST(TimeZoneTest, UnknownAndEmptyNamesLeaveTheRecordAlone) {
    TIME_ZONE_INFORMATION zone{};
    zone.Bias = 123;
    EXPECT_FALSE(GetNamedTimeZoneInformation(u"", Midyear(2026), &zone));
    EXPECT_FALSE(GetNamedTimeZoneInformation(u"Atlantis Standard Time", Midyear(2026), &zone));
    EXPECT_FALSE(GetNamedTimeZoneInformation(u"Mars/Olympus_Mons", Midyear(2026), &zone));
    EXPECT_EQ(zone.Bias, 123);
}

TEST(TimeZoneTest, TheMachineZoneFollowsTz) {
    TIME_ZONE_INFORMATION zone{};
    {
        ScopedTimeZone sydney("Australia/Sydney");
        GetMachineTimeZoneInformation(Midyear(2026), &zone);
    }
    EXPECT_EQ(zone.Bias, -600);
    EXPECT_EQ(zone.DaylightDate.wMonth, 10);
}

}  // namespace
