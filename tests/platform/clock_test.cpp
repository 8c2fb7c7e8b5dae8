#include "platform/clock.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <utility>

#include "support/scoped_time_zone.h"
#include "support/system_time_text.h"

namespace {

TEST(TickTest, DifferencesSurviveTheWrapAndTheRealCountIsTheMonotonicClock) {
    EXPECT_EQ(TickDiff(5, 3), 2);
    EXPECT_EQ(TickDiff(3, 5), -2);
    EXPECT_EQ(TickDiff(0x00000010u, 0xFFFFFFF0u), 0x20);
    EXPECT_EQ(TickDiff(0xFFFFFFF0u, 0x00000010u), -0x20);
    EXPECT_TRUE(TickReached(0x00000010u, 0xFFFFFFF0u));
    EXPECT_FALSE(TickReached(0xFFFFFFF0u, 0x00000010u));
    EXPECT_TRUE(TickReached(7, 7));
    // The real tick count is the monotonic clock's milliseconds.
    ASSERT_FALSE(TestClock::Installed());
    auto now = [] {
        const auto since = std::chrono::steady_clock::now().time_since_epoch();
        return static_cast<DWORD>(
            std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
    };
    const DWORD before = now(), tick = GetTickCount(), after = now();
    EXPECT_TRUE(TickReached(tick, before) && TickReached(after, tick)) << before << " " << tick;
}

TEST(LocalClockTest, StartedAtAMomentItRunsOnFromThereInTheMachineZone) {
    ScopedTimeZone zone("Australia/Sydney");
    const auto real = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
    TestClock::Install(0, real);
    // 2026-01-15 17:59:55 in Sydney (daylight time, UTC+11) is 06:59:55 UTC.
    const auto start = std::chrono::sys_days{std::chrono::year{2026} / 1 / 15} +
                       std::chrono::hours(6) + std::chrono::minutes(59) + std::chrono::seconds(55);
    StartWallClockAt(start);
    TestClock::Advance(6500);
    const SYSTEMTIME local = LocalNow();
    const auto shown = SystemNow();
    SetWallClockOffset(std::chrono::microseconds(0));
    const auto back = SystemNow();
    TestClock::Uninstall();
    EXPECT_EQ(shown, start + std::chrono::milliseconds(6500));
    EXPECT_EQ(back, real + std::chrono::milliseconds(6500));
    EXPECT_EQ(ShowSystemTime(local), "2026-01-15 18:00:01");
    EXPECT_EQ(local.wDayOfWeek, 4);  // Thursday
    EXPECT_EQ(local.wMilliseconds, 500);
}

// A wait on `waiter` for `timeout` ticks on a thread of its own, blocked in the waiter's
// condition by the time the constructor returns.
class BlockedWait {
  public:
    BlockedWait(TickWaiter& waiter, DWORD timeout, const bool& ready) {
        thread_ = std::thread([this, &waiter, timeout, &ready] {
            std::unique_lock lock(waiter.mutex);
            bool first = true;
            result = waiter.WaitFor(lock, timeout, [&] {
                if (std::exchange(first, false)) begun_.set_value();
                return ready;
            });
            clock_installed_after = TestClock::Installed();
        });
        begun_.get_future().wait();
        std::lock_guard lock(waiter.mutex);  // free again only once the wait is blocked
    }
    void Join() { thread_.join(); }

    bool result = false, clock_installed_after = true;

  private:
    std::promise<void> begun_;
    std::thread thread_;
};

TEST(TestClockTest, SetAndAdvanceAcrossTheWrapWakeWaitersAndUninstallEndsTimedWaits) {
    const auto wall = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
    TestClock::Install(0xFFFFFFFEu, wall);
    EXPECT_EQ(GetTickCount(), 0xFFFFFFFEu);
    EXPECT_EQ(SystemNow(), wall);
    TestClock::Advance(5);
    EXPECT_EQ(GetTickCount(), 3u);
    EXPECT_EQ(SystemNow(), wall + std::chrono::milliseconds(5));
    TestClock::Set(100);
    EXPECT_EQ(GetTickCount(), 100u);
    EXPECT_EQ(SystemNow(), wall + std::chrono::milliseconds(5));  // Set moves the tick only

    // Advancing past a deadline wakes a waiter.
    TestClock::Set(0xFFFFFFF0u);
    TickWaiter told, untold;
    bool ready = false, never = false;
    BlockedWait a(told, 0x40, ready), b(untold, 0x40, never), forever(told, INFINITE, ready);
    TestClock::Advance(0x20);  // wrapped to 0x10, deadline 0x30 not reached
    {
        std::lock_guard lock(told.mutex);
        ready = true;  // had the advance ended its wait, it would have ended as timed out
    }
    told.cv.notify_all();
    a.Join();
    forever.Join();
    TestClock::Set(0x30);
    b.Join();
    EXPECT_TRUE(a.result);
    EXPECT_TRUE(forever.result);
    EXPECT_FALSE(b.result);

    // A wait's deadline is a test-clock tick: uninstalling ends it rather than compare it with
    // the real clock, and not before.
    BlockedWait wait(untold, 1000, never);
    TestClock::Uninstall();
    wait.Join();
    EXPECT_FALSE(wait.clock_installed_after);
    EXPECT_NE(SystemNow(), wall + std::chrono::milliseconds(5));
}

}  // namespace
