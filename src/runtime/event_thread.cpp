#include "runtime/event_thread.h"

#include <algorithm>

#include "platform/boundary.h"
#include "platform/case_fold.h"
#include "platform/script_call.h"
#include "runtime/current_global.h"

namespace {

// Event names are compared case-insensitively, as script text is: tables are keyed by the
// folded name.
std::u16string KeyOf(std::u16string_view name) {
    return FoldCase(name);
}

// The members of a parameters object that can be read, in its enumeration order.
EventHandler::Filter ReadFilter(IDispatchEx* parameters) {
    EventHandler::Filter filter;
    if (!parameters) return filter;
    DISPID dispid = DISPID_STARTENUM;
    while (parameters->GetNextDispID(fdexEnumAll, dispid, &dispid) == S_OK) {
        CComBSTR name;
        if (FAILED(parameters->GetMemberName(dispid, &name))) continue;
        CComVariant value;
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        if (FAILED(parameters->InvokeEx(dispid, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                                        &value, nullptr, nullptr)))
            continue;
        filter.emplace_back(std::u16string(name.view()), std::move(value));
    }
    return filter;
}

// One filter entry against the raised value: the filter value is taken in the raised value's
// type first, so a filter "5" matches a raised 5.
bool SameValue(const VARIANT& wanted, const VARIANT& raised) {
    CComVariant converted;
    if (FAILED(VariantChangeTypeEx(&converted, &wanted, LOCALE_USER_DEFAULT, 0, raised.vt)))
        converted = wanted;
    if (converted.vt == VT_NULL && raised.vt == VT_NULL) return true;
    if (converted.vt != raised.vt) return false;
    return VarCmp(&converted, const_cast<VARIANT*>(&raised), LOCALE_USER_DEFAULT, 0) == VARCMP_EQ;
}

}  // namespace

bool EventHandler::Matches(IDispatch* parameters) const {
    if (!parameters) return true;
    for (const auto& [name, wanted] : filter_) {
        CComVariant raised;
        if (FAILED(ReadScriptProperty(parameters, name.c_str(), &raised))) continue;
        if (raised.vt == VT_EMPTY) continue;
        if (!SameValue(wanted, raised)) return false;
    }
    return true;
}

void EventHandler::Call(const SharedParameters& parameters) const {
    ref<ThreadPoolTask> task(new EHTask(callback_, parameters));
    // The pool is the current Global's; the hold keeps it while the task is handed over.
    if (CurrentGlobal::Hold global = CurrentGlobal::Get()) global->SubmitTask(std::move(task));
}

void EHTask::Run() {
    ComPtr<IDispatch> callback = callback_ ? callback_->Get() : nullptr;
    if (!callback) return;
    ComPtr<IDispatchEx> parameters;
    if (parameters_) parameters = parameters_->Get();
    CComVariant argument(static_cast<IDispatch*>(parameters.get()));
    CallScriptFunction(callback, argument,
                       nullptr);  // the handler's result and failures go nowhere
}

ULONG EventThread::Register(std::u16string_view name, IDispatchEx* parameters,
                            IDispatch* callback) {
    ULONG id;
    for (;;) {
        id = ++last_id_;
        CScopedLock lock(handler_lock_);
        if (id != 0 && !ids_.count(id)) break;
    }
    // A failure of the holder is raised to the caller.
    auto holder = std::make_shared<const CComGITPtr2<IDispatch>>(callback);
    auto handler = std::make_shared<const EventHandler>(id, std::u16string(name),
                                                        ReadFilter(parameters), std::move(holder));
    CScopedLock lock(register_lock_);
    register_queue_.push_back(std::move(handler));
    wake_event_.Set();
    return id;
}

void EventThread::Raise(std::u16string_view name, IDispatchEx* parameters) {
    RaisedEvent event{std::u16string(name), nullptr};
    if (parameters) event.parameters = std::make_shared<const CComGITPtr2<IDispatchEx>>(parameters);
    CScopedLock lock(raise_lock_);
    raise_queue_.push_back(std::move(event));
    wake_event_.Set();
}

void EventThread::UnRegister(ULONG id) {
    {
        // A wake takes unregistrations before registrations: one whose registration still
        // waits would find nothing to remove, and the handler would then be live for good.
        // Looked at before the unregistration is queued, so that a registration taken in
        // between is in the tables by the time the unregistration is processed.
        CScopedLock lock(register_lock_);
        if (std::any_of(register_queue_.begin(), register_queue_.end(),
                        [&](const auto& handler) { return handler->id() == id; }))
            withdrawn_.push_back(id);
    }
    CScopedLock lock(unregister_lock_);
    unregister_queue_.push_back(id);
    wake_event_.Set();
}

void EventThread::Clear() {
    // Taken in the order the event thread nests them (a queue's lock, then the handler lock).
    std::deque<ULONG> unregistrations;
    std::deque<RaisedEvent> raises;
    std::deque<std::shared_ptr<const EventHandler>> registrations;
    std::map<std::u16string, HandlerMap> names;
    {
        CScopedLock unregister(unregister_lock_);
        unregistrations.swap(unregister_queue_);
        CScopedLock handlers(handler_lock_);
        ids_.clear();
        names.swap(names_);
    }
    {
        CScopedLock raise(raise_lock_);
        raises.swap(raise_queue_);
    }
    {
        CScopedLock reg(register_lock_);
        registrations.swap(register_queue_);
        withdrawn_.clear();
    }
    // The cross-thread holders are revoked here, outside every lock.
}

std::size_t EventThread::HandlerCount(std::u16string_view name) {
    CScopedLock lock(handler_lock_);
    auto it = names_.find(KeyOf(name));
    return it == names_.end() ? 0 : it->second.size();
}

DWORD EventThread::Run() {
    for (;;) {
        const DWORD which = stop_event_.WaitEither(wake_event_, INFINITE);
        if (which == WAIT_OBJECT_0) return 0;
        if (which != WAIT_OBJECT_0 + 1) return which;
        ProcessUnregistrations();
        ProcessRaises();
        ProcessRegistrations();
    }
}

void EventThread::ProcessUnregistrations() {
    CScopedLock queue(unregister_lock_);
    for (ULONG id : unregister_queue_) {
        std::shared_ptr<const EventHandler> gone;  // released after the handler lock
        CScopedLock lock(handler_lock_);
        auto known = ids_.find(id);
        if (known == ids_.end()) continue;
        auto handlers = names_.find(known->second);
        if (handlers == names_.end()) continue;
        auto it = handlers->second.find(static_cast<LONG>(id));
        if (it == handlers->second.end()) continue;
        gone = std::move(it->second);
        handlers->second.erase(it);
        if (handlers->second.empty()) names_.erase(handlers);
    }
    unregister_queue_.clear();
}

void EventThread::ProcessRaises() {
    // Only the events raised before this wake: one raised later waits for the next wake, so an
    // unregistration queued before it has taken effect by then.
    std::deque<RaisedEvent> raises;
    {
        CScopedLock lock(raise_lock_);
        raises.swap(raise_queue_);
    }
    for (const RaisedEvent& event : raises) {
        // A shut-down does not wait for a long queue to drain.
        if (StopRequested()) return;
        Deliver(event);
    }
}

void EventThread::Deliver(const RaisedEvent& event) {
    std::vector<std::shared_ptr<const EventHandler>> handlers;
    {
        CScopedLock lock(handler_lock_);
        auto it = names_.find(KeyOf(event.name));
        if (it == names_.end()) return;
        handlers.reserve(it->second.size());
        for (const auto& entry : it->second)
            handlers.push_back(entry.second);
    }
    // Fetched once, and only when some handler has a filter to test.
    ComPtr<IDispatchEx> parameters;
    bool fetched = !event.parameters;
    for (const auto& handler : handlers) {
        if (event.parameters && !handler->filter().empty()) {
            if (!fetched) {
                parameters = event.parameters->Get();
                fetched = true;
            }
            if (!handler->Matches(parameters.get())) continue;
        }
        // Out of memory for the task: this call is lost, the bus goes on.
        StatusOf([&] { handler->Call(event.parameters); });
    }
}

void EventThread::ProcessRegistrations() {
    CScopedLock queue(register_lock_);
    for (auto& handler : register_queue_) {
        CScopedLock lock(handler_lock_);
        std::u16string key = KeyOf(handler->name());
        // A withdrawn registration only keeps its ID from being handed out again.
        if (std::find(withdrawn_.begin(), withdrawn_.end(), handler->id()) == withdrawn_.end())
            names_[key].emplace(static_cast<LONG>(handler->id()), handler);
        ids_[handler->id()] = std::move(key);
    }
    register_queue_.clear();
    withdrawn_.clear();
}
