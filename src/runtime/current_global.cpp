#include "runtime/current_global.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/lock.h"
#include "runtime/event.h"

namespace {

// How many holds there are on each Global that has any.
using HoldCounts = std::vector<std::pair<RuntimeServices*, int>>;

void Count(HoldCounts& counts, RuntimeServices* global, int change) {
    auto it = std::find_if(counts.begin(), counts.end(),
                           [&](const auto& entry) { return entry.first == global; });
    if (it == counts.end()) it = counts.insert(counts.end(), {global, 0});
    it->second += change;
    if (it->second == 0) counts.erase(it);
}

int CountOf(const HoldCounts& counts, RuntimeServices* global) {
    for (const auto& [held, count] : counts)
        if (held == global) return count;
    return 0;
}

struct Registry {
    CCriticalSectionEx lock;
    RuntimeServices* current = nullptr;  // guarded by lock
    HoldCounts holds;                    // guarded by lock
    CManualEvent hold_ended;             // set whenever a hold ends
};

// Never destroyed: holds may end while the process exits.
Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

// The holds of the calling thread, which its own Clear does not wait for.
thread_local HoldCounts t_holds;

}  // namespace

CurrentGlobal::Hold::~Hold() {
    if (!global_) return;
    Registry& registry = TheRegistry();
    CScopedLock lock(registry.lock);
    Count(registry.holds, global_, -1);
    Count(t_holds, global_, -1);
    registry.hold_ended.Set();
}

CurrentGlobal::Hold CurrentGlobal::Get() {
    Registry& registry = TheRegistry();
    CScopedLock lock(registry.lock);
    if (!registry.current) return Hold();
    Count(registry.holds, registry.current, +1);
    Count(t_holds, registry.current, +1);
    return Hold(registry.current);
}

void CurrentGlobal::Set(RuntimeServices* global) {
    Registry& registry = TheRegistry();
    CScopedLock lock(registry.lock);
    registry.current = global;
}

void CurrentGlobal::Clear(RuntimeServices* global) {
    Registry& registry = TheRegistry();
    for (;;) {
        {
            CScopedLock lock(registry.lock);
            if (registry.current == global) registry.current = nullptr;
            // Reset before counting, under the lock a hold ends under: no end is missed.
            registry.hold_ended.Reset();
            if (CountOf(registry.holds, global) <= CountOf(t_holds, global)) return;
        }
        WaitForEventsPumping({&registry.hold_ended});
    }
}
