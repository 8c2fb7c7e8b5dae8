#include "runtime/thread.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <string>

#include "platform/apartment.h"
#include "platform/clock.h"
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

}  // namespace
