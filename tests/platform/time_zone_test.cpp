// Time zones named as panel locale files name them: by Windows key name or by IANA name.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/bstr.h"
#include "platform/time_zone.h"
#include "support/scoped_time_zone.h"

namespace {

using namespace std::chrono;

// Each zone by either name, and as the machine's zone, gives the same rules in every year.
TEST(TimeZoneTest, WindowsKeyNamesIanaNamesAndTheMachineZoneGiveTheSameRules) {
    struct Case {
        std::u16string_view windows;
        const char* iana;
        LONG bias, daylight_bias;
        WORD daylight_month, daylight_week, standard_month, standard_week;
    } cases[] = {
        {u"AUS Eastern Standard Time", "Australia/Sydney", -600, -60, 10, 1, 4, 1},
        {u"W. Europe Standard Time", "Europe/Berlin", -60, -60, 3, 5, 10, 5},
        {u"Pacific Standard Time", "America/Los_Angeles", 480, -60, 3, 2, 11, 1},
        {u"New Zealand Standard Time", "Pacific/Auckland", -720, -60, 9, 5, 4, 1},
        // Brisbane has no transitions.
        {u"E. Australia Standard Time", "Australia/Brisbane", -600, 0, 0, 0, 0, 0},
    };
    for (int year : {2023, 2024, 2026}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.iana << " " << year);
            const system_clock::time_point midyear = sys_days{std::chrono::year{year} / July / 1};
            TIME_ZONE_INFORMATION windows{}, iana{}, machine{};
            ASSERT_TRUE(GetNamedTimeZoneInformation(c.windows, midyear, &windows));
            ASSERT_TRUE(GetNamedTimeZoneInformation(Utf8ToUtf16(c.iana), midyear, &iana));
            {
                ScopedTimeZone zone(c.iana);
                GetMachineTimeZoneInformation(midyear, &machine);
            }
            for (const TIME_ZONE_INFORMATION* zone : {&windows, &iana, &machine}) {
                EXPECT_EQ(zone->Bias, c.bias);
                EXPECT_EQ(zone->StandardBias, 0);
                EXPECT_EQ(zone->DaylightBias, c.daylight_bias);
                EXPECT_EQ(zone->DaylightDate.wMonth, c.daylight_month);
                EXPECT_EQ(zone->DaylightDate.wDay, c.daylight_week);
                EXPECT_EQ(zone->DaylightDate.wDayOfWeek, 0);  // Sunday
                EXPECT_EQ(zone->StandardDate.wMonth, c.standard_month);
                EXPECT_EQ(zone->StandardDate.wDay, c.standard_week);
            }
            EXPECT_EQ(std::u16string(windows.StandardName), c.windows);
            EXPECT_EQ(std::u16string(iana.StandardName), Utf8ToUtf16(c.iana));
        }
    }
}

TEST(TimeZoneTest, UnknownAndEmptyNamesLeaveTheRecordAlone) {
    TIME_ZONE_INFORMATION zone{};
    zone.Bias = 123;
    const auto when = sys_days{2026y / July / 1};
    for (std::u16string_view name : {u"", u"Atlantis Standard Time", u"Mars/Olympus_Mons"})
        EXPECT_FALSE(GetNamedTimeZoneInformation(name, when, &zone));
    EXPECT_EQ(zone.Bias, 123);
}

}  // namespace
