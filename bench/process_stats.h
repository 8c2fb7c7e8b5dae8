// What the kernel counts for this process and its threads, for the wake-up and memory
// benchmarks.
#pragma once

#include <fstream>
#include <string>

#include "platform/types.h"

// The number after `field` in a /proc status file, or -1.
inline long StatusField(const std::string& file, const std::string& field) {
    std::ifstream status(file);
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
    return -1;
}

// How often the thread has gone to sleep of its own accord: each later wake-up is one of these.
// -1 when the thread is gone.
inline long VoluntarySwitches(DWORD tid) {
    return StatusField("/proc/self/task/" + std::to_string(tid) + "/status",
                       "voluntary_ctxt_switches:");
}

// Resident memory now, and the most since the last ResetPeakResident, in KiB.
inline long ResidentKb() {
    return StatusField("/proc/self/status", "VmRSS:");
}
inline long PeakResidentKb() {
    return StatusField("/proc/self/status", "VmHWM:");
}
inline void ResetPeakResident() {
    std::ofstream("/proc/self/clear_refs") << "5";
}
