// The named-event bus: script callbacks registered for an event name (optionally only for
// certain parameter values) are called, on the current Global's thread pool, for every event raised
// under that name. Callers only queue work; one thread, the EventThread, matches events to
// handlers.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/git_ptr.h"
#include "platform/lock.h"
#include "platform/variant.h"
#include "runtime/thread.h"
#include "runtime/thread_pool.h"

// Cross-thread holders shared by a registration or a raised event and the calls made for them:
// a queued call keeps the registration in the global interface table alive by itself, without
// registering the object again.
using SharedCallback = std::shared_ptr<const CComGITPtr2<IDispatch>>;
using SharedParameters = std::shared_ptr<const CComGITPtr2<IDispatchEx>>;

// One registration.
class EventHandler {
  public:
    using Filter = std::vector<std::pair<std::u16string, CComVariant>>;

    EventHandler(ULONG id, std::u16string name, Filter filter, SharedCallback callback)
        : id_(id),
          name_(std::move(name)),
          filter_(std::move(filter)),
          callback_(std::move(callback)) {}

    ULONG id() const { return id_; }
    const std::u16string& name() const { return name_; }
    const Filter& filter() const { return filter_; }

    // True when every filter entry that the parameters object can answer has the same value.
    // Parameters may be null (an event without parameters): every handler matches then.
    bool Matches(IDispatch* parameters) const;
    // Hands the call to the current Global's pool; without one the handler is not called.
    // `parameters` may be null.
    void Call(const SharedParameters& parameters) const;

  private:
    ULONG id_;
    std::u16string name_;
    Filter filter_;
    SharedCallback callback_;
};

// A handler call on a pool thread. Holds its own cross-thread references, so it does not depend
// on the handler or the event record staying alive.
class EHTask : public ThreadPoolTask {
  public:
    EHTask(SharedCallback callback, SharedParameters parameters)
        : callback_(std::move(callback)), parameters_(std::move(parameters)) {}
    void Run() override;

  private:
    SharedCallback callback_;
    SharedParameters parameters_;
};

class EventThread : public Thread {
  public:
    EventThread() : Thread("EventThread") {}
    ~EventThread() override { StopAndJoin(); }

    // Queues a registration and returns its ID at once (IDs start at 1 and are never reused).
    // `parameters` may be null (no filter). A failure to hold the callback cross-thread is
    // raised as HResultError.
    ULONG Register(std::u16string_view name, IDispatchEx* parameters, IDispatch* callback);
    // Queues an event; `parameters` may be null. A failure to hold the parameters cross-thread
    // is raised as HResultError.
    void Raise(std::u16string_view name, IDispatchEx* parameters);
    // Queues an unregistration; unknown IDs are ignored when it is processed.
    void UnRegister(ULONG id);
    // Forgets every queued item and registration. The event thread must have ended (see
    // StopAndJoin): the tables are otherwise changed only by that thread.
    void Clear();
    // Lets the registrations queued so far take effect now, so that their handlers see the
    // first events raised after this. The event thread must not be running (see Clear); used
    // before a start, whose own events would otherwise be raised in the same wake as those
    // registrations and reach no handler.
    void TakeRegistrations() { ProcessRegistrations(); }

    DWORD Run() override;

    // The live handler count of a name (any letter case); for diagnostics and tests.
    std::size_t HandlerCount(std::u16string_view name);

  private:
    struct RaisedEvent {
        std::u16string name;
        SharedParameters parameters;  // null: raised without parameters
    };
    // Handlers of one name by ID; shared so that a walk can go on after the lock is let go.
    using HandlerMap = std::map<LONG, std::shared_ptr<const EventHandler>>;

    void ProcessUnregistrations();
    void ProcessRaises();
    void ProcessRegistrations();
    void Deliver(const RaisedEvent& event);
    bool StopRequested() { return stop_event_.Wait(0); }

    CCriticalSectionEx raise_lock_;
    std::deque<RaisedEvent> raise_queue_;
    CCriticalSectionEx register_lock_;
    std::deque<std::shared_ptr<const EventHandler>> register_queue_;
    std::vector<ULONG> withdrawn_;  // queued registrations unregistered since; register_lock_
    CCriticalSectionEx unregister_lock_;
    std::deque<ULONG> unregister_queue_;

    CCriticalSectionEx handler_lock_;
    std::map<ULONG, std::u16string> ids_;         // every ID handed out: folded name
    std::map<std::u16string, HandlerMap> names_;  // folded name: live handlers
    std::atomic<ULONG> last_id_{0};

    CAutoEvent wake_event_;
};
