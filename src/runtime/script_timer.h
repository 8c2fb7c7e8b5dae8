// Script timers: the Timer object scripts create (or get from Global.CreateTimer) and the timer
// behind it, which calls the script's callback on the script's own thread.
#pragma once

#include <memory>

#include "interfaces/dispatch.h"
#include "interfaces/runtime.h"
#include "platform/apartment.h"
#include "platform/com_object.h"
#include "platform/dispatcher.h"
#include "platform/git_ptr.h"
#include "platform/lock.h"
#include "platform/object_safety.h"
#include "runtime/timer.h"

// The timer behind a script Timer. While it has entries queued on the timer thread it keeps its
// script object alive, so a started timer fires even when the script kept no variable for it
// (`Global.CreateTimer(f, 250).Start()`); the hold ends when the thread lets go of the last
// entry (fired, cancelled, or the thread ended).
class COMTimer : public TimerBase {
  public:
    // Handler first, then the callback, in the apartment it was set from, with the script
    // object as its only argument and no `this`; whatever the callback returns or raises is
    // ignored.
    void Fire() override;
    // Also forgets the script object.
    void Initialise() override;
    void Start(ScheduleThread* thread) override;
    void OnExpired() override;
    // Also empties the callback.
    void Detach() override;

    // Null empties the holder; a failed cross-thread registration is returned.
    HRESULT SetCallback(IDispatch* function);
    // The stored function for the calling thread, with a reference; null when none.
    HRESULT GetCallback(IDispatch** function);
    // The script object handed to the callback; not counted (it owns this timer).
    void SetOwner(IDLTimer* owner);

  private:
    CCriticalSectionEx lock_;
    CComGITPtr2<IDispatch> callback_;
    std::shared_ptr<brevanto::Apartment> callback_apartment_;  // where the callback was set
    IDLTimer* owner_ = nullptr;
    ComPtr<IDLTimer> keep_alive_;  // the owner, while entries are queued
    int queued_ = 0;
};

// Timer: the script object. Agile: the timer thread hands it to the callback as it is, so the
// callback's argument is the very object the script created. It takes part in page contexts
// (IReadOnlyTest), so a page can set up the timer that Global.CreateTimer gave it.
class CTimer : public ComObjectRoot<CTimer, DispatchImpl<IDLTimer>, IDestroy, IReadOnlyTest,
                                    MyIObjectSafetyImpl, IMarshal> {
  public:
    HRESULT FinalConstruct();
    void FinalRelease();

    // ---- IDLTimer ----
    HRESULT get_Period(LONG* pVal) override;
    HRESULT put_Period(LONG newVal) override;
    HRESULT get_OneShot(LONG* pVal) override;
    HRESULT put_OneShot(LONG newVal) override;
    HRESULT get_Name(BSTR* pVal) override;
    HRESULT put_Name(BSTR newVal) override;
    HRESULT Start() override;
    HRESULT Cancel() override;
    HRESULT get_Callback(IDispatch** pVal) override;
    HRESULT put_Callback(IDispatch* newVal) override;
    HRESULT get_Enabled(LONG* pVal) override;
    HRESULT get_id(ULONG* pVal) override;

    // ---- IDestroy: a timer has no cycle to break ----
    HRESULT Destroy() override { return S_OK; }

    // ---- IReadOnlyTest: calls through a page's context pass unchanged ----
    HRESULT RewriteCall(DISPID*, DISPPARAMS*, WORD*) override { return S_OK; }
    HRESULT WrapResult(DISPID) override { return S_OK; }

    ref<COMTimer> Timer() const { return timer_; }

  private:
    ref<COMTimer> timer_;
};

// A new Timer with the given period and callback, not started; E_OUTOFMEMORY when it cannot be
// made.
HRESULT CreateScriptTimer(IDispatch* callback, LONG period_ms, IDLTimer** timer);
