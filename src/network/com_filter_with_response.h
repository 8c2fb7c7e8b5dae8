// A packet that is also the filter for its own reply. Sent through the network handler, it joins
// InFilters (disabled), comes alive once it has been written to a port, and sends itself again
// when no reply comes in time, doubling the wait each time, until its transmissions are used up.
#pragma once

#include <atomic>
#include <map>

#include "network/com_filter.h"
#include "network/com_packet.h"
#include "platform/lock.h"
#include "runtime/timer.h"

// The wait for a reply on one port: a one-shot timer that sends its packet there again.
//
// The packet and the handler are the filter that owns this timer, so the timer holds them only
// while the timer thread holds an entry for it: a retry then waits in the port's queue, which
// holds the packet, and the next transmission (or discard) starts the timer again. A timer that
// held them while idle would keep itself and its filter for ever once the packet left the queue
// some other way.
class PacketTimeOutTimer : public TimerBase {
  public:
    // (Re)starts the wait on `thread` for a reply to `packet`, told to `handler`; nothing
    // without a thread, or once the exchange has ended (LetGo).
    void Wait(ScheduleThread* thread, PacketBase& packet, TimeoutHandler* handler);
    // Counts one transmission off; while some remain, doubles the wait and queues the packet to
    // the port named by PortMask again. False when there is nothing more to send, no Global, or
    // no such port.
    bool Retry();
    // The exchange has ended: drops the packet and the handler, and the timer waits no more.
    void LetGo();
    // The thread let go of an entry; after the last one the packet and the handler go.
    void OnExpired() override;

    ref<PacketBase> Packet() const;

    std::atomic<DWORD> PortMask{0xFFFFFFFF};
    std::atomic<LONG> RemainingRetries{0};
    std::atomic<LONG> CurrentTimeout{0};
    // The exchange the timer belongs to; a timer of an earlier one does nothing when it fires.
    std::atomic<ULONG> Exchange{0};

  private:
    mutable CCriticalSectionEx lock_;
    ref<PacketBase> packet_;  // guarded by lock_, as the two below
    int entries_ = 0;         // the timer thread's entries for this timer
    bool ended_ = false;
};

class COMFilterWithResponse : public COMFilter,
                              public COMPacket,
                              public PacketListener,
                              public TimeoutHandler {
  public:
    static constexpr LONG kDefaultRetries = 3;
    static constexpr LONG kDefaultTimeoutMs = 100;

    explicit COMFilterWithResponse(LONG retries = kDefaultRetries,
                                   LONG timeout_ms = kDefaultTimeoutMs);
    ~COMFilterWithResponse() override;

    // The filter's and the packet's reset together: a filter that matches nothing (disabled)
    // until its packet has been on the wire, and this object as the packet's listener.
    void Reset() override;
    // When the chain lets go of the filter: the time-out timers go (they hold this object). The
    // pattern, the functions and the callbacks stay: they describe the reply of every exchange
    // the script starts with this object, and go with Abandon.
    void Cleanup() override;
    // The reply: no further matches, then the filter's own handling, then out of the chain.
    void OnMatch(ref<PacketBase> packet, LONG* consumed) override;

    bool WantsResponse() const override { return true; }
    // After the listener, PacketSent with the script object itself, reached from the port's
    // thread through the Owner's cross-thread holder (the script object is the Owner too).
    void OnSent() override;
    // Every send starts a fresh exchange, also after an earlier one was answered or gave up.
    void BeginExchange() override;

    // On the port's thread after each transmission: live in InFilters, and a new wait on that
    // port.
    void OnPacketSent(PacketBase& packet) override;
    // A transmission the port's full queue discarded counts as one that got no reply: the same
    // wait, so that the retries and finally OnTimeout follow (and the timer, which holds this
    // object, ends).
    void OnPacketDiscarded(PacketBase& packet, DWORD port_mask) override;
    // On the timer thread: a retry, or the end of the exchange.
    void TimedOut(TimerBase* timer) override;

    // The script object is going: the exchange ends without further calls, the timers, the
    // reply's description and OnTimeout are let go of.
    void Abandon();

    HRESULT SetOnTimeout(IDispatch* function);
    HRESULT GetOnTimeout(IDispatch** function) const;

    // Copied into each new per-port timer: the number of transmissions and the first wait.
    std::atomic<LONG> Retries;
    std::atomic<LONG> Timeout;
    std::atomic<LONG> Responded{0};

  private:
    // Cancels every timer and lets go of it.
    void DropTimers();
    // Live in InFilters, and a new wait for the reply on port `port`.
    void StartWait(PacketBase& packet, DWORD port);
    void GiveUp(PacketTimeOutTimer& timer);

    std::atomic<ULONG> exchange_{0};
    mutable CCriticalSectionEx timers_lock_;
    std::map<DWORD, ref<PacketTimeOutTimer>> port_timers_;  // guarded by timers_lock_
    CComGITPtr2<IDispatch> on_timeout_;                     // guarded by timers_lock_
    bool abandoned_ = false;                                // guarded by timers_lock_
};
