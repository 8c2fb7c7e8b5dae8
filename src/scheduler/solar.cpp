#include "scheduler/solar.h"

#include <cmath>
#include <limits>

#include "platform/var_date.h"

namespace solar {
namespace {

constexpr int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr int kDaysInLongestYear = 366;
// Hours across the whole date range: a time of day this far from its date names no date.
constexpr double kHoursInDateRange = (automation::kMaxDate - automation::kMinDate + 1) * 24;

int DaysInMonth(int year, int month) {
    return month == 2 && IsLeapYear(year) ? 29 : kMonthDays[month - 1];
}

// One day's value by the two-pass formula: the first pass finds how far the result lies from
// the day, the second evaluates the terms on the day corrected by that many days.
double TwoPass(double lat, double lng, int n, int first_pass_day, double sign) {
    const double g1 = first_pass_day * kYearFactor;
    const double t1 = 720 + 4 * (lng + sign * HourAngle(lat, g1)) - EquationOfTime(g1);
    // Whole hours and days, truncated as integers would be, kept in floating point: a longitude
    // far out gives more than any integer holds, and a first pass without a sunrise (near the
    // poles) gives none, which makes the day's result none too.
    const double k = std::trunc(t1 / -60);
    const double d = std::trunc(k / 24);
    const double g2 = (n - d - 1) * kYearFactor;
    return 720 + 4 * (lng + sign * HourAngle(lat, g2)) - EquationOfTime(g2);
}

// Near the poles a day without sunrise or sunset takes the nearest day that has one, searching
// towards the season in which the sun does rise and set.
template <class DayMinutes>
double WithPolarSearch(double lat, int n, DayMinutes minutes) {
    bool backwards;
    if (lat > kPolarLatitude) {
        backwards = n >= 80 && n <= 266;
    } else if (lat < -kPolarLatitude) {
        backwards = n < 83 || n > 263;
    } else {
        return minutes(n);
    }
    int day = n;
    for (int tried = 0; tried <= kDaysInLongestYear; ++tried) {
        const double result = minutes(day);
        if (!std::isnan(result)) return result;
        if (backwards) {
            day = day <= 1 ? 365 : day - 1;
        } else {
            day = day >= 366 ? 1 : day + 1;
        }
    }
    return std::numeric_limits<double>::quiet_NaN();
}

DateValue Invalid() {
    return DateValue{0, false};
}

}  // namespace

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DayOfYear(int year, int month, int day) {
    int result = day;
    for (int m = 1; m < month && m <= 12; ++m)
        result += DaysInMonth(year, m);
    return result;
}

double EquationOfTime(double g) {
    return 229.18 * (0.000075 + 0.001868 * std::cos(g) - 0.032077 * std::sin(g) -
                     0.014615 * std::cos(2 * g) - 0.040849 * std::sin(2 * g));
}

double Declination(double g) {
    return 0.006918 - 0.399912 * std::cos(g) + 0.070257 * std::sin(g) - 0.006758 * std::cos(2 * g) +
           0.000907 * std::sin(2 * g);
}

double HourAngle(double lat, double g) {
    const double latr = lat * kPi / 180;
    const double decl = Declination(g);
    const double argument =
        std::cos(kZenith) / (std::cos(latr) * std::cos(decl)) - std::tan(latr) * std::tan(decl);
    return std::acos(argument) * 180 / kPi;  // NaN outside -1..1
}

double SunriseMinutes(double lat, double lng, int day_of_year) {
    return WithPolarSearch(lat, day_of_year,
                           [&](int n) { return TwoPass(lat, lng, n, n - 1, -1); });
}

double SunsetMinutes(double lat, double lng, int day_of_year) {
    return WithPolarSearch(lat, day_of_year, [&](int n) { return TwoPass(lat, lng, n, n, +1); });
}

DateValue ToLocalTime(DateValue date, double minutes, int offset_minutes) {
    SYSTEMTIME day;
    if (!PartsOf(date, &day)) return Invalid();
    const double m = minutes + offset_minutes;
    if (!std::isfinite(m)) return Invalid();
    const double h = m / 60;
    if (std::fabs(h) > kHoursInDateRange) return Invalid();
    int hours = static_cast<int>(std::trunc(h));
    const double minute_part = (h - hours) * 60;
    const int whole_minutes = static_cast<int>(std::trunc(minute_part));
    const int seconds = static_cast<int>(std::trunc((minute_part - whole_minutes) * 60));
    int carried = 0;
    if (hours >= 24) {
        carried = (hours - 24) / 24 + 1;
        hours -= 24 * carried;
    } else if (hours < 0) {
        const int back = (-1 - hours) / 24 + 1;
        hours += 24 * back;
        carried = -back;
    }
    double result;
    if (!automation::PartsToDate(day.wYear, day.wMonth, day.wDay, hours, whole_minutes, seconds,
                                 &result))
        return Invalid();
    return DateValue{automation::AddDays(result, carried), true};
}

DateValue Sunrise(double lat, double lng, DateValue date, int offset_minutes) {
    SYSTEMTIME day;
    if (!PartsOf(date, &day)) return Invalid();
    return ToLocalTime(date, SunriseMinutes(lat, lng, DayOfYear(day.wYear, day.wMonth, day.wDay)),
                       offset_minutes);
}

DateValue Sunset(double lat, double lng, DateValue date, int offset_minutes) {
    SYSTEMTIME day;
    if (!PartsOf(date, &day)) return Invalid();
    return ToLocalTime(date, SunsetMinutes(lat, lng, DayOfYear(day.wYear, day.wMonth, day.wDay)),
                       offset_minutes);
}

int TransitionDayOfYear(int year, const SYSTEMTIME& transition) {
    const int month = transition.wMonth;
    double first;
    automation::PartsToDate(year, month, 1, 0, 0, 0, &first);
    SYSTEMTIME parts;
    automation::DateToParts(first, &parts);
    // The first such weekday, then whole weeks on; week 5 stops at the last one in the month.
    int day = 1 + (transition.wDayOfWeek - parts.wDayOfWeek + 7) % 7;
    for (int week = 1; week < transition.wDay && day + 7 <= DaysInMonth(year, month); ++week)
        day += 7;
    return DayOfYear(year, month, day);
}

int ZoneOffsetMinutes(const TIME_ZONE_INFORMATION& zone, bool use_daylight_saving, DateValue date) {
    const TIME_ZONE_INFORMATION z = zone;
    auto week_ok = [](const SYSTEMTIME& t) { return t.wDay >= 1 && t.wDay <= 5; };
    if (!use_daylight_saving || z.DaylightDate.wMonth == 0 || z.StandardDate.wMonth == 0 ||
        !week_ok(z.DaylightDate) || !week_ok(z.StandardDate))
        return z.Bias;
    SYSTEMTIME parts;
    if (!PartsOf(date, &parts)) return z.Bias - z.StandardBias;
    const int today = DayOfYear(parts.wYear, parts.wMonth, parts.wDay);
    const int start = TransitionDayOfYear(parts.wYear, z.DaylightDate);
    const int end = TransitionDayOfYear(parts.wYear, z.StandardDate);
    bool daylight;
    if (z.DaylightDate.wMonth <= z.StandardDate.wMonth) {
        daylight = start <= today && today < end;
    } else {
        daylight = !(end <= today && today < start);
    }
    return daylight ? z.Bias - z.DaylightBias : z.Bias - z.StandardBias;
}

bool PartsOf(DateValue date, SYSTEMTIME* parts) {
    return date.valid && automation::DateToParts(date.days, parts);
}

void HourMinuteOf(DateValue date, int* hour, int* minute) {
    SYSTEMTIME parts;
    if (!PartsOf(date, &parts)) {
        *hour = *minute = -1;
        return;
    }
    *hour = parts.wHour;
    *minute = parts.wMinute;
}

}  // namespace solar
