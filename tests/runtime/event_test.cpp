#include "runtime/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/clock.h"
#include "platform/lock.h"

namespace {

TEST(EventTest, AnAutoEventReleasesOneWaitPerSignalEvenWithTwoWaitersAManualOneStaysSet) {
    CAutoEvent automatic;
    EXPECT_FALSE(automatic.Wait(0));
    automatic.Set();
    EXPECT_TRUE(automatic.Wait(0));
    EXPECT_FALSE(automatic.Wait(0));
    EXPECT_FALSE(automatic.Wait(10));
    // Each signal releases one of two waiters.
    CManualEvent one_released;
    std::atomic<int> released{0};
    auto wait = [&] {
        if (automatic.Wait(INFINITE)) ++released;
        one_released.Set();
    };
    std::thread a(wait), b(wait);
    automatic.Set();
    ASSERT_TRUE(one_released.Wait(5000));
    automatic.Set();
    a.join();
    b.join();
    EXPECT_EQ(released.load(), 2);
    EXPECT_FALSE(automatic.Wait(0));  // had the first signal released both, the second would wait
    CManualEvent manual;
    manual.Set();
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(10));
    manual.Reset();
    EXPECT_FALSE(manual.Wait(0));
    // A closed event fails the wait, as does a wait for nothing.
    manual.Close();
    EXPECT_FALSE(manual.Set());
    EXPECT_EQ(WaitForEvents({&manual}, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForEvents({}, 0), WAIT_FAILED);
}

TEST(EventTest, WaitEitherNamesTheSignalledEventLowestFirst) {
    CManualEvent stop;
    CAutoEvent work;
    EXPECT_EQ(stop.WaitEither(work, 5), WAIT_TIMEOUT);
    work.Set();
    EXPECT_EQ(stop.WaitEither(work, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(stop.WaitEither(work, 0), WAIT_TIMEOUT);  // the auto event was consumed
    work.Set();
    stop.Set();
    EXPECT_EQ(stop.WaitEither(work, 0), WAIT_OBJECT_0);
    stop.Reset();
    EXPECT_EQ(stop.WaitEither(work, 0), WAIT_OBJECT_0 + 1);  // still pending behind stop
}

TEST(EventTest, TimedWaitFollowsTheTestClockAcrossTheWrap) {
    ScopedTestClock clock(0xFFFFFF00u);
    CManualEvent stop;
    CAutoEvent work[2];
    DWORD result[2] = {0, 0};
    std::thread first([&] { result[0] = stop.WaitEither(work[0], 0x200); });
    std::thread second([&] { result[1] = stop.WaitEither(work[1], 0x200); });
    // Both deadlines must be fixed before the clock moves, or the second wait would not end below.
    while (work[0].BlockedWaits() == 0 || work[1].BlockedWaits() == 0)
        std::this_thread::yield();
    TestClock::Advance(0x1FF);  // now 0xFF: one millisecond short of the deadline
    work[0].Set();              // had the first timed out already, it would say so
    first.join();
    TestClock::Advance(1);
    second.join();
    EXPECT_EQ(result[0], WAIT_OBJECT_0 + 1);
    EXPECT_EQ(result[1], WAIT_TIMEOUT);
}

// Whether another thread can take the section now.
bool Free(CCriticalSectionEx& section) {
    std::atomic<bool> taken{false};
    std::thread([&] {
        CScopedLock lock(section);
        taken = true;
    }).join();
    return taken;
}

TEST(LockTest, CriticalSectionIsRecursiveGuardIgnoresNullAndUnlocksWhenAnExceptionLeaves) {
    CCriticalSectionEx section;
    {
        CScopedLock outer(section);
        CScopedLock inner(&section);
        CScopedLock none(nullptr);
    }
    EXPECT_TRUE(Free(section));
    try {
        CScopedLock lock(section);
        throw 1;
    } catch (int) {
    }
    EXPECT_TRUE(Free(section));
}

}  // namespace
