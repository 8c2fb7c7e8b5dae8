#include "runtime/event.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

// One blocked call of WaitForEvents; registered with every event it waits on.
struct EventWaiter {
    TickWaiter clock;
    bool woken = false;  // guarded by clock.mutex
};

}  // namespace

// Lock order: an event's mutex, then a waiter's. A waiter never holds its own mutex while it
// takes an event's.
struct EventObject {
    explicit EventObject(bool manual) : manual_reset(manual) {}

    // Takes the signal if set (resetting an auto-reset event).
    bool TryTake() {
        std::lock_guard lock(mutex);
        if (!signalled) return false;
        if (!manual_reset) signalled = false;
        return true;
    }

    std::mutex mutex;
    const bool manual_reset;
    bool signalled = false;
    std::vector<EventWaiter*> waiters;
};

CEvent_::CEvent_(bool manual_reset) : handle_(std::make_unique<EventObject>(manual_reset)) {}

CEvent_::~CEvent_() = default;

bool CEvent_::Set() {
    if (!handle_) return false;
    std::lock_guard lock(handle_->mutex);
    handle_->signalled = true;
    // Every waiter is woken; for an auto-reset event the first to take the signal wins and the
    // others wait again.
    for (EventWaiter* waiter : handle_->waiters) {
        std::lock_guard waiter_lock(waiter->clock.mutex);
        waiter->woken = true;
        waiter->clock.cv.notify_one();
    }
    return true;
}

bool CEvent_::Reset() {
    if (!handle_) return false;
    std::lock_guard lock(handle_->mutex);
    handle_->signalled = false;
    return true;
}

bool CEvent_::Wait(DWORD timeout_ms, WaitClock clock) {
    CEvent_* self = this;
    return WaitForEvents(std::span<CEvent_* const>(&self, 1), timeout_ms, clock) == WAIT_OBJECT_0;
}

void CEvent_::Close() {
    handle_.reset();
}

DWORD CManualEvent::WaitEither(CEvent_& other, DWORD timeout_ms) {
    return WaitForEvents({this, &other}, timeout_ms);
}

DWORD WaitForEvents(std::span<CEvent_* const> events, DWORD timeout_ms, WaitClock clock) {
    if (events.empty()) return WAIT_FAILED;
    for (CEvent_* event : events) {
        if (!event || !event->Handle()) return WAIT_FAILED;
    }
    auto take_first = [&]() -> DWORD {
        for (std::size_t i = 0; i < events.size(); ++i) {
            if (events[i]->Handle()->TryTake()) return WAIT_OBJECT_0 + static_cast<DWORD>(i);
        }
        return WAIT_TIMEOUT;
    };
    DWORD result = take_first();
    if (result != WAIT_TIMEOUT || timeout_ms == 0) return result;

    const DWORD deadline = GetTickCount() + timeout_ms;
    const auto real_deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    EventWaiter waiter;
    for (CEvent_* event : events) {
        std::lock_guard lock(event->Handle()->mutex);
        event->Handle()->waiters.push_back(&waiter);
    }
    for (;;) {
        // A signal set before registration is seen here; one set after it wakes the waiter.
        result = take_first();
        if (result != WAIT_TIMEOUT) break;
        std::unique_lock lock(waiter.clock.mutex);
        auto woken = [&] { return waiter.woken; };
        bool signalled;
        if (timeout_ms == INFINITE) {
            signalled = waiter.clock.WaitFor(lock, INFINITE, woken);
        } else if (clock == WaitClock::kRealTime) {
            signalled = waiter.clock.cv.wait_until(lock, real_deadline, woken);
        } else {
            signalled = waiter.clock.WaitUntil(lock, deadline, woken);
        }
        waiter.woken = false;
        lock.unlock();
        if (!signalled) {
            result = take_first();
            break;
        }
    }
    for (CEvent_* event : events) {
        EventObject* handle = event->Handle();
        std::lock_guard lock(handle->mutex);
        handle->waiters.erase(std::find(handle->waiters.begin(), handle->waiters.end(), &waiter));
    }
    return result;
}
