#include "runtime/thread_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <utility>
#include <vector>

#include "support/waitable_log.h"

namespace {

using Start = std::pair<int, DWORD>;  // a task's number and the OS thread that ran it

// What the tasks of one test saw.
struct Journal {
    WaitableLog<Start> started;  // task number and OS thread, in start order
    WaitableLog<int> ran, destroyed;
    CManualEvent gates[8];  // a task blocks until its gate opens
};

class GatedTask : public ThreadPoolTask {
  public:
    GatedTask(Journal& journal, int number) : journal_(journal), number_(number) {}
    ~GatedTask() override { journal_.destroyed.Add(number_); }
    void Run() override {
        journal_.started.Add({number_, static_cast<DWORD>(gettid())});
        journal_.gates[number_].Wait(INFINITE);
        journal_.ran.Add(number_);
    }

  private:
    Journal& journal_;
    int number_;
};

template <class Pool>
void WaitUntilIdle(Pool& pool) {
    for (std::size_t i = 0; i < 3; ++i)
        pool.GetThread(i).IdleEvent().Wait(INFINITE);
}

TEST(ThreadPoolTest, TasksStartInOrderAndAStopLeavesBusyOnesRunningAndQueuedOnesDieUnrun) {
    Journal journal;
    {
        CDefaultThreadPool pool;
        pool.Start();
        WaitUntilIdle(pool);
        for (int i = 0; i < 6; ++i)
            pool.Submit(new GatedTask(journal, i));

        auto started = journal.started.WaitFor(3);
        EXPECT_EQ(pool.QueuedCount(), 3u);  // the other three wait for a free thread
        ASSERT_EQ(started.size(), 3u);
        // Handed out in order; three threads may begin them in any order.
        std::sort(started.begin(), started.end());
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(started[i], Start(i, pool.GetThread(i).ThreadId()));

        journal.gates[1].Set();  // thread 1 finishes and takes task 3 by itself
        EXPECT_EQ(journal.started.WaitFor(4).back(), Start(3, pool.GetThread(1).ThreadId()));
        journal.gates[2].Set();
        EXPECT_EQ(journal.started.WaitFor(5).back(), Start(4, pool.GetThread(2).ThreadId()));

        // Every thread is busy (tasks 0, 3 and 4) until the gates open, which happens only after
        // Stop returned: Stop gives each thread its bounded wait and moves on.
        pool.Stop();
        EXPECT_EQ(journal.ran.Size(), 2u);
        EXPECT_EQ(pool.QueuedCount(), 1u);
        for (auto& gate : journal.gates)
            gate.Set();
        EXPECT_EQ(journal.ran.WaitFor(5).size(), 5u);
        EXPECT_EQ(journal.destroyed.WaitFor(5).size(), 5u);
    }
    // A stopped pool hands out no queued task: task 5 was destroyed unrun.
    EXPECT_EQ(journal.started.Size(), 5u);
    EXPECT_EQ(journal.ran.Size(), 5u);
    EXPECT_EQ(journal.destroyed.Size(), 6u);
}

TEST(ThreadPoolTest, TasksWaitForStartAndANeverStartedPoolReleasesThemUnrun) {
    Journal journal;
    {
        CDefaultThreadPool never_started;
        never_started.Submit(new GatedTask(journal, 0));
    }
    EXPECT_EQ(journal.destroyed.Size(), 1u);
    for (auto& gate : journal.gates)
        gate.Set();
    CDefaultThreadPool pool;
    pool.Submit(new GatedTask(journal, 1));
    pool.Submit(new GatedTask(journal, 2));
    EXPECT_EQ(pool.QueuedCount(), 2u);
    EXPECT_EQ(journal.started.Size(), 0u);
    pool.Start();
    EXPECT_EQ(journal.destroyed.WaitFor(3).size(), 3u);  // run, then released
    EXPECT_EQ(journal.ran.Size(), 2u);                   // task 0 never ran
}

// Sees its stop request before the task it is handed, as a thread does that is given a task
// just as shut-down begins: its loop ends without running the task or going idle.
class StoppedWhenAssigned : public CThreadPoolThread {
  public:
    void Assign(ref<ThreadPoolTask> task) {
        StopEvent().Set();
        CThreadPoolThread::Assign(std::move(task));
    }
};

TEST(ThreadPoolTest, ShutdownWaitsForThreadsToEndNotToGoIdle) {
    Journal journal;
    CThreadPool<StoppedWhenAssigned, 3> pool;
    pool.Start();
    WaitUntilIdle(pool);
    pool.Submit(new GatedTask(journal, 0));
    ASSERT_FALSE(pool.GetThread(0).IdleEvent().Wait(0));

    CManualEvent done;
    std::thread shutdown([&] {
        pool.Shutdown();
        done.Set();
    });
    // A guard, not a timing: a correct shut-down returns as soon as thread 0 has ended.
    const bool returned = done.Wait(10000, WaitClock::kRealTime);
    EXPECT_TRUE(returned) << "shut-down waits for a thread that will never be idle";
    if (!returned) pool.GetThread(0).IdleEvent().Set();  // let the hung wait go
    shutdown.join();
    EXPECT_EQ(journal.ran.Size(), 0u);
}

TEST(ThreadPoolTest, ManySubmittersRunEveryTaskOnce) {
    Journal journal;
    journal.gates[0].Set();
    {
        CDefaultThreadPool pool;
        pool.Start();
        std::vector<std::thread> submitters;
        for (int s = 0; s < 4; ++s) {
            submitters.emplace_back([&] {
                for (int i = 0; i < 200; ++i)
                    pool.Submit(new GatedTask(journal, 0));
            });
        }
        for (auto& t : submitters)
            t.join();
        // A task queued while the last busy thread was going idle waits for the next submit.
        for (int i = 0;
             i < 500 && journal.ran.WaitFor(800, std::chrono::milliseconds(10)).size() < 800; ++i)
            pool.Submit(new ThreadPoolTask);
    }
    EXPECT_EQ(journal.ran.Size(), 800u);
}

}  // namespace
