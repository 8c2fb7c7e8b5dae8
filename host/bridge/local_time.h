// Global.SetLocalTime as a host carries it out: a script Date (read through its getters) sets
// the library's own clock when the host runs one (--clock), else the system clock, which a
// host sets only when allowed to and running as root.
#pragma once

#include <string>

#include "platform/automation.h"

namespace brevanto_host {

struct LocalTimePolicy {
    bool own_clock = false;     // the library's clock runs apart from the system's
    bool allow_system = false;  // the host may set the system clock (--allow-clock)
};

// S_OK once set; E_ACCESSDENIED with *refusal when the policy forbids it; the Date's own
// failures otherwise.
HRESULT SetLocalTimeFromDate(IDispatch* date, const LocalTimePolicy& policy, std::string* refusal);

}  // namespace brevanto_host
