// Waits for a Global's events: everything raised so far has been matched, and every handler call
// has returned.
#pragma once

#include <gtest/gtest.h>

#include <chrono>

#include "global/global.h"
#include "support/script_doubles.h"
#include "support/variants.h"

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
