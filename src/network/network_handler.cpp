#include "network/network_handler.h"

#include <algorithm>

#include "network/com_packet.h"
#include "network/default_filters.h"
#include "platform/boundary.h"
#include "platform/script_call.h"
#include "platform/settings_store.h"

namespace {

// The enumerator of a script array is fetched this many elements at a time.
constexpr ULONG kEnumBatch = 10;

DWORD ReadPort0Setting() {
    CRegKey key;
    DWORD number = CNetworkHandler::kDefaultPort0;
    if (key.Create(HKEY_CURRENT_USER, CNetworkHandler::kSettingsKey) != ERROR_SUCCESS)
        return number;
    // A value of another type counts as missing.
    if (key.QueryDWORDValue(CNetworkHandler::kPort0Value, number) != ERROR_SUCCESS)
        number = CNetworkHandler::kDefaultPort0;
    return number;
}

bool TakesChecksum(BYTE first) {
    return first == kLogicalPacket || first == kPhysicalPacket || first == kBlockPacket;
}

}  // namespace

CNetworkHandler::CNetworkHandler() = default;

CNetworkHandler::~CNetworkHandler() {
    // The port thread reaches Incoming and the chains: it ends before they go.
    port0_.Close();
    port0_.Transport().StopAndJoin();
}

HRESULT CNetworkHandler::Init() {
    HRESULT hr = port0_.FinalConstruct();
    if (SUCCEEDED(hr)) hr = CPacketFilters::Create(&in_filters_);
    if (SUCCEEDED(hr)) hr = CPacketFilters::Create(&out_filters_);
    if (FAILED(hr)) return hr;
    started_ = false;
    port0_.put_PortNumber(ReadPort0Setting());
    port0_.SetPortMask(kPort0Mask);
    port0_.Transport().QueueLimit = kPortQueueLimit;
    port0_.SetHandler(this);
    InstallDefaultFilters();
    return S_OK;
}

void CNetworkHandler::InstallDefaultFilters() {
    // The decoding filter that announces traffic as events heads InFilters, the join-widening
    // filter heads OutFilters, and the filter that drops long frames for other panels stands in
    // port 0's own InFilters.
    in_filters_->AppendFilter(ref<FilterBase>(new DefaultPacketFilters));
    out_filters_->AppendFilter(ref<FilterBase>(new DefaultOutgoingFilters));
    port0_.InChain().AppendFilter(ref<FilterBase>(new BlockLongFramesExceptMe));
}

void CNetworkHandler::Start() {
    port0_.Open();  // a missing device leaves the port closed; packets wait in its queue
    started_.store(true, std::memory_order_release);
}

void CNetworkHandler::Stop() {
    started_.store(false, std::memory_order_release);
    port0_.Close();
}

HRESULT CNetworkHandler::get_Port(ULONG PortNum, IPort** pVal) {
    if (!pVal) return E_POINTER;
    if (*pVal) (*pVal)->Release();
    *pVal = nullptr;
    if (!Started() || !(PortNum & port0_.PortMask())) return E_INVALIDARG;
    *pVal = static_cast<IPort*>(&port0_);
    (*pVal)->AddRef();
    return S_OK;
}

HRESULT CNetworkHandler::get_InFilters(IPacketFilters** pVal) {
    return HandOutChain(in_filters_.get(), pVal);
}

HRESULT CNetworkHandler::get_OutFilters(IPacketFilters** pVal) {
    return HandOutChain(out_filters_.get(), pVal);
}

HRESULT CNetworkHandler::SendPacket(IDispatch* pDispatch, LONG* pResult) {
    if (!Started()) return S_FALSE;
    return StatusOf([&] {
        ref<PacketBase> packet;
        HRESULT hr = InternalPacketOf(pDispatch, &packet);
        if (FAILED(hr)) return hr;
        if (hr == S_OK) {
            const BYTE result = SendInternal(std::move(packet));
            if (pResult) *pResult = result;
            return S_OK;
        }
        if (!pDispatch) return E_INVALIDARG;
        hr = PacketFromArray(pDispatch, &packet);
        if (FAILED(hr)) return hr;
        SendInternal(std::move(packet));  // not reported for arrays
        return S_OK;
    });
}

HRESULT CNetworkHandler::PacketFromArray(IDispatch* array, ref<PacketBase>* packet) {
    *packet = new PacketBase;
    // More than one long frame, or a negative count: refused before anything is read.
    LONG length = 0;
    if (FAILED(ReadScriptArrayLength(array, &length))) return E_INVALIDARG;

    DISPPARAMS none{nullptr, nullptr, 0, 0};
    CComVariant items;
    if (FAILED(array->Invoke(DISPID_NEWENUM, IID_NULL, LOCALE_USER_DEFAULT,
                             DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none, &items, nullptr,
                             nullptr)))
        return E_INVALIDARG;
    ComPtr<IEnumVARIANT> enumerator;
    if ((items.vt != VT_UNKNOWN && items.vt != VT_DISPATCH) || !items.punkVal ||
        FAILED(items.punkVal->QueryInterface(enumerator.put())) || !enumerator)
        return E_INVALIDARG;

    BYTE buffer[kMaxScriptArrayLength];
    LONG count = 0;
    BYTE previous = 0;  // an element that is no byte repeats the one before (as Packet.Assign)
    while (count < length) {
        VARIANT batch[kEnumBatch];
        for (VARIANT& v : batch)
            VariantInit(&v);
        ULONG fetched = 0;
        HRESULT hr = enumerator->Next(kEnumBatch, batch, &fetched);
        if (FAILED(hr)) break;
        fetched = std::min(fetched, kEnumBatch);
        for (ULONG i = 0; i < fetched; ++i) {
            CComVariant converted;
            if (SUCCEEDED(VariantChangeType(&converted, &batch[i], 0, VT_UI1)))
                previous = converted.bVal;
            if (count < length) buffer[count++] = previous;
            VariantClear(&batch[i]);
        }
        if (hr != S_OK || fetched == 0) break;
    }
    // A "length" beyond the elements there are would send bytes nobody gave.
    if (count < length) return E_INVALIDARG;

    (*packet)->AssignBytes(buffer, static_cast<std::size_t>(count));
    if (count == 7 && TakesChecksum(buffer[0])) {
        (*packet)->Resize(8, 0);
        (*packet)->SetByteAt(7, PacketChecksum(buffer));
    }
    return S_OK;
}

BYTE CNetworkHandler::SendInternal(ref<PacketBase> packet) {
    LONG consumed = 0;
    out_filters_->FilterAndPurge(packet, &consumed);
    if (consumed) return 1;

    if (packet->WantsResponse()) {
        // The packet is also the filter for its reply; it comes alive once it has been sent.
        dcast_ref<FilterBase> reply_filter(packet);
        if (reply_filter) {
            packet->BeginExchange();
            reply_filter->SetEnable(0);
            // Sent again while it still stands in the chain, it stays there once.
            in_filters_->AppendFilterOnce(reply_filter);
        }
    }

    // Copied before the port thread can touch the packet's transport facts.
    ref<PacketBase> copy(new COMPacket);
    copy->CopyFrom(*packet);
    if (packet->DestinationPorts & port0_.PortMask()) port0_.Send(packet);

    copy->DestinationPorts = 0;
    copy->DecodeHeader();
    return in_filters_->RunFilters(std::move(copy)) ? 1 : 0;
}

bool CNetworkHandler::QueueToPort(DWORD port_mask, ref<PacketBase> packet) {
    if (port_mask != port0_.PortMask()) return false;
    port0_.Transport().QueuePacket(std::move(packet));
    return true;
}

void CNetworkHandler::Incoming(ref<PacketBase> packet) {
    // The receiving port's bit is already gone from DestinationPorts, so with one port nothing
    // is sent back.
    if (packet->DestinationPorts & port0_.PortMask()) port0_.Send(packet);
    LONG consumed = 0;
    in_filters_->FilterAndPurge(std::move(packet), &consumed);
}

HRESULT CNetworkHandler::RewriteCall(DISPID* dispid, DISPPARAMS*, WORD*) {
    return dispid ? S_OK : E_POINTER;  // nothing is rewritten or refused
}

HRESULT CNetworkHandler::WrapResult(DISPID dispid) {
    return dispid == INetworkHandler::kDispidInFilters ||
                   dispid == INetworkHandler::kDispidOutFilters
               ? S_OK
               : E_FAIL;
}

HRESULT CNetworkHandler::Destroy() {
    port0_.Close();
    if (in_filters_) in_filters_->Destroy();
    if (out_filters_) out_filters_->Destroy();
    port0_.Destroy();
    return S_OK;
}
