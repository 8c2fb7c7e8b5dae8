// Port: the script object of one serial line of the lighting bus. It contains the half-duplex
// transport, takes the frames it receives, and keeps the port's own incoming and outgoing
// filter chains, which run before the network handler's.
#pragma once

#include <atomic>

#include "interfaces/dispatch.h"
#include "interfaces/network.h"
#include "network/filter_chain.h"
#include "network/port_transport.h"
#include "platform/com_object.h"
#include "platform/dispatcher.h"

class CNetworkHandler;

// The packet inside a Packet object (S_OK), taken as it is; S_FALSE when the object is no
// Packet; E_NOINTERFACE for a Packet that does not hand out its packet.
HRESULT InternalPacketOf(IDispatch* object, ref<PacketBase>* packet);
// A chain for a property getter: the out-slot's old interface is released first.
HRESULT HandOutChain(CPacketFilters* chain, IPacketFilters** out);

class CPort : public ComObjectRoot<CPort, DispatchImpl<_ICPort>, IDestroy>, public PortOwner {
  public:
    // Not the number of any serial device: a port must be given one before it opens.
    static constexpr DWORD kNoPortNumber = 0xFFFFFFFF;

    CPort();
    ~CPort();
    // Creates the two chains. An embedding owner calls it itself.
    HRESULT FinalConstruct();

    // ---- IPort ----
    HRESULT get_PortNumber(ULONG* pVal) override;
    // Takes effect at the next Open.
    HRESULT put_PortNumber(ULONG newVal) override;
    // S_OK when the port thread runs, E_FAIL when the device could not be opened.
    HRESULT Open() override;
    HRESULT Close() override;
    HRESULT get_InFilters(IPacketFilters** pVal) override;
    HRESULT get_OutFilters(IPacketFilters** pVal) override;
    // A Packet goes as it is (its own object is the one sent); any other script object is read
    // into a new packet by the rules of Packet.Assign.
    HRESULT SendPacket(IDispatch* pDispatch, LONG* pResult) override;

    // ---- IDestroy: closes the port (nothing more is delivered) and empties its chains ----
    HRESULT Destroy() override;

    // ---- For the network handler ----
    // OutFilters, then the send queue unless a filter consumed the packet. Returns 0.
    LONG Send(ref<PacketBase> packet);
    // On the port thread: InFilters, then the handler's incoming entry while a Global exists.
    void Deliver(ref<PacketBase> packet) override;

    // The port's bit in a packet's DestinationPorts and PortNumber.
    DWORD PortMask() const { return port_mask_.load(std::memory_order_relaxed); }
    void SetPortMask(DWORD mask) { port_mask_.store(mask, std::memory_order_relaxed); }
    // The handler that takes what the port's own chain lets through; null: nobody does.
    void SetHandler(CNetworkHandler* handler) { handler_ = handler; }
    CHalfDuplexPort& Transport() { return transport_; }
    CPacketFilters& InChain() { return *in_filters_; }
    CPacketFilters& OutChain() { return *out_filters_; }

  private:
    CHalfDuplexPort transport_;
    std::atomic<DWORD> port_number_{kNoPortNumber};
    std::atomic<DWORD> port_mask_{0};
    // Set once before the port opens; read by the port thread.
    CNetworkHandler* handler_ = nullptr;
    // Made by FinalConstruct and kept for the port's lifetime, so the port thread and script
    // read them without a lock.
    ComPtr<CPacketFilters> in_filters_;
    ComPtr<CPacketFilters> out_filters_;
};
