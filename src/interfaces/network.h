// Interfaces of the lighting network: packets, filters, match functions, packets with response,
// default packets, the port and the network handler.
#pragma once

#include "interfaces/dispatch.h"
#include "interfaces/ids.h"
#include "platform/type_info.h"
#include "platform/unknown.h"

class PacketBase;
class FilterBase;

// Declared in the type library, never handed out.
struct IEnumBYTE : IUnknown {
    static constexpr IID kIid = brevanto_ids::Make(0x20);
    static const InterfaceDesc& Describe();
    virtual HRESULT Next(ULONG celt, BYTE* rgelt, ULONG* pceltFetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumBYTE** ppenum) = 0;

  protected:
    ~IEnumBYTE() = default;
};

struct IPacket : IDispatchEx {
    static constexpr IID kIid = brevanto_ids::Make(0x21);
    using Base = IDispatchEx;
    static const InterfaceDesc& Describe();
    virtual HRESULT get_Item(VARIANT Index, VARIANT* pVal) = 0;
    virtual HRESULT put_Item(VARIANT Index, VARIANT newVal) = 0;
    virtual HRESULT _NewEnum(IUnknown** ppUnk) = 0;
    virtual HRESULT get_Count(LONG* pVal) = 0;
    virtual HRESULT Add(VARIANT Ob) = 0;
    virtual HRESULT Remove(VARIANT Index) = 0;
    virtual HRESULT Assign(VARIANT Ob) = 0;
    virtual HRESULT get_PacketTime(ULONG* pVal) = 0;
    virtual HRESULT put_PacketTime(ULONG newVal) = 0;
    virtual HRESULT get_PortNumber(ULONG* pVal) = 0;
    virtual HRESULT put_PortNumber(ULONG newVal) = 0;
    virtual HRESULT GetSafeArray(LONG VarType, VARIANT* pVal) = 0;
    virtual HRESULT get_PacketSent(IDispatch** pVal) = 0;
    virtual HRESULT put_PacketSent(IDispatch* newVal) = 0;
    virtual HRESULT put_DestinationPorts(ULONG newVal) = 0;
    virtual HRESULT get_DestinationPorts(ULONG* pVal) = 0;
    virtual HRESULT GetByteEnum(IEnumBYTE** ppEnum) = 0;
    virtual HRESULT QuickDecode() = 0;
    virtual HRESULT put_Delay(ULONG newVal) = 0;
    virtual HRESULT get_Delay(ULONG* pVal) = 0;
    virtual HRESULT put_Logical(LONG newVal) = 0;
    virtual HRESULT get_Logical(LONG* pVal) = 0;
    virtual HRESULT put_Opcode(BYTE newVal) = 0;
    virtual HRESULT get_Opcode(BYTE* pVal) = 0;
    virtual HRESULT put_Area(LONG newVal) = 0;
    virtual HRESULT get_Area(LONG* pVal) = 0;
    virtual HRESULT put_Join(BYTE newVal) = 0;
    virtual HRESULT get_Join(BYTE* pVal) = 0;
    virtual HRESULT put_DeviceCode(BYTE newVal) = 0;
    virtual HRESULT get_DeviceCode(BYTE* pVal) = 0;
    virtual HRESULT put_BoxNumber(LONG newVal) = 0;
    virtual HRESULT get_BoxNumber(LONG* pVal) = 0;
    virtual HRESULT put_Fade(LONG newVal) = 0;
    virtual HRESULT get_Fade(LONG* pVal) = 0;
    virtual HRESULT put_Channel(LONG newVal) = 0;
    virtual HRESULT get_Channel(LONG* pVal) = 0;
    virtual HRESULT put_Sync(BYTE newVal) = 0;
    virtual HRESULT get_Sync(BYTE* pVal) = 0;
    virtual HRESULT put_Block(LONG newVal) = 0;
    virtual HRESULT get_Block(LONG* pVal) = 0;

  protected:
    ~IPacket() = default;
};

// Internal identity: hands out the packet core of a Packet without a reference. The core is a
// COMPacket for packets that scripts create or receive, and a plain PacketBase for those the
// library builds (from a script array, for instance); either can be sent again.
struct _IInternalPacket {
    static constexpr IID kIid = brevanto_ids::Make(0x22);
    static constexpr bool kUncounted = true;
    virtual HRESULT GetPacket(PacketBase** packet) = 0;

  protected:
    ~_IInternalPacket() = default;
};

struct IPacketFilter : IDispatchEx {
    static constexpr IID kIid = brevanto_ids::Make(0x23);
    using Base = IDispatchEx;
    static const InterfaceDesc& Describe();
    virtual HRESULT get_DestroyNow(LONG* pVal) = 0;
    virtual HRESULT put_DestroyNow(LONG newVal) = 0;
    virtual HRESULT get_Priority(LONG* pVal) = 0;
    virtual HRESULT put_Priority(LONG newVal) = 0;
    virtual HRESULT get_FilterPacket(IDispatch** pVal) = 0;
    virtual HRESULT put_FilterPacket(IDispatch* newVal) = 0;
    virtual HRESULT get_MatchesPacket(IDispatch** pVal) = 0;
    virtual HRESULT put_MatchesPacket(IDispatch* newVal) = 0;
    virtual HRESULT get_OnFilterMatches(IDispatch** pVal) = 0;
    virtual HRESULT put_OnFilterMatches(IDispatch* newVal) = 0;
    virtual HRESULT get_OnFilterMatchFailed(IDispatch** pVal) = 0;
    virtual HRESULT put_OnFilterMatchFailed(IDispatch* newVal) = 0;
    virtual HRESULT get_Name(BSTR* pVal) = 0;
    virtual HRESULT put_Name(BSTR newVal) = 0;
    virtual HRESULT get_Callbacks(IGenericCollection** pVal) = 0;
    virtual HRESULT get_PacketToMatch(VARIANT* pVal) = 0;
    virtual HRESULT put_PacketToMatch(VARIANT newVal) = 0;
    virtual HRESULT get_Enable(LONG* pVal) = 0;
    virtual HRESULT put_Enable(LONG newVal) = 0;

  protected:
    ~IPacketFilter() = default;
};

// Internal identity: hands out the filter core without a reference.
struct _IInternalFilter {
    static constexpr IID kIid = brevanto_ids::Make(0x24);
    static constexpr bool kUncounted = true;
    virtual HRESULT GetFilter(FilterBase** filter) = 0;

  protected:
    ~_IInternalFilter() = default;
};

struct IPacketFilters : IDispatch {
    static constexpr IID kIid = brevanto_ids::Make(0x25);
    static const InterfaceDesc& Describe();
    static constexpr DISPID kDispidAdd = 0xca;
    virtual HRESULT get_Count(LONG* pVal) = 0;
    virtual HRESULT Add(VARIANT Ob) = 0;
    virtual HRESULT Remove(LONG Index) = 0;

  protected:
    ~IPacketFilters() = default;
};

struct _IMatchPacket : IDispatch {
    static constexpr IID kIid = brevanto_ids::Make(0x26);
    static const InterfaceDesc& Describe();
    virtual HRESULT Match(IPacket* pPacket, IDispatch* pThis, LONG* pResult) = 0;

  protected:
    ~_IMatchPacket() = default;
};

// A filter that is also a packet: the filter members, then the packet members (without
// QuickDecode), then its own.
struct IPacketWithResponse : IPacketFilter {
    static constexpr IID kIid = brevanto_ids::Make(0x27);
    using Base = IPacketFilter;
    static const InterfaceDesc& Describe();
    virtual HRESULT get_Item(VARIANT Index, VARIANT* pVal) = 0;
    virtual HRESULT put_Item(VARIANT Index, VARIANT newVal) = 0;
    virtual HRESULT _NewEnum(IUnknown** ppUnk) = 0;
    virtual HRESULT get_Count(LONG* pVal) = 0;
    virtual HRESULT Add(VARIANT Ob) = 0;
    virtual HRESULT Remove(VARIANT Index) = 0;
    virtual HRESULT Assign(VARIANT Ob) = 0;
    virtual HRESULT get_PacketTime(ULONG* pVal) = 0;
    virtual HRESULT put_PacketTime(ULONG newVal) = 0;
    virtual HRESULT get_PortNumber(ULONG* pVal) = 0;
    virtual HRESULT put_PortNumber(ULONG newVal) = 0;
    virtual HRESULT GetSafeArray(LONG VarType, VARIANT* pVal) = 0;
    virtual HRESULT get_PacketSent(IDispatch** pVal) = 0;
    virtual HRESULT put_PacketSent(IDispatch* newVal) = 0;
    virtual HRESULT put_DestinationPorts(ULONG newVal) = 0;
    virtual HRESULT get_DestinationPorts(ULONG* pVal) = 0;
    virtual HRESULT GetByteEnum(IEnumBYTE** ppEnum) = 0;
    virtual HRESULT put_Delay(ULONG newVal) = 0;
    virtual HRESULT get_Delay(ULONG* pVal) = 0;
    virtual HRESULT put_Logical(LONG newVal) = 0;
    virtual HRESULT get_Logical(LONG* pVal) = 0;
    virtual HRESULT put_Opcode(BYTE newVal) = 0;
    virtual HRESULT get_Opcode(BYTE* pVal) = 0;
    virtual HRESULT put_Area(LONG newVal) = 0;
    virtual HRESULT get_Area(LONG* pVal) = 0;
    virtual HRESULT put_Join(BYTE newVal) = 0;
    virtual HRESULT get_Join(BYTE* pVal) = 0;
    virtual HRESULT put_DeviceCode(BYTE newVal) = 0;
    virtual HRESULT get_DeviceCode(BYTE* pVal) = 0;
    virtual HRESULT put_BoxNumber(LONG newVal) = 0;
    virtual HRESULT get_BoxNumber(LONG* pVal) = 0;
    virtual HRESULT put_Fade(LONG newVal) = 0;
    virtual HRESULT get_Fade(LONG* pVal) = 0;
    virtual HRESULT put_Channel(LONG newVal) = 0;
    virtual HRESULT get_Channel(LONG* pVal) = 0;
    virtual HRESULT put_Sync(BYTE newVal) = 0;
    virtual HRESULT get_Sync(BYTE* pVal) = 0;
    virtual HRESULT put_Block(LONG newVal) = 0;
    virtual HRESULT get_Block(LONG* pVal) = 0;
    virtual HRESULT get_Retries(LONG* pVal) = 0;
    virtual HRESULT put_Retries(LONG newVal) = 0;
    virtual HRESULT get_Timeout(LONG* pVal) = 0;
    virtual HRESULT put_Timeout(LONG newVal) = 0;
    virtual HRESULT get_OnTimeout(IDispatch** pVal) = 0;
    virtual HRESULT put_OnTimeout(IDispatch* newVal) = 0;

  protected:
    ~IPacketWithResponse() = default;
};

// The default-packet methods of Global; every argument is a VARIANT coerced by the callee.
struct IDefaultPackets : IDispatch {
    static constexpr IID kIid = brevanto_ids::Make(0x28);
    static const InterfaceDesc& Describe();
    // The DISPIDs of the default packets lie in this range.
    static constexpr DISPID kFirstDispid = 2000;
    static constexpr DISPID kLastDispid = 2010;
    virtual HRESULT SendPreset(VARIANT Area, VARIANT Join, VARIANT Preset, VARIANT Fade) = 0;
    virtual HRESULT RequestCurrentPreset(VARIANT Area, VARIANT Join, VARIANT RetryDelay) = 0;
    virtual HRESULT SetLogicalLevel(VARIANT Area, VARIANT Join, VARIANT Fade, VARIANT Channel,
                                    VARIANT Value) = 0;
    virtual HRESULT RequestLogicalLevel(VARIANT Area, VARIANT Join, VARIANT Channel) = 0;
    virtual HRESULT SetPhysicalLevel(VARIANT DC, VARIANT BN, VARIANT Fade, VARIANT Channel,
                                     VARIANT Value) = 0;
    virtual HRESULT RequestPhysicalLevel(VARIANT DC, VARIANT BN, VARIANT Channel) = 0;

  protected:
    ~IDefaultPackets() = default;
};

struct IPort : IDispatch {
    static constexpr IID kIid = brevanto_ids::Make(0x29);
    static const InterfaceDesc& Describe();
    virtual HRESULT get_PortNumber(ULONG* pVal) = 0;
    virtual HRESULT put_PortNumber(ULONG newVal) = 0;
    virtual HRESULT Open() = 0;
    virtual HRESULT Close() = 0;
    virtual HRESULT get_InFilters(IPacketFilters** pVal) = 0;
    virtual HRESULT get_OutFilters(IPacketFilters** pVal) = 0;
    virtual HRESULT SendPacket(IDispatch* pDispatch, LONG* pResult) = 0;

  protected:
    ~IPort() = default;
};

// Hidden: the port as the network handler sees it.
struct _ICPort : IPort {
    static constexpr IID kIid = brevanto_ids::Make(0x2a);
    using Base = IPort;
    static const InterfaceDesc& Describe();

  protected:
    ~_ICPort() = default;
};

struct INetworkHandler : IDispatch {
    static constexpr IID kIid = brevanto_ids::Make(0x2b);
    static const InterfaceDesc& Describe();
    // Shared with IPort.
    static constexpr DISPID kDispidInFilters = 0x320;
    static constexpr DISPID kDispidOutFilters = 0x321;
    virtual HRESULT get_Port(ULONG PortNum, IPort** pVal) = 0;
    virtual HRESULT get_InFilters(IPacketFilters** pVal) = 0;
    virtual HRESULT get_OutFilters(IPacketFilters** pVal) = 0;
    virtual HRESULT SendPacket(IDispatch* pDispatch, LONG* pResult) = 0;

  protected:
    ~INetworkHandler() = default;
};

// Hidden: the network handler as the library sees it.
struct _ICNetworkHandler : INetworkHandler {
    static constexpr IID kIid = brevanto_ids::Make(0x2c);
    using Base = INetworkHandler;
    static const InterfaceDesc& Describe();

  protected:
    ~_ICNetworkHandler() = default;
};
