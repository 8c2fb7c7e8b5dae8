// The scheduler: owner of the timer thread that runs every timer of the panel, and of the
// collection that keeps the script timers.
#pragma once

#include "dispatch/collection.h"
#include "interfaces/runtime.h"
#include "runtime/schedule_thread.h"

class CScheduler {
  public:
    CScheduler() = default;
    CScheduler(const CScheduler&) = delete;
    CScheduler& operator=(const CScheduler&) = delete;

    // Started with the Global, stopped at its shut-down; a stopped thread fires nothing more and
    // lets go of every queued timer.
    void Start();
    void Shutdown();
    // Breaks the cycles through the kept script timers (the last step of the Global's
    // shut-down).
    void Destroy();

    ScheduleThread& Thread() { return thread_; }
    void AddTimer(TimerBase* timer) { thread_.AddTimer(timer); }
    void RemoveTimer(TimerBase* timer) { thread_.RemoveTimer(timer); }
    // The script timers kept by the scheduler (scripts add to it; starting and firing timers
    // does not use it).
    STLObjectCollection<IDLTimer, IGenericCollection>& GetTimers() { return timers_; }

  private:
    ScheduleThread thread_;
    STLObjectCollection<IDLTimer, IGenericCollection> timers_;
};
