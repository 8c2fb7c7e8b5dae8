// Worker threads, and the pool of three that runs tasks.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/apartment.h"
#include "platform/clock.h"
#include "runtime/thread.h"
#include "runtime/thread_pool.h"
#include "support/waitable_log.h"

namespace {

// Counts its runs and records what its thread looked like, then waits for its stop event; a
// stubborn one ignores that event until released, so a restart must give up on it after 200 ms.
class Worker : public Thread {
  public:
    explicit Worker(const char* name, bool stubborn = false) : Thread(name), stubborn_(stubborn) {}
    ~Worker() override {
        release_.Set();
        StopAndJoin();
    }

    DWORD Run() override {
        char os_name[16] = {};
        pthread_getname_np(pthread_self(), os_name, sizeof os_name);
        os_name_ = os_name;
        // A worker is in the multithreaded apartment: asking for a single-threaded one fails.
        apartment_check_ = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (SUCCEEDED(apartment_check_)) CoUninitialize();
        runs_.Add(1);
        (stubborn_ ? release_ : stop_event_).Wait(INFINITE);
        ++finished_;
        return 0;
    }

    const bool stubborn_;
    CManualEvent release_;
    WaitableLog<int> runs_;
    std::atomic<int> finished_{0};
    std::string os_name_;
    HRESULT apartment_check_ = S_OK;
};

TEST(ThreadTest, NameKeepsThirtyOneBytesAndAStartOfAStartedWorkerStopsItAndRunsANewOne) {
    Worker long_name("A-very-long-thread-name-of-more-than-32-bytes");
    EXPECT_EQ(std::string(long_name.Name()), "A-very-long-thread-name-of-more");

    Worker thread("ThreadPoolThread");
    EXPECT_FALSE(thread.IsRunning());
    ASSERT_TRUE(thread.Start());
    const DWORD first_id = thread.ThreadId();
    ASSERT_EQ(thread.runs_.WaitFor(1).size(), 1u);
    EXPECT_EQ(thread.os_name_, "ThreadPoolThrea");
    EXPECT_EQ(thread.apartment_check_, RPC_E_CHANGED_MODE);

    ASSERT_TRUE(thread.Start());
    EXPECT_EQ(thread.finished_.load(), 1);  // the first one ended within the 200 ms
    EXPECT_NE(thread.ThreadId(), first_id);
    ASSERT_EQ(thread.runs_.WaitFor(2).size(), 2u);
    EXPECT_TRUE(thread.IsRunning());

    EXPECT_TRUE(thread.Stop(1000));
    EXPECT_EQ(thread.finished_.load(), 2);
    EXPECT_FALSE(thread.IsRunning());

    Thread idle("Idle");  // the base Run returns at once
    ASSERT_TRUE(idle.Start());
    EXPECT_TRUE(idle.Stop(1000));
    EXPECT_FALSE(idle.IsRunning());
}

// The give-up is in real time: the test clock stands still throughout.
TEST(ThreadTest, RestartKeepsAThreadThatDidNotEndAndJoinsItLater) {
    ScopedTestClock clock(0);
    Worker thread("Stubborn", /*stubborn=*/true);
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(thread.Start());  // gives up on the first after 200 ms
    ASSERT_EQ(thread.runs_.WaitFor(2).size(), 2u);
    EXPECT_FALSE(thread.Stop(10));
    EXPECT_EQ(GetTickCount(), 0u);
    EXPECT_EQ(thread.finished_.load(), 0);
    thread.release_.Set();
    thread.StopAndJoin();
    EXPECT_EQ(thread.finished_.load(), 2);
}

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
