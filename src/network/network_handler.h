// NetworkHandler: the hub of the lighting network. It owns port 0 and the two network-wide
// filter chains. Every packet sent passes OutFilters, goes to the port when its destination
// names it, and is fed back as a copy through InFilters, so the panel reacts to its own
// commands as to anyone else's; every packet received passes the port's chain, then InFilters.
//
// One instance lives inside the Global, which starts and stops it.
#pragma once

#include <atomic>

#include "interfaces/dispatch.h"
#include "interfaces/network.h"
#include "network/filter_chain.h"
#include "network/port_object.h"
#include "platform/com_object.h"
#include "platform/dispatcher.h"

class CNetworkHandler : public ComObjectRoot<CNetworkHandler, DispatchImpl<_ICNetworkHandler>,
                                             IReadOnlyTest, IDestroy> {
  public:
    // Per-user settings key and value naming the serial device of port 0 ("COM<n>:").
    static constexpr const char16_t* kSettingsKey = u"Software\\Brevanto\\Quorvane";
    static constexpr const char16_t* kPort0Value = u"Port0";
    static constexpr DWORD kDefaultPort0 = 3;
    static constexpr DWORD kPort0Mask = 1;
    static constexpr DWORD kPortQueueLimit = CComPort::kDefaultQueueLimit;

    CNetworkHandler();
    ~CNetworkHandler();
    HRESULT FinalConstruct() { return Init(); }
    // Makes the chains and sets port 0 up from the "Port0" setting. An embedding owner calls
    // it itself.
    HRESULT Init();

    // Opens port 0 (a device that cannot be opened leaves it closed), then counts as started.
    void Start();
    // No longer started, then port 0 closes.
    void Stop();
    bool Started() const { return started_.load(std::memory_order_acquire); }

    // ---- INetworkHandler ----
    // Port 0 for any mask with its bit, only while started.
    HRESULT get_Port(ULONG PortNum, IPort** pVal) override;
    HRESULT get_InFilters(IPacketFilters** pVal) override;
    HRESULT get_OutFilters(IPacketFilters** pVal) override;
    // A Packet is sent itself, and *pResult gets SendInternal's answer; a script array of bytes
    // becomes a new packet (seven bytes of a 0x1C, 0x5C or 0x6C frame get their checksum).
    // S_FALSE and nothing sent while not started.
    HRESULT SendPacket(IDispatch* pDispatch, LONG* pResult) override;

    // ---- Library entries ----
    // On the caller's thread: OutFilters, the reply filter of a packet with response, port 0's
    // Send, then a decoded copy through InFilters. 1 when a filter consumed the packet or the
    // copy, else 0.
    BYTE SendInternal(ref<PacketBase> packet);
    // Queues the packet to the port whose mask is `port_mask` (no OutFilters); false when
    // there is no such port.
    bool QueueToPort(DWORD port_mask, ref<PacketBase> packet);
    // On the port thread, for each received packet the port's own chain let through.
    void Incoming(ref<PacketBase> packet);

    CPort& Port0() { return port0_; }
    CPacketFilters& InFilters() { return *in_filters_; }
    CPacketFilters& OutFilters() { return *out_filters_; }

    // ---- IReadOnlyTest: the chains handed to a page come wrapped in its context ----
    HRESULT RewriteCall(DISPID* dispid, DISPPARAMS* params, WORD* flags) override;
    HRESULT WrapResult(DISPID dispid) override;

    // ---- IDestroy: closes port 0, empties both chains and shuts the port object down ----
    HRESULT Destroy() override;

  private:
    // The built-in filters at the head of each chain.
    void InstallDefaultFilters();
    // The bytes of a script array (its "length" and its DISPID -4 enumerator) into a packet.
    HRESULT PacketFromArray(IDispatch* array, ref<PacketBase>* packet);

    ComObjectEmbedded<CPort> port0_;
    // Made by Init and kept for the handler's lifetime: the port thread and every sender read
    // them without a lock.
    ComPtr<CPacketFilters> in_filters_;
    ComPtr<CPacketFilters> out_filters_;
    std::atomic<bool> started_{false};
};
