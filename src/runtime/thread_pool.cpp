#include "runtime/thread_pool.h"

#include "platform/boundary.h"

void CThreadPoolThread::Assign(ref<ThreadPoolTask> task) {
    idle_event_.Reset();
    current_task_ = std::move(task);
    work_event_.Set();
}

void CThreadPoolThread::TakeNextTask() {
    ref<ThreadPoolTask> next;
    if (pool_)
        next = pool_->NextTaskOrIdle(idle_event_);
    else
        idle_event_.Set();
    if (next) {
        // Run it on the next pass without going idle.
        current_task_ = std::move(next);
        work_event_.Set();
    }
}

// A thread starts by asking for work, not by going idle: tasks submitted before the threads
// started (or while this one was starting) found no idle thread and wait in the queue.
DWORD CThreadPoolThread::Run() {
    TakeNextTask();
    for (;;) {
        const DWORD which = WaitForEvents({&stop_event_, &work_event_}, INFINITE);
        if (which == WAIT_OBJECT_0) return 0;
        if (which != WAIT_OBJECT_0 + 1) continue;
        if (current_task_) {
            // A failing task must not take the worker down with it; its status goes nowhere.
            StatusOf([&] { current_task_->Run(); });
            current_task_ = nullptr;
        }
        TakeNextTask();
    }
}
