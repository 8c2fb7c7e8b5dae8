// A Global's events: recording handlers, and waiting until everything raised so far has been
// matched and every handler call has returned; and a fixture's Global on the test clock.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "global/global.h"
#include "platform/clock.h"
#include "support/await_timers.h"
#include "support/script_doubles.h"
#include "support/variants.h"

// A recording handler registered on `g` for each of `names`, in order.
inline std::vector<ComPtr<ScriptFunction>> HandlersFor(CGlobal* g,
                                                       std::vector<const char16_t*> names) {
    std::vector<ComPtr<ScriptFunction>> handlers;
    for (const char16_t* name : names) {
        handlers.push_back(New<ScriptFunction>());
        ULONG id = 0;
        EXPECT_EQ(g->RegisterForEvent(CComBSTR(name), CComVariant(), handlers.back().get(), &id),
                  S_OK);
    }
    return handlers;
}

inline void DrainEvents(CGlobal* g) {
    auto sentinel = New<ScriptFunction>();
    ULONG id = 0;
    CComBSTR name(u"drain sentinel");
    ASSERT_EQ(g->RegisterForEvent(name, Null(), sentinel.get(), &id), S_OK);
    // Registered in the wake after this raise at the latest: raise until it is seen.
    for (int i = 0; i < 500 && !sentinel->WaitFor(1, std::chrono::milliseconds(10)); ++i)
        g->RaiseEvent(name, nullptr);
    ASSERT_GT(sentinel->Calls(), 0);
    ASSERT_TRUE(g->WaitUntilPoolIdle());
    g->UnRegisterForEvent(id);
}

// A fixture's Global on the test clock (from 0), destroyed after the fixture's own members; the
// fixture starts it once it has set up what the start reads.
class GlobalOnTestClock : public ::testing::Test {
  protected:
    ~GlobalOnTestClock() override { global_->Destroy(); }
    void AwaitTimersDueIn(DWORD ms) { ::AwaitTimersDueIn(global_->TimerThread(), ms); }

    ScopedTestClock clock_{0};
    ComPtr<CGlobal> global_ = New<CGlobal>();
    std::vector<ComPtr<ScriptFunction>> events_;  // as HandlersFor registered them
};
