#include "runtime/event.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "platform/apartment.h"

namespace {

// One blocked call of WaitForEvents; registered with every event it waits on. A waiter that
// pumps a single-threaded apartment is woken through that apartment's queue instead.
struct EventWaiter {
    TickWaiter clock;
    bool woken = false;  // guarded by clock.mutex
    unsigned long pump_thread = 0;
    std::atomic<bool> pump_woken{false};
};

bool OnSingleThreadedApartment() {
    APTTYPE type = APTTYPE_MTA;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    return SUCCEEDED(CoGetApartmentType(&type, &qualifier)) &&
           (type == APTTYPE_STA || type == APTTYPE_MAINSTA);
}

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

std::size_t CEvent_::BlockedWaits() const {
    if (!handle_) return 0;
    std::lock_guard lock(handle_->mutex);
    return handle_->waiters.size();
}

bool CEvent_::Set() {
    if (!handle_) return false;
    std::vector<unsigned long> pumps;
    {
        std::lock_guard lock(handle_->mutex);
        handle_->signalled = true;
        // Every waiter is woken; for an auto-reset event the first to take the signal wins and
        // the others wait again.
        for (EventWaiter* waiter : handle_->waiters) {
            if (waiter->pump_thread) {
                waiter->pump_woken = true;
                pumps.push_back(waiter->pump_thread);
                continue;
            }
            std::lock_guard waiter_lock(waiter->clock.mutex);
            waiter->woken = true;
            waiter->clock.cv.notify_one();
        }
    }
    // Outside the event's lock: the pump tests its condition under the apartment's lock.
    for (unsigned long thread : pumps)
        CoPostToApartment(thread, [] {});
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

DWORD WaitForEventsPumping(std::span<CEvent_* const> events) {
    if (!OnSingleThreadedApartment()) return WaitForEvents(events, INFINITE, WaitClock::kRealTime);
    if (events.empty()) return WAIT_FAILED;
    for (CEvent_* event : events) {
        if (!event || !event->Handle()) return WAIT_FAILED;
    }
    EventWaiter waiter;
    waiter.pump_thread = brevanto::CurrentThreadId();
    for (CEvent_* event : events) {
        std::lock_guard lock(event->Handle()->mutex);
        event->Handle()->waiters.push_back(&waiter);
    }
    DWORD result = WAIT_TIMEOUT;
    for (;;) {
        // A signal set before registration is seen here; one set after it wakes the pump.
        for (std::size_t i = 0; i < events.size() && result == WAIT_TIMEOUT; ++i) {
            if (events[i]->Handle()->TryTake()) result = WAIT_OBJECT_0 + static_cast<DWORD>(i);
        }
        if (result != WAIT_TIMEOUT) break;
        CoPumpUntil([&] { return waiter.pump_woken.exchange(false); });
    }
    for (CEvent_* event : events) {
        EventObject* handle = event->Handle();
        std::lock_guard lock(handle->mutex);
        handle->waiters.erase(std::find(handle->waiters.begin(), handle->waiters.end(), &waiter));
    }
    return result;
}
