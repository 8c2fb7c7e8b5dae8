#include "runtime/schedule_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <vector>

#include "platform/clock.h"
#include "support/waitable_log.h"

namespace {

struct Firing {
    ULONG id;
    DWORD tick;
    LONG enabled;  // as the handler saw it
};

// Records every expiry (which timer, at which tick) after running `action` inside the call.
class Recorder : public TimeoutHandler {
  public:
    std::function<void(TimerBase*)> action;

    void TimedOut(TimerBase* timer) override {
        if (action) action(timer);
        log_.Add({timer->id(), GetTickCount(), timer->enabled()});
    }
    std::vector<Firing> WaitFor(std::size_t count) { return log_.WaitFor(count); }
    std::size_t CountOf(ULONG id) {
        const std::vector<Firing> all = log_.All();
        return std::count_if(all.begin(), all.end(), [id](const Firing& f) { return f.id == id; });
    }

  private:
    WaitableLog<Firing> log_;
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

    ref<TimerBase> NewTimer(LONG period, bool repeat = false) {
        ref<TimerBase> timer = new CountingTimer;
        timer->Initialise();
        timer->set_period(period);
        timer->set_one_shot(repeat ? 0 : 1);
        timer->set_handler(recorder_.get());
        return timer;
    }
    void StartAll(std::initializer_list<TimerBase*> timers) {
        for (TimerBase* timer : timers)
            timer->Start(&thread_);
    }

    ScopedTestClock clock_;
    ref<Recorder> recorder_;
    ScheduleThread thread_;
};

TEST_F(ScheduleThreadTest, FiresInDueOrderAndEqualTicksInArrivalOrder) {
    ref<TimerBase> a = NewTimer(100), b = NewTimer(100), c = NewTimer(50);
    // Queued before the thread runs: taken in at its first wake.
    StartAll({a.get(), b.get(), c.get()});
    ASSERT_TRUE(thread_.Start());
    TestClock::Advance(100);
    std::vector<Firing> firings = recorder_->WaitFor(3);
    ASSERT_EQ(firings.size(), 3u);
    EXPECT_EQ(firings[0].id, c->id());
    EXPECT_EQ(firings[1].id, a->id());
    EXPECT_EQ(firings[2].id, b->id());
}

// A restart (Cancel, then Start) queued before the thread has taken in the first Start leaves
// one entry, as it does once the first entry is queued; a Cancel never takes an entry that a
// later Start asked for.
TEST_F(ScheduleThreadTest, RestartBeforeTheThreadWakesLeavesOneEntry) {
    ref<TimerBase> restarted = NewTimer(100, true), fresh = NewTimer(100, true);
    StartAll({restarted.get()});
    restarted->Cancel(&thread_);
    StartAll({restarted.get()});
    fresh->Cancel(&thread_);  // nothing queued yet
    StartAll({fresh.get()});
    ASSERT_TRUE(thread_.Start());
    TestClock::Advance(100);
    recorder_->WaitFor(2);
    TestClock::Advance(100);
    std::vector<Firing> firings = recorder_->WaitFor(4);
    ASSERT_EQ(firings.size(), 4u);
    EXPECT_EQ(recorder_->CountOf(restarted->id()), 2u);
    EXPECT_EQ(recorder_->CountOf(fresh->id()), 2u);
}

TEST_F(ScheduleThreadTest, OneShotIsEnabledDuringItsCallOnlyUnlessStartedAgainInIt) {
    ASSERT_TRUE(thread_.Start());
    ref<TimerBase> once = NewTimer(100), sentinel = NewTimer(5000);
    recorder_->action = [&](TimerBase* timer) {  // started again in its first call only
        if (timer == once.get() && recorder_->CountOf(timer->id()) == 0) timer->Start(&thread_);
    };
    StartAll({once.get(), sentinel.get()});
    EXPECT_EQ(once->enabled(), 1);
    TestClock::Advance(100);
    ASSERT_EQ(recorder_->WaitFor(1).size(), 1u);
    EXPECT_EQ(once->enabled(), 1);
    TestClock::Advance(100);
    std::vector<Firing> firings = recorder_->WaitFor(2);
    ASSERT_EQ(firings.size(), 2u);
    EXPECT_EQ(firings[1].id, once->id());
    EXPECT_EQ(firings[0].enabled + firings[1].enabled, 2);
    TestClock::Advance(4800);
    firings = recorder_->WaitFor(3);
    ASSERT_EQ(firings.size(), 3u);
    EXPECT_EQ(firings[2].id, sentinel->id());
    EXPECT_EQ(recorder_->CountOf(once->id()), 2u);
    EXPECT_EQ(once->enabled(), 0);
    EXPECT_EQ(ExpiredCount(once), 2);
}

TEST_F(ScheduleThreadTest, EveryEntryLetGoOfIsReportedAlsoWhenTheThreadEnds) {
    ASSERT_TRUE(thread_.Start());
    ref<TimerBase> cancelled = NewTimer(100), pending = NewTimer(100000);
    ref<TimerBase> sentinel = NewTimer(100);
    StartAll({cancelled.get(), pending.get()});
    cancelled->Cancel(&thread_);
    StartAll({sentinel.get()});
    TestClock::Advance(100);
    // Removed, or dropped unfired when it came due just before the sentinel.
    recorder_->WaitFor(1);
    EXPECT_EQ(ExpiredCount(cancelled), 1);
    thread_.StopAndJoin();
    EXPECT_EQ(ExpiredCount(pending), 1);
    EXPECT_EQ(recorder_->CountOf(pending->id()), 0u);
}

TEST_F(ScheduleThreadTest, TickComparisonsSurviveWrapAround) {
    TestClock::Set(0xFFFFFFF0u);
    ASSERT_TRUE(thread_.Start());
    ref<TimerBase> late = NewTimer(32), sentinel = NewTimer(31);  // due 0x10 and 0x0F
    StartAll({late.get(), sentinel.get()});
    TestClock::Advance(31);
    ASSERT_EQ(recorder_->WaitFor(1).size(), 1u);
    EXPECT_EQ(recorder_->CountOf(sentinel->id()), 1u);
    EXPECT_EQ(recorder_->CountOf(late->id()), 0u);
    TestClock::Advance(1);
    EXPECT_EQ(recorder_->WaitFor(2).back().id, late->id());
}

TEST_F(ScheduleThreadTest, RepeatingTimerKeepsItsGridAndCatchesUpBackToBack) {
    ASSERT_TRUE(thread_.Start());
    ref<TimerBase> repeating = NewTimer(100, /*repeat=*/true);
    ref<TimerBase> sentinel = NewTimer(450);
    bool first = true;
    // The first call takes 350 ms: the timer falls behind its grid of 100, 200, 300, 400.
    recorder_->action = [&](TimerBase* timer) {
        if (timer == repeating.get() && std::exchange(first, false)) TestClock::Advance(350);
    };
    StartAll({repeating.get(), sentinel.get()});
    TestClock::Advance(100);
    std::vector<Firing> firings = recorder_->WaitFor(5);
    ASSERT_EQ(firings.size(), 5u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(firings[i].id, repeating->id()) << "firing " << i;
    EXPECT_EQ(firings[4].id, sentinel->id());  // due 450: after the entry due 400
    EXPECT_EQ(repeating->due_tick(), 500u);
    TestClock::Advance(50);
    EXPECT_EQ(recorder_->WaitFor(6).back().id, repeating->id());
}

TEST_F(ScheduleThreadTest, HandlerMayChangeThePeriodOfItsNextRepeat) {
    ASSERT_TRUE(thread_.Start());
    ref<TimerBase> repeating = NewTimer(100, /*repeat=*/true);
    recorder_->action = [](TimerBase* timer) { timer->set_period(1000); };
    StartAll({repeating.get()});
    TestClock::Advance(100);
    recorder_->WaitFor(1);
    TestClock::Advance(999);
    ref<TimerBase> sentinel = NewTimer(0);
    StartAll({sentinel.get()});
    EXPECT_EQ(recorder_->WaitFor(2).back().id, sentinel->id());
    TestClock::Advance(1);
    EXPECT_EQ(recorder_->WaitFor(3).back().id, repeating->id());
}

TEST_F(ScheduleThreadTest, CancelStopsEveryEntryOfATimer) {
    ASSERT_TRUE(thread_.Start());
    // Started twice: two entries, so it fires twice per period.
    ref<TimerBase> twice = NewTimer(100, /*repeat=*/true);
    StartAll({twice.get(), twice.get()});
    TestClock::Advance(100);
    ASSERT_EQ(recorder_->WaitFor(2).size(), 2u);
    // Cancelled from inside its own call: no further firing of either entry.
    recorder_->action = [&](TimerBase* timer) {
        if (timer == twice.get()) timer->Cancel(&thread_);
    };
    TestClock::Advance(100);
    recorder_->WaitFor(3);
    ref<TimerBase> sentinel = NewTimer(500);
    StartAll({sentinel.get()});
    TestClock::Advance(500);
    std::vector<Firing> firings = recorder_->WaitFor(4);
    ASSERT_EQ(firings.size(), 4u);
    EXPECT_EQ(firings.back().id, sentinel->id());
    EXPECT_EQ(recorder_->CountOf(twice->id()), 3u);
    EXPECT_EQ(twice->enabled(), 0);
}

TEST(TimerBaseTest, NewTimersHaveTheDefaultsAndIncreasingIdsAndNeedNoThreadToStart) {
    ref<TimerBase> first = new TimerBase, second = new TimerBase;
    first->Initialise();
    second->Initialise();
    EXPECT_EQ(second->id(), first->id() + 1);
    EXPECT_EQ(second->period(), 1000);
    EXPECT_EQ(second->one_shot(), 1);
    EXPECT_EQ(second->enabled(), 0);
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
