#include "network/filter_object.h"

#include <string>

#include "platform/boundary.h"
#include "platform/safearray.h"
#include "platform/script_call.h"

namespace filter_pattern {

HRESULT ToArray(const FilterBase::Pattern& pattern, VARIANT* array) {
    SAFEARRAY* out = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(pattern.size()));
    if (!out) return E_FAIL;
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(out, &data))) {
        SafeArrayDestroy(out);
        return E_FAIL;
    }
    VARIANT* elements = static_cast<VARIANT*>(data);
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] < 256) {
            elements[i].vt = VT_UI1;
            elements[i].bVal = static_cast<BYTE>(pattern[i]);
        }  // a wildcard stays empty
    }
    SafeArrayUnaccessData(out);
    VariantClear(array);
    array->vt = VT_ARRAY | VT_VARIANT;
    array->parray = out;
    return S_OK;
}

HRESULT FromScriptArray(const VARIANT& value, FilterBase& filter) {
    CComVariant object;
    if (FAILED(VariantChangeType(&object, &value, 0, VT_DISPATCH)) || !object.pdispVal)
        return E_FAIL;
    LONG count = 0;
    if (FAILED(ReadScriptArrayLength(object.pdispVal, &count))) return E_FAIL;
    FilterBase::Pattern pattern;
    for (LONG i = 0; i < count; ++i) {
        std::u16string name;
        for (char c : std::to_string(i))
            name.push_back(static_cast<char16_t>(c));
        CComVariant element;
        // A hole in the array adds nothing: later elements move forward.
        if (FAILED(ReadScriptProperty(object.pdispVal, name.c_str(), &element))) continue;
        CComVariant byte;
        if (element.vt != VT_EMPTY && element.vt != VT_NULL &&
            SUCCEEDED(VariantChangeType(&byte, &element, 0, VT_UI1)))
            pattern.push_back(byte.bVal);
        else
            pattern.push_back(FilterBase::kAnyByte);  // empty, null, out of range, not numeric
    }
    filter.SetPattern(std::move(pattern));
    return count >= 1 ? S_OK : E_FAIL;
}

}  // namespace filter_pattern

CPacketFilter::CPacketFilter() {
    DispatchExMembers().set_expandable(true);
}

HRESULT CPacketFilter::FinalConstruct() {
    ref<COMFilter> filter(new COMFilter);
    filter->Reset();
    filter->SetOwner(Self());
    ObjectLock lock(this);
    filter_ = std::move(filter);
    return S_OK;
}

void CPacketFilter::FinalRelease() {
    DropFilter();
}

void CPacketFilter::Wrap(ref<COMFilter> filter) {
    DropFilter();
    ObjectLock lock(this);
    filter_ = std::move(filter);
}

ref<COMFilter> CPacketFilter::Filter() {
    ObjectLock lock(this);
    return filter_;
}

HRESULT CPacketFilter::Destroy() {
    // Letting go of the Owner may release the last other reference to this object.
    ComPtr<IUnknown> self(GetUnknown());
    DropFilter();
    return S_OK;
}

void CPacketFilter::DropFilter() {
    ref<COMFilter> filter;  // keeps the filter alive while it lets go of its Owner
    {
        ObjectLock lock(this);
        filter = std::move(filter_);
    }
    if (filter && filter->Owner().get() == Self()) filter->SetOwner(nullptr);
}

HRESULT CPacketFilter::GetFilter(FilterBase** filter) {
    if (!filter) return E_POINTER;
    ObjectLock lock(this);
    *filter = filter_.get();
    return filter_ ? S_OK : E_FAIL;
}

// ---- Flags ----

namespace {

HRESULT GetFlag(const ref<COMFilter>& filter, std::atomic<LONG> FilterBase::*flag, LONG* out) {
    if (!filter) return E_FAIL;
    if (!out) return E_POINTER;
    *out = ((*filter).*flag).load();
    return S_OK;
}

HRESULT PutFlag(const ref<COMFilter>& filter, std::atomic<LONG> FilterBase::*flag, LONG value) {
    if (!filter) return E_FAIL;
    ((*filter).*flag).store(value);
    return S_OK;
}

}  // namespace

HRESULT CPacketFilter::get_DestroyNow(LONG* pVal) {
    return GetFlag(Filter(), &FilterBase::DestroyNow, pVal);
}
HRESULT CPacketFilter::put_DestroyNow(LONG newVal) {
    return PutFlag(Filter(), &FilterBase::DestroyNow, newVal);
}
HRESULT CPacketFilter::get_Priority(LONG* pVal) {
    return GetFlag(Filter(), &FilterBase::Priority, pVal);
}
HRESULT CPacketFilter::put_Priority(LONG newVal) {
    return PutFlag(Filter(), &FilterBase::Priority, newVal);
}
HRESULT CPacketFilter::get_Enable(LONG* pVal) {
    return GetFlag(Filter(), &FilterBase::Enable, pVal);
}
HRESULT CPacketFilter::put_Enable(LONG newVal) {
    ref<COMFilter> filter = Filter();
    if (!filter) return E_FAIL;
    filter->SetEnable(newVal);
    return S_OK;
}

// ---- Functions ----

HRESULT CPacketFilter::GetFunction(COMFilter::Function which, IDispatch** pVal) {
    ref<COMFilter> filter = Filter();
    if (!filter) return E_FAIL;
    if (!pVal) return E_POINTER;
    if (*pVal) (*pVal)->Release();
    *pVal = nullptr;
    return filter->GetFunction(which, pVal);
}

HRESULT CPacketFilter::PutFunction(COMFilter::Function which, IDispatch* newVal) {
    ref<COMFilter> filter = Filter();
    if (!filter) return E_FAIL;
    return filter->SetFunction(which, newVal);
}

HRESULT CPacketFilter::get_FilterPacket(IDispatch** pVal) {
    return GetFunction(COMFilter::Function::kFilterPacket, pVal);
}
HRESULT CPacketFilter::put_FilterPacket(IDispatch* newVal) {
    return PutFunction(COMFilter::Function::kFilterPacket, newVal);
}
HRESULT CPacketFilter::get_MatchesPacket(IDispatch** pVal) {
    return GetFunction(COMFilter::Function::kMatchesPacket, pVal);
}
HRESULT CPacketFilter::put_MatchesPacket(IDispatch* newVal) {
    return PutFunction(COMFilter::Function::kMatchesPacket, newVal);
}
HRESULT CPacketFilter::get_OnFilterMatches(IDispatch** pVal) {
    return GetFunction(COMFilter::Function::kOnFilterMatches, pVal);
}
HRESULT CPacketFilter::put_OnFilterMatches(IDispatch* newVal) {
    return PutFunction(COMFilter::Function::kOnFilterMatches, newVal);
}
HRESULT CPacketFilter::get_OnFilterMatchFailed(IDispatch** pVal) {
    return GetFunction(COMFilter::Function::kOnFilterMatchFailed, pVal);
}
HRESULT CPacketFilter::put_OnFilterMatchFailed(IDispatch* newVal) {
    return PutFunction(COMFilter::Function::kOnFilterMatchFailed, newVal);
}

// ---- Name, Callbacks, pattern ----

HRESULT CPacketFilter::get_Name(BSTR* pVal) {
    ref<COMFilter> filter = Filter();
    if (!filter) return E_FAIL;
    if (!pVal) return E_POINTER;
    *pVal = filter->GetName().Detach();
    return S_OK;
}

HRESULT CPacketFilter::put_Name(BSTR newVal) {
    ref<COMFilter> filter = Filter();
    if (!filter) return E_FAIL;
    filter->SetName(newVal);
    return S_OK;
}

HRESULT CPacketFilter::get_Callbacks(IGenericCollection** pVal) {
    ref<COMFilter> filter = Filter();
    if (!filter) return E_FAIL;
    if (!pVal) return E_POINTER;
    if (*pVal) (*pVal)->Release();
    // Embedded in the filter and counted with it: the reference keeps the filter alive.
    *pVal = static_cast<IGenericCollection*>(&filter->Callbacks);
    (*pVal)->AddRef();
    return S_OK;
}

HRESULT CPacketFilter::get_PacketToMatch(VARIANT* pVal) {
    ref<COMFilter> filter = Filter();
    if (!filter) return E_FAIL;
    if (!pVal) return E_POINTER;
    return filter_pattern::ToArray(*filter->GetPattern(), pVal);
}

HRESULT CPacketFilter::put_PacketToMatch(VARIANT newVal) {
    ref<COMFilter> filter = Filter();
    if (!filter) return E_FAIL;
    return StatusOf([&] { return filter_pattern::FromScriptArray(newVal, *filter); });
}
