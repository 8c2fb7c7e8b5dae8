#include "runtime/timer.h"

#include <atomic>
#include <utility>

#include "platform/clock.h"
#include "runtime/schedule_thread.h"

namespace {

// Shared by every timer of the process; the first timer gets 1.
std::atomic<ULONG> g_last_timer_id{0};

}  // namespace

TimerBase::TimerBase() {
    set_due_tick(GetTickCount());
}

void TimerBase::Fire() {
    if (ref<TimeoutHandler> h = handler()) h->TimedOut(this);
}

void TimerBase::Initialise() {
    id_.store(g_last_timer_id.fetch_add(1, std::memory_order_relaxed) + 1,
              std::memory_order_relaxed);
    set_enabled(0);
    set_one_shot(1);
    set_period(kDefaultPeriodMs);
    set_due_tick(GetTickCount());
    set_handler(nullptr);
}

void TimerBase::Start(ScheduleThread* thread) {
    set_enabled(1);
    starts_.fetch_add(1, std::memory_order_relaxed);
    if (thread) thread->AddTimer(this);
}

void TimerBase::Cancel(ScheduleThread* thread) {
    set_enabled(0);
    if (thread) thread->RemoveTimer(this);
}

void TimerBase::Detach() {
    set_handler(nullptr);
}

bool TimerBase::set_name(BSTR name) {
    if (!name) {
        name_.Empty();
        return true;
    }
    BSTR copy = SysAllocStringLen(name, SysStringLen(name));
    if (!copy) return false;
    name_.Attach(copy);
    return true;
}

ref<TimeoutHandler> TimerBase::handler() const {
    CScopedLock lock(handler_lock_);
    return handler_;
}

void TimerBase::set_handler(TimeoutHandler* handler) {
    ref<TimeoutHandler> old;
    {
        CScopedLock lock(handler_lock_);
        old = std::exchange(handler_, ref<TimeoutHandler>(handler));
    }
    // The old handler is released outside the lock: its destruction may reach this timer.
}
