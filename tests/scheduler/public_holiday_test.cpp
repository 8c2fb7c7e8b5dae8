// Public holidays: the record's defaults and which dates it matches.
#include <gtest/gtest.h>

#include "scheduler/public_holiday.h"
#include "support/scheduler_support.h"
#include "support/script_doubles.h"

namespace {

TEST(PublicHolidayTest, NewHolidayHasTheDefaultsAndMatchesNothing) {
    ComPtr<CPublicHoliday> holiday = New<CPublicHoliday>();
    EXPECT_EQ(PropertyTexts(static_cast<IPublicHoliday*>(holiday.get()),
                            {u"Name", u"Year", u"Month", u"Day"}),
              u"Uninitialised Public Holiday|-1|-1|-1");
    EXPECT_FALSE(holiday->Matches(Date(2026, 12, 25, 12)));
    // A null name reads back as null.
    holiday->put_Name(nullptr);
    BSTR none = const_cast<BSTR>(u"not yet");  // overwritten, never freed
    ASSERT_EQ(holiday->get_Name(&none), S_OK);
    EXPECT_EQ(none, nullptr);
}

TEST(PublicHolidayTest, MatchesItsDayInItsYearOrEveryYear) {
    struct Case {
        LONG year, month, day;
        DateValue date;
        bool matches;
    } cases[] = {
        {0, 12, 25, Date(2026, 12, 25, 12), true},    {-5, 12, 25, Date(2031, 12, 25, 12), true},
        {2030, 12, 25, Date(2030, 12, 25, 12), true}, {2030, 12, 25, Date(2031, 12, 25, 12), false},
        {0, 12, 25, Date(2026, 12, 26, 12), false},   {0, 13, 1, Date(2026, 1, 1, 12), false},
        {0, 2, 29, Date(2024, 2, 29, 12), true},      {0, 12, 25, DateValue{0, false}, false},
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
