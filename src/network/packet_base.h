// The packet that the network subsystem passes around: bytes, decoded view and send hooks.
#pragma once

#include <cstddef>

#include "network/decoded_packet.h"
#include "network/packet_listener.h"
#include "network/raw_packet.h"
#include "platform/comptr.h"
#include "platform/unknown.h"
#include "runtime/current_global.h"
#include "runtime/ref_counted.h"

// The silence a port keeps after sending a packet while there is no Global (whose PacketDelay
// counts otherwise).
inline constexpr DWORD kPacketDelayWithoutGlobal = 30;

// The delay a new packet starts with: the current Global's PacketDelay, or
// kPacketDelayWithoutGlobal while there is no Global.
DWORD CurrentPacketDelay();

// The script object that shows a packet to scripts, as the packet records it: without a
// reference, since the script object holds the packet.
class PacketScriptObject {
  public:
    // The object with a reference of the caller's own; null when its last reference has
    // already gone (it is being destroyed on another thread and will drop the record).
    virtual ComPtr<IDispatch> Retain() noexcept = 0;

  protected:
    ~PacketScriptObject() = default;
};

class PacketBase : public RawPacket, public virtual RefCounted {
  public:
    PacketBase();
    ~PacketBase() override;

    // Back to a new packet's transport facts, delay and (empty) typed fields; the bytes, the
    // last-byte time, the expected length and the named values stay.
    virtual void Reset();
    // Right after the bytes were written: tells the listener, if any.
    virtual void OnSent();
    // Packets with response answer true, and the network handler registers them as the filter
    // for their reply.
    virtual bool WantsResponse() const { return false; }
    // Called by the network handler on a packet that wants a response, each time it is sent,
    // before the handler registers it as its reply filter.
    virtual void BeginExchange() {}

    // Fills the typed header fields from the bytes. Fields a script set earlier are removed
    // first; fewer than 7 bytes leave every field absent.
    void DecodeHeader();
    // Records a transmission on the port `port_mask` that began at tick `tick`, then OnSent.
    void MarkSent(DWORD port_mask, DWORD tick);
    // The port `port_mask` discarded the packet unsent (its send queue was full): tells the
    // listener, if any.
    void MarkDiscarded(DWORD port_mask);

    DWORD Delay;
    DecodedPacket Decoded;
    // The script object wrapping this packet, not owned here (the script object's own
    // reference on the packet keeps the pair alive while it is set). Guarded by Lock: it is
    // read on the threads that pass the packet through filters while the object's last
    // release may clear it on another.
    PacketScriptObject* ScriptObject = nullptr;
    // Whether the packet holds a reference on itself for the record (a Packet object made for
    // it does; a packet with response, which is its own packet, does not). Guarded by Lock.
    bool ScriptObjectHoldsPacket = false;
    PacketListener* Listener = nullptr;
};

// What the network asks of the current Global.
class NetworkServices : public virtual GlobalService {
  public:
    // Global.PacketDelay: the delay new packets start with.
    virtual LONG PacketDelay() const = 0;
    // Global.BoxNumber: the panel's own box, to which remote commands are addressed.
    virtual LONG BoxNumber() const = 0;
    // Puts `packet` straight into the send queue of the network handler's port whose mask is
    // `port_mask`; false when there is no such port.
    virtual bool QueueToPort(DWORD port_mask, ref<PacketBase> packet) = 0;
    // The network's scheduled-event requests: act on every schedule whose EventNumber is
    // `event_number`, in collection order (enable or disable it; trigger it). Each returns how
    // many schedules it acted on.
    virtual std::size_t EnableSchedules(LONG event_number, bool enable) = 0;
    virtual std::size_t TriggerSchedules(LONG event_number) = 0;
};
