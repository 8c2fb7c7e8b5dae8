#include "platform/time_zone.h"

#include <unicode/basictz.h>
#include <unicode/dtrule.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>
#include <unicode/tzrule.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

using icu::AnnualTimeZoneRule;
using icu::DateTimeRule;
using icu::UnicodeString;

constexpr int kMsPerMinute = 60000;
constexpr WORD kLastWeek = 5;

UnicodeString ToIcu(std::u16string_view text) {
    return UnicodeString(text.data(), static_cast<int32_t>(text.size()));
}

void CopyName(const UnicodeString& text, OLECHAR (&out)[32]) {
    const int32_t length = std::min<int32_t>(text.length(), 31);
    for (int32_t i = 0; i < length; ++i)
        out[i] = text.charAt(i);
    out[length] = 0;
}

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {  // month 1..12
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// 0 = Sunday.
int WeekdayOf(int year, int month, int day) {
    std::tm date{};
    date.tm_year = year - 1900;
    date.tm_mon = month - 1;
    date.tm_mday = day;
    date.tm_hour = 12;
    timegm(&date);
    return date.tm_wday;
}

// The week of the month (5 = last) in which the rule's day falls.
WORD WeekOfRule(const DateTimeRule& rule, int year, int month) {
    const int day = rule.getRuleDayOfMonth();
    // February's "on or before the 28th" is its last week in most years, as the zone meant.
    const int length = month == 2 ? 28 : DaysInMonth(year, month);
    switch (rule.getDateRuleType()) {
        case DateTimeRule::DOW: {
            const int week = rule.getRuleWeekInMonth();
            return week < 0 || week >= kLastWeek ? kLastWeek : static_cast<WORD>(week);
        }
        case DateTimeRule::DOW_GEQ_DOM:
            // The weekday on or after `day`: the window [day, day + 6].
            if (day + 6 >= length && day > 1) return kLastWeek;
            return static_cast<WORD>((day - 1) / 7 + 1);
        case DateTimeRule::DOW_LEQ_DOM:
            // The weekday on or before `day`: the window [day - 6, day].
            if (day >= length) return kLastWeek;
            return static_cast<WORD>(std::max(1, (day - 7) / 7 + 1));
        case DateTimeRule::DOM:
        default:
            return static_cast<WORD>(std::min(5, (day - 1) / 7 + 1));
    }
}

// A transition in the record's form: local wall time of the offset in force before it.
SYSTEMTIME TransitionOf(const AnnualTimeZoneRule& rule, int year, int32_t raw_offset_ms,
                        int32_t savings_before_ms) {
    const DateTimeRule* when = rule.getRule();
    SYSTEMTIME date{};
    const int month = when->getRuleMonth() + 1;
    date.wMonth = static_cast<WORD>(month);
    date.wDay = WeekOfRule(*when, year, month);
    date.wDayOfWeek =
        when->getDateRuleType() == DateTimeRule::DOM
            ? static_cast<WORD>(WeekdayOf(year, month, when->getRuleDayOfMonth()))
            : static_cast<WORD>(when->getRuleDayOfWeek() - 1);  // ICU counts Sunday as 1
    int32_t ms = when->getRuleMillisInDay();
    if (when->getTimeRuleType() == DateTimeRule::UTC_TIME) ms += raw_offset_ms + savings_before_ms;
    if (when->getTimeRuleType() == DateTimeRule::STANDARD_TIME) ms += savings_before_ms;
    constexpr int32_t kMsPerDay = 86400000;
    ms = ((ms % kMsPerDay) + kMsPerDay) % kMsPerDay;
    date.wHour = static_cast<WORD>(ms / 3600000);
    date.wMinute = static_cast<WORD>(ms / kMsPerMinute % 60);
    date.wSecond = static_cast<WORD>(ms / 1000 % 60);
    return date;
}

int YearOf(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    return parts.tm_year + 1900;
}

// Fills the record from the zone's rules near `when`; false when the zone has no usable rules.
bool FillFromZone(const icu::TimeZone& zone, std::chrono::system_clock::time_point when,
                  TIME_ZONE_INFORMATION* out) {
    const auto* basic = dynamic_cast<const icu::BasicTimeZone*>(&zone);
    if (!basic) return false;
    const UDate at = static_cast<UDate>(
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count());
    icu::InitialTimeZoneRule* initial = nullptr;
    AnnualTimeZoneRule* standard = nullptr;
    AnnualTimeZoneRule* daylight = nullptr;
    UErrorCode status = U_ZERO_ERROR;
    basic->getSimpleRulesNear(at, initial, standard, daylight, status);
    std::unique_ptr<icu::InitialTimeZoneRule> own_initial(initial);
    std::unique_ptr<AnnualTimeZoneRule> own_standard(standard), own_daylight(daylight);
    if (U_FAILURE(status) || !initial) return false;

    TIME_ZONE_INFORMATION zone_info{};
    const int year = YearOf(when);
    if (standard && daylight) {
        const int32_t raw = standard->getRawOffset();
        const int32_t savings = daylight->getDSTSavings();
        zone_info.Bias = -raw / kMsPerMinute;
        zone_info.StandardBias = 0;
        zone_info.DaylightBias = -savings / kMsPerMinute;
        zone_info.StandardDate = TransitionOf(*standard, year, raw, savings);
        zone_info.DaylightDate = TransitionOf(*daylight, year, raw, 0);
    } else {
        zone_info.Bias = -(initial->getRawOffset() + initial->getDSTSavings()) / kMsPerMinute;
    }
    UnicodeString name;
    zone.getDisplayName(false, icu::TimeZone::LONG, icu::Locale::getEnglish(), name);
    CopyName(name, zone_info.StandardName);
    zone.getDisplayName(true, icu::TimeZone::LONG, icu::Locale::getEnglish(), name);
    CopyName(name, zone_info.DaylightName);
    *out = zone_info;
    return true;
}

// The IANA identifier for a Windows key name or an IANA name; empty when it names no zone.
UnicodeString ZoneIdFor(std::u16string_view name) {
    UErrorCode status = U_ZERO_ERROR;
    UnicodeString id;
    icu::TimeZone::getIDForWindowsID(ToIcu(name), nullptr, id, status);
    if (U_SUCCESS(status) && !id.isEmpty()) return id;
    status = U_ZERO_ERROR;
    UBool system = false;
    UnicodeString canonical;
    icu::TimeZone::getCanonicalID(ToIcu(name), canonical, system, status);
    if (U_SUCCESS(status) && system) return canonical;
    return {};
}

}  // namespace

bool GetNamedTimeZoneInformation(std::u16string_view name,
                                 std::chrono::system_clock::time_point when,
                                 TIME_ZONE_INFORMATION* zone) {
    if (name.empty()) return false;
    const UnicodeString id = ZoneIdFor(name);
    if (id.isEmpty()) return false;
    std::unique_ptr<icu::TimeZone> found(icu::TimeZone::createTimeZone(id));
    TIME_ZONE_INFORMATION filled{};
    if (!found || !FillFromZone(*found, when, &filled)) return false;
    CopyName(ToIcu(name), filled.StandardName);
    *zone = filled;
    return true;
}

void GetMachineTimeZoneInformation(std::chrono::system_clock::time_point when,
                                   TIME_ZONE_INFORMATION* zone) {
    std::unique_ptr<icu::TimeZone> machine(icu::TimeZone::detectHostTimeZone());
    TIME_ZONE_INFORMATION filled{};
    if (machine && FillFromZone(*machine, when, &filled)) {
        *zone = filled;
        return;
    }
    *zone = TIME_ZONE_INFORMATION{};  // UTC
}
