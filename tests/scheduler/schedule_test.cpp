// Schedules (mask texts, the day and time rules, the next-run computation and the script face),
// and public holidays (the record's defaults and which dates it matches).
#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <string>
#include <tuple>

#include "platform/safearray.h"
#include "scheduler/public_holiday.h"
#include "scheduler/schedule.h"
#include "support/late_bound.h"
#include "support/scheduler_support.h"
#include "support/script_doubles.h"

namespace {

// The sun at 06:42:30 and 18:55:30 every day, and holidays on the listed dates.
class FixedCalendar : public ScheduleCalendar {
  public:
    std::set<std::tuple<int, int, int>> holidays;

    bool IsHolidayOn(DateValue date) override {
        SYSTEMTIME p;
        return solar::PartsOf(date, &p) && holidays.count({p.wYear, p.wMonth, p.wDay});
    }
    DateValue SunriseOn(DateValue date) override { return At(date, 6, 42); }
    DateValue SunsetOn(DateValue date) override { return At(date, 18, 55); }

  private:
    static DateValue At(DateValue date, int hour, int minute) {
        SYSTEMTIME p;
        solar::PartsOf(date, &p);
        return Date(p.wYear, p.wMonth, p.wDay, hour, minute, 30);
    }
};

// Keeps a native schedule and breaks its cycle with its timer at the end.
struct NativeSchedule {
    ref<ScheduleBase> schedule = new ScheduleBase;
    ~NativeSchedule() { schedule->DropReferences(); }
    ScheduleBase* operator->() const { return schedule.get(); }
};

TEST(MaskTextTest, ParsesAsThePanelsAlwaysHaveAndFormatsWithSpaces) {
    std::u16string days_2_to_31;
    for (int d = 2; d <= 31; ++d)
        days_2_to_31 += (d > 2 ? u" " : u"") + Utf8ToUtf16(std::to_string(d));
    const MaskTable dow = DayOfWeekKeywords(), dom = DayOfMonthKeywords(), mon = MonthKeywords();
    // clang-format off
    const struct {
        MaskTable table;
        std::u16string text;
        ULONG mask;
        bool formatted = false;  // also what the mask formats as
    } cases[] = {
        {dow, u"Mon, wed fri", 0x2A}, {dow, u"wd", 0x3E}, {dow, u"weekdays", 0x3E, true},
        {dow, u"we", 0x41}, {dow, u"WEEKENDS", 0x41}, {dow, u"weekends", 0x41, true},
        {dow, u"weekdays sunday", 0x3E},  // stops at "weekdays"
        {dow, u"sunday weekdays", 0x3E},  // the assignment replaces
        {dow, u"su", 0},                  // fewer than the three compared characters
        {dow, u"Sun", 0x01}, {dow, u"saturdays,,  PH", 0xC0}, {dow, u"all", 0xFF, true},
        {dow, u" , ", 0}, {dow, u"", 0, true}, {dow, u"someday", 0},
        {dow, u"sunday monday tuesday wednesday thursday friday saturday", 0x7F, true},
        {dow, u"monday tuesday wednesday thursday friday PH", 0xBE, true},
        {dom, u"1 15 31", 0x40004001}, {dom, u"all", 0x7FFFFFFF, true}, {dom, u"32 0 2", 0x2},
        {dom, u"3x", 0},  // "3" must match whole
        {dom, days_2_to_31, 0x7FFFFFFE, true},
        {mon, u"Jan,DECEMBER", 0x801}, {mon, u"all", 0xFFF, true},
        {mon, u"january december", 0x801, true},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf16ToUtf8(c.text));
        EXPECT_EQ(ParseMask(c.table, c.text), c.mask);
        if (c.formatted) {
            EXPECT_EQ(FormatMask(c.table, c.mask), c.text);
        }
    }
}

TEST(ScheduleNextTest, LooksAtTodayAndTomorrowOnly) {
    // Tuesday 10 March 2026; the 11th is a public holiday.
    FixedCalendar calendar;
    calendar.holidays.insert({2026, 3, 11});
    constexpr LONG kHour = 3600, kMax = std::numeric_limits<LONG>::max();
    struct Case {
        const char* name;
        std::u16string_view dow = u"all", dom = u"all", month = u"all";  // the three masks
        LONG relative = 0, hours = 12, minutes = 0;
        bool enabled = true, calendar = true;
        LONG now = 10 * kHour;  // seconds into the day
        int year = 2026;
        bool armed = true, far = false;  // far: not within two days
        LONG wait = 0;                   // seconds
    } cases[] = {
        // clang-format off
        {.name = "midnight already past", .hours = 0, .wait = 14 * kHour + 1},
        {.name = "later today", .hours = 18, .minutes = 30, .wait = 8 * kHour + 30 * 60 + 1},
        {.name = "one second away", .hours = 10, .wait = 86401},
        {.name = "two seconds away", .hours = 10, .now = 10 * kHour - 1, .wait = 2},
        {.name = "before 30 December 1899", .hours = 18, .minutes = 30, .year = 1899,
         .wait = 8 * kHour + 30 * 60 + 1},
        {.name = "sunrise without scheduler", .relative = 1, .hours = -1, .calendar = false,
         .now = 0, .wait = 5 * kHour + 1},
        {.name = "sunrise less an hour", .relative = 1, .hours = -1, .now = 0,
         .wait = 5 * kHour + 42 * 60 + 1},
        {.name = "sunset and ten minutes", .relative = 2, .hours = 0, .minutes = 10,
         .wait = 9 * kHour + 5 * 60 + 1},
        {.name = "tomorrow by day of month", .dom = u"11", .wait = 26 * kHour + 1},
        {.name = "holiday tomorrow", .dow = u"PH", .wait = 26 * kHour + 1},
        {.name = "holiday unknown without scheduler", .dow = u"PH", .calendar = false,
         .far = true, .wait = 50 * kHour + 1},
        {.name = "saturdays only", .dow = u"saturday", .far = true, .wait = 50 * kHour + 1},
        {.name = "april only", .month = u"april", .hours = 0, .far = true, .wait = 38 * kHour + 1},
        {.name = "empty mask", .dow = u"", .armed = false},
        {.name = "unknown keyword", .month = u"smarch", .armed = false},
        {.name = "disabled", .enabled = false, .armed = false},
        // Times of day are 32-bit arithmetic: what passes 32 bits keeps its low 32 bits, as does
        // the wait in milliseconds.
        {.name = "hours past 32 bits", .hours = -600000, .wait = 2134931297},
        // The largest hours and minutes make -3660 s: tomorrow's run is at 22:59:01 today.
        {.name = "both past 32 bits", .hours = kMax, .minutes = kMax, .wait = 46741},
        {.name = "sunrise past 32 bits", .relative = 1, .hours = kMax, .minutes = kMax,
         .calendar = false, .wait = 68341},
        {.name = "sunset past 32 bits", .relative = 2, .hours = kMax, .minutes = kMax,
         .wait = 28441},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NativeSchedule s;
        s->set_day_of_week(ParseMask(DayOfWeekKeywords(), c.dow));
        s->set_day_of_month(ParseMask(DayOfMonthKeywords(), c.dom));
        s->set_month_of_year(ParseMask(MonthKeywords(), c.month));
        s->set_relative_to(c.relative);
        s->set_hours(c.hours);
        s->set_minutes(c.minutes);
        s->SetEnable(c.enabled);
        const DateValue now = Date(c.year, 3, 10, c.now / 3600, c.now / 60 % 60, c.now % 60);
        EXPECT_EQ(s->ScheduleNext(now, c.calendar ? &calendar : nullptr), c.armed);
        ref<TimerBase> timer = s->timer();
        EXPECT_EQ(timer->enabled(), c.armed ? 1 : 0);
        if (!c.armed) continue;
        EXPECT_EQ(s->not_within_two_days(), c.far);
        EXPECT_EQ(timer->one_shot(), 0);
        EXPECT_EQ(timer->period(), static_cast<LONG>(c.wait * 1000LL));
    }
}

TEST(ScheduleNextTest, ExpiryFiresOnlyWhenEnabledAndDue) {
    struct Case {
        bool enabled;
        ULONG day_of_week;
        bool far;  // armed for Sunday 30 January: not within two days of 10 March
        bool fires;
    } cases[] = {{true, 0xFF, false, true},
                 {false, 0xFF, false, false},
                 {true, 0, false, true},
                 {true, 0x01, true, false}};  // a wake-up after two days without a run
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.enabled << " " << c.day_of_week << " " << c.far);
        NativeSchedule s;
        std::string log;
        s->set_handler(ref<ScheduleLog>(new ScheduleLog(&log)).get());
        s->set_day_of_week(c.day_of_week);
        s->set_day_of_month(c.far ? 1u << 29 : ScheduleBase::kAllDaysOfMonth);
        s->set_month_of_year(c.far ? 0x1 : ScheduleBase::kAllMonths);
        s->SetEnable(c.enabled);
        if (c.far) {
            ASSERT_TRUE(s->ScheduleNext(Date(2026, 3, 10, 10), nullptr));
        }
        log.clear();
        s->TimedOut(s->timer().get());
        EXPECT_EQ(log, c.fires ? "fired " : "");
        // The computation after the expiry switched the schedule with an empty mask off.
        EXPECT_EQ(s->enabled(), c.enabled && c.day_of_week != 0);
    }
}

TEST(ScheduleTest, EnableChangesAreReportedOnceAndTriggerFiresWhateverTheRule) {
    NativeSchedule s;
    std::string log;
    s->set_handler(ref<ScheduleLog>(new ScheduleLog(&log)).get());
    s->SetEnable(true);
    s->SetEnable(true);
    s->SetEnable(false);
    s->Trigger();
    EXPECT_EQ(log, "enabled disabled fired ");
    s->Reset();
    EXPECT_FALSE(s->handler());
    EXPECT_EQ(s->event_number(), -1);
}

TEST(ScheduleTest, ScriptObjectReadsAndWritesTheRuleByNameAndStaysWhileItsTimerIsQueued) {
    ComPtr<CSchedule> object = New<CSchedule>();
    IDispatch* d = static_cast<ISchedule*>(object.get());
    struct Member {
        const char16_t* name;
        const char16_t* before;
        CComVariant put;
        const char16_t* after;
    } members[] = {
        {u"Name", u"", CComVariant(u"Porch"), u"Porch"},
        {u"EventNumber", u"-1", CComVariant(LONG{7}), u"7"},
        {u"DayOfWeek", u"", CComVariant(u"Mon, wed fri"), u"monday wednesday friday"},
        {u"DayOfMonth", u"", CComVariant(u"1 15"), u"1 15"},
        {u"MonthOfYear", u"", CComVariant(u"all"), u"all"},
        {u"RelativeTo", u"midnight", CComVariant(u"SS"), u"sunset"},
        {u"RelativeTo", u"sunset", CComVariant(u"SunRise"), u"sunrise"},
        {u"RelativeTo", u"sunrise", CComVariant(u"midnight"), u"midnight"},
        {u"RelativeTo", u"midnight", CComVariant(u"sr"), u"sunrise"},
        {u"RelativeTo", u"sunrise", CComVariant(u"noon"), u"midnight"},  // no name: midnight
        {u"Hours", u"0", CComVariant(LONG{-1}), u"-1"},
        {u"Minutes", u"0", CComVariant(LONG{90}), u"90"},
        {u"Enable", u"False", CComVariant(true), u"True"},
    };
    for (Member& m : members) {
        SCOPED_TRACE(Utf16ToUtf8(m.name));
        EXPECT_EQ(PropertyText(d, m.name), m.before);
        EXPECT_EQ(CallName(d, m.name, DISPATCH_PROPERTYPUT, {m.put}), S_OK);
        EXPECT_EQ(PropertyText(d, m.name), m.after);
    }
    EXPECT_EQ(FormatRelativeTo(7), u"midnight");  // a value no name gives
    // A member the script adds is listed for the files; the typed ones are not.
    EXPECT_EQ(CallName(d, u"Colour", DISPATCH_PROPERTYPUT, {CComVariant(u"amber")}), S_OK);
    CComVariant names;
    ASSERT_EQ(object->GetMemberNames(&names), S_OK);
    LONG high = -1;
    SafeArrayGetUBound(names.parray, 1, &high);
    EXPECT_EQ(high, 0);
    EXPECT_EQ(object->get_Name(nullptr), E_POINTER);

    // While its timer is queued, the script object stays.
    ref<COMSchedule> core = object->Schedule();
    core->OnTimerQueued();
    core->OnTimerQueued();
    ISchedule* raw = object.get();
    object = nullptr;
    EXPECT_EQ(raw->AddRef(), 2u);  // the timer thread's hold and this one
    raw->Release();
    core->OnTimerLetGo();
    EXPECT_EQ(raw->AddRef(), 2u);  // one entry is still queued
    raw->Release();
    EXPECT_TRUE(core->timer());
    core->OnTimerLetGo();  // the last: the object goes, and drops its timer
    EXPECT_FALSE(core->timer());
}

TEST(PublicHolidayTest, NewHolidayMatchesNothingUntilSetToADayInAYearOrEveryYear) {
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

    // Set, it matches its day in its year, or every year.
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
