// --clock "YYYY-MM-DD HH:MM:SS": the local time at which the library's clock starts (it then runs
// on at normal speed), so a page can be watched at an evening moment in the morning.
#pragma once

#include <chrono>
#include <string_view>

namespace brevanto_host {

// The moment that local time `text` names in the machine's zone (TZ); false when the text is
// not exactly "YYYY-MM-DD HH:MM:SS" with a real date and time.
bool ParseClockOption(std::string_view text, std::chrono::system_clock::time_point* start);

}  // namespace brevanto_host
