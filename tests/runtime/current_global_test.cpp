// The current Global: holds, and a shut-down that waits for the holds of other threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "runtime/current_global.h"
#include "runtime/event.h"
#include "support/runtime_doubles.h"

namespace {

// A layer's own service interface, which IdleGlobal does not implement.
class OtherServices : public virtual GlobalService {
  public:
    virtual void Other() = 0;
};

TEST(CurrentGlobal, IsTheOneSetUntilItIsCleared) {
    IdleGlobal first, second;
    EXPECT_FALSE(CurrentGlobal::Get());
    CurrentGlobal::Set(&first);
    CurrentGlobal::Set(&second);
    EXPECT_EQ(CurrentGlobal::Get().As<IdleGlobal>(), &second);
    EXPECT_EQ(CurrentGlobal::Get().As<OtherServices>(), nullptr);
    CurrentGlobal::Clear(&first);  // not current: changes nothing
    CurrentGlobal::Hold hold = CurrentGlobal::Get();
    EXPECT_EQ(hold.As<RuntimeServices>(), &second);
    CurrentGlobal::Clear(&second);  // would never return if it waited for this thread's `hold`
    EXPECT_TRUE(hold);
    EXPECT_FALSE(CurrentGlobal::Get());
}

TEST(CurrentGlobal, ClearWaitsForTheHoldsOfOtherThreads) {
    IdleGlobal global;
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
