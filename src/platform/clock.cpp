#include "platform/clock.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <vector>

namespace {

std::atomic<bool> g_test_installed{false};
std::atomic<unsigned> g_epoch{0};
std::atomic<DWORD> g_test_tick{0};
std::atomic<std::int64_t> g_test_wall_us{0};    // microseconds since the Unix epoch
std::atomic<std::int64_t> g_wall_offset_us{0};  // added to every wall-clock reading

// Waiters that a change of the test clock must wake. Lock order: this mutex, then a waiter's.
std::mutex g_waiters_mutex;
std::vector<TickWaiter*> g_waiters;

std::int64_t ToMicros(std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

void WakeAllWaiters() {
    std::lock_guard registry(g_waiters_mutex);
    for (TickWaiter* waiter : g_waiters) {
        // Taking the waiter's mutex orders this wake-up after its last look at the clock.
        std::lock_guard lock(waiter->mutex);
        waiter->cv.notify_all();
    }
}

}  // namespace

DWORD GetTickCount() {
    if (g_test_installed.load(std::memory_order_acquire))
        return g_test_tick.load(std::memory_order_acquire);
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                             static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms);
}

namespace {

std::chrono::system_clock::time_point BaseNow() {
    if (g_test_installed.load(std::memory_order_acquire)) {
        return std::chrono::system_clock::time_point(
            std::chrono::microseconds(g_test_wall_us.load(std::memory_order_acquire)));
    }
    return std::chrono::system_clock::now();
}

}  // namespace

std::chrono::system_clock::time_point SystemNow() {
    return BaseNow() + WallClockOffset();
}

void SetWallClockOffset(std::chrono::microseconds offset) {
    g_wall_offset_us.store(offset.count(), std::memory_order_release);
}

std::chrono::microseconds WallClockOffset() {
    return std::chrono::microseconds(g_wall_offset_us.load(std::memory_order_acquire));
}

void StartWallClockAt(std::chrono::system_clock::time_point start) {
    SetWallClockOffset(std::chrono::duration_cast<std::chrono::microseconds>(start - BaseNow()));
}

SYSTEMTIME ToLocalParts(std::chrono::system_clock::time_point when) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch());
    const auto seconds = std::chrono::floor<std::chrono::seconds>(us);
    const std::time_t t = static_cast<std::time_t>(seconds.count());
    std::tm local{};
    localtime_r(&t, &local);
    SYSTEMTIME parts{};
    parts.wYear = static_cast<WORD>(local.tm_year + 1900);
    parts.wMonth = static_cast<WORD>(local.tm_mon + 1);
    parts.wDayOfWeek = static_cast<WORD>(local.tm_wday);
    parts.wDay = static_cast<WORD>(local.tm_mday);
    parts.wHour = static_cast<WORD>(local.tm_hour);
    parts.wMinute = static_cast<WORD>(local.tm_min);
    parts.wSecond = static_cast<WORD>(local.tm_sec);
    parts.wMilliseconds = static_cast<WORD>((us - seconds).count() / 1000);
    return parts;
}

SYSTEMTIME LocalNow() {
    return ToLocalParts(SystemNow());
}

void TestClock::Install(DWORD tick) {
    Install(tick, std::chrono::system_clock::now());
}

void TestClock::Install(DWORD tick, std::chrono::system_clock::time_point wall) {
    g_test_tick.store(tick, std::memory_order_release);
    g_test_wall_us.store(ToMicros(wall), std::memory_order_release);
    g_test_installed.store(true, std::memory_order_release);
    g_epoch.fetch_add(1, std::memory_order_acq_rel);
    WakeAllWaiters();
}

void TestClock::Uninstall() {
    g_test_installed.store(false, std::memory_order_release);
    g_epoch.fetch_add(1, std::memory_order_acq_rel);
    WakeAllWaiters();
}

unsigned ClockEpoch() {
    return g_epoch.load(std::memory_order_acquire);
}

bool TestClock::Installed() {
    return g_test_installed.load(std::memory_order_acquire);
}

void TestClock::Set(DWORD tick) {
    g_test_tick.store(tick, std::memory_order_release);
    WakeAllWaiters();
}

void TestClock::SetWallTime(std::chrono::system_clock::time_point wall) {
    g_test_wall_us.store(ToMicros(wall), std::memory_order_release);
    WakeAllWaiters();
}

void TestClock::Advance(DWORD ms) {
    g_test_tick.fetch_add(ms, std::memory_order_acq_rel);  // unsigned: wraps at 2^32
    g_test_wall_us.fetch_add(static_cast<std::int64_t>(ms) * 1000, std::memory_order_acq_rel);
    WakeAllWaiters();
}

TickWaiter::TickWaiter() {
    std::lock_guard registry(g_waiters_mutex);
    g_waiters.push_back(this);
}

TickWaiter::~TickWaiter() {
    std::lock_guard registry(g_waiters_mutex);
    g_waiters.erase(std::find(g_waiters.begin(), g_waiters.end(), this));
}
