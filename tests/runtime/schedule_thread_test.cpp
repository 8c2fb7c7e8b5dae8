#include "runtime/schedule_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <tuple>

#include "platform/clock.h"
#include "support/waitable_log.h"

namespace {

struct Firing {
    ULONG id;
    LONG enabled;  // as the handler saw it
};

// Records every expiry after running `action` inside the call.
class Recorder : public TimeoutHandler {
  public:
    std::function<void(TimerBase*)> action;
    WaitableLog<Firing> log;

    void TimedOut(TimerBase* timer) override {
        if (action) action(timer);
        log.Add({timer->id(), timer->enabled()});
    }
};

// Counts the entries the thread let go of.
class CountingTimer : public TimerBase {
  public:
    void OnExpired() override { ++expired; }
    std::atomic<int> expired{0};
};
int ExpiredCount(const ref<TimerBase>& timer) {
    return static_cast<CountingTimer*>(timer.get())->expired.load();
}

class ScheduleThreadTest : public ::testing::Test {
  protected:
    ScheduleThreadTest() : clock_(0), recorder_(new Recorder) {}
    ~ScheduleThreadTest() override { thread_.StopAndJoin(); }

    // A new timer, lettered A, B, ... in the order they are made.
    ref<TimerBase> NewTimer(LONG period, bool repeat = false) {
        ref<TimerBase> timer = new CountingTimer;
        timer->Initialise();
        timer->set_period(period);
        timer->set_one_shot(repeat ? 0 : 1);
        timer->set_handler(recorder_.get());
        if (!first_id_) first_id_ = timer->id();
        return timer;
    }
    void StartAll(std::initializer_list<TimerBase*> timers) {
        for (TimerBase* timer : timers)
            timer->Start(&thread_);
    }
    // Every firing, once there are at least `count`: the timers' letters, in lower case when
    // the timer was disabled during its call.
    std::string Fired(std::size_t count) {
        std::string fired;
        for (const Firing& f : recorder_->log.WaitFor(count))
            fired += static_cast<char>((f.enabled ? 'A' : 'a') + (f.id - first_id_));
        return fired;
    }
    // The firings once the clock has moved on `ms` and there are at least `count`.
    std::string After(DWORD ms, std::size_t count) {
        TestClock::Advance(ms);
        return Fired(count);
    }

    ScopedTestClock clock_;
    ref<Recorder> recorder_;
    ScheduleThread thread_;
    ULONG first_id_ = 0;
};

// Timers queued before the thread runs are taken in at its first wake, and fire in due order,
// equal ticks in arrival order. A restart (Cancel, then Start) queued before the thread has taken
// in the first Start leaves one entry, as it does once the first entry is queued; a Cancel never
// takes an entry that a later Start asked for.
TEST_F(ScheduleThreadTest, FiresInDueOrderAndEqualTicksInArrivalOrderAndARestartLeavesOneEntry) {
    ref<TimerBase> a = NewTimer(100), b = NewTimer(100), c = NewTimer(50);
    ref<TimerBase> restarted = NewTimer(100, true), fresh = NewTimer(100, true);  // D and E
    StartAll({a.get(), b.get(), c.get(), restarted.get()});
    restarted->Cancel(&thread_);
    StartAll({restarted.get()});
    fresh->Cancel(&thread_);  // nothing queued yet
    StartAll({fresh.get()});
    ASSERT_TRUE(thread_.Start());
    EXPECT_EQ(After(100, 5), "CABDE");
    EXPECT_EQ(After(100, 7), "CABDEDE");
}

TEST_F(ScheduleThreadTest, OneShotIsEnabledDuringItsCallOnlyUnlessStartedAgainInIt) {
    ASSERT_TRUE(thread_.Start());
    ref<TimerBase> once = NewTimer(100), sentinel = NewTimer(5000);
    bool again = true;  // started again in its first call only
    recorder_->action = [&](TimerBase* timer) {
        if (timer == once.get() && std::exchange(again, false)) timer->Start(&thread_);
    };
    StartAll({once.get(), sentinel.get()});
    EXPECT_EQ(After(100, 1), "A");
    EXPECT_EQ(After(100, 2), "AA");
    EXPECT_EQ(After(4800, 3), "AAB");
    EXPECT_EQ(once->enabled(), 0);
    EXPECT_EQ(ExpiredCount(once), 2);
}

TEST_F(ScheduleThreadTest, EveryEntryLetGoOfIsReportedAlsoWhenTheThreadEnds) {
    ASSERT_TRUE(thread_.Start());
    ref<TimerBase> cancelled = NewTimer(100), pending = NewTimer(100000), sentinel = NewTimer(100);
    StartAll({cancelled.get(), pending.get()});
    cancelled->Cancel(&thread_);
    StartAll({sentinel.get()});
    // Removed, or dropped unfired when it came due just before the sentinel.
    EXPECT_EQ(After(100, 1), "C");
    EXPECT_EQ(ExpiredCount(cancelled), 1);
    thread_.StopAndJoin();
    EXPECT_EQ(ExpiredCount(pending), 1);
    EXPECT_EQ(Fired(1), "C");
}

TEST_F(ScheduleThreadTest, TickComparisonsSurviveWrapAround) {
    TestClock::Set(0xFFFFFFF0u);
    ASSERT_TRUE(thread_.Start());
    ref<TimerBase> late = NewTimer(32), sentinel = NewTimer(31);  // due 0x10 and 0x0F
    StartAll({late.get(), sentinel.get()});
    EXPECT_EQ(After(31, 1), "B");
    EXPECT_EQ(After(1, 2), "BA");
}

TEST_F(ScheduleThreadTest, RepeatingTimerKeepsItsGridAndCatchesUpBackToBack) {
    ASSERT_TRUE(thread_.Start());
    ref<TimerBase> repeating = NewTimer(100, /*repeat=*/true), sentinel = NewTimer(450);
    bool first = true;
    // The first call takes 350 ms: the timer falls behind its grid of 100, 200, 300, 400.
    recorder_->action = [&](TimerBase* timer) {
        if (timer == repeating.get() && std::exchange(first, false)) TestClock::Advance(350);
    };
    StartAll({repeating.get(), sentinel.get()});
    EXPECT_EQ(After(100, 5), "AAAAB");  // the sentinel, due 450, after the entry due 400
    EXPECT_EQ(repeating->due_tick(), 500u);
    EXPECT_EQ(After(50, 6), "AAAABA");
}

TEST_F(ScheduleThreadTest, HandlerMayChangeThePeriodOfItsNextRepeat) {
    ASSERT_TRUE(thread_.Start());
    ref<TimerBase> repeating = NewTimer(100, /*repeat=*/true);
    recorder_->action = [](TimerBase* timer) { timer->set_period(1000); };
    StartAll({repeating.get()});
    EXPECT_EQ(After(100, 1), "A");
    TestClock::Advance(999);
    ref<TimerBase> sentinel = NewTimer(0);
    StartAll({sentinel.get()});
    EXPECT_EQ(Fired(2), "AB");
    EXPECT_EQ(After(1, 3), "ABA");
}

TEST_F(ScheduleThreadTest, CancelStopsEveryEntryOfATimer) {
    ASSERT_TRUE(thread_.Start());
    // Started twice: two entries, so it fires twice per period.
    ref<TimerBase> twice = NewTimer(100, /*repeat=*/true);
    StartAll({twice.get(), twice.get()});
    EXPECT_EQ(After(100, 2), "AA");
    // Cancelled from inside its own call: no further firing of either entry.
    recorder_->action = [&](TimerBase* timer) {
        if (timer == twice.get()) timer->Cancel(&thread_);
    };
    After(100, 3);
    ref<TimerBase> sentinel = NewTimer(500);
    StartAll({sentinel.get()});
    EXPECT_EQ(After(500, 4), "AAaB");
    EXPECT_EQ(twice->enabled(), 0);
}

TEST(TimerBaseTest, NewTimersHaveTheDefaultsAndIncreasingIdsAndNeedNoThreadToStart) {
    ref<TimerBase> first = new TimerBase, second = new TimerBase;
    first->Initialise();
    second->Initialise();
    EXPECT_EQ(second->id(), first->id() + 1);
    EXPECT_EQ(std::tuple(second->period(), second->one_shot(), second->enabled()),
              std::tuple(1000, 1, 0));
    EXPECT_EQ(second->name(), nullptr);
    EXPECT_EQ(second->handler(), nullptr);
    second->Initialise();
    EXPECT_GT(second->id(), first->id() + 1);
    // Without a thread, Start and Cancel only change the flag.
    second->Start(nullptr);
    EXPECT_EQ(second->enabled(), 1);
    second->Cancel(nullptr);
    EXPECT_EQ(second->enabled(), 0);
}

}  // namespace
