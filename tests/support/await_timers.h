// Moves the test clock on and waits until the timer thread has run every timer that was
// started before the call and comes due within that time: a one-shot sentinel started last is
// due last, and timers due at the same tick fire in the order they were started.
#pragma once

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "runtime/schedule_thread.h"
#include "support/waitable_log.h"

inline void AwaitTimersDueIn(ScheduleThread* thread, DWORD ms) {
    struct Latch : TimeoutHandler {
        WaitableLog<int> fired;
        void TimedOut(TimerBase*) override { fired.Add(1); }
    };
    ref<Latch> latch(new Latch);
    ref<TimerBase> sentinel(new TimerBase);
    sentinel->Initialise();
    sentinel->set_period(static_cast<LONG>(ms));
    sentinel->set_handler(latch.get());
    sentinel->Start(thread);
    TestClock::Advance(ms);
    ASSERT_EQ(latch->fired.WaitFor(1).size(), 1u);
}
