// The timer thread: keeps every started timer in due order, sleeps until the earliest is due
// (at most ten seconds at a time) and fires it on this thread.
#pragma once

#include <list>
#include <vector>

#include "platform/lock.h"
#include "runtime/event.h"
#include "runtime/ref_counted.h"
#include "runtime/thread.h"
#include "runtime/timer.h"

class ScheduleThread : public Thread {
  public:
    // The longest the thread sleeps when nothing is due sooner.
    static constexpr DWORD kMaxSleepMs = 10000;

    ScheduleThread() : Thread("ScheduleThread") {}
    // Ends the thread; every timer still queued is let go of (OnExpired) without firing.
    ~ScheduleThread() override;

    // Both are callable from any thread, also before the thread runs (the request then waits
    // for the first wake after Start). AddTimer sets the timer's due tick to now + its period.
    void AddTimer(TimerBase* timer);
    // Drops the first queued entry of the timer, or else the first entry an earlier AddTimer
    // still has waiting; with neither the request is ignored (it never takes an entry that a
    // later AddTimer asks for).
    void RemoveTimer(TimerBase* timer);

    DWORD Run() override;

  private:
    struct Entry {
        ref<TimerBase> timer;
        DWORD due;
        ULONG id;
    };

    // Moves the removed entries' timers to `dropped`.
    void ApplyRemovals(std::vector<ref<TimerBase>>& dropped);
    void ApplyAdditions();
    // Empties the queue and the pending requests, returning every timer that was in them.
    std::vector<ref<TimerBase>> TakeEverything();
    // Inserts before the first entry due later, so equal due ticks keep their arrival order.
    void Insert(Entry entry);
    // Fires the first entry if it is due; returns when the thread should look again.
    DWORD RunDue(DWORD now);

    std::list<Entry> active_;  // touched only by the thread itself

    CCriticalSectionEx pending_lock_;
    std::vector<ref<TimerBase>> pending_add_;
    struct Removal {
        ULONG id;
        std::size_t earlier_additions;  // how many of pending_add_ were asked for before it
    };
    std::vector<Removal> pending_remove_;
    CAutoEvent wake_event_;
};
