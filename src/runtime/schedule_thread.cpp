#include "runtime/schedule_thread.h"

#include <algorithm>
#include <utility>

#include "platform/clock.h"

namespace {

// Lets every timer know that the thread let go of its entry; called without the pending lock,
// because a timer may release its owner there, and the owner may start or cancel timers.
void Expire(std::vector<ref<TimerBase>>& dropped) {
    for (ref<TimerBase>& timer : dropped)
        timer->OnExpired();
    dropped.clear();
}

}  // namespace

ScheduleThread::~ScheduleThread() {
    StopAndJoin();
    // Requests that arrived after the loop ended.
    std::vector<ref<TimerBase>> dropped = TakeEverything();
    Expire(dropped);
}

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
        pending_remove_.push_back({timer->id(), pending_add_.size()});
    }
    wake_event_.Set();
}

DWORD ScheduleThread::Run() {
    std::vector<ref<TimerBase>> dropped;
    DWORD next = GetTickCount();
    for (;;) {
        const std::int32_t remaining = TickDiff(next, GetTickCount());
        const DWORD wait = remaining > 0 ? static_cast<DWORD>(remaining) : 0;
        const DWORD woken = WaitForEvents({&stop_event_, &wake_event_}, wait);
        if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED) break;
        if (woken == WAIT_OBJECT_0 + 1) {
            ApplyRemovals(dropped);
            ApplyAdditions();
            Expire(dropped);
        }
        next = RunDue(GetTickCount());
    }
    // Nothing fires once the thread has ended: every entry is let go of now.
    dropped = TakeEverything();
    Expire(dropped);
    return 0;
}

void ScheduleThread::ApplyRemovals(std::vector<ref<TimerBase>>& dropped) {
    CScopedLock lock(pending_lock_);
    for (const Removal& removal : pending_remove_) {
        auto it = std::find_if(active_.begin(), active_.end(),
                               [&](const Entry& entry) { return entry.id == removal.id; });
        if (it != active_.end()) {
            dropped.push_back(std::move(it->timer));
            active_.erase(it);
            continue;
        }
        // A Cancel right after a Start (a restart) before the thread woke: the addition goes.
        const std::size_t earlier = std::min(removal.earlier_additions, pending_add_.size());
        for (std::size_t i = 0; i < earlier; ++i) {
            ref<TimerBase>& waiting = pending_add_[i];
            if (waiting && waiting->id() == removal.id) {
                dropped.push_back(std::move(waiting));
                waiting = nullptr;
                break;
            }
        }
    }
    pending_remove_.clear();
}

void ScheduleThread::ApplyAdditions() {
    CScopedLock lock(pending_lock_);
    for (ref<TimerBase>& timer : pending_add_) {
        if (!timer) continue;  // removed before it was taken in
        const DWORD due = timer->due_tick();
        const ULONG id = timer->id();
        Insert({std::move(timer), due, id});
    }
    pending_add_.clear();
    // Removals asked for since ApplyRemovals find these timers among the queued entries now.
    for (Removal& removal : pending_remove_)
        removal.earlier_additions = 0;
}

std::vector<ref<TimerBase>> ScheduleThread::TakeEverything() {
    CScopedLock lock(pending_lock_);
    std::vector<ref<TimerBase>> all;
    for (ref<TimerBase>& timer : pending_add_)
        if (timer) all.push_back(std::move(timer));
    pending_add_.clear();
    pending_remove_.clear();
    for (Entry& entry : active_)
        all.push_back(std::move(entry.timer));
    active_.clear();
    return all;
}

void ScheduleThread::Insert(Entry entry) {
    auto it = std::find_if(active_.begin(), active_.end(), [&](const Entry& queued) {
        return TickDiff(queued.due, entry.due) > 0;
    });
    active_.insert(it, std::move(entry));
}

DWORD ScheduleThread::RunDue(DWORD now) {
    // A timer fires once the clock has reached its due tick; waiting for the tick after it
    // would only spin for that last millisecond.
    if (!active_.empty() && TickReached(now, active_.front().due)) {
        Entry entry = std::move(active_.front());
        active_.pop_front();
        TimerBase& timer = *entry.timer;
        const bool fire = timer.enabled() != 0;
        const ULONG starts = timer.starts();
        if (fire) timer.Fire();
        if (fire && !timer.one_shot()) {
            // The period as it is after the call: a handler may change it. Keeping to the grid
            // lets a late or slow timer catch up with back-to-back firings.
            entry.due += static_cast<DWORD>(timer.period());
            timer.set_due_tick(entry.due);
            Insert(std::move(entry));
        } else {
            // A one-shot started again from inside its own call stays enabled for the entry
            // that Start queued.
            if (timer.starts() == starts) timer.set_enabled(0);
            timer.OnExpired();
        }
    }
    return active_.empty() ? now + kMaxSleepMs : active_.front().due;
}
