// The current Global: holds, and a shut-down that waits for the holds of other threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "runtime/current_global.h"
#include "runtime/event.h"
#include "runtime/thread_pool.h"

namespace {

class FakeGlobal : public RuntimeServices {
  public:
    void SubmitTask(ref<ThreadPoolTask>) override {}
    HRESULT RaiseEvent(BSTR, IDispatchEx*) override { return S_OK; }
    HRESULT Log(BSTR) override { return S_OK; }
    ScheduleThread* TimerThread() override { return nullptr; }
};

// A layer's own service interface, which FakeGlobal does not implement.
class OtherServices : public virtual GlobalService {
  public:
    virtual void Other() = 0;
};

TEST(CurrentGlobal, IsTheOneSetUntilItIsCleared) {
    FakeGlobal first, second;
    EXPECT_FALSE(CurrentGlobal::Get());
    CurrentGlobal::Set(&first);
    CurrentGlobal::Set(&second);
    EXPECT_EQ(CurrentGlobal::Get().As<FakeGlobal>(), &second);
    EXPECT_EQ(CurrentGlobal::Get().As<OtherServices>(), nullptr);
    CurrentGlobal::Clear(&first);  // not current: changes nothing
    EXPECT_EQ(CurrentGlobal::Get().As<RuntimeServices>(), &second);
    CurrentGlobal::Clear(&second);
    EXPECT_FALSE(CurrentGlobal::Get());
}

TEST(CurrentGlobal, ClearDoesNotWaitForTheCallersOwnHold) {
    FakeGlobal global;
    CurrentGlobal::Set(&global);
    CurrentGlobal::Hold hold = CurrentGlobal::Get();
    CurrentGlobal::Clear(&global);  // would never return if it waited for `hold`
    EXPECT_TRUE(hold);
    EXPECT_FALSE(CurrentGlobal::Get());
}

TEST(CurrentGlobal, ClearWaitsForTheHoldsOfOtherThreads) {
    FakeGlobal global;
    CurrentGlobal::Set(&global);
    CManualEvent held, cleared;
    std::atomic<bool> clear_returned{false};
    bool returned_while_held = true;
    std::thread holder([&] {
        CurrentGlobal::Hold hold = CurrentGlobal::Get();
        held.Set();
        // Once the Global is no longer current, its Clear has begun; it must still be waiting.
        while (CurrentGlobal::Get())
            std::this_thread::yield();
        returned_while_held = clear_returned.load();
    });
    held.Wait();
    std::thread clearer([&] {
        CurrentGlobal::Clear(&global);
        clear_returned = true;
        cleared.Set();
    });
    cleared.Wait();
    holder.join();
    clearer.join();
    EXPECT_FALSE(returned_while_held);
}

}  // namespace
