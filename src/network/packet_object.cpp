#include "network/packet_object.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/boundary.h"
#include "platform/safearray.h"
#include "platform/script_call.h"

namespace {

// Records `object` as the packet's script object in place of any other (null: none), and
// whether the record holds a reference on the packet. The caller holds the packet.
void Record(PacketBase& packet, PacketScriptObject* object, bool holds_packet) {
    if (holds_packet) packet.AddRef();
    bool released_hold = false;
    {
        CScopedLock lock(packet.Lock);
        released_hold = packet.ScriptObject && packet.ScriptObjectHoldsPacket;
        packet.ScriptObject = object;
        packet.ScriptObjectHoldsPacket = holds_packet;
    }
    if (released_hold) packet.Release();
}

}  // namespace

void DropPacketRecord(PacketBase& packet, PacketScriptObject* object) {
    bool released_hold = false;
    {
        // The test and the change in one hold of the lock: a record made meanwhile stays.
        CScopedLock lock(packet.Lock);
        if (packet.ScriptObject != object) return;
        released_hold = packet.ScriptObjectHoldsPacket;
        packet.ScriptObject = nullptr;
        packet.ScriptObjectHoldsPacket = false;
    }
    if (released_hold) packet.Release();
}

namespace {

// An index argument as I4; empty and non-numeric values are refused.
HRESULT IndexOf(const VARIANT& index, LONG* value) {
    CComVariant copy;
    if (FAILED(VariantCopyInd(&copy, &index))) return E_INVALIDARG;
    if (copy.vt == VT_EMPTY || copy.vt == VT_NULL || copy.vt == VT_ERROR) return E_INVALIDARG;
    CComVariant number;
    if (FAILED(VariantChangeType(&number, &copy, 0, VT_I4))) return E_INVALIDARG;
    *value = number.lVal;
    return S_OK;
}

bool ToByte(const VARIANT& value, BYTE* byte) {
    CComVariant converted;
    if (FAILED(VariantChangeType(&converted, &value, 0, VT_UI1))) return false;
    *byte = converted.bVal;
    return true;
}

// Makes 7 or 8 bytes an 8-byte frame with its checksum.
void CompleteFrame(std::vector<BYTE>* bytes) {
    if (bytes->size() != 7 && bytes->size() != 8) return;
    bytes->resize(8);
    (*bytes)[7] = PacketChecksum(bytes->data());
}

HRESULT EnumeratorOf(const VARIANT& value, IEnumVARIANT** enumerator) {
    if ((value.vt != VT_UNKNOWN && value.vt != VT_DISPATCH) || !value.punkVal) return E_INVALIDARG;
    HRESULT hr = value.punkVal->QueryInterface(enumerator);
    return SUCCEEDED(hr) && *enumerator ? S_OK : E_INVALIDARG;
}

HRESULT InvokeGet(IDispatch* object, DISPID dispid, VARIANT* result) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    return object->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT,
                          DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none, result, nullptr, nullptr);
}

// A script array: a "length" property and a DISPID -4 member giving an enumerator of at most
// `length` elements.
HRESULT ScriptArrayEnumerator(IDispatch* object, IEnumVARIANT** enumerator, LONG* length) {
    if (FAILED(ReadScriptArrayLength(object, length))) return E_INVALIDARG;
    CComVariant items;
    if (FAILED(InvokeGet(object, DISPID_NEWENUM, &items))) return E_INVALIDARG;
    return EnumeratorOf(items, enumerator);
}

// An enumerable: a "count" property and a "_NewEnum" member giving an enumerator of at most
// `count` elements.
HRESULT EnumerableEnumerator(IDispatch* object, IEnumVARIANT** enumerator, LONG* count) {
    if (FAILED(ReadScriptArrayLength(object, count, u"count"))) return E_INVALIDARG;
    LPOLESTR names[] = {const_cast<LPOLESTR>(u"_NewEnum")};
    DISPID dispid = DISPID_UNKNOWN;
    if (FAILED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid)))
        return E_INVALIDARG;
    CComVariant items;
    if (FAILED(InvokeGet(object, dispid, &items))) return E_INVALIDARG;
    return EnumeratorOf(items, enumerator);
}

HRESULT BytesFromObject(IDispatch* object, std::vector<BYTE>* bytes) {
    ComPtr<IEnumVARIANT> enumerator;
    LONG limit = kMaxScriptArrayLength;
    if (ComPtr<IGenericCollection> collection =
            ComPtr<IDispatch>(object).As<IGenericCollection>()) {
        ComPtr<IUnknown> items;
        HRESULT hr = collection->_NewEnum(items.put());
        if (FAILED(hr)) return hr;
        if (!items || FAILED(items->QueryInterface(enumerator.put())) || !enumerator)
            return E_INVALIDARG;
    } else {
        HRESULT hr = ScriptArrayEnumerator(object, enumerator.put(), &limit);
        if (hr == E_INVALIDARG) hr = EnumerableEnumerator(object, enumerator.put(), &limit);
        if (FAILED(hr)) return hr;
    }
    return packet_bytes::BytesFromEnumerator(enumerator.get(), static_cast<ULONG>(limit), bytes);
}

HRESULT BytesFromArray(SAFEARRAY* array, VARTYPE element, std::vector<BYTE>* bytes) {
    if (element != VT_UI1 && element != VT_VARIANT) return E_INVALIDARG;
    if (!array || SafeArrayGetDim(array) < 1) return E_INVALIDARG;
    // The first (leftmost) dimension varies fastest, so its elements come first; an array with
    // an empty dimension holds no element at all, whatever the others claim.
    size_t count = array->rgsabound[array->cDims - 1].cElements;
    for (USHORT d = 0; d < array->cDims; ++d)
        if (array->rgsabound[d].cElements == 0) count = 0;
    void* data = nullptr;
    HRESULT hr = SafeArrayAccessData(array, &data);
    if (FAILED(hr)) return hr;
    bytes->clear();
    if (element == VT_UI1) {
        const BYTE* source = static_cast<const BYTE*>(data);
        bytes->assign(source, source + count);
    } else {
        const VARIANT* source = static_cast<const VARIANT*>(data);
        BYTE previous = 0;
        for (size_t i = 0; i < count; ++i) {
            ToByte(source[i], &previous);  // a value that is no byte repeats the one before
            bytes->push_back(previous);
        }
    }
    SafeArrayUnaccessData(array);
    return S_OK;
}

bool IsDigits(std::u16string_view name) {
    if (name.empty()) return false;
    for (char16_t c : name)
        if (c < u'0' || c > u'9') return false;
    return true;
}

}  // namespace

namespace packet_bytes {

HRESULT BytesFromEnumerator(IEnumVARIANT* enumerator, ULONG limit, std::vector<BYTE>* bytes) {
    constexpr ULONG kBatch = 32;
    std::vector<BYTE> read;
    BYTE previous = 0;
    VARIANT batch[kBatch];
    for (;;) {
        // One element past the limit is enough to know the enumerator has too many.
        const ULONG wanted = std::min<ULONG>(kBatch, limit + 1 - static_cast<ULONG>(read.size()));
        ULONG fetched = 0;
        HRESULT hr = enumerator->Next(wanted, batch, &fetched);
        if (FAILED(hr)) break;
        fetched = std::min(fetched, wanted);
        for (ULONG i = 0; i < fetched; ++i) {
            ToByte(batch[i], &previous);
            read.push_back(previous);
            VariantClear(&batch[i]);
        }
        if (read.size() > limit) return E_INVALIDARG;
        if (hr != S_OK || fetched == 0) break;
    }
    CompleteFrame(&read);
    *bytes = std::move(read);
    return S_OK;
}

HRESULT Assign(PacketBase& packet, const VARIANT& value) {
    CComVariant source;
    HRESULT hr = VariantCopyInd(&source, &value);
    if (FAILED(hr)) return hr;
    std::vector<BYTE> bytes;
    if (source.vt == VT_DISPATCH) {
        if (!source.pdispVal) return E_INVALIDARG;
        hr = BytesFromObject(source.pdispVal, &bytes);
    } else if (source.vt == VT_BSTR) {
        const UINT length = SysStringByteLen(source.bstrVal);
        if (length == 0) return E_INVALIDARG;
        const BYTE* raw = reinterpret_cast<const BYTE*>(source.bstrVal);
        bytes.resize(length);
        // The string's storage as it lies in memory: two bytes per character, low byte first.
        for (UINT i = 0; i < length / 2; ++i) {
            char16_t c = source.bstrVal[i];
            bytes[2 * i] = static_cast<BYTE>(c & 0xFF);
            bytes[2 * i + 1] = static_cast<BYTE>(c >> 8);
        }
        if (length % 2) bytes[length - 1] = raw[length - 1];
    } else if (source.vt & VT_ARRAY) {
        hr = BytesFromArray(source.parray, static_cast<VARTYPE>(source.vt & VT_TYPEMASK), &bytes);
    } else {
        return E_FAIL;
    }
    if (FAILED(hr)) return hr;
    packet.AssignBytes(bytes.data(), bytes.size());
    return S_OK;
}

}  // namespace packet_bytes

CPacketOb::CPacketOb() : CPacketOb(nullptr) {}

CPacketOb::CPacketOb(PacketBase* packet) {
    if (!packet) {
        ref<COMPacket> fresh(new COMPacket);
        com_packet_ = fresh.get();
        packet_ = std::move(fresh);
        return;
    }
    packet_ = packet;
    com_packet_ = dynamic_cast<COMPacket*>(packet);
    // In place of an object recorded earlier (one being destroyed on another thread, which then
    // finds itself no longer recorded).
    Record(*packet, this, true);
}

CPacketOb::CPacketOb(PacketBase* packet, Unrecorded)
    : packet_(packet), com_packet_(dynamic_cast<COMPacket*>(packet)) {}

void CPacketOb::FinalRelease() {
    ref<PacketBase> packet = std::move(packet_);
    if (!packet) return;
    DropPacketRecord(*packet, this);
    // A packet still queued for sending loses its PacketSent function with any of its objects.
    if (com_packet_) com_packet_->PacketSent.Revoke();
    com_packet_ = nullptr;
}

HRESULT GetPacketScriptObject(PacketBase* packet, IDispatch** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!packet) return E_INVALIDARG;
    // Under the packet's lock, so that two threads never make two objects for one packet.
    CScopedLock lock(packet->Lock);
    if (packet->ScriptObject) {
        if (ComPtr<IDispatch> alive = packet->ScriptObject->Retain()) {
            *object = alive.Detach();
            return S_OK;
        }
    }
    ComPtr<CPacketOb> created;
    HRESULT hr = MakeComObject(&created, packet);
    if (FAILED(hr)) return hr;
    return created->QueryInterface(object);
}

void RecordOwnPacket(PacketBase& packet, PacketScriptObject* object) {
    Record(packet, object, false);
}

ComPtr<IDispatch> CPacketOb::Retain() noexcept {
    ComPtr<IDispatch> object;
    if (TryAddRef()) object.Attach(Self());
    return object;
}

// ---- Dispatch ----

IDispatchExImplRaw& CPacketOb::DispatchExMembers() {
    return packet_ ? packet_->Decoded.Values() : no_members_;
}

bool packet_bytes::NameToDispid(IPacket* packet, std::u16string_view name, DISPID* dispid) {
    if (!packet || !IsDigits(name) || name.size() > 9) return false;
    LONG n = 0;
    for (char16_t c : name)
        n = n * 10 + (c - u'0');
    LONG count = 0;
    if (FAILED(packet->get_Count(&count)) || n >= count || n >= kMaxByteNames) return false;
    *dispid = kFirstByteDispid + n;
    return true;
}

HRESULT packet_bytes::InvokeByte(IPacket* packet, DISPID dispid, WORD flags, DISPPARAMS* params,
                                 VARIANT* result) {
    if (!packet) return E_FAIL;
    CComVariant position(static_cast<LONG>(dispid - kFirstByteDispid));
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        if (!params || params->cArgs < 1 || !params->rgvarg) return DISP_E_BADPARAMCOUNT;
        return packet->put_Item(position, params->rgvarg[0]);
    }
    if (flags & DISPATCH_PROPERTYGET) {
        if (params && params->cArgs) return DISP_E_BADPARAMCOUNT;
        CComVariant value;
        HRESULT hr = packet->get_Item(position, &value);
        if (SUCCEEDED(hr) && result) hr = value.Detach(result);
        return hr;
    }
    return DISP_E_MEMBERNOTFOUND;
}

// ---- Bytes ----

HRESULT CPacketOb::get_Item(VARIANT Index, VARIANT* pVal) {
    ref<PacketBase> packet = packet_;
    if (!packet) return E_FAIL;
    if (!pVal) return E_POINTER;
    LONG index = 0;
    if (FAILED(IndexOf(Index, &index))) return E_INVALIDARG;
    BYTE byte = 0;
    {
        CScopedLock lock(packet->Lock);
        if (index < 0 || index >= packet->ByteCount()) return E_INVALIDARG;
        byte = packet->ByteAt(index);
    }
    VariantClear(pVal);
    pVal->vt = VT_UI1;
    pVal->bVal = byte;
    return S_OK;
}

HRESULT CPacketOb::put_Item(VARIANT Index, VARIANT newVal) {
    ref<PacketBase> packet = packet_;
    if (!packet) return E_FAIL;
    LONG index = 0;
    if (FAILED(IndexOf(Index, &index)) || index < 0 || index >= kMaxGrownPacket)
        return E_INVALIDARG;
    // Converted before the lock is taken: an object value may call into script.
    BYTE byte = 0;
    const bool converted = ToByte(newVal, &byte);
    CScopedLock lock(packet->Lock);
    if (index >= packet->ByteCount()) packet->Resize(index + 1, 0xFF);
    if (!converted) return E_INVALIDARG;  // the packet keeps its new length
    packet->SetByteAt(index, byte);
    return S_OK;
}

HRESULT CPacketOb::_NewEnum(IUnknown** ppUnk) {
    if (!packet_) return E_FAIL;
    if (ppUnk) *ppUnk = nullptr;
    return E_NOTIMPL;
}

HRESULT CPacketOb::get_Count(LONG* pVal) {
    ref<PacketBase> packet = packet_;
    if (!packet) return E_FAIL;
    if (!pVal) return E_POINTER;
    *pVal = packet->ByteCount();
    return S_OK;
}

HRESULT CPacketOb::Add(VARIANT Ob) {
    ref<PacketBase> packet = packet_;
    if (!packet) return E_FAIL;
    BYTE byte = 0;
    if (!ToByte(Ob, &byte)) return E_INVALIDARG;
    packet->AppendByte(byte);
    return S_OK;
}

HRESULT CPacketOb::Remove(VARIANT Index) {
    ref<PacketBase> packet = packet_;
    if (!packet) return E_FAIL;
    LONG index = 0;
    if (FAILED(IndexOf(Index, &index))) return E_INVALIDARG;
    CScopedLock lock(packet->Lock);
    if (index < 0 || index >= packet->ByteCount()) return E_INVALIDARG;
    packet->RemoveAt(index);
    return S_OK;
}

HRESULT CPacketOb::Assign(VARIANT Ob) {
    ref<PacketBase> packet = packet_;
    if (!packet) return E_FAIL;
    return StatusOf([&] { return packet_bytes::Assign(*packet, Ob); });
}

HRESULT CPacketOb::GetSafeArray(LONG VarType, VARIANT* pVal) {
    ref<PacketBase> packet = packet_;
    if (!packet) return E_FAIL;
    if (VarType != VT_UI1) return E_INVALIDARG;
    if (!pVal) return E_POINTER;
    CScopedLock lock(packet->Lock);
    const LONG count = packet->ByteCount();
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(count));
    if (!array) return E_OUTOFMEMORY;
    void* data = nullptr;
    HRESULT hr = SafeArrayAccessData(array, &data);
    if (FAILED(hr)) {
        SafeArrayDestroy(array);
        return hr;
    }
    packet->CopyBytes(static_cast<BYTE*>(data), count);
    SafeArrayUnaccessData(array);
    VariantClear(pVal);
    pVal->vt = VT_ARRAY | VT_UI1;
    pVal->parray = array;
    return S_OK;
}

HRESULT CPacketOb::GetByteEnum(IEnumBYTE** ppEnum) {
    if (!packet_) return E_FAIL;
    if (ppEnum) *ppEnum = nullptr;
    return E_NOTIMPL;
}

HRESULT CPacketOb::QuickDecode() {
    ref<PacketBase> packet = packet_;
    if (!packet) return E_FAIL;
    packet->DecodeHeader();
    return S_OK;
}

// ---- Transport fields ----

namespace {

template <class T, class F>
HRESULT GetField(const ref<PacketBase>& packet, T* out, F read) {
    if (!packet) return E_FAIL;
    if (!out) return E_POINTER;
    *out = read(*packet);
    return S_OK;
}

}  // namespace

HRESULT CPacketOb::get_PacketTime(ULONG* pVal) {
    return GetField(packet_, pVal, [](PacketBase& p) { return p.PacketTime; });
}

HRESULT CPacketOb::put_PacketTime(ULONG newVal) {
    if (!packet_) return E_FAIL;
    packet_->PacketTime = newVal;
    return S_OK;
}

HRESULT CPacketOb::get_PortNumber(ULONG* pVal) {
    return GetField(packet_, pVal, [](PacketBase& p) { return p.PortNumber; });
}

HRESULT CPacketOb::put_PortNumber(ULONG newVal) {
    if (!packet_) return E_FAIL;
    packet_->PortNumber = newVal;
    return S_OK;
}

HRESULT CPacketOb::get_DestinationPorts(ULONG* pVal) {
    return GetField(packet_, pVal, [](PacketBase& p) { return p.DestinationPorts; });
}

HRESULT CPacketOb::put_DestinationPorts(ULONG newVal) {
    if (!packet_) return E_FAIL;
    packet_->DestinationPorts = newVal;
    return S_OK;
}

HRESULT CPacketOb::get_Delay(ULONG* pVal) {
    return GetField(packet_, pVal, [](PacketBase& p) { return p.Delay; });
}

HRESULT CPacketOb::put_Delay(ULONG newVal) {
    if (!packet_) return E_FAIL;
    packet_->Delay = newVal;
    return S_OK;
}

HRESULT CPacketOb::get_PacketSent(IDispatch** pVal) {
    if (!packet_) return E_FAIL;
    if (!pVal) return E_POINTER;
    if (*pVal) (*pVal)->Release();
    *pVal = nullptr;
    // A plain PacketBase has no PacketSent function: it reads as none.
    if (!com_packet_ || !com_packet_->PacketSent) return S_OK;
    return com_packet_->PacketSent.CopyTo(pVal);
}

HRESULT CPacketOb::put_PacketSent(IDispatch* newVal) {
    if (!packet_) return E_FAIL;
    // A plain PacketBase cannot keep a function; clearing it there has nothing to do.
    if (!com_packet_) return newVal ? E_FAIL : S_OK;
    return newVal ? com_packet_->PacketSent.Attach(newVal) : com_packet_->PacketSent.Revoke();
}

// ---- Header fields ----

namespace {

using F = DecodedPacket::Field;

template <class T>
HRESULT GetHeader(const ref<PacketBase>& packet, F field, T* out) {
    if (!packet) return E_FAIL;
    if (!out) return E_POINTER;
    LONG value = 0;
    if (!packet->Decoded.Get(field, &value)) return DISP_E_MEMBERNOTFOUND;
    *out = static_cast<T>(value);
    return S_OK;
}

HRESULT PutHeader(const ref<PacketBase>& packet, F field, LONG value) {
    if (!packet) return E_FAIL;
    packet->Decoded.Set(field, value);
    return S_OK;
}

// Area and Join belong to logical packets, DeviceCode and BoxNumber to the others: a put needs
// Logical present with the matching value.
HRESULT PutAddress(const ref<PacketBase>& packet, F field, LONG value, bool logical) {
    if (!packet) return E_FAIL;
    const DecodedPacket& d = packet->Decoded;
    if (!d.Has(DecodedPacket::kLogical) || (d.Stored(DecodedPacket::kLogical) != 0) != logical)
        return DISP_E_MEMBERNOTFOUND;
    packet->Decoded.Set(field, value);
    return S_OK;
}

}  // namespace

HRESULT CPacketOb::put_Logical(LONG newVal) {
    if (!packet_) return E_FAIL;
    DecodedPacket& d = packet_->Decoded;
    if (!d.Has(DecodedPacket::kLogical) || d.Stored(DecodedPacket::kLogical) != newVal) {
        // The address fields of the other kind of packet no longer apply.
        d.Remove(DecodedPacket::kArea);
        d.Remove(DecodedPacket::kJoin);
        d.Remove(DecodedPacket::kBoxNumber);
        d.Remove(DecodedPacket::kDeviceCode);
    }
    d.Set(DecodedPacket::kLogical, newVal);
    return S_OK;
}

HRESULT CPacketOb::get_Logical(LONG* pVal) {
    return GetField(packet_, pVal,
                    [](PacketBase& p) { return p.Decoded.Stored(DecodedPacket::kLogical); });
}

HRESULT CPacketOb::put_Opcode(BYTE newVal) {
    return PutHeader(packet_, DecodedPacket::kOpcode, newVal);
}
HRESULT CPacketOb::get_Opcode(BYTE* pVal) {
    return GetHeader(packet_, DecodedPacket::kOpcode, pVal);
}
HRESULT CPacketOb::put_Area(LONG newVal) {
    return PutAddress(packet_, DecodedPacket::kArea, newVal, true);
}
HRESULT CPacketOb::get_Area(LONG* pVal) {
    return GetHeader(packet_, DecodedPacket::kArea, pVal);
}
HRESULT CPacketOb::put_Join(BYTE newVal) {
    return PutAddress(packet_, DecodedPacket::kJoin, newVal, true);
}
HRESULT CPacketOb::get_Join(BYTE* pVal) {
    return GetHeader(packet_, DecodedPacket::kJoin, pVal);
}
HRESULT CPacketOb::put_DeviceCode(BYTE newVal) {
    return PutAddress(packet_, DecodedPacket::kDeviceCode, newVal, false);
}
HRESULT CPacketOb::get_DeviceCode(BYTE* pVal) {
    return GetHeader(packet_, DecodedPacket::kDeviceCode, pVal);
}
HRESULT CPacketOb::put_BoxNumber(LONG newVal) {
    return PutAddress(packet_, DecodedPacket::kBoxNumber, newVal, false);
}
HRESULT CPacketOb::get_BoxNumber(LONG* pVal) {
    return GetHeader(packet_, DecodedPacket::kBoxNumber, pVal);
}
HRESULT CPacketOb::put_Fade(LONG newVal) {
    return PutHeader(packet_, DecodedPacket::kFade, newVal);
}
HRESULT CPacketOb::get_Fade(LONG* pVal) {
    // An absent fade reads as 0 (no fade).
    HRESULT hr = GetHeader(packet_, DecodedPacket::kFade, pVal);
    if (hr != DISP_E_MEMBERNOTFOUND) return hr;
    *pVal = 0;
    return S_OK;
}
HRESULT CPacketOb::put_Channel(LONG newVal) {
    return PutHeader(packet_, DecodedPacket::kChannel, newVal);
}
HRESULT CPacketOb::get_Channel(LONG* pVal) {
    return GetHeader(packet_, DecodedPacket::kChannel, pVal);
}
HRESULT CPacketOb::put_Sync(BYTE newVal) {
    return PutHeader(packet_, DecodedPacket::kSync, newVal);
}
HRESULT CPacketOb::get_Sync(BYTE* pVal) {
    return GetHeader(packet_, DecodedPacket::kSync, pVal);
}
HRESULT CPacketOb::put_Block(LONG newVal) {
    return PutHeader(packet_, DecodedPacket::kBlock, newVal);
}
HRESULT CPacketOb::get_Block(LONG* pVal) {
    return GetHeader(packet_, DecodedPacket::kBlock, pVal);
}

// ---- _IInternalPacket ----

HRESULT CPacketOb::GetPacket(PacketBase** packet) {
    if (!packet) return E_POINTER;
    *packet = packet_.get();
    return *packet ? S_OK : E_FAIL;
}
