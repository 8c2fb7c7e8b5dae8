// A schedule's next run, computed through the scheduler's own calendar (its place, zone and public
// holidays) from an arbitrary moment.
//
// Input: Enable, the three masks as raw numbers (wider than their fields), RelativeTo, Hours and
// Minutes (small or any 32-bit value); a place (a real city with its zone, or any latitude,
// longitude and a zone from a short list with odd names in it, with or without daylight saving);
// up to four holidays with any fields; and "now" as local calendar parts with milliseconds, in
// any year of the date range (around 1899 and 2000 more often); and whether a scheduler is there.
//
// Checked beyond the sanitizers: the schedule is armed exactly when its masks are non-empty and
// it is enabled; its wait is what the rule gives when restated on a plain count of seconds (the
// first of today and tomorrow that the masks and holidays select and whose run is more than a
// second away, else a wake-up the day after without a run); a run is more than a second after
// now; asked again two seconds before the run, the schedule finds the same run, and asked at
// the run, a later one (both when the run lies within its own day). The sun's local times are
// the formulas' minutes from midnight of their day; at a real place away from the poles both
// lie within that day, sunrise first, and near the poles the search still finds them.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <time.h>

#include "fuzz_input.h"
#include "platform/clock.h"
#include "platform/types.h"
#include "platform/var_date.h"
#include "scheduler/public_holiday.h"
#include "scheduler/schedule.h"
#include "scheduler/scheduler.h"
#include "scheduler/solar.h"

namespace {

using namespace std::chrono;

constexpr std::int64_t kDay = 86400;
constexpr int kMaxHolidays = 4;

struct RealPlace {
    float lat, lng;
    const char16_t* zone;
    bool polar;
};
constexpr RealPlace kPlaces[] = {
    {-33.87f, 151.2f, u"Australia/Sydney", false},
    {51.5f, -0.12f, u"Europe/London", false},
    {40.71f, -74.0f, u"America/New_York", false},
    {-33.45f, -70.67f, u"America/Santiago", false},
    {-36.85f, 174.76f, u"Pacific/Auckland", false},
    {22.57f, 88.36f, u"Asia/Kolkata", false},
    {-31.55f, 159.08f, u"Australia/Lord_Howe", false},
    {60.17f, 24.94f, u"Europe/Helsinki", false},
    {-33.87f, 151.2f, u"AUS Eastern Standard Time", false},
    {69.65f, 18.96f, u"Europe/Oslo", true},
    {78.22f, 15.65f, u"Arctic/Longyearbyen", true},
    {-77.85f, 166.67f, u"Antarctica/McMurdo", true},
};
constexpr const char16_t* kZones[] = {
    u"Australia/Sydney",
    u"Europe/London",
    u"America/New_York",
    u"America/Santiago",
    u"Pacific/Auckland",
    u"Asia/Kolkata",
    u"UTC",
    u"Etc/GMT+12",
    u"",
    u"Mars/Olympus_Mons",
    u"../../etc/localtime",
    u"A zone name much longer than the thirty-one characters kept",
};

// A local day as days since 30 December 1899, counted straight on (no back-counting fraction).
struct Day {
    std::int64_t number;
    bool valid() const { return number >= automation::kMinDate && number <= automation::kMaxDate; }
    year_month_day civil() const {
        return year_month_day{sys_days{1899y / 12 / 30} + days(number)};
    }
    // The date value of this day at `seconds` past midnight, as the library writes one.
    DateValue At(int seconds) const {
        const year_month_day d = civil();
        double value = 0;
        if (!automation::PartsToDate(int(d.year()), unsigned(d.month()), unsigned(d.day()),
                                     seconds / 3600, seconds / 60 % 60, seconds % 60, &value))
            return DateValue{0, false};
        return DateValue{value, true};
    }
};

struct Rule {
    bool enabled;
    ULONG day_of_month, month_of_year, day_of_week;  // as the fields keep them
    LONG relative_to, hours, minutes;
};

struct Holiday {
    LONG year, month, day;
};

// The documented day test on calendar parts.
bool Selects(const Rule& rule, const std::vector<Holiday>& holidays, Day day) {
    if (!day.valid()) return false;
    const year_month_day d = day.civil();
    const int y = int(d.year());
    const unsigned m = unsigned(d.month()), dd = unsigned(d.day());
    const unsigned w = weekday(sys_days(d)).c_encoding();
    if (!((rule.day_of_month >> (dd - 1)) & 1) || !((rule.month_of_year >> (m - 1)) & 1))
        return false;
    if ((rule.day_of_week >> w) & 1) return true;
    if (!(rule.day_of_week & ScheduleBase::kPublicHolidayBit)) return false;
    for (const Holiday& h : holidays)
        if (h.month == LONG(m) && h.day == LONG(dd) && (h.year <= 0 || h.year == y)) return true;
    return false;
}

// The documented time of day, 32-bit.
LONG TimeOfDay(const Rule& rule, CScheduler* calendar, Day day) {
    std::int64_t hour = 0, minute = 0;
    if (rule.relative_to == kRelativeToSunrise || rule.relative_to == kRelativeToSunset) {
        const DateValue at = day.At(1);
        int h = rule.relative_to == kRelativeToSunrise ? 6 : 18, m = 0;  // without a scheduler
        if (calendar && !at.valid) h = m = -1;
        if (calendar && at.valid)
            solar::HourMinuteOf(rule.relative_to == kRelativeToSunrise ? calendar->SunriseOn(at)
                                                                       : calendar->SunsetOn(at),
                                &h, &m);
        hour = h;
        minute = m;
    }
    return static_cast<LONG>(((hour + rule.hours) * 60 + minute + rule.minutes) * 60);
}

struct Moment {
    std::int64_t milliseconds;  // since 30 December 1899, local
    Day day() const {
        return Day{milliseconds >= 0 ? milliseconds / (kDay * 1000)
                                     : -((-milliseconds + kDay * 1000 - 1) / (kDay * 1000))};
    }
    DateValue Value() const {
        const Day d = day();
        const std::int64_t in_day = milliseconds - d.number * kDay * 1000;
        DateValue value = d.At(static_cast<int>(in_day / 1000));
        const double fraction = double(in_day % 1000) / (kDay * 1000);
        value.days += value.days >= 0 ? fraction : -fraction;
        return value;
    }
};

struct Next {
    bool far = false;
    std::int64_t wait = 0;    // seconds
    std::int64_t run_ms = 0;  // the run's moment, when not far
    Day day{0};
    LONG time_of_day = 0;
};

// The documented next run, on a plain count of milliseconds.
Next Expected(const Rule& rule, const std::vector<Holiday>& holidays, CScheduler* calendar,
              Moment now) {
    auto wait_to = [&](Day day, LONG tod) {
        const std::int64_t ms = (day.number * kDay + 1 + tod) * 1000 - now.milliseconds;
        return ms >= 0 ? (ms + 500) / 1000 : -((-ms + 500) / 1000);  // half away from zero
    };
    Next next;
    for (int k = 0; k < ScheduleBase::kDaysLookedAt; ++k) {
        const Day day{now.day().number + k};
        if (!Selects(rule, holidays, day)) continue;
        const LONG tod = TimeOfDay(rule, calendar, day);
        const std::int64_t wait = wait_to(day, tod);
        if (wait > 1) return Next{false, wait, (day.number * kDay + 1 + tod) * 1000, day, tod};
    }
    next.far = true;
    next.day = Day{now.day().number + ScheduleBase::kDaysLookedAt};
    next.time_of_day = TimeOfDay(rule, calendar, next.day);
    next.wait = wait_to(next.day, next.time_of_day);
    return next;
}

// Computes through the library and compares with the restatement; the expected result.
Next Check(ScheduleBase* schedule, const Rule& rule, const std::vector<Holiday>& holidays,
           CScheduler* calendar, Moment now) {
    schedule->SetEnable(rule.enabled);
    const bool armed = schedule->ScheduleNext(now.Value(), calendar);
    const bool masks = rule.day_of_month && rule.month_of_year && (rule.day_of_week & 0xFF);
    FUZZ_CHECK(armed == (masks && rule.enabled));
    ref<TimerBase> timer = schedule->timer();
    FUZZ_CHECK(timer->enabled() == (armed ? 1 : 0));
    if (!armed) return Next{true};
    const Next expected = Expected(rule, holidays, calendar, now);
    if (std::getenv("FUZZ_TRACE"))
        std::fprintf(stderr, "now %lld ms (%.9f): period %d far %d; expected wait %lld far %d\n",
                     static_cast<long long>(now.milliseconds), now.Value().days,
                     static_cast<int>(timer->period()), schedule->not_within_two_days(),
                     static_cast<long long>(expected.wait), expected.far);
    FUZZ_CHECK(schedule->not_within_two_days() == expected.far);
    LONG ms = WrappingProduct(static_cast<LONG>(expected.wait), 1000);
    if (ms < 1000) ms = 1000;  // a wake-up in the past waits a second
    FUZZ_CHECK(timer->period() == ms);
    if (!expected.far) FUZZ_CHECK(expected.run_ms > now.milliseconds + 1000);
    return expected;
}

// A date value as seconds since 30 December 1899, counted straight on.
std::optional<std::int64_t> SecondsOf(DateValue value) {
    SYSTEMTIME p;
    if (!solar::PartsOf(value, &p)) return std::nullopt;
    return (sys_days{year{p.wYear} / p.wMonth / p.wDay} - sys_days{1899y / 12 / 30}).count() *
               kDay +
           p.wHour * 3600 + p.wMinute * 60 + p.wSecond;
}

// Sunrise or sunset of a day as the scheduler gives it: the formulas' minutes plus the zone's
// offset, from midnight of that day.
void CheckSun(CScheduler* calendar, const LocaleRecord& place, std::optional<bool> polar, Day day,
              bool sunrise) {
    const DateValue at = day.At(1);
    if (!at.valid) return;
    const year_month_day d = day.civil();
    const int n = solar::DayOfYear(int(d.year()), unsigned(d.month()), unsigned(d.day()));
    const double minutes = (sunrise ? solar::SunriseMinutes(place.lat, place.lng, n)
                                    : solar::SunsetMinutes(place.lat, place.lng, n)) +
                           calendar->ZoneOffsetMinutes(at);
    const DateValue sun = sunrise ? calendar->SunriseOn(at) : calendar->SunsetOn(at);
    const std::optional<std::int64_t> seconds = SecondsOf(sun);
    if (std::getenv("FUZZ_TRACE"))
        std::fprintf(stderr, "%s of day %lld (%d-%u-%u) at %g %g: %g minutes, at %lld s\n",
                     sunrise ? "sunrise" : "sunset", static_cast<long long>(day.number),
                     int(d.year()), unsigned(d.month()), unsigned(d.day()), place.lat, place.lng,
                     minutes, static_cast<long long>(seconds.value_or(-1)));
    // A real place's sun is always found; a time before midnight only in whole hours.
    if (polar.has_value() && minutes >= 0) FUZZ_CHECK(seconds.has_value());
    if (!seconds) return;
    FUZZ_CHECK(std::fabs(double(*seconds - day.number * kDay) - minutes * 60) <= 1.5);
    if (polar == false)
        FUZZ_CHECK(*seconds >= day.number * kDay && *seconds < (day.number + 1) * kDay);
}

CScheduler* Calendar() {
    static CScheduler* scheduler = [] {
        ComPtr<CScheduler> made;
        if (FAILED(MakeComObject(&made))) std::abort();
        return made.Detach();  // kept for the whole run
    }();
    return scheduler;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TZ", "UTC", 1);
    tzset();
    TestClock::Install(0, sys_days{2026y / 3 / 10});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    Rule rule{};
    rule.enabled = input.Bool();
    rule.day_of_month = input.Integral<std::uint32_t>();
    rule.month_of_year = input.Integral<std::uint32_t>() & 0xFFFF;
    rule.day_of_week = input.Integral<std::uint32_t>() & 0xFF;
    const std::uint8_t relative = input.Integral<std::uint8_t>();
    rule.relative_to = relative < 0xF0 ? relative % 3 : input.Integral<LONG>();
    const bool small = input.Bool();
    rule.hours = small ? input.InRange<LONG>(-30, 30) : input.Integral<LONG>();
    rule.minutes = small ? input.InRange<LONG>(-90, 90) : input.Integral<LONG>();

    LocaleRecord place;
    std::optional<bool> polar;  // known only for a real place
    const std::uint8_t which = input.Integral<std::uint8_t>();
    if (which < 0x80) {
        const RealPlace& real = kPlaces[which % std::size(kPlaces)];
        place.lat = real.lat;
        place.lng = real.lng;
        place.timezone = real.zone;
        place.use_daylight_saving = true;
        polar = real.polar;
    } else {
        const bool any = input.Bool();
        place.lat = any ? input.Floating<float>() : input.InRange<int>(-9000, 9000) / 100.0f;
        place.lng = any ? input.Floating<float>() : input.InRange<int>(-18000, 18000) / 100.0f;
        place.timezone = kZones[input.InRange<std::size_t>(0, std::size(kZones) - 1)];
        place.use_daylight_saving = input.Bool();
    }

    std::vector<Holiday> holidays(input.InRange<std::size_t>(0, kMaxHolidays));
    for (Holiday& h : holidays)
        h = {input.InRange<LONG>(-1, 10000), input.InRange<LONG>(-1, 13),
             input.InRange<LONG>(-1, 32)};

    const int y = input.Bool() ? input.InRange(1890, 2110) : input.InRange(100, 9999);
    const unsigned mo = input.InRange(1u, 12u);
    const unsigned month_length =
        unsigned(year_month_day_last{year{y} / month{mo} / std::chrono::last}.day());
    const unsigned dd = std::min(input.InRange(1u, 31u), month_length);
    const int seconds = input.InRange(0, int(kDay) - 1);
    int ms = input.InRange(0, 999);
    if (ms == 500) ms = 499;  // a wait of exactly half a second more rounds either way
    const Moment now{
        ((sys_days{year{y} / mo / dd} - sys_days{1899y / 12 / 30}).count() * kDay + seconds) *
            1000 +
        ms};

    // The zone's rules are those near now, within the clock's range.
    TestClock::SetWallTime(sys_days{year{std::clamp(y, 1700, 2200)} / mo / dd} +
                           std::chrono::seconds(seconds));
    CScheduler* calendar = Calendar();
    calendar->SetPlace(place);
    calendar->PublicHolidays().ClearAll();
    for (const Holiday& h : holidays) {
        ComPtr<CPublicHoliday> holiday;
        if (FAILED(MakeComObject(&holiday))) std::abort();
        holiday->put_Year(h.year);
        holiday->put_Month(h.month);
        holiday->put_Day(h.day);
        calendar->PublicHolidays().Add(
            CComVariant(static_cast<IDispatch*>(static_cast<IPublicHoliday*>(holiday.get()))));
    }

    ref<ScheduleBase> schedule = new ScheduleBase;
    schedule->set_day_of_month(rule.day_of_month);
    schedule->set_month_of_year(rule.month_of_year);
    schedule->set_day_of_week(rule.day_of_week);
    schedule->set_relative_to(rule.relative_to);
    schedule->set_hours(rule.hours);
    schedule->set_minutes(rule.minutes);

    // Without a scheduler, holidays are ordinary days and the sun rises at 6 and sets at 18.
    if (input.Bool()) {
        holidays.clear();
        calendar = nullptr;
    }
    const Next next = Check(schedule.get(), rule, holidays, calendar, now);
    if (!next.far && next.time_of_day >= 1 && next.time_of_day <= kDay - 2) {
        // The run lies within its own day: two seconds before it, it is still the next one, and
        // at it, the next is later.
        const Next again =
            Check(schedule.get(), rule, holidays, calendar, Moment{next.run_ms - 2000});
        FUZZ_CHECK(!again.far && again.run_ms == next.run_ms);
        const Next later = Check(schedule.get(), rule, holidays, calendar, Moment{next.run_ms});
        FUZZ_CHECK(later.far || later.run_ms > next.run_ms);
    }
    calendar = Calendar();
    for (int k = 0; k <= ScheduleBase::kDaysLookedAt; ++k)
        for (bool sunrise : {true, false})
            CheckSun(calendar, place, polar, Day{now.day().number + k}, sunrise);
    if (polar == false) {
        const DateValue at = now.day().At(1);
        if (at.valid)
            FUZZ_CHECK(SecondsOf(calendar->SunriseOn(at)) < SecondsOf(calendar->SunsetOn(at)));
    }
    schedule->DropReferences();
    calendar->PublicHolidays().ClearAll();
    return 0;
}
