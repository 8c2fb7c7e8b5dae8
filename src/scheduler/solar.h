// Sunrise and sunset: the solar-position method with the equation of time and a zenith of
// 90.833 degrees, then a conversion to local time with the zone's own daylight-saving rules.
// The coefficients (and the seven-decimal pi they were worked out with) are those the panels
// have always used, so that schedules run at the same minute as they always have.
#pragma once

#include "platform/time_zone.h"
#include "platform/variant.h"

// A local date and time: days since 30 December 1899 with the time of day as the fraction, and
// whether it names a real moment (an invalid value reads as hour and minute -1).
struct DateValue {
    double days = 0;
    bool valid = true;
};

namespace solar {

inline constexpr double kPi = 3.1415926;
inline constexpr double kYearFactor = 0.01721420602739726;  // 2 pi / 365
inline constexpr double kZenith = 1.585334892421111;        // 90.833 degrees
inline constexpr double kDegreesPerRadian = 180 / kPi;
inline constexpr double kPolarLatitude = 66.4;

bool IsLeapYear(int year);
// Day of the year (1 = 1 January) of a month (1..12) and day.
int DayOfYear(int year, int month, int day);

// The solar terms for g = day index x year factor.
double EquationOfTime(double g);         // minutes
double Declination(double g);            // radians
double HourAngle(double lat, double g);  // degrees; NaN when the sun neither rises nor sets

// Minutes of the formulas for day of year N (NaN when none is found even by the polar search).
double SunriseMinutes(double lat, double lng, int day_of_year);
double SunsetMinutes(double lat, double lng, int day_of_year);

// The calendar date of `date` at `minutes` + `offset_minutes` past midnight, days carried
// forwards or backwards; invalid when a field is out of range or the minutes are no number.
DateValue ToLocalTime(DateValue date, double minutes, int offset_minutes);

DateValue Sunrise(double lat, double lng, DateValue date, int offset_minutes);
DateValue Sunset(double lat, double lng, DateValue date, int offset_minutes);

// Day of the year of a transition (week of the month, 5 = last, and weekday) in `year`.
int TransitionDayOfYear(int year, const SYSTEMTIME& transition);
// Minutes added to the formulas' results on `date`: Bias minus the standard or daylight bias.
int ZoneOffsetMinutes(const TIME_ZONE_INFORMATION& zone, bool use_daylight_saving, DateValue date);

// Calendar parts of a date value; false when it is invalid.
bool PartsOf(DateValue date, SYSTEMTIME* parts);
// Hour and minute of a date value, -1 and -1 when it is invalid.
void HourMinuteOf(DateValue date, int* hour, int* minute);

}  // namespace solar
