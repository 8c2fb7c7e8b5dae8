// The host's --clock option: local date and time text to the moment the library's clock starts.
#include "host/bridge/clock_option.h"

#include <gtest/gtest.h>

#include "support/scoped_time_zone.h"

namespace {

TEST(ClockOptionTest, TakesExactlyALocalDateAndTime) {
    ScopedTimeZone zone("Australia/Sydney");
    using namespace std::chrono;
    struct Case {
        const char* text;
        bool valid;
        sys_seconds utc;
    } cases[] = {
        // Sydney is UTC+11 in January (daylight time) and UTC+10 in June.
        {"2026-01-15 17:59:55", true,
         sys_days{year{2026} / 1 / 15} + hours(6) + minutes(59) + seconds(55)},
        {"2026-06-15 09:00:00", true, sys_days{year{2026} / 6 / 14} + hours(23)},
        {"2024-02-29 00:00:00", true, sys_days{year{2024} / 2 / 28} + hours(13)},
        {"2026-02-29 00:00:00", false, {}},
        {"2026-04-31 12:00:00", false, {}},
        {"2026-01-15 24:00:00", false, {}},
        {"2026-01-15 17:59", false, {}},
        {"2026-01-15T17:59:55", false, {}},
        {"2026-01-15 17:59:55 ", false, {}},
        {"", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        system_clock::time_point start{};
        ASSERT_EQ(brevanto_host::ParseClockOption(c.text, &start), c.valid);
        EXPECT_EQ(start, c.utc);  // a refused text sets nothing
    }
}

}  // namespace
