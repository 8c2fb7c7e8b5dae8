// Sunrise, sunset and the zone offset, with the place's figures worked by hand.
#include <gtest/gtest.h>

#include <cmath>

#include "scheduler/solar.h"
#include "support/scheduler_support.h"
#include "support/system_time_text.h"

namespace {

SYSTEMTIME Transition(WORD month, WORD week, WORD weekday = 0) {
    SYSTEMTIME t{};
    t.wMonth = month;
    t.wDay = week;
    t.wDayOfWeek = weekday;
    t.wHour = 2;
    return t;
}

// A zone as its record would read: bias, and the daylight period between the two transitions.
TIME_ZONE_INFORMATION Zone(LONG bias, WORD daylight_month, WORD standard_month,
                           WORD daylight_week = 1, WORD standard_week = 1) {
    TIME_ZONE_INFORMATION zone{};
    zone.Bias = bias;
    zone.DaylightBias = -60;
    zone.DaylightDate = Transition(daylight_month, daylight_week);
    zone.StandardDate = Transition(standard_month, standard_week);
    return zone;
}

TEST(SolarTest, PolarDaysTakeTheNearestDayWithASunriseInTheSearchDirection) {
    const double lat = 70;
    ASSERT_TRUE(std::isnan(solar::HourAngle(lat, 171 * solar::kYearFactor)));  // midnight sun
    int day = 172;
    while (std::isnan(solar::HourAngle(lat, (day - 1) * solar::kYearFactor)))
        --day;  // backwards: towards the spring days that still have a sunrise
    ASSERT_LT(day, 172);
    EXPECT_DOUBLE_EQ(solar::SunriseMinutes(lat, 0, 172), solar::SunriseMinutes(lat, 0, day));
    // In the southern polar winter the search runs forwards, to the spring.
    ASSERT_TRUE(std::isnan(solar::HourAngle(-70, 172 * solar::kYearFactor)));
    EXPECT_FALSE(std::isnan(solar::SunsetMinutes(-70, 0, 172)));
}

TEST(SolarTest, ConversionToLocalTimeCarriesDaysAndRefusesNegativeParts) {
    const struct {
        double minutes;
        int offset;
        const char* local;  // empty: refused
        DateValue date = Date(2026, 3, 10);
    } cases[] = {
        {30, 0, "2026-03-10 00:30:00"},
        {1440 + 30, 0, "2026-03-11 00:30:00"},
        {2 * 1440 + 60, 0, "2026-03-12 01:00:00"},
        {600, -630, ""},  // -0:30
        {-90, 0, ""},
        {1000, -1000 - 1440 * 2 + 60, "2026-03-08 01:00:00"},
        {NAN, 0, ""},
        {1e12, 0, ""},  // hours past every date
        {-1e12, 0, ""},
        {2 * 1440 + 360, 0, "1899-12-31 06:00:00", Date(1899, 12, 29)},  // across day 0
    };
    for (const auto& c : cases) {
        SYSTEMTIME t;
        const bool valid = solar::PartsOf(solar::ToLocalTime(c.date, c.minutes, c.offset), &t);
        EXPECT_EQ(valid ? ShowSystemTime(t) : "", c.local) << c.minutes << " + " << c.offset;
    }
    int hour = 0, minute = 0;
    solar::HourMinuteOf(DateValue{0, false}, &hour, &minute);
    EXPECT_EQ(std::make_pair(hour, minute), std::make_pair(-1, -1));
    // The formulas are checked to the second through the scheduler's place (Sydney's sun in
    // SchedulerTest.LocaleFilesSetThePlaceAndItsSunAndAMissingOneKeepsIt); a locale file's float
    // may hold a longitude far past any place, which puts the sun at no time of day.
    SYSTEMTIME t;
    EXPECT_FALSE(solar::PartsOf(solar::Sunrise(0, 1e30, Date(2026, 3, 21), 0), &t));
}

// Transition days as days of the year, which count February 29 in leap years only.
TEST(SolarTest, WeekFiveIsTheLastSuchWeekdayOfTheMonth) {
    struct Case {
        int year;
        WORD month, week, weekday;
        int day_of_year;
    } cases[] = {
        {2026, 2, 5, 0, 53},  // February 2026 has four Sundays: the 22nd
        {2026, 3, 5, 0, 88},  // March 2026 has five: the 29th
        {2026, 3, 1, 0, 60},   {2024, 3, 1, 5, 61},   {2026, 10, 1, 0, 277},
        {2026, 4, 2, 3, 98},   {2024, 2, 5, 4, 60},  // leap-year February: the 29th
        {2000, 12, 5, 0, 366}, {1900, 12, 5, 1, 365},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.year << "-" << c.month << " week " << c.week);
        EXPECT_EQ(solar::TransitionDayOfYear(c.year, Transition(c.month, c.week, c.weekday)),
                  c.day_of_year);
    }
}

TEST(SolarTest, ZoneOffsetFollowsTheNorthernAndSouthernPatterns) {
    const TIME_ZONE_INFORMATION south = Zone(-600, 10, 4);       // daylight October to April
    const TIME_ZONE_INFORMATION north = Zone(-60, 3, 10, 5, 5);  // daylight March to October
    TIME_ZONE_INFORMATION no_daylight = south;
    no_daylight.DaylightDate.wMonth = 0;
    TIME_ZONE_INFORMATION bad_week = north;
    bad_week.StandardDate.wDay = 6;
    struct Case {
        const TIME_ZONE_INFORMATION* zone;
        bool use_daylight_saving;
        DateValue date;
        int offset;
    } cases[] = {
        {&south, true, Date(2026, 1, 15), -540},       {&south, true, Date(2026, 6, 15), -600},
        {&south, true, Date(2026, 4, 5), -600},  // the standard-time start day itself
        {&south, true, Date(2026, 10, 4), -540},       {&south, false, Date(2026, 1, 15), -600},
        {&no_daylight, true, Date(2026, 1, 15), -600}, {&north, true, Date(2026, 7, 1), 0},
        {&north, true, Date(2026, 12, 1), -60},        {&north, true, Date(2026, 3, 28), -60},
        {&north, true, Date(2026, 3, 29), 0},          {&bad_week, true, Date(2026, 7, 1), -60},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.date.days << " bias " << c.zone->Bias);
        EXPECT_EQ(solar::ZoneOffsetMinutes(*c.zone, c.use_daylight_saving, c.date), c.offset);
    }
}

}  // namespace
