// A small fixed pool of worker threads that run tasks in submission order.
#pragma once

#include <array>
#include <cstddef>
#include <deque>

#include "platform/lock.h"
#include "runtime/event.h"
#include "runtime/ref_counted.h"
#include "runtime/thread.h"

// A unit of work. Once submitted it belongs to the pool: the pool releases it after it has run,
// or unrun when the pool is destroyed.
class ThreadPoolTask : public virtual RefCounted {
  public:
    virtual void Run() {}
};

// What pool threads see of their pool.
class ThreadPoolBase {
  public:
    // For a thread that has nothing to run: removes and returns the oldest queued task, or,
    // when the queue is empty or the pool is not running, sets `idle` and returns null. Both
    // happen under the pool lock, under which the dispatcher also looks for idle threads, so a
    // task queued meanwhile is either returned here or handed to this thread once it is idle.
    virtual ref<ThreadPoolTask> NextTaskOrIdle(CManualEvent& idle) = 0;
    virtual ~ThreadPoolBase() = default;
};

// One worker. The hand-over with the dispatcher: the dispatcher gives a thread a task only while
// the thread's idle event is set, and the thread sets its own current task only while it is not
// idle, so the current task is never written by two threads at once.
class CThreadPoolThread : public Thread {
  public:
    CThreadPoolThread() : Thread("ThreadPoolThread") {}
    ~CThreadPoolThread() override { StopAndJoin(); }

    DWORD Run() override;

    // Called by the dispatcher, under the pool lock, for a thread whose idle event it saw set.
    void Assign(ref<ThreadPoolTask> task);
    CManualEvent& IdleEvent() { return idle_event_; }
    void SetPool(ThreadPoolBase* pool) { pool_ = pool; }

  private:
    // Takes the next queued task to run on the next pass, or goes idle.
    void TakeNextTask();

    CAutoEvent work_event_;
    CManualEvent idle_event_;
    ref<ThreadPoolTask> current_task_;
    ThreadPoolBase* pool_ = nullptr;
};

template <class TThread, std::size_t N>
class CThreadPool : public ThreadPoolBase {
  public:
    CThreadPool() {
        for (std::size_t i = 0; i < N; ++i) {
            threads_[i].SetPool(this);
            idle_handles_[i] = &threads_[i].IdleEvent();
        }
    }
    CThreadPool(const CThreadPool&) = delete;
    CThreadPool& operator=(const CThreadPool&) = delete;

    // Stops the threads, then releases every queued task without running it. The threads are
    // joined before the pool goes away, so a task still running outlives neither.
    ~CThreadPool() override {
        Stop();
        CScopedLock lock(lock_);
        queue_.clear();
    }

    void Start() {
        if (!started_) {
            for (auto& thread : threads_)
                thread.Start();
            started_ = true;
        }
        {
            CScopedLock lock(lock_);
            running_ = true;
        }
        Dispatch();
    }

    void Submit(ref<ThreadPoolTask> task) {
        {
            CScopedLock lock(lock_);
            queue_.push_back(std::move(task));
        }
        Dispatch();
    }

    ref<ThreadPoolTask> NextTaskOrIdle(CManualEvent& idle) override {
        CScopedLock lock(lock_);
        ref<ThreadPoolTask> task = PopTask();
        if (!task) idle.Set();
        return task;
    }

    // Takes no new task from the queue, then asks each thread to stop, waiting at most 100 ms
    // for each. A thread still busy with a task is left to finish it and joined at destruction.
    void Stop() {
        {
            CScopedLock lock(lock_);
            running_ = false;
        }
        for (auto& thread : threads_)
            thread.Stop(100);
    }

    // Stop, then waits (running this thread's apartment calls meanwhile) until every thread
    // has ended, and joins it. It waits for the threads' end, never for their idle events: a
    // thread handed a task just as it is asked to stop ends without going idle.
    void Shutdown() {
        Stop();
        for (auto& thread : threads_)
            thread.StopAndJoin();
    }

    std::size_t QueuedCount() {
        CScopedLock lock(lock_);
        return queue_.size();
    }
    TThread& GetThread(std::size_t index) { return threads_[index]; }

  private:
    // Hands queued tasks to idle threads, lowest index first; runs on the submitting thread.
    // Tasks that find every thread busy stay queued: a thread drains the queue by itself when
    // it finishes its task.
    void Dispatch() {
        for (;;) {
            CScopedLock lock(lock_);
            if (!running_ || queue_.empty()) return;
            // The poll runs under the pool lock so that two submitters never pick the same idle
            // thread.
            const DWORD which = WaitForEvents(idle_handles_, 0);
            if (which >= WAIT_OBJECT_0 + N) return;
            threads_[which - WAIT_OBJECT_0].Assign(PopTask());
        }
    }

    // The oldest queued task, removed; null when there is none or the pool is not running.
    // Called under the pool lock.
    ref<ThreadPoolTask> PopTask() {
        if (!running_ || queue_.empty()) return nullptr;
        ref<ThreadPoolTask> task = std::move(queue_.front());
        queue_.pop_front();
        return task;
    }

    CCriticalSectionEx lock_;
    std::deque<ref<ThreadPoolTask>> queue_;
    // Declared after the lock and the queue: the threads are joined before those go away.
    std::array<TThread, N> threads_;
    std::array<CEvent_*, N> idle_handles_{};
    bool running_ = false;  // guarded by lock_
    bool started_ = false;  // touched only by the owner
};

// The Global's pool: the event bus runs script handlers on it.
inline constexpr std::size_t kPoolThreadCount = 3;
using CDefaultThreadPool = CThreadPool<CThreadPoolThread, kPoolThreadCount>;
