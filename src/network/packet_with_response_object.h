// PacketWithResponse: the script object of a packet that is the filter for its own reply. Its
// packet members (byte names included) are those of a Packet and its filter members those of a
// PacketFilter (both shown through inner objects that wrap its one internal object); Retries,
// Timeout and OnTimeout are its own.
#pragma once

#include "dispatch/dispatch_ex_impl.h"
#include "interfaces/dispatch.h"
#include "interfaces/network.h"
#include "network/com_filter_with_response.h"
#include "network/filter_object.h"
#include "network/packet_object.h"
#include "platform/com_object.h"
#include "platform/object_safety.h"

class CPacketWithResponse
    : public ComObjectRoot<CPacketWithResponse, PacketBytesDispatch<IPacketWithResponse>,
                           PacketBytesDispatch<IPacket>, _IInternalFilter, _IInternalPacket,
                           IDestroy, MyIObjectSafetyImpl>,
      public PacketScriptObject {
  public:
    CPacketWithResponse();
    // The internal object (Retries 3, Timeout 100), reset, sent to port 0 by default, with this
    // object as its filter's Owner and as its packet's script object.
    HRESULT FinalConstruct();
    void FinalRelease();

    // The object as its packet's script object (the IPacket face), unless it is already being
    // destroyed.
    ComPtr<IDispatch> Retain() noexcept override;

    // The internal object; null after Destroy.
    ref<COMFilterWithResponse> Internal();

    IDispatchExImplRaw& DispatchExMembers() override { return members_; }

    // ---- IPacketFilter ----
    HRESULT get_DestroyNow(LONG* pVal) override;
    HRESULT put_DestroyNow(LONG newVal) override;
    HRESULT get_Priority(LONG* pVal) override;
    HRESULT put_Priority(LONG newVal) override;
    HRESULT get_FilterPacket(IDispatch** pVal) override;
    HRESULT put_FilterPacket(IDispatch* newVal) override;
    HRESULT get_MatchesPacket(IDispatch** pVal) override;
    HRESULT put_MatchesPacket(IDispatch* newVal) override;
    HRESULT get_OnFilterMatches(IDispatch** pVal) override;
    HRESULT put_OnFilterMatches(IDispatch* newVal) override;
    HRESULT get_OnFilterMatchFailed(IDispatch** pVal) override;
    HRESULT put_OnFilterMatchFailed(IDispatch* newVal) override;
    HRESULT get_Name(BSTR* pVal) override;
    HRESULT put_Name(BSTR newVal) override;
    HRESULT get_Callbacks(IGenericCollection** pVal) override;
    HRESULT get_PacketToMatch(VARIANT* pVal) override;
    HRESULT put_PacketToMatch(VARIANT newVal) override;
    HRESULT get_Enable(LONG* pVal) override;
    HRESULT put_Enable(LONG newVal) override;

    // ---- IPacket ----
    HRESULT get_Item(VARIANT Index, VARIANT* pVal) override;
    HRESULT put_Item(VARIANT Index, VARIANT newVal) override;
    HRESULT _NewEnum(IUnknown** ppUnk) override;
    HRESULT get_Count(LONG* pVal) override;
    HRESULT Add(VARIANT Ob) override;
    HRESULT Remove(VARIANT Index) override;
    HRESULT Assign(VARIANT Ob) override;
    HRESULT get_PacketTime(ULONG* pVal) override;
    HRESULT put_PacketTime(ULONG newVal) override;
    HRESULT get_PortNumber(ULONG* pVal) override;
    HRESULT put_PortNumber(ULONG newVal) override;
    HRESULT GetSafeArray(LONG VarType, VARIANT* pVal) override;
    HRESULT get_PacketSent(IDispatch** pVal) override;
    HRESULT put_PacketSent(IDispatch* newVal) override;
    HRESULT put_DestinationPorts(ULONG newVal) override;
    HRESULT get_DestinationPorts(ULONG* pVal) override;
    HRESULT GetByteEnum(IEnumBYTE** ppEnum) override;
    HRESULT QuickDecode() override;
    HRESULT put_Delay(ULONG newVal) override;
    HRESULT get_Delay(ULONG* pVal) override;
    HRESULT put_Logical(LONG newVal) override;
    HRESULT get_Logical(LONG* pVal) override;
    HRESULT put_Opcode(BYTE newVal) override;
    HRESULT get_Opcode(BYTE* pVal) override;
    HRESULT put_Area(LONG newVal) override;
    HRESULT get_Area(LONG* pVal) override;
    HRESULT put_Join(BYTE newVal) override;
    HRESULT get_Join(BYTE* pVal) override;
    HRESULT put_DeviceCode(BYTE newVal) override;
    HRESULT get_DeviceCode(BYTE* pVal) override;
    HRESULT put_BoxNumber(LONG newVal) override;
    HRESULT get_BoxNumber(LONG* pVal) override;
    HRESULT put_Fade(LONG newVal) override;
    HRESULT get_Fade(LONG* pVal) override;
    HRESULT put_Channel(LONG newVal) override;
    HRESULT get_Channel(LONG* pVal) override;
    HRESULT put_Sync(BYTE newVal) override;
    HRESULT get_Sync(BYTE* pVal) override;
    HRESULT put_Block(LONG newVal) override;
    HRESULT get_Block(LONG* pVal) override;

    // ---- IPacketWithResponse ----
    HRESULT get_Retries(LONG* pVal) override;
    HRESULT put_Retries(LONG newVal) override;
    HRESULT get_Timeout(LONG* pVal) override;
    HRESULT put_Timeout(LONG newVal) override;
    HRESULT get_OnTimeout(IDispatch** pVal) override;
    HRESULT put_OnTimeout(IDispatch* newVal) override;

    // ---- IDestroy: ends the exchange and breaks the cycles with the internal object ----
    HRESULT Destroy() override;

    // ---- _IInternalFilter / _IInternalPacket ----
    HRESULT GetFilter(FilterBase** filter) override;
    HRESULT GetPacket(PacketBase** packet) override;

  private:
    IDispatch* FilterSelf() {
        return static_cast<IDispatch*>(static_cast<IPacketWithResponse*>(this));
    }
    IDispatch* PacketSelf() { return static_cast<IDispatch*>(static_cast<IPacket*>(this)); }
    // Both faces show the packet's bytes by index name, as a Packet does.
    ComPtr<IPacket> BytesFace() override;
    // Runs `call` on the inner object; E_FAIL after Destroy.
    template <class Action>
    HRESULT OnFilter(Action call);
    template <class Action>
    HRESULT OnPacket(Action call);
    // Lets go of everything the object holds.
    void Drop();

    ref<COMFilterWithResponse> internal_;
    ComPtr<CPacketFilter> filter_face_;
    ComPtr<CPacketOb> packet_face_;
    IDispatchExImplRaw members_{1};
};
