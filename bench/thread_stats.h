// What the kernel counts for a thread of this process, for the wake-up benchmarks.
#pragma once

#include <fstream>
#include <string>

#include "platform/types.h"

// How often the thread has gone to sleep of its own accord: each later wake-up is one of these.
// -1 when the thread is gone.
inline long VoluntarySwitches(DWORD tid) {
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
    return -1;
}
