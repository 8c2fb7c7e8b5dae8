// Calendar arithmetic and text of VT_DATE values.
//
// A date is the number of days since 30 December 1899; the fraction is the time of day. Before
// that day the whole part counts back and the fraction still counts forward from midnight, so
// -1.25 is 29 December 1899, 6:00 AM. Text is month/day/year with a 12-hour clock for every
// locale.
#pragma once

#include <string>
#include <string_view>

#include "platform/variant.h"

namespace automation {

inline constexpr double kMinDate = -657434.0;  // 1 January 100
inline constexpr double kMaxDate = 2958465.0;  // 31 December 9999

// True when the value names a day between the first and last representable ones.
bool DateInRange(double date);
// `date` moved on by a span of days (back when negative), and the span from `from` to `to`: the
// arithmetic of moments, which the plain sum and difference of date values are not across day 0.
double AddDays(double date, double days);
double DaysBetween(double from, double to);
// Splits a date into calendar parts rounded to the second; false when out of range.
bool DateToParts(double date, SYSTEMTIME* parts);
// Joins calendar parts into a date; false for a month, day or time that does not exist.
bool PartsToDate(int year, int month, int day, int hour, int minute, int second, double* date);

// "1/2/2000 3:04:05 PM"; only the date when the time is midnight, only the time on day 0. The
// year has no leading zeros ("1/1/100"). E_INVALIDARG outside the date range.
HRESULT FormatDateText(double date, ULONG flags, std::u16string* out);
// Month/day/year (or year/month/day) dates with month names allowed, times with ':' or '.'
// between their fields and AM/PM; DISP_E_TYPEMISMATCH for text that is no date (a year before
// 100 or after 9999 included).
HRESULT ParseDateText(std::u16string_view text, double* out);

}  // namespace automation
