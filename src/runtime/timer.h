// Timers: every timer of the library (script timers, the timer inside each schedule, the
// response time-out of a packet with response, the log-out, backlight and restart timers) is a
// TimerBase run by the one timer thread, ScheduleThread.
#pragma once

#include <atomic>

#include "platform/bstr.h"
#include "platform/lock.h"
#include "platform/types.h"
#include "runtime/ref_counted.h"

class ScheduleThread;
class TimerBase;

// The internal code a timer calls when it expires.
class TimeoutHandler : public virtual RefCounted {
  public:
    virtual void TimedOut(TimerBase* timer) = 0;
};

// One timer. Started timers are queued on a ScheduleThread, which calls Fire on its own thread
// when the timer comes due.
//
// The 32-bit fields are written on the script's thread and read on the timer thread without a
// lock; they are atomics so that each read sees a whole value.
class TimerBase : public virtual RefCounted {
  public:
    static constexpr LONG kDefaultPeriodMs = 1000;

    // A new timer has the defaults but no id yet: its creator calls Initialise.
    TimerBase();

    // Calls the handler, if any, with this timer. Runs on the timer thread.
    virtual void Fire();
    // Takes a new id and returns to the defaults; drops the handler.
    virtual void Initialise();
    // Enables the timer and queues it on `thread` (due now + Period). Without a thread only the
    // flag changes and nothing fires. Starting a queued timer queues a second entry.
    virtual void Start(ScheduleThread* thread);
    // Disables the timer at once and asks `thread` (if any) to drop its entry.
    virtual void Cancel(ScheduleThread* thread);
    // Called by the timer thread for every entry of this timer it lets go of without queueing
    // it again: a one-shot that fired, an entry that came due disabled, an entry removed by
    // Cancel, and the entries left when the thread ends.
    virtual void OnExpired() {}
    // Drops the handler reference (breaks the cycle with an owner that is going away).
    virtual void Detach();

    ULONG id() const { return id_.load(std::memory_order_relaxed); }
    LONG period() const { return period_.load(std::memory_order_relaxed); }
    void set_period(LONG ms) { period_.store(ms, std::memory_order_relaxed); }
    LONG one_shot() const { return one_shot_.load(std::memory_order_relaxed); }
    void set_one_shot(LONG value) { one_shot_.store(value, std::memory_order_relaxed); }
    LONG enabled() const { return enabled_.load(std::memory_order_relaxed); }
    void set_enabled(LONG value) { enabled_.store(value, std::memory_order_relaxed); }
    DWORD due_tick() const { return due_tick_.load(std::memory_order_relaxed); }
    // Counts Starts, so the timer thread can tell that a one-shot was started again from inside
    // its own call.
    ULONG starts() const { return starts_.load(std::memory_order_relaxed); }
    void set_due_tick(DWORD tick) { due_tick_.store(tick, std::memory_order_relaxed); }

    // Script-visible name (null until set); touched only on the script's thread.
    BSTR name() const { return name_; }
    // Stores a copy; null stays null. False when the copy cannot be made.
    bool set_name(BSTR name);

    // The handler; set before the timer is started, dropped by Detach and Initialise.
    ref<TimeoutHandler> handler() const;
    void set_handler(TimeoutHandler* handler);

  private:
    std::atomic<ULONG> id_{0};
    std::atomic<LONG> period_{kDefaultPeriodMs};
    std::atomic<LONG> one_shot_{1};
    std::atomic<LONG> enabled_{0};
    std::atomic<DWORD> due_tick_{0};
    std::atomic<ULONG> starts_{0};
    CComBSTR name_;
    // Set and dropped on the owner's thread, used on the timer thread.
    mutable CCriticalSectionEx handler_lock_;
    ref<TimeoutHandler> handler_;
};
