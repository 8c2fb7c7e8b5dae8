#include "dispatch/member_table.h"

#include <algorithm>
#include <climits>
#include <memory>

#include "platform/boundary.h"
#include "platform/case_fold.h"
#include "platform/enum_variant.h"
#include "platform/safearray.h"
#include "platform/type_info.h"

namespace {

constexpr WORD kPut = DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF;

bool SameName(std::u16string_view a, std::u16string_view b, DWORD flags) {
    if (a.size() != b.size()) return false;
    if (flags & fdexNameCaseSensitive) return a == b;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldCase(a[i]) != FoldCase(b[i])) return false;
    return true;
}

std::u16string_view View(BSTR s) {
    return {s ? s : u"", SysStringLen(s)};
}

// The script's first argument as a member name.
HRESULT IndexName(const VARIANT& index, CComBSTR* name) {
    CComVariant text;
    HRESULT hr = VariantChangeType(&text, &index, 0, VT_BSTR);
    if (FAILED(hr)) return hr;
    name->Attach(text.bstrVal);
    text.vt = VT_EMPTY;
    return S_OK;
}

}  // namespace

DISPID FirstExpandoDispid(std::vector<DISPID> ids) {
    if (ids.empty()) return 1;
    ids.push_back(0);
    ids.push_back(0x7FFFFFFF);
    std::sort(ids.begin(), ids.end());
    DISPID best = 0;
    long long widest = -1;
    for (size_t i = 0; i + 1 < ids.size(); ++i) {
        if (ids[i] < 1) continue;
        long long gap = static_cast<long long>(ids[i + 1]) - ids[i];
        if (gap > widest) {
            widest = gap;
            best = ids[i];
        }
    }
    return best + 1;
}

DISPID FirstExpandoDispid(ITypeInfo* info) {
    std::vector<DISPID> ids;
    TYPEATTR* attr = nullptr;
    if (!info || FAILED(info->GetTypeAttr(&attr)) || !attr) return 1;
    for (UINT i = 0; i < attr->cFuncs; ++i) {
        FUNCDESC* desc = nullptr;
        if (SUCCEEDED(info->GetFuncDesc(i, &desc)) && desc) {
            ids.push_back(desc->memid);
            info->ReleaseFuncDesc(desc);
        }
    }
    info->ReleaseTypeAttr(attr);
    return FirstExpandoDispid(std::move(ids));
}

void IDispatchExImplRaw::SetFirstDispid(DISPID first) {
    if (!entries_.empty()) return;
    first_dispid_ = next_dispid_ = first;
}

IDispatchExImplRaw::Entry* IDispatchExImplRaw::Live(DISPID dispid) {
    long long index = static_cast<long long>(dispid) - first_dispid_;
    if (index < 0 || index >= static_cast<long long>(entries_.size())) return nullptr;
    Entry& e = entries_[static_cast<size_t>(index)];
    return e.deleted ? nullptr : &e;
}

const IDispatchExImplRaw::Entry* IDispatchExImplRaw::Live(DISPID dispid) const {
    return const_cast<IDispatchExImplRaw*>(this)->Live(dispid);
}

IDispatchExImplRaw::Entry* IDispatchExImplRaw::Lookup(std::u16string_view name, DWORD flags,
                                                      bool revivable) {
    Entry* deleted = nullptr;
    for (Entry& e : entries_) {
        if (!SameName(e.name, name, flags)) continue;
        if (!e.deleted) return &e;
        if (revivable && !deleted) deleted = &e;
    }
    return deleted;
}

IDispatchExImplRaw::Entry& IDispatchExImplRaw::Ensure(std::u16string_view name, DWORD flags) {
    Entry* e = Lookup(name, flags, true);
    if (e && !e->deleted) return *e;
    if (e) {
        // Revival: the entry keeps its DISPID and takes the caller's spelling and flags.
        e->value.Clear();
        e->name.assign(name);
        e->flags = flags;
        e->deleted = false;
        ++live_;
        return *e;
    }
    entries_.push_back(Entry{next_dispid_++, std::u16string(name), flags, CComVariant(), false});
    ++live_;
    return entries_.back();
}

HRESULT IDispatchExImplRaw::Resolve(std::u16string_view name, DWORD flags, DISPID* dispid) {
    if (SameName(name, u"value", 0)) {
        *dispid = DISPID_VALUE;
        return S_OK;
    }
    if (Entry* e = Lookup(name, flags, false)) {
        *dispid = e->dispid;
        return S_OK;
    }
    if (!expandable()) {
        *dispid = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }
    *dispid = Ensure(name, flags).dispid;
    return S_OK;
}

HRESULT IDispatchExImplRaw::GetIDsOfNames(LPOLESTR* names, UINT count, DISPID* dispids) {
    if (count != 1) return DISP_E_NONAMEDARGS;
    if (!names || !dispids) return E_POINTER;
    return StatusOf([&] {
        return Resolve(names[0] ? std::u16string_view(names[0]) : std::u16string_view(),
                       default_lookup_flags_, dispids);
    });
}

HRESULT IDispatchExImplRaw::GetDispID(BSTR name, DWORD flags, DISPID* dispid) {
    if (!dispid) return E_POINTER;
    return StatusOf([&] { return Resolve(View(name), flags, dispid); });
}

HRESULT IDispatchExImplRaw::Invoke(DISPID dispid, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* excepinfo, UINT* argerr) {
    if (argerr) *argerr = 0xFFFFFFFF;
    return InvokeEx(dispid, lcid, flags, params, result, excepinfo, nullptr);
}

HRESULT IDispatchExImplRaw::Store(Entry& entry, const VARIANT& value) {
    HRESULT hr = VariantCopyInd(&entry.value, &value);
    if (FAILED(hr)) {
        entry.value.Clear();
        entry.value.vt = VT_ERROR;
        entry.value.scode = hr;
    }
    return hr;
}

HRESULT IDispatchExImplRaw::NewEnum(VARIANT* result) {
    if (!result) return E_POINTER;
    VariantClear(result);
    auto names = std::make_shared<std::vector<CComVariant>>();
    names->reserve(live_);
    for (const Entry& e : entries_)
        if (!e.deleted) names->emplace_back(CComVariant(e.name.c_str()));
    IEnumVARIANT* e = nullptr;
    HRESULT hr = CEnumVariantValues::Create(std::move(names), &e);
    if (FAILED(hr)) return hr;
    result->vt = VT_UNKNOWN;
    result->punkVal = e;
    return S_OK;
}

HRESULT IDispatchExImplRaw::InvokeEx(DISPID dispid, LCID lcid, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* excepinfo, IServiceProvider*) {
    flags &= 0xFFFF;
    return StatusOf([&]() -> HRESULT {
        if (flags == 0 || flags > 12) return E_UNEXPECTED;
        const UINT argc = params ? params->cArgs : 0;
        if (argc && !params->rgvarg) return E_INVALIDARG;

        if (flags == DISPATCH_METHOD) {
            // A stored function, called as a method of this object.
            Entry* e = Live(dispid);
            if (!e) return DISP_E_MEMBERNOTFOUND;
            CComVariant function;
            HRESULT hr = VariantChangeType(&function, &e->value, 0, VT_DISPATCH);
            if (FAILED(hr)) return hr;
            if (!function.pdispVal) return DISP_E_MEMBERNOTFOUND;
            DISPPARAMS none{nullptr, nullptr, 0, 0};
            hr = function.pdispVal->Invoke(DISPID_VALUE, IID_NULL, lcid, DISPATCH_METHOD,
                                           params ? params : &none, result, excepinfo, nullptr);
            return SUCCEEDED(hr) ? S_OK : hr;
        }

        if (flags == DISPATCH_PROPERTYGET || flags == (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) {
            if (dispid == DISPID_NEWENUM) return NewEnum(result);
            if (dispid == DISPID_VALUE) {
                // The object called with an index: the member of that name, made if missing.
                if (!params || !params->rgvarg) return E_UNEXPECTED;
                if (argc != 1) return DISP_E_BADPARAMCOUNT;
                CComBSTR name;
                HRESULT hr = IndexName(params->rgvarg[0], std::addressof(name));
                if (FAILED(hr)) return hr;
                Entry& e = Ensure(name.view(), fdexNameCaseInsensitive);
                return result ? VariantCopyInd(result, &e.value) : S_OK;
            }
            Entry* e = Live(dispid);
            if (!e) return DISP_E_MEMBERNOTFOUND;
            return result ? VariantCopyInd(result, &e->value) : S_OK;
        }

        if ((flags & ~kPut) == 0) {
            if (result) VariantClear(result);
            if (!params || !params->rgvarg) return E_INVALIDARG;
            if (dispid != DISPID_VALUE) {
                if (argc != 1) return DISP_E_BADPARAMCOUNT;
                Entry* e = Live(dispid);
                if (!e) return DISP_E_MEMBERNOTFOUND;
                return Store(*e, params->rgvarg[0]);
            }
            // Indexed put: obj(name) = value. The value is the named (first) argument.
            if (argc != 2) return DISP_E_BADPARAMCOUNT;
            CComBSTR name;
            HRESULT hr = IndexName(params->rgvarg[1], std::addressof(name));
            if (FAILED(hr)) return hr;
            return Store(Ensure(name.view(), default_lookup_flags_), params->rgvarg[0]);
        }
        return E_UNEXPECTED;
    });
}

HRESULT IDispatchExImplRaw::DeleteMemberByName(BSTR name, DWORD flags) {
    if (Entry* e = Lookup(View(name), flags, false)) return DeleteMemberByDispID(e->dispid);
    return S_OK;
}

HRESULT IDispatchExImplRaw::DeleteMemberByDispID(DISPID dispid) {
    if (Entry* e = Live(dispid)) {
        e->deleted = true;
        e->value.Clear();
        --live_;
    }
    return S_OK;
}

HRESULT IDispatchExImplRaw::GetMemberProperties(DISPID dispid, DWORD, DWORD* properties) {
    if (!properties) return E_POINTER;
    *properties = 0;
    const Entry* e = Live(dispid);
    if (!e) return DISP_E_MEMBERNOTFOUND;
    *properties = e->flags;
    return S_OK;
}

HRESULT IDispatchExImplRaw::GetMemberName(DISPID dispid, BSTR* name) {
    if (!name) return E_POINTER;
    *name = nullptr;
    const Entry* e = Live(dispid);
    if (!e) return DISP_E_MEMBERNOTFOUND;
    *name = SysAllocStringLen(e->name.data(), static_cast<UINT>(e->name.size()));
    return *name ? S_OK : E_OUTOFMEMORY;
}

HRESULT IDispatchExImplRaw::GetNextDispID(DWORD, DISPID dispid, DISPID* next) {
    if (!next) return E_POINTER;
    *next = DISPID_UNKNOWN;
    size_t from = 0;
    if (dispid != DISPID_STARTENUM) {
        if (!Live(dispid)) return S_FALSE;
        from = static_cast<size_t>(static_cast<long long>(dispid) - first_dispid_) + 1;
    }
    for (size_t i = from; i < entries_.size(); ++i) {
        if (!entries_[i].deleted) {
            *next = entries_[i].dispid;
            return S_OK;
        }
    }
    return S_FALSE;
}

std::vector<std::u16string> IDispatchExImplRaw::Names() const {
    std::vector<std::u16string> names;
    names.reserve(live_);
    for (const Entry& e : entries_)
        if (!e.deleted) names.push_back(e.name);
    return names;
}

HRESULT IDispatchExImplRaw::GetMemberNames(VARIANT* names) const {
    if (!names) return E_POINTER;
    VariantClear(names);
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(live_));
    if (!array) return E_OUTOFMEMORY;
    LONG at = 0;
    for (const Entry& e : entries_) {
        if (e.deleted) continue;
        CComBSTR name(std::u16string_view(e.name));
        HRESULT hr = SafeArrayPutElement(array, &at, static_cast<BSTR>(name));
        if (FAILED(hr)) {
            SafeArrayDestroy(array);
            return hr;
        }
        ++at;
    }
    names->vt = VT_ARRAY | VT_BSTR;
    names->parray = array;
    return S_OK;
}

DISPID IDispatchExImplRaw::Find(std::u16string_view name, DWORD flags) const {
    Entry* e = const_cast<IDispatchExImplRaw*>(this)->Lookup(name, flags, false);
    return e ? e->dispid : DISPID_UNKNOWN;
}

HRESULT IDispatchExImplRaw::SetValue(std::u16string_view name, const VARIANT& value,
                                     DISPID* dispid) {
    return StatusOf([&] {
        Entry& e = Ensure(name, default_lookup_flags_);
        if (dispid) *dispid = e.dispid;
        return Store(e, value);
    });
}

HRESULT IDispatchExImplRaw::GetValue(DISPID dispid, VARIANT* value) const {
    if (!value) return E_POINTER;
    const Entry* e = Live(dispid);
    if (!e) return DISP_E_MEMBERNOTFOUND;
    return VariantCopyInd(value, &e->value);
}

void IDispatchExImplRaw::DeleteAll() {
    for (Entry& e : entries_)
        if (!e.deleted) DeleteMemberByDispID(e.dispid);
}
