// Public holidays: the record's defaults and which dates it matches.
#include <gtest/gtest.h>

#include "platform/var_date.h"
#include "scheduler/public_holiday.h"
#include "support/script_doubles.h"

namespace {

DateValue Date(int year, int month, int day) {
    double days = 0;
    EXPECT_TRUE(automation::PartsToDate(year, month, day, 12, 0, 0, &days));
    return DateValue{days, true};
}

TEST(PublicHolidayTest, NewHolidayHasTheDefaultsAndMatchesNothing) {
    ComPtr<CPublicHoliday> holiday = New<CPublicHoliday>();
    CComBSTR name;
    ASSERT_EQ(holiday->get_Name(&name), S_OK);
    EXPECT_EQ(std::u16string(name), u"Uninitialised Public Holiday");
    LONG year = 0, month = 0, day = 0;
    holiday->get_Year(&year);
    holiday->get_Month(&month);
    holiday->get_Day(&day);
    EXPECT_EQ(year, -1);
    EXPECT_EQ(month, -1);
    EXPECT_EQ(day, -1);
    EXPECT_FALSE(holiday->Matches(Date(2026, 12, 25)));
    // A null name reads back as null.
    holiday->put_Name(nullptr);
    BSTR none = const_cast<BSTR>(u"not yet");  // overwritten, never freed
    ASSERT_EQ(holiday->get_Name(&none), S_OK);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(HolidayOf(static_cast<IPublicHoliday*>(holiday.get())),
              static_cast<PHBase*>(holiday.get()));
}

TEST(PublicHolidayTest, MatchesItsDayInItsYearOrEveryYear) {
    struct Case {
        LONG year, month, day;
        DateValue date;
        bool matches;
    } cases[] = {
        {0, 12, 25, Date(2026, 12, 25), true},    {-5, 12, 25, Date(2031, 12, 25), true},
        {2030, 12, 25, Date(2030, 12, 25), true}, {2030, 12, 25, Date(2031, 12, 25), false},
        {0, 12, 25, Date(2026, 12, 26), false},   {0, 13, 1, Date(2026, 1, 1), false},
        {0, 2, 29, Date(2024, 2, 29), true},      {0, 12, 25, DateValue{0, false}, false},
    };
    for (const Case& c : cases) {
        PHBase holiday;
        holiday.set_year(c.year);
        holiday.set_month(c.month);
        holiday.set_day(c.day);
        EXPECT_EQ(holiday.Matches(c.date), c.matches)
            << c.year << "-" << c.month << "-" << c.day << " on " << c.date.days;
    }
}

}  // namespace
