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
class PacketTimeOutTimer : public TimerBase {
  public:
    // Counts one transmission off; while some remain, doubles the wait and queues the packet to
    // the port named by PortMask again. False when there is nothing more to send, no Global, or
    // no such port.
    bool Retry();
    // Drops the packet and the handler (both are the filter that owns this timer).
    void LetGo();

    ref<PacketBase> Packet() const;
    void SetPacket(ref<PacketBase> packet);

    std::atomic<DWORD> PortMask{0xFFFFFFFF};
    std::atomic<LONG> RemainingRetries{0};
    std::atomic<LONG> CurrentTimeout{0};
    // The exchange the timer belongs to; a timer of an earlier one does nothing when it fires.
    std::atomic<ULONG> Exchange{0};

  private:
    mutable CCriticalSectionEx lock_;
    ref<PacketBase> packet_;
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
};
