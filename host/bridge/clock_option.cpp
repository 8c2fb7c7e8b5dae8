#include "host/bridge/clock_option.h"

#include <cstdio>
#include <ctime>
#include <string>

namespace brevanto_host {

bool ParseClockOption(std::string_view text, std::chrono::system_clock::time_point* start) {
    constexpr std::string_view kShape = "dddd-dd-dd dd:dd:dd";
    if (text.size() != kShape.size()) return false;
    for (std::size_t i = 0; i < kShape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if ((kShape[i] == 'd') != digit || (kShape[i] != 'd' && text[i] != kShape[i])) return false;
    }
    const std::string copy(text);
    int year, month, day, hour, minute, second;
    if (std::sscanf(copy.c_str(), "%4d-%2d-%2d %2d:%2d:%2d", &year, &month, &day, &hour, &minute,
                    &second) != 6)
        return false;
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    const std::time_t moment = std::mktime(&local);
    // mktime moves impossible fields on (31 April becomes 1 May): such a text is refused. An
    // hour that daylight saving skips moves too, and is refused alike.
    if (moment == -1 || local.tm_year != year - 1900 || local.tm_mon != month - 1 ||
        local.tm_mday != day || local.tm_hour != hour || local.tm_min != minute ||
        local.tm_sec != second)
        return false;
    *start = std::chrono::system_clock::from_time_t(moment);
    return true;
}

}  // namespace brevanto_host
