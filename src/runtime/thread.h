// The base of every worker thread of the library.
#pragma once

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "platform/types.h"
#include "runtime/event.h"

// A worker thread with a stop event and a name. Derived classes override Run with a loop that
// waits on StopEvent() together with their work events and returns when the stop event fires.
//
// Lifetime: a Thread object is never freed while one of its threads can still run. The
// destructor signals the stop event and joins every thread it started. A thread that did not end
// within the bounded waits of Start (200 ms) or Stop is kept and joined later, never detached.
// Because the base destructor runs after the derived members are gone, every derived class whose
// Run touches its own members calls StopAndJoin() in its own destructor.
class Thread {
  public:
    static constexpr std::size_t kNameSize = 32;

    Thread();
    explicit Thread(const char* name);
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // The thread's body; its result is the thread's exit value.
    virtual DWORD Run();
    // Called on the new thread before Run: joins the multithreaded apartment.
    virtual void ThreadInit();
    // Called on the thread after Run returns: leaves the apartment.
    virtual void ThreadExit();
    virtual ~Thread();

    // Starts the thread; a running thread is first asked to stop and given 200 ms to end.
    // Returns true when a new thread was created.
    bool Start();
    // Signals the stop event and waits up to timeout_ms for the thread to end; the thread is
    // forgotten either way (and joined later if it is still running). True when it ended.
    bool Stop(DWORD timeout_ms);
    // Signals the stop event and waits for every thread this object started to end; a caller in
    // a single-threaded apartment runs the calls queued for it meanwhile. Never called on one
    // of this object's own threads (that aborts: the object would go away under it).
    void StopAndJoin();

    // True while the most recently started thread has not ended.
    bool IsRunning() const;
    // The OS thread id of the most recently started thread (0 before the first Start).
    DWORD ThreadId() const { return thread_id_.load(std::memory_order_acquire); }
    const char* Name() const { return name_; }
    // Copies at most 31 bytes of `name`; the OS sees the first 15.
    void SetName(const char* name);
    CManualEvent& StopEvent() { return stop_event_; }

  protected:
    CManualEvent stop_event_;

  private:
    struct Instance;
    // The procedure every thread runs; returns Run's result, 0xFFFFFFFF for a null thread.
    static DWORD ThreadProc(Thread* self);
    void Retire();

    char name_[kNameSize] = {};
    std::atomic<DWORD> thread_id_{0};
    std::unique_ptr<Instance> current_;
    std::vector<std::unique_ptr<Instance>> retired_;  // asked to stop, not yet joined
};
