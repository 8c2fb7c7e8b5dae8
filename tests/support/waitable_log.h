// What other threads report to a test: appended under a lock, waited for with a generous
// time-out, so that a test waits for an event instead of sleeping.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

// Long enough for a busy two-core machine; a passing test never waits it out.
inline constexpr std::chrono::seconds kPatience{5};

template <class T>
class WaitableLog {
  public:
    void Add(T item) {
        {
            std::lock_guard lock(mutex_);
            items_.push_back(std::move(item));
        }
        changed_.notify_all();
    }
    std::vector<T> All() {
        std::lock_guard lock(mutex_);
        return items_;
    }
    std::size_t Size() {
        std::lock_guard lock(mutex_);
        return items_.size();
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        items_.clear();
    }
    // Waits until `done(items)` holds or `patience` has passed; returns the items.
    template <class Done>
    std::vector<T> WaitUntil(Done done, std::chrono::milliseconds patience = kPatience) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, patience, [&] { return done(std::as_const(items_)); });
        return items_;
    }
    std::vector<T> WaitFor(std::size_t count, std::chrono::milliseconds patience = kPatience) {
        return WaitUntil([count](const std::vector<T>& items) { return items.size() >= count; },
                         patience);
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<T> items_;
};
