// Packet: the script-visible form of a network packet. Every byte, header field and named value
// lives in the wrapped packet, so two objects that wrap the same packet show the same data.
#pragma once

#include <string_view>

#include "dispatch/dispatch_ex_impl.h"
#include "interfaces/network.h"
#include "network/com_packet.h"
#include "platform/com_object.h"
#include "platform/object_safety.h"
#include "runtime/ref_counted.h"

// Script members index a packet's bytes by name ("2" reads byte 2) under these DISPIDs; a byte
// name exists only for indices below the packet's Count and below kMaxByteNames.
inline constexpr DISPID kFirstByteDispid = 0x30000;
inline constexpr LONG kMaxByteNames = 0x10000;
// Item puts grow a packet up to this many bytes and no further (a frame is at most 1024).
inline constexpr LONG kMaxGrownPacket = 0x10000;

// Byte names: a dispatch face of an object that shows a packet's members answers "2" as the
// packet's byte 2 (read and written through Item) before its typed and dynamic members.
namespace packet_bytes {
// The DISPID of a byte name of `packet`; false for any other name.
bool NameToDispid(IPacket* packet, std::u16string_view name, DISPID* dispid);
inline bool IsByteDispid(DISPID dispid) {
    return dispid >= kFirstByteDispid && dispid < kFirstByteDispid + kMaxByteNames;
}
// Reads or writes the byte of a byte DISPID.
HRESULT InvokeByte(IPacket* packet, DISPID dispid, WORD flags, DISPPARAMS* params, VARIANT* result);
}  // namespace packet_bytes

template <class I>
class PacketBytesDispatch : public IDispatchExImpl2<I> {
  public:
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                          DISPID* dispids) override {
        if (count == 1 && names && names[0] && dispids &&
            packet_bytes::NameToDispid(BytesFace().get(), names[0], dispids))
            return S_OK;
        return IDispatchExImpl2<I>::GetIDsOfNames(riid, names, count, lcid, dispids);
    }
    HRESULT GetDispID(BSTR name, DWORD flags, DISPID* dispid) override {
        if (name && dispid &&
            packet_bytes::NameToDispid(BytesFace().get(), {name, SysStringLen(name)}, dispid))
            return S_OK;
        return IDispatchExImpl2<I>::GetDispID(name, flags, dispid);
    }
    HRESULT Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* excepinfo, UINT* argerr) override {
        if (packet_bytes::IsByteDispid(dispid))
            return packet_bytes::InvokeByte(BytesFace().get(), dispid, flags, params, result);
        return IDispatchExImpl2<I>::Invoke(dispid, riid, lcid, flags, params, result, excepinfo,
                                           argerr);
    }
    HRESULT InvokeEx(DISPID dispid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                     EXCEPINFO* excepinfo, IServiceProvider* caller) override {
        if (packet_bytes::IsByteDispid(dispid))
            return packet_bytes::InvokeByte(BytesFace().get(), dispid, flags, params, result);
        return IDispatchExImpl2<I>::InvokeEx(dispid, lcid, flags, params, result, excepinfo,
                                             caller);
    }

  protected:
    ~PacketBytesDispatch() = default;
    // The Packet face whose bytes the names stand for; null when there is none.
    virtual ComPtr<IPacket> BytesFace() = 0;
};

class CPacketOb : public ComObjectRoot<CPacketOb, PacketBytesDispatch<IPacket>, _IInternalPacket,
                                       MyIObjectSafetyImpl, IMarshal>,
                  public PacketScriptObject {
  public:
    // A script-created packet: a new COMPacket, not recorded as that packet's script object.
    CPacketOb();
    // The library's object for an existing packet, recorded as its script object (the packet
    // then holds one extra reference on itself until this object's final release).
    explicit CPacketOb(PacketBase* packet);
    // Shows the members of a packet that has a script object of its own (which forwards its
    // packet members here); not recorded on the packet.
    struct Unrecorded {};
    CPacketOb(PacketBase* packet, Unrecorded);
    void FinalRelease();

    // The recorded object, unless it is already being destroyed.
    ComPtr<IDispatch> Retain() noexcept override;

    // The wrapped packet (never null while the object lives).
    ref<PacketBase> Packet() const { return packet_; }

    // ---- IDispatchEx: the packet's named values after its byte names and typed members ----
    IDispatchExImplRaw& DispatchExMembers() override;

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

    // ---- _IInternalPacket ----
    // The wrapped packet, without a reference.
    HRESULT GetPacket(PacketBase** packet) override;

  private:
    IDispatch* Self() { return static_cast<IDispatch*>(static_cast<IPacket*>(this)); }
    ComPtr<IPacket> BytesFace() override { return ComPtr<IPacket>(this); }

    ref<PacketBase> packet_;
    COMPacket* com_packet_ = nullptr;  // packet_ when it is a COMPacket
    IDispatchExImplRaw no_members_;    // stands in should the packet be gone
};

// The packet's script object: the recorded one, or a new CPacketOb recorded on the packet.
// *object gets a reference of its own.
HRESULT GetPacketScriptObject(PacketBase* packet, IDispatch** object);
// Ends the record of `object` on the packet if it is still the recorded one (at the object's
// final release). The caller holds the packet.
void DropPacketRecord(PacketBase& packet, PacketScriptObject* object);
// Records `object` on a packet that is its own (a packet with response): no hold on the packet.
void RecordOwnPacket(PacketBase& packet, PacketScriptObject* object);

// The byte rules of Packet.Assign, for every object that exposes packet members.
namespace packet_bytes {

// Replaces the packet's bytes from a collection, script array, enumerable, string or safe array.
HRESULT Assign(PacketBase& packet, const VARIANT& value);
// Reads all of an enumerator's values as bytes (a value that is no byte repeats the one before
// it, 0 at the start); 7 or 8 of them become an 8-byte frame with its checksum. An enumerator
// with more than `limit` values is refused with E_INVALIDARG, `bytes` unchanged.
HRESULT BytesFromEnumerator(IEnumVARIANT* enumerator, ULONG limit, std::vector<BYTE>* bytes);

}  // namespace packet_bytes
