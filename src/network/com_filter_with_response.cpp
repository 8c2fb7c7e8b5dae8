#include "network/com_filter_with_response.h"

#include <utility>
#include <vector>

#include "network/call_packet_function.h"
#include "network/packet_object.h"
#include "runtime/current_global.h"

namespace {

ScheduleThread* CurrentTimerThread() {
    CurrentGlobal::Hold global = CurrentGlobal::Get();
    return global ? global->TimerThread() : nullptr;
}

}  // namespace

// ---- PacketTimeOutTimer ----

ref<PacketBase> PacketTimeOutTimer::Packet() const {
    CScopedLock lock(lock_);
    return packet_;
}

void PacketTimeOutTimer::Wait(ScheduleThread* thread, PacketBase& packet, TimeoutHandler* handler) {
    Cancel(thread);
    {
        CScopedLock lock(lock_);
        if (!thread || ended_) return;
        packet_ = ref<PacketBase>(&packet);
        ++entries_;
        // The caller holds the filter: the handler replaced here is never its last hold.
        set_handler(handler);
    }
    Start(thread);
}

void PacketTimeOutTimer::LetGo() {
    ref<PacketBase> packet;
    {
        CScopedLock lock(lock_);
        ended_ = true;
        packet = std::move(packet_);
    }
    Detach();
    // `packet` goes here, outside the lock: it may be the last hold on the filter.
}

void PacketTimeOutTimer::OnExpired() {
    ref<PacketBase> packet;
    ref<TimeoutHandler> handler = this->handler();
    {
        CScopedLock lock(lock_);
        if (entries_ > 0) --entries_;
        if (entries_ > 0) return;
        packet = std::move(packet_);
        set_handler(nullptr);
    }
    // Released outside the lock: they may be the last holds on the filter, which owns this timer.
}

bool PacketTimeOutTimer::Retry() {
    // Compared before the count goes down: the lowest count would overflow on the way.
    if (RemainingRetries.fetch_sub(1) <= 1) return false;
    const LONG doubled = WrappingProduct(CurrentTimeout.load(), 2);
    CurrentTimeout = doubled;
    set_period(doubled);
    ref<PacketBase> packet = Packet();
    if (!packet) return false;
    CurrentGlobal::Hold global = CurrentGlobal::Get();
    auto* network = global.As<NetworkServices>();
    return network && network->QueueToPort(PortMask, std::move(packet));
}

// ---- COMFilterWithResponse ----

COMFilterWithResponse::COMFilterWithResponse(LONG retries, LONG timeout_ms)
    : Retries(retries), Timeout(timeout_ms) {}

COMFilterWithResponse::~COMFilterWithResponse() = default;

void COMFilterWithResponse::Reset() {
    COMFilter::Reset();
    COMPacket::Reset();
    Enable = 0;
    Responded = 0;
    Listener = this;
}

void COMFilterWithResponse::Cleanup() {
    DropTimers();
}

void COMFilterWithResponse::Abandon() {
    {
        CScopedLock lock(timers_lock_);
        abandoned_ = true;
    }
    exchange_.fetch_add(1);
    DestroyNow = 1;
    DropTimers();
    COMFilter::Cleanup();
    CComGITPtr2<IDispatch> on_timeout;  // revoked outside the lock
    CScopedLock lock(timers_lock_);
    on_timeout = std::move(on_timeout_);
}

void COMFilterWithResponse::DropTimers() {
    std::map<DWORD, ref<PacketTimeOutTimer>> timers;
    {
        CScopedLock lock(timers_lock_);
        timers.swap(port_timers_);
    }
    ScheduleThread* thread = CurrentTimerThread();
    for (auto& [mask, timer] : timers) {
        timer->Cancel(thread);
        timer->LetGo();
    }
}

void COMFilterWithResponse::BeginExchange() {
    // The timers of an earlier exchange are let go of and ignored should they fire meanwhile.
    exchange_.fetch_add(1);
    DropTimers();
    Responded = 0;
    DestroyNow = 0;
}

void COMFilterWithResponse::OnMatch(ref<PacketBase> packet, LONG* consumed) {
    SetEnable(0);
    Responded = 1;
    COMFilter::OnMatch(std::move(packet), consumed);
    DestroyNow = 1;
}

void COMFilterWithResponse::OnSent() {
    PacketBase::OnSent();
    if (!PacketSent) return;
    ComPtr<IDispatch> self = OwnerForCall();
    if (!self) return;  // the script object is gone
    CallPacketFunction(self.get(), nullptr, PacketSent);
}

void COMFilterWithResponse::OnPacketSent(PacketBase& packet) {
    StartWait(packet, packet.PortNumber);
}

void COMFilterWithResponse::OnPacketDiscarded(PacketBase& packet, DWORD port_mask) {
    StartWait(packet, port_mask);
}

void COMFilterWithResponse::StartWait(PacketBase& packet, DWORD port) {
    ref<PacketTimeOutTimer> timer;
    {
        CScopedLock lock(timers_lock_);
        // A transmission that left the queue after the script object went starts no wait and
        // so no retry.
        if (abandoned_) return;
        ref<PacketTimeOutTimer>& slot = port_timers_[port];
        if (!slot) {
            ref<PacketTimeOutTimer> fresh(new PacketTimeOutTimer);
            fresh->Initialise();
            const LONG timeout = Timeout;
            fresh->set_period(timeout);
            fresh->CurrentTimeout = timeout;
            fresh->RemainingRetries = Retries.load();
            fresh->set_one_shot(1);
            fresh->PortMask = port;
            fresh->Exchange = exchange_.load();
            slot = std::move(fresh);
        }
        timer = slot;
    }
    SetEnable(1);
    timer->Wait(CurrentTimerThread(), packet, this);
}

void COMFilterWithResponse::TimedOut(TimerBase* fired) {
    auto* timer = dynamic_cast<PacketTimeOutTimer*>(fired);
    if (!timer || timer->Exchange != exchange_.load()) return;
    if (Responded) {
        DestroyNow = 1;
        timer->LetGo();
        return;
    }
    if (timer->Retry()) return;  // the transmission restarts the wait, doubled
    GiveUp(*timer);
}

void COMFilterWithResponse::GiveUp(PacketTimeOutTimer& timer) {
    // Kept alive for the call: the timer's references go now.
    ref<COMFilterWithResponse> self(this);
    DestroyNow = 1;
    timer.LetGo();
    ComPtr<IDispatch> function;
    {
        CScopedLock lock(timers_lock_);
        if (!on_timeout_) return;
        if (FAILED(on_timeout_.CopyTo(function.put())) || !function) return;
    }
    // The script object itself is the argument and `this`, reached from this thread through
    // its holder.
    ComPtr<IDispatch> owner = OwnerForCall();
    if (!owner) return;  // the script object is gone
    CallPacketFunction(owner.get(), nullptr, function.get(), owner.get());  // errors ignored
}

HRESULT COMFilterWithResponse::SetOnTimeout(IDispatch* function) {
    CComGITPtr2<IDispatch> holder;
    if (function) {
        HRESULT hr = holder.Attach(function);
        if (FAILED(hr)) return hr;
    }
    // The old function's registration goes with `holder`, after the lock is let go of.
    CScopedLock lock(timers_lock_);
    std::swap(on_timeout_, holder);
    return S_OK;
}

HRESULT COMFilterWithResponse::GetOnTimeout(IDispatch** function) const {
    if (!function) return E_POINTER;
    *function = nullptr;
    CScopedLock lock(timers_lock_);
    return on_timeout_ ? on_timeout_.CopyTo(function) : S_OK;
}
