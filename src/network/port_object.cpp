#include "network/port_object.h"

#include "network/network_handler.h"
#include "network/packet_object.h"
#include "platform/boundary.h"

namespace {

// Received packets go on to the network-wide chain only while the library has a root object;
// after its shut-down began they end with the port's own chain.
bool GlobalExists() {
    return static_cast<bool>(CurrentGlobal::Get());
}

}  // namespace

HRESULT HandOutChain(CPacketFilters* chain, IPacketFilters** out) {
    if (!out) return E_POINTER;
    if (*out) (*out)->Release();
    *out = nullptr;
    if (!chain) return E_FAIL;
    *out = chain;
    chain->AddRef();
    return S_OK;
}

HRESULT InternalPacketOf(IDispatch* object, ref<PacketBase>* packet) {
    *packet = nullptr;
    if (!object) return S_FALSE;
    ComPtr<IPacket> script_packet;
    if (FAILED(object->QueryInterface(script_packet.put())) || !script_packet) return S_FALSE;
    _IInternalPacket* internal = nullptr;  // not counted
    if (FAILED(object->QueryInterface(&internal)) || !internal) return E_NOINTERFACE;
    PacketBase* core = nullptr;
    if (FAILED(internal->GetPacket(&core)) || !core) return E_NOINTERFACE;
    *packet = core;
    return S_OK;
}

CPort::CPort() {
    transport_.SetOwner(this);
}

CPort::~CPort() {
    // Deliver is ours: the port thread must be gone before this object is.
    transport_.ClosePort();
    transport_.SetOwner(nullptr);
    transport_.StopAndJoin();
}

HRESULT CPort::FinalConstruct() {
    HRESULT hr = CPacketFilters::Create(&in_filters_);
    if (SUCCEEDED(hr)) hr = CPacketFilters::Create(&out_filters_);
    return hr;
}

HRESULT CPort::get_PortNumber(ULONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = port_number_.load(std::memory_order_relaxed);
    return S_OK;
}

HRESULT CPort::put_PortNumber(ULONG newVal) {
    port_number_.store(newVal, std::memory_order_relaxed);
    return S_OK;
}

HRESULT CPort::Open() {
    return transport_.OpenPort(port_number_.load(std::memory_order_relaxed), PortMask()) ? S_OK
                                                                                         : E_FAIL;
}

HRESULT CPort::Close() {
    transport_.ClosePort();
    return S_OK;
}

HRESULT CPort::get_InFilters(IPacketFilters** pVal) {
    return HandOutChain(in_filters_.get(), pVal);
}

HRESULT CPort::get_OutFilters(IPacketFilters** pVal) {
    return HandOutChain(out_filters_.get(), pVal);
}

HRESULT CPort::SendPacket(IDispatch* pDispatch, LONG* pResult) {
    return StatusOf([&] {
        ref<PacketBase> packet;
        HRESULT hr = InternalPacketOf(pDispatch, &packet);
        if (FAILED(hr)) return hr;
        if (hr == S_OK) {
            const LONG result = Send(std::move(packet));
            if (pResult) *pResult = result;
            return S_OK;
        }
        packet = new PacketBase;
        hr = packet_bytes::Assign(*packet, CComVariant(pDispatch));
        if (SUCCEEDED(hr)) Send(std::move(packet));
        return hr;
    });
}

HRESULT CPort::Destroy() {
    transport_.ClosePort();
    transport_.SetOwner(nullptr);
    // Script filters may hold objects that lead back here.
    if (in_filters_) in_filters_->Destroy();
    if (out_filters_) out_filters_->Destroy();
    return S_OK;
}

LONG CPort::Send(ref<PacketBase> packet) {
    LONG consumed = 0;
    out_filters_->FilterAndPurge(packet, &consumed);
    if (!consumed) transport_.QueuePacket(std::move(packet));
    return 0;
}

void CPort::Deliver(ref<PacketBase> packet) {
    LONG consumed = 0;
    in_filters_->FilterAndPurge(packet, &consumed);
    if (consumed) return;
    if (handler_ && GlobalExists()) handler_->Incoming(std::move(packet));
}
