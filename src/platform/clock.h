// Time as the library reads it: the 32-bit millisecond tick counter, wall-clock time, sleeping,
// and the process-wide test clock.
//
// Tick counts wrap every 49.7 days, so they are only ever compared by signed difference
// (TickDiff, TickReached), never with < or >.
//
// The test clock. A test calls TestClock::Install; from then on GetTickCount and SystemNow
// return the test clock's values, which change only through TestClock::Set, SetWallTime and
// Advance. Every wait in the library that has a deadline waits through a TickWaiter (the event
// waits of the runtime do). Each TickWaiter registers its mutex and condition variable with the
// clock; whenever the test clock changes (and when it is installed or removed), the clock locks
// every registered waiter's mutex in turn and notifies its condition variable, so a waiter whose
// deadline has now passed wakes at once and sees the new time. A waiter checks the time while
// holding its own mutex, and the clock changes the time before it takes that mutex, so no wake-up
// is lost. Installing or removing the test clock ends every timed wait as timed out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/types.h"
#include "platform/variant.h"

inline constexpr DWORD INFINITE = 0xFFFFFFFF;

// Milliseconds from the monotonic clock (or the test clock), wrapping at 2^32.
DWORD GetTickCount();

// Signed distance from b to a: positive when a is later than b (valid within +-24.8 days).
constexpr std::int32_t TickDiff(DWORD a, DWORD b) {
    return static_cast<std::int32_t>(a - b);
}
// True once `now` has reached or passed `deadline`.
constexpr bool TickReached(DWORD now, DWORD deadline) {
    return TickDiff(now, deadline) >= 0;
}

// Wall-clock time (UTC): the system's or the test clock's, moved by the wall-clock offset.
std::chrono::system_clock::time_point SystemNow();

// The one local clock of the library: every reading of local date and time goes through
// SystemNow and LocalNow. A host may start it at a chosen moment (a panel shown at an evening
// time in the morning); it then runs on at normal speed. The zone is the machine's (TZ).
void SetWallClockOffset(std::chrono::microseconds offset);
std::chrono::microseconds WallClockOffset();
// Moves the wall clock so that SystemNow() reads `start` now.
void StartWallClockAt(std::chrono::system_clock::time_point start);
// A moment as local calendar parts in the machine's zone (wDayOfWeek 0 = Sunday).
SYSTEMTIME ToLocalParts(std::chrono::system_clock::time_point when);
// The local date and time now.
SYSTEMTIME LocalNow();

// The process-wide test clock. Install it before starting threads whose waits should follow it.
class TestClock {
  public:
    // Starts the test clock at the given tick count and wall time (default: the real ones now).
    static void Install(DWORD tick);
    static void Install(DWORD tick, std::chrono::system_clock::time_point wall);
    // Returns to the real clocks; waiting threads are woken to re-read the time.
    static void Uninstall();
    static bool Installed();
    // Moves the tick count (wall time unchanged); wakes waiters.
    static void Set(DWORD tick);
    static void SetWallTime(std::chrono::system_clock::time_point wall);
    // Moves both the tick count (wrapping) and the wall time forward; wakes waiters.
    static void Advance(DWORD ms);
};

// Changes whenever the test clock is installed or removed: a timed wait that spans the change
// ends as timed out, and its caller reads the time afresh.
unsigned ClockEpoch();

// RAII installation for tests.
class ScopedTestClock {
  public:
    explicit ScopedTestClock(DWORD tick = 0) { TestClock::Install(tick); }
    ~ScopedTestClock() { TestClock::Uninstall(); }
    ScopedTestClock(const ScopedTestClock&) = delete;
    ScopedTestClock& operator=(const ScopedTestClock&) = delete;
};

// A mutex and condition variable that the clock knows about, for waits with a tick deadline.
// Registration happens in the constructor and ends in the destructor; neither may run while
// the calling thread holds `mutex`.
class TickWaiter {
  public:
    TickWaiter();
    ~TickWaiter();
    TickWaiter(const TickWaiter&) = delete;
    TickWaiter& operator=(const TickWaiter&) = delete;

    // Waits (lock must hold `mutex`) until ready() is true or the tick count reaches deadline;
    // returns ready(). An INFINITE time-out in WaitFor means no deadline.
    template <class Pred>
    bool WaitUntil(std::unique_lock<std::mutex>& lock, DWORD deadline, Pred ready) {
        const unsigned epoch = ClockEpoch();
        while (!ready()) {
            // A deadline read from one clock means nothing on the other.
            if (ClockEpoch() != epoch) return ready();
            const std::int32_t remaining = TickDiff(deadline, GetTickCount());
            if (remaining <= 0) return ready();
            if (TestClock::Installed()) {
                cv.wait(lock);
            } else {
                cv.wait_for(lock, std::chrono::milliseconds(remaining));
            }
        }
        return true;
    }
    template <class Pred>
    bool WaitFor(std::unique_lock<std::mutex>& lock, DWORD timeout_ms, Pred ready) {
        if (timeout_ms == INFINITE) {
            cv.wait(lock, ready);
            return true;
        }
        return WaitUntil(lock, GetTickCount() + timeout_ms, ready);
    }

    std::mutex mutex;
    std::condition_variable cv;
};
