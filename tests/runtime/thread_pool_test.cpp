#include "runtime/thread_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// What the tasks of one test saw.
struct Journal {
    std::mutex mutex;
    std::vector<int> started;      // task numbers in start order
    std::vector<DWORD> thread_of;  // OS thread id per task number
    std::atomic<int> destroyed{0};
    std::atomic<int> ran{0};
    CManualEvent gates[8];  // a task blocks until its gate opens
};

class GatedTask : public ThreadPoolTask {
  public:
    GatedTask(Journal& journal, int number) : journal_(journal), number_(number) {}
    ~GatedTask() override { ++journal_.destroyed; }
    void Run() override {
        {
            std::lock_guard lock(journal_.mutex);
            journal_.started.push_back(number_);
            journal_.thread_of[static_cast<std::size_t>(number_)] = static_cast<DWORD>(gettid());
        }
        journal_.gates[number_].Wait(INFINITE);
        ++journal_.ran;
    }

  private:
    Journal& journal_;
    int number_;
};

std::size_t StartedCount(Journal& journal) {
    std::lock_guard lock(journal.mutex);
    return journal.started.size();
}

void WaitForStarted(Journal& journal, std::size_t count) {
    while (StartedCount(journal) < count)
        Sleep(1);
}

void WaitUntilIdle(CDefaultThreadPool& pool) {
    for (std::size_t i = 0; i < 3; ++i)
        pool.GetThread(i).IdleEvent().Wait(INFINITE);
}

TEST(ThreadPoolTest, FiveTasksOnThreeThreadsStartInOrder) {
    Journal journal;
    journal.thread_of.resize(5);
    {
        CDefaultThreadPool pool;
        pool.Start();
        WaitUntilIdle(pool);
        for (int i = 0; i < 5; ++i)
            pool.Submit(new GatedTask(journal, i));

        WaitForStarted(journal, 3);
        Sleep(20);
        EXPECT_EQ(StartedCount(journal), 3u);  // the other two wait for a free thread
        EXPECT_EQ(pool.QueuedCount(), 2u);
        {
            std::lock_guard lock(journal.mutex);
            // Handed out in order; three threads may begin them in any order.
            std::vector<int> first_three = journal.started;
            std::sort(first_three.begin(), first_three.end());
            EXPECT_EQ(first_three, (std::vector<int>{0, 1, 2}));
            for (std::size_t i = 0; i < 3; ++i)
                EXPECT_EQ(journal.thread_of[i], pool.GetThread(i).ThreadId());
        }

        journal.gates[1].Set();  // thread 1 finishes and takes task 3 by itself
        WaitForStarted(journal, 4);
        {
            std::lock_guard lock(journal.mutex);
            EXPECT_EQ(journal.started[3], 3);
            EXPECT_EQ(journal.thread_of[3], pool.GetThread(1).ThreadId());
        }
        journal.gates[2].Set();
        WaitForStarted(journal, 5);
        {
            std::lock_guard lock(journal.mutex);
            EXPECT_EQ(journal.started[4], 4);
            EXPECT_EQ(journal.thread_of[4], pool.GetThread(2).ThreadId());
        }
        for (auto& gate : journal.gates)
            gate.Set();
        while (journal.ran.load() < 5)
            Sleep(1);
    }
    EXPECT_EQ(journal.destroyed.load(), 5);
}

TEST(ThreadPoolTest, TasksWaitForStart) {
    Journal journal;
    journal.thread_of.resize(2);
    for (auto& gate : journal.gates)
        gate.Set();
    CDefaultThreadPool pool;
    pool.Submit(new GatedTask(journal, 0));
    pool.Submit(new GatedTask(journal, 1));
    Sleep(20);
    EXPECT_EQ(StartedCount(journal), 0u);
    pool.Start();
    while (journal.ran.load() < 2)
        Sleep(1);
    EXPECT_EQ(journal.destroyed.load(), 2);  // released after running
}

TEST(ThreadPoolTest, StopDoesNotWaitForBusyTasksAndQueuedOnesDieUnrun) {
    Journal journal;
    journal.thread_of.resize(6);
    {
        CDefaultThreadPool pool;
        pool.Start();
        WaitUntilIdle(pool);
        for (int i = 0; i < 6; ++i)
            pool.Submit(new GatedTask(journal, i));
        WaitForStarted(journal, 3);

        // Every thread is busy until the gates open, which happens only after Stop returned:
        // Stop gives each thread its bounded wait and moves on.
        pool.Stop();
        EXPECT_EQ(journal.ran.load(), 0);
        EXPECT_EQ(pool.QueuedCount(), 3u);

        for (auto& gate : journal.gates)
            gate.Set();
        while (journal.ran.load() < 3)
            Sleep(1);
        Sleep(20);
        EXPECT_EQ(StartedCount(journal), 3u);  // a stopped pool hands out no queued task
        EXPECT_EQ(journal.destroyed.load(), 3);
    }
    EXPECT_EQ(journal.ran.load(), 3);
    EXPECT_EQ(journal.destroyed.load(), 6);  // the queued three were destroyed unrun
}

TEST(ThreadPoolTest, DestroyingANeverStartedPoolReleasesItsTasks) {
    Journal journal;
    journal.thread_of.resize(1);
    {
        CDefaultThreadPool pool;
        pool.Submit(new GatedTask(journal, 0));
    }
    EXPECT_EQ(journal.ran.load(), 0);
    EXPECT_EQ(journal.destroyed.load(), 1);
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
    journal.thread_of.resize(1);
    CThreadPool<StoppedWhenAssigned, 3> pool;
    pool.Start();
    for (std::size_t i = 0; i < 3; ++i)
        pool.GetThread(i).IdleEvent().Wait(INFINITE);
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
    EXPECT_EQ(journal.ran.load(), 0);
}

TEST(ThreadPoolTest, ManySubmittersRunEveryTaskOnce) {
    struct CountTask : ThreadPoolTask {
        explicit CountTask(std::atomic<int>& count) : count_(count) {}
        void Run() override { ++count_; }
        std::atomic<int>& count_;
    };
    std::atomic<int> count{0};
    {
        CDefaultThreadPool pool;
        pool.Start();
        std::vector<std::thread> submitters;
        for (int s = 0; s < 4; ++s) {
            submitters.emplace_back([&] {
                for (int i = 0; i < 200; ++i)
                    pool.Submit(new CountTask(count));
            });
        }
        for (auto& t : submitters)
            t.join();
        // A task queued while the last busy thread was going idle waits for the next submit.
        while (count.load() < 800) {
            pool.Submit(new ThreadPoolTask);
            Sleep(1);
        }
    }
    EXPECT_EQ(count.load(), 800);
}

}  // namespace
