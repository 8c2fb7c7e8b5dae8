// A current Global for tests of code that only needs one to be current: its services do nothing.
#pragma once

#include "runtime/current_global.h"
#include "runtime/thread_pool.h"

class IdleGlobal : public RuntimeServices {
  public:
    void SubmitTask(ref<ThreadPoolTask>) override {}
    HRESULT RaiseEvent(BSTR, IDispatchEx*) override { return S_OK; }
    HRESULT Log(BSTR) override { return S_OK; }
    ScheduleThread* TimerThread() override { return nullptr; }
};
