// Locks: the abstract lock, the recursive mutex behind it, and scoped locking. CCriticalSectionEx
// is the one lock type of the library (every object's own lock too, see ObjectLock), always
// held through a scoped guard. The platform's internals that wait on a condition use the
// standard library's mutex with it.
#pragma once

#include <mutex>

class CLockable {
  public:
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    virtual ~CLockable() = default;
};

// Recursive: a thread that holds it may call code that takes it again; each Lock needs its
// Unlock.
class CCriticalSectionEx : public CLockable {
  public:
    CCriticalSectionEx() = default;
    CCriticalSectionEx(const CCriticalSectionEx&) = delete;
    CCriticalSectionEx& operator=(const CCriticalSectionEx&) = delete;

    void Lock() override { mutex_.lock(); }
    void Unlock() override { mutex_.unlock(); }

  private:
    std::recursive_mutex mutex_;
};

// Holds a lock for its scope (also when an exception leaves it); a null lock is ignored.
class CScopedLock {
  public:
    explicit CScopedLock(CLockable* lock) : lock_(lock) {
        if (lock_) lock_->Lock();
    }
    explicit CScopedLock(CLockable& lock) : CScopedLock(&lock) {}
    ~CScopedLock() { Unlock(); }
    CScopedLock(const CScopedLock&) = delete;
    CScopedLock& operator=(const CScopedLock&) = delete;

    // Ends the hold early; the destructor then does nothing.
    void Unlock() {
        if (lock_) lock_->Unlock();
        lock_ = nullptr;
    }

  private:
    CLockable* lock_;
};
