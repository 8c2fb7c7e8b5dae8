#include "network/packet_with_response_object.h"

#include <utility>

#include "platform/boundary.h"

CPacketWithResponse::CPacketWithResponse() {
    members_.set_expandable(true);
}

HRESULT CPacketWithResponse::FinalConstruct() {
    return StatusOf([&] {
        ref<COMFilterWithResponse> internal(new COMFilterWithResponse(
            COMFilterWithResponse::kDefaultRetries, COMFilterWithResponse::kDefaultTimeoutMs));
        internal->Reset();
        internal->DestinationPorts = 1;
        ComPtr<CPacketFilter> filter_face;
        HRESULT hr = MakeComObject(&filter_face);
        if (FAILED(hr)) return hr;
        filter_face->Wrap(internal);
        ComPtr<CPacketOb> packet_face;
        hr = MakeComObject(&packet_face, static_cast<PacketBase*>(internal.get()),
                           CPacketOb::Unrecorded{});
        if (FAILED(hr)) return hr;
        internal->SetOwner(FilterSelf());
        RecordOwnPacket(*internal, this);
        ObjectLock lock(this);
        internal_ = std::move(internal);
        filter_face_ = std::move(filter_face);
        packet_face_ = std::move(packet_face);
        return S_OK;
    });
}

void CPacketWithResponse::FinalRelease() {
    Drop();
}

HRESULT CPacketWithResponse::Destroy() {
    // Letting go of the Owner may release the last other reference to this object.
    ComPtr<IUnknown> self(GetUnknown());
    Drop();
    return S_OK;
}

void CPacketWithResponse::Drop() {
    ref<COMFilterWithResponse> internal;
    ComPtr<CPacketFilter> filter_face;
    ComPtr<CPacketOb> packet_face;
    {
        ObjectLock lock(this);
        internal = std::move(internal_);
        filter_face = std::move(filter_face_);
        packet_face = std::move(packet_face_);
    }
    if (!internal) return;
    DropPacketRecord(*internal, this);
    internal->Abandon();
    if (internal->Owner().get() == FilterSelf()) internal->SetOwner(nullptr);
}

ref<COMFilterWithResponse> CPacketWithResponse::Internal() {
    ObjectLock lock(this);
    return internal_;
}

ComPtr<IDispatch> CPacketWithResponse::Retain() noexcept {
    ComPtr<IDispatch> object;
    if (TryAddRef()) object.Attach(PacketSelf());
    return object;
}

ComPtr<IPacket> CPacketWithResponse::BytesFace() {
    ObjectLock lock(this);
    return ComPtr<IPacket>(packet_face_.get());
}

template <class Action>
HRESULT CPacketWithResponse::OnFilter(Action call) {
    ComPtr<CPacketFilter> face;
    {
        ObjectLock lock(this);
        face = filter_face_;
    }
    return face ? call(*face) : E_FAIL;
}

template <class Action>
HRESULT CPacketWithResponse::OnPacket(Action call) {
    ComPtr<CPacketOb> face;
    {
        ObjectLock lock(this);
        face = packet_face_;
    }
    return face ? call(*face) : E_FAIL;
}

// ---- Own members ----

namespace {

HRESULT GetNumber(const ref<COMFilterWithResponse>& internal,
                  std::atomic<LONG> COMFilterWithResponse::*field, LONG* out) {
    if (!internal) return E_FAIL;
    if (!out) return E_POINTER;
    *out = ((*internal).*field).load();
    return S_OK;
}

HRESULT PutNumber(const ref<COMFilterWithResponse>& internal,
                  std::atomic<LONG> COMFilterWithResponse::*field, LONG value) {
    if (!internal) return E_FAIL;
    ((*internal).*field).store(value);
    return S_OK;
}

}  // namespace

HRESULT CPacketWithResponse::get_Retries(LONG* pVal) {
    return GetNumber(Internal(), &COMFilterWithResponse::Retries, pVal);
}
HRESULT CPacketWithResponse::put_Retries(LONG newVal) {
    return PutNumber(Internal(), &COMFilterWithResponse::Retries, newVal);
}
HRESULT CPacketWithResponse::get_Timeout(LONG* pVal) {
    return GetNumber(Internal(), &COMFilterWithResponse::Timeout, pVal);
}
HRESULT CPacketWithResponse::put_Timeout(LONG newVal) {
    return PutNumber(Internal(), &COMFilterWithResponse::Timeout, newVal);
}

HRESULT CPacketWithResponse::get_OnTimeout(IDispatch** pVal) {
    ref<COMFilterWithResponse> internal = Internal();
    if (!internal) return E_FAIL;
    if (!pVal) return E_POINTER;
    if (*pVal) (*pVal)->Release();
    *pVal = nullptr;
    return internal->GetOnTimeout(pVal);
}

HRESULT CPacketWithResponse::put_OnTimeout(IDispatch* newVal) {
    ref<COMFilterWithResponse> internal = Internal();
    if (!internal) return E_FAIL;
    return StatusOf([&] { return internal->SetOnTimeout(newVal); });
}

HRESULT CPacketWithResponse::GetFilter(FilterBase** filter) {
    if (!filter) return E_POINTER;
    ObjectLock lock(this);
    *filter = internal_.get();
    return internal_ ? S_OK : E_FAIL;
}

HRESULT CPacketWithResponse::GetPacket(PacketBase** packet) {
    if (!packet) return E_POINTER;
    ObjectLock lock(this);
    *packet = internal_.get();
    return internal_ ? S_OK : E_FAIL;
}

// ---- Filter members ----

HRESULT CPacketWithResponse::get_DestroyNow(LONG* pVal) {
    return OnFilter([&](CPacketFilter& f) { return f.get_DestroyNow(pVal); });
}
HRESULT CPacketWithResponse::put_DestroyNow(LONG newVal) {
    return OnFilter([&](CPacketFilter& f) { return f.put_DestroyNow(newVal); });
}
HRESULT CPacketWithResponse::get_Priority(LONG* pVal) {
    return OnFilter([&](CPacketFilter& f) { return f.get_Priority(pVal); });
}
HRESULT CPacketWithResponse::put_Priority(LONG newVal) {
    return OnFilter([&](CPacketFilter& f) { return f.put_Priority(newVal); });
}
HRESULT CPacketWithResponse::get_FilterPacket(IDispatch** pVal) {
    return OnFilter([&](CPacketFilter& f) { return f.get_FilterPacket(pVal); });
}
HRESULT CPacketWithResponse::put_FilterPacket(IDispatch* newVal) {
    return OnFilter([&](CPacketFilter& f) { return f.put_FilterPacket(newVal); });
}
HRESULT CPacketWithResponse::get_MatchesPacket(IDispatch** pVal) {
    return OnFilter([&](CPacketFilter& f) { return f.get_MatchesPacket(pVal); });
}
HRESULT CPacketWithResponse::put_MatchesPacket(IDispatch* newVal) {
    return OnFilter([&](CPacketFilter& f) { return f.put_MatchesPacket(newVal); });
}
HRESULT CPacketWithResponse::get_OnFilterMatches(IDispatch** pVal) {
    return OnFilter([&](CPacketFilter& f) { return f.get_OnFilterMatches(pVal); });
}
HRESULT CPacketWithResponse::put_OnFilterMatches(IDispatch* newVal) {
    return OnFilter([&](CPacketFilter& f) { return f.put_OnFilterMatches(newVal); });
}
HRESULT CPacketWithResponse::get_OnFilterMatchFailed(IDispatch** pVal) {
    return OnFilter([&](CPacketFilter& f) { return f.get_OnFilterMatchFailed(pVal); });
}
HRESULT CPacketWithResponse::put_OnFilterMatchFailed(IDispatch* newVal) {
    return OnFilter([&](CPacketFilter& f) { return f.put_OnFilterMatchFailed(newVal); });
}
HRESULT CPacketWithResponse::get_Name(BSTR* pVal) {
    return OnFilter([&](CPacketFilter& f) { return f.get_Name(pVal); });
}
HRESULT CPacketWithResponse::put_Name(BSTR newVal) {
    return OnFilter([&](CPacketFilter& f) { return f.put_Name(newVal); });
}
HRESULT CPacketWithResponse::get_Callbacks(IGenericCollection** pVal) {
    return OnFilter([&](CPacketFilter& f) { return f.get_Callbacks(pVal); });
}
HRESULT CPacketWithResponse::get_PacketToMatch(VARIANT* pVal) {
    return OnFilter([&](CPacketFilter& f) { return f.get_PacketToMatch(pVal); });
}
HRESULT CPacketWithResponse::put_PacketToMatch(VARIANT newVal) {
    return OnFilter([&](CPacketFilter& f) { return f.put_PacketToMatch(newVal); });
}
HRESULT CPacketWithResponse::get_Enable(LONG* pVal) {
    return OnFilter([&](CPacketFilter& f) { return f.get_Enable(pVal); });
}
HRESULT CPacketWithResponse::put_Enable(LONG newVal) {
    return OnFilter([&](CPacketFilter& f) { return f.put_Enable(newVal); });
}

// ---- Packet members ----

HRESULT CPacketWithResponse::get_Item(VARIANT Index, VARIANT* pVal) {
    return OnPacket([&](CPacketOb& p) { return p.get_Item(Index, pVal); });
}
HRESULT CPacketWithResponse::put_Item(VARIANT Index, VARIANT newVal) {
    return OnPacket([&](CPacketOb& p) { return p.put_Item(Index, newVal); });
}
HRESULT CPacketWithResponse::_NewEnum(IUnknown** ppUnk) {
    return OnPacket([&](CPacketOb& p) { return p._NewEnum(ppUnk); });
}
HRESULT CPacketWithResponse::get_Count(LONG* pVal) {
    return OnPacket([&](CPacketOb& p) { return p.get_Count(pVal); });
}
HRESULT CPacketWithResponse::Add(VARIANT Ob) {
    return OnPacket([&](CPacketOb& p) { return p.Add(Ob); });
}
HRESULT CPacketWithResponse::Remove(VARIANT Index) {
    return OnPacket([&](CPacketOb& p) { return p.Remove(Index); });
}
HRESULT CPacketWithResponse::Assign(VARIANT Ob) {
    return OnPacket([&](CPacketOb& p) { return p.Assign(Ob); });
}
HRESULT CPacketWithResponse::get_PacketTime(ULONG* pVal) {
    return OnPacket([&](CPacketOb& p) { return p.get_PacketTime(pVal); });
}
HRESULT CPacketWithResponse::put_PacketTime(ULONG newVal) {
    return OnPacket([&](CPacketOb& p) { return p.put_PacketTime(newVal); });
}
HRESULT CPacketWithResponse::get_PortNumber(ULONG* pVal) {
    return OnPacket([&](CPacketOb& p) { return p.get_PortNumber(pVal); });
}
HRESULT CPacketWithResponse::put_PortNumber(ULONG newVal) {
    return OnPacket([&](CPacketOb& p) { return p.put_PortNumber(newVal); });
}
HRESULT CPacketWithResponse::GetSafeArray(LONG VarType, VARIANT* pVal) {
    return OnPacket([&](CPacketOb& p) { return p.GetSafeArray(VarType, pVal); });
}
HRESULT CPacketWithResponse::get_PacketSent(IDispatch** pVal) {
    return OnPacket([&](CPacketOb& p) { return p.get_PacketSent(pVal); });
}
HRESULT CPacketWithResponse::put_PacketSent(IDispatch* newVal) {
    return OnPacket([&](CPacketOb& p) { return p.put_PacketSent(newVal); });
}
HRESULT CPacketWithResponse::put_DestinationPorts(ULONG newVal) {
    return OnPacket([&](CPacketOb& p) { return p.put_DestinationPorts(newVal); });
}
HRESULT CPacketWithResponse::get_DestinationPorts(ULONG* pVal) {
    return OnPacket([&](CPacketOb& p) { return p.get_DestinationPorts(pVal); });
}
HRESULT CPacketWithResponse::GetByteEnum(IEnumBYTE** ppEnum) {
    return OnPacket([&](CPacketOb& p) { return p.GetByteEnum(ppEnum); });
}
HRESULT CPacketWithResponse::QuickDecode() {
    return OnPacket([&](CPacketOb& p) { return p.QuickDecode(); });
}
HRESULT CPacketWithResponse::put_Delay(ULONG newVal) {
    return OnPacket([&](CPacketOb& p) { return p.put_Delay(newVal); });
}
HRESULT CPacketWithResponse::get_Delay(ULONG* pVal) {
    return OnPacket([&](CPacketOb& p) { return p.get_Delay(pVal); });
}
HRESULT CPacketWithResponse::put_Logical(LONG newVal) {
    return OnPacket([&](CPacketOb& p) { return p.put_Logical(newVal); });
}
HRESULT CPacketWithResponse::get_Logical(LONG* pVal) {
    return OnPacket([&](CPacketOb& p) { return p.get_Logical(pVal); });
}
HRESULT CPacketWithResponse::put_Opcode(BYTE newVal) {
    return OnPacket([&](CPacketOb& p) { return p.put_Opcode(newVal); });
}
HRESULT CPacketWithResponse::get_Opcode(BYTE* pVal) {
    return OnPacket([&](CPacketOb& p) { return p.get_Opcode(pVal); });
}
HRESULT CPacketWithResponse::put_Area(LONG newVal) {
    return OnPacket([&](CPacketOb& p) { return p.put_Area(newVal); });
}
HRESULT CPacketWithResponse::get_Area(LONG* pVal) {
    return OnPacket([&](CPacketOb& p) { return p.get_Area(pVal); });
}
HRESULT CPacketWithResponse::put_Join(BYTE newVal) {
    return OnPacket([&](CPacketOb& p) { return p.put_Join(newVal); });
}
HRESULT CPacketWithResponse::get_Join(BYTE* pVal) {
    return OnPacket([&](CPacketOb& p) { return p.get_Join(pVal); });
}
HRESULT CPacketWithResponse::put_DeviceCode(BYTE newVal) {
    return OnPacket([&](CPacketOb& p) { return p.put_DeviceCode(newVal); });
}
HRESULT CPacketWithResponse::get_DeviceCode(BYTE* pVal) {
    return OnPacket([&](CPacketOb& p) { return p.get_DeviceCode(pVal); });
}
HRESULT CPacketWithResponse::put_BoxNumber(LONG newVal) {
    return OnPacket([&](CPacketOb& p) { return p.put_BoxNumber(newVal); });
}
HRESULT CPacketWithResponse::get_BoxNumber(LONG* pVal) {
    return OnPacket([&](CPacketOb& p) { return p.get_BoxNumber(pVal); });
}
HRESULT CPacketWithResponse::put_Fade(LONG newVal) {
    return OnPacket([&](CPacketOb& p) { return p.put_Fade(newVal); });
}
HRESULT CPacketWithResponse::get_Fade(LONG* pVal) {
    return OnPacket([&](CPacketOb& p) { return p.get_Fade(pVal); });
}
HRESULT CPacketWithResponse::put_Channel(LONG newVal) {
    return OnPacket([&](CPacketOb& p) { return p.put_Channel(newVal); });
}
HRESULT CPacketWithResponse::get_Channel(LONG* pVal) {
    return OnPacket([&](CPacketOb& p) { return p.get_Channel(pVal); });
}
HRESULT CPacketWithResponse::put_Sync(BYTE newVal) {
    return OnPacket([&](CPacketOb& p) { return p.put_Sync(newVal); });
}
HRESULT CPacketWithResponse::get_Sync(BYTE* pVal) {
    return OnPacket([&](CPacketOb& p) { return p.get_Sync(pVal); });
}
HRESULT CPacketWithResponse::put_Block(LONG newVal) {
    return OnPacket([&](CPacketOb& p) { return p.put_Block(newVal); });
}
HRESULT CPacketWithResponse::get_Block(LONG* pVal) {
    return OnPacket([&](CPacketOb& p) { return p.get_Block(pVal); });
}
