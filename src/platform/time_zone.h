// Time zones as the panel's locale names them, turned into the platform's time-zone record: the
// bias from UTC, the standard and daylight biases, and the two yearly transitions in
// week-of-month form. The zone database is ICU's: a Windows key name ("AUS Eastern Standard
// Time") is mapped to its IANA zone, an IANA name ("Australia/Sydney") is taken as it is, and
// the rules in force near a given moment give the record's fields.
#pragma once

#include <chrono>
#include <string_view>

#include "platform/types.h"
#include "platform/variant.h"

// Minutes: UTC = local time + Bias (+ StandardBias or DaylightBias). In the transition dates
// wDay is the week of the month (1 to 5, 5 = the last such weekday), wDayOfWeek 0 = Sunday and
// wMonth 0 means the zone has no daylight time.
struct TIME_ZONE_INFORMATION {
    LONG Bias;
    OLECHAR StandardName[32];
    SYSTEMTIME StandardDate;
    LONG StandardBias;
    OLECHAR DaylightName[32];
    SYSTEMTIME DaylightDate;
    LONG DaylightBias;
};

// The record of the zone called `name` (a Windows key name or an IANA name) with the rules in
// force near `when`; false, and *zone untouched, when the name is empty or names no zone.
// StandardName is the name itself (at most 31 characters), DaylightName the zone's daylight
// display name.
bool GetNamedTimeZoneInformation(std::u16string_view name,
                                 std::chrono::system_clock::time_point when,
                                 TIME_ZONE_INFORMATION* zone);
// The machine's own zone (the TZ variable, then the system setting) near `when`.
void GetMachineTimeZoneInformation(std::chrono::system_clock::time_point when,
                                   TIME_ZONE_INFORMATION* zone);
