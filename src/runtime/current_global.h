// The current Global as native code sees it. The Global (the root object, layers above) makes
// itself current at its final construction and clears itself first thing at shut-down; code in
// any layer reaches its services through CurrentGlobal::Get() and the narrow interface its own
// layer declares (RuntimeServices here, DispatchServices in dispatch, NetworkServices in
// network), and skips its work when there is no current Global.
#pragma once

#include "platform/unknown.h"
#include "runtime/ref_counted.h"

class ScheduleThread;
class ThreadPoolTask;

// Base of the service interfaces. The Global implements every one of them; a hold hands out
// the one a layer asks for.
class GlobalService {
  protected:
    virtual ~GlobalService() = default;
};

// What the runtime layer asks of the current Global. The members that scripts also see keep
// their script names and signatures.
class RuntimeServices : public virtual GlobalService {
  public:
    // Runs `task` on the Global's thread pool; a pool that is stopping drops it.
    virtual void SubmitTask(ref<ThreadPoolTask> task) = 0;
    // Queues an event on the Global's event bus; `pParams` may be null.
    virtual HRESULT RaiseEvent(BSTR bstrEvent, IDispatchEx* pParams) = 0;
    // Hands a text to the host's log (nothing without a host).
    virtual HRESULT Log(BSTR bstr) = 0;
    // The timer thread that runs every timer of the panel (owned by the scheduler).
    virtual ScheduleThread* TimerThread() = 0;
};

class CurrentGlobal {
  public:
    // Keeps the current Global from shutting down while it lives (its shut-down waits for the
    // holds of other threads to end). Hold it for a call, not for longer.
    class Hold {
      public:
        Hold() noexcept = default;
        Hold(Hold&& other) noexcept : global_(other.global_) { other.global_ = nullptr; }
        Hold& operator=(Hold&&) = delete;
        ~Hold();

        explicit operator bool() const noexcept { return global_ != nullptr; }
        RuntimeServices* operator->() const noexcept { return global_; }
        // The held Global's services of layer interface S; null without a Global.
        template <class S>
        S* As() const {
            return dynamic_cast<S*>(global_);
        }

      private:
        friend class CurrentGlobal;
        explicit Hold(RuntimeServices* global) noexcept : global_(global) {}
        RuntimeServices* global_ = nullptr;
    };

    // The current Global, held; empty when there is none.
    static Hold Get();
    // At a Global's final construction: it becomes the current one.
    static void Set(RuntimeServices* global);
    // First thing at a Global's shut-down: when it is the current one, there is none from now
    // on. Then waits until the holds that other threads took on it have ended; a caller in a
    // single-threaded apartment runs the calls queued for it meanwhile.
    static void Clear(RuntimeServices* global);
};
