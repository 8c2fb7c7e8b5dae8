#include "runtime/schedule_thread.h"

#include <algorithm>
#include <utility>

#include "platform/clock.h"

void ScheduleThread::AddTimer(TimerBase* timer) {
    if (!timer) return;
    timer->set_due_tick(GetTickCount() + static_cast<DWORD>(timer->period()));
    {
        CScopedLock lock(pending_lock_);
        pending_add_.emplace_back(timer);
    }
    wake_event_.Set();
}

void ScheduleThread::RemoveTimer(TimerBase* timer) {
    if (!timer) return;
    {
        CScopedLock lock(pending_lock_);
        pending_remove_.push_back(timer->id());
    }
    wake_event_.Set();
}

DWORD ScheduleThread::Run() {
    DWORD next = GetTickCount();
    for (;;) {
        const std::int32_t remaining = TickDiff(next, GetTickCount());
        const DWORD wait = remaining > 0 ? static_cast<DWORD>(remaining) : 0;
        const DWORD woken = WaitForEvents({&stop_event_, &wake_event_}, wait);
        if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED) break;
        if (woken == WAIT_OBJECT_0 + 1) {
            ApplyRemovals();
            ApplyAdditions();
        }
        next = RunDue(GetTickCount());
    }
    ApplyRemovals();
    return 0;
}

void ScheduleThread::ApplyRemovals() {
    CScopedLock lock(pending_lock_);
    for (ULONG id : pending_remove_) {
        auto it = std::find_if(active_.begin(), active_.end(),
                               [id](const Entry& entry) { return entry.id == id; });
        if (it != active_.end()) active_.erase(it);
    }
    pending_remove_.clear();
}

void ScheduleThread::ApplyAdditions() {
    CScopedLock lock(pending_lock_);
    for (ref<TimerBase>& timer : pending_add_) {
        const DWORD due = timer->due_tick();
        const ULONG id = timer->id();
        Insert({std::move(timer), due, id});
    }
    pending_add_.clear();
}

void ScheduleThread::Insert(Entry entry) {
    auto it = std::find_if(active_.begin(), active_.end(), [&](const Entry& queued) {
        return TickDiff(queued.due, entry.due) > 0;
    });
    active_.insert(it, std::move(entry));
}

DWORD ScheduleThread::RunDue(DWORD now) {
    if (active_.empty()) return now + kMaxSleepMs;
    // A timer fires once the clock has reached its due tick; waiting for the tick after it
    // would only spin for that last millisecond.
    if (TickReached(now, active_.front().due)) {
        Entry entry = std::move(active_.front());
        active_.pop_front();
        TimerBase& timer = *entry.timer;
        const bool fire = timer.enabled() != 0;
        if (fire) timer.Fire();
        if (fire && !timer.one_shot()) {
            // The period as it is after the call: a handler may change it. Keeping to the grid
            // lets a late or slow timer catch up with back-to-back firings.
            entry.due += static_cast<DWORD>(timer.period());
            timer.set_due_tick(entry.due);
            Insert(std::move(entry));
        } else {
            timer.set_enabled(0);
            timer.OnExpired();
        }
    }
    return active_.empty() ? now + kMaxSleepMs : active_.front().due;
}
