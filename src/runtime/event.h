// Events: the auto-reset and manual-reset event objects that threads wait on, and the wait on
// one or several of them with a time-out.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <span>

#include "platform/clock.h"
#include "platform/types.h"

inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

struct EventObject;

// Which clock a time-out counts on. Time-outs that bound the shut-down of threads rather than
// schedule work count real time, so that they end also while a test holds the test clock still.
enum class WaitClock { kTick, kRealTime };

// Owns one event object (the handle; null when none). Events are created non-signalled.
class CEvent_ {
  public:
    CEvent_(const CEvent_&) = delete;
    CEvent_& operator=(const CEvent_&) = delete;
    virtual ~CEvent_();

    bool Set();
    bool Reset();
    // Waits up to timeout_ms (INFINITE: no limit); true when the event was signalled (an
    // auto-reset event is then reset again).
    bool Wait(DWORD timeout_ms = INFINITE, WaitClock clock = WaitClock::kTick);
    // Destroys the event object; later calls fail.
    void Close();
    // How many timed or untimed waits are blocked on the event now. A wait's deadline is fixed
    // before it blocks, so a test that sees it here may move the test clock.
    std::size_t BlockedWaits() const;
    EventObject* Handle() const { return handle_.get(); }

  protected:
    explicit CEvent_(bool manual_reset);

  private:
    std::unique_ptr<EventObject> handle_;
};

// Auto-reset: a successful wait resets it, so one waiter is released per signal.
class CAutoEvent : public CEvent_ {
  public:
    CAutoEvent() : CEvent_(false) {}
};

// Manual-reset: stays signalled until Reset, so every waiter sees it.
class CManualEvent : public CEvent_ {
  public:
    CManualEvent() : CEvent_(true) {}

    // Waits for either event; WAIT_OBJECT_0 for this one, WAIT_OBJECT_0 + 1 for `other`,
    // WAIT_TIMEOUT or WAIT_FAILED.
    DWORD WaitEither(CEvent_& other, DWORD timeout_ms = INFINITE);
};

// Waits until one of the events is signalled or the time-out (by the tick clock, so the test
// clock moves it too) passes. When several are signalled the lowest index wins. Returns
// WAIT_OBJECT_0 + index, WAIT_TIMEOUT, or WAIT_FAILED (no events, or one without a handle).
// A time-out of 0 only polls. Installing or removing the test clock ends a timed wait early with
// WAIT_TIMEOUT; loops with deadlines read the time again after every wait.
DWORD WaitForEvents(std::span<CEvent_* const> events, DWORD timeout_ms,
                    WaitClock clock = WaitClock::kTick);
inline DWORD WaitForEvents(std::initializer_list<CEvent_*> events, DWORD timeout_ms,
                           WaitClock clock = WaitClock::kTick) {
    return WaitForEvents(std::span<CEvent_* const>(events.begin(), events.size()), timeout_ms,
                         clock);
}

// Waits without a time-out until one of the events is signalled (WAIT_OBJECT_0 + index, or
// WAIT_FAILED). A caller in a single-threaded apartment runs the calls queued for its apartment
// meanwhile: a worker it waits for may itself be waiting for a call into this thread.
DWORD WaitForEventsPumping(std::span<CEvent_* const> events);
inline DWORD WaitForEventsPumping(std::initializer_list<CEvent_*> events) {
    return WaitForEventsPumping(std::span<CEvent_* const>(events.begin(), events.size()));
}
