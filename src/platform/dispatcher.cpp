#include "platform/dispatcher.h"

#include <array>
#include <new>

#include "platform/boundary.h"

namespace {

constexpr WORD kCallKinds =
    DISPATCH_METHOD | DISPATCH_PROPERTYGET | DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF;
constexpr std::array<MemberKind, 4> kAllKinds{MemberKind::Method, MemberKind::Get, MemberKind::Put,
                                              MemberKind::PutRef};

// The member a call kind reaches: puts prefer a plain put, calls prefer the method.
const MemberDesc* SelectMember(const InterfaceDesc& desc, DISPID dispid, WORD flags, bool* is_put) {
    const MemberDesc* m = nullptr;
    *is_put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    if (*is_put) {
        if (flags & DISPATCH_PROPERTYPUT) m = desc.Find(dispid, MemberKind::Put);
        if (!m && (flags & DISPATCH_PROPERTYPUTREF)) m = desc.Find(dispid, MemberKind::PutRef);
    } else {
        if (flags & DISPATCH_METHOD) m = desc.Find(dispid, MemberKind::Method);
        if (!m && (flags & DISPATCH_PROPERTYGET)) m = desc.Find(dispid, MemberKind::Get);
    }
    return m;
}

// Status of a failed coercion as Invoke reports it.
HRESULT CoercionFailure(HRESULT hr) {
    if (hr == DISP_E_OVERFLOW || hr == E_OUTOFMEMORY) return hr;
    return DISP_E_TYPEMISMATCH;
}

// A script's null or undefined, also behind a by-reference variant.
bool IsNullOrEmpty(const VARIANT& value) {
    const VARIANT* v = &value;
    while (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal)
        v = v->pvarVal;
    return v->vt == VT_NULL || v->vt == VT_EMPTY;
}

// Turns one argument (null: missing) into what the member's thunk takes for parameter p.
// `temp` is an initialised VARIANT the caller clears afterwards.
HRESULT Coerce(const ParamDesc& p, VARIANT* source, VARIANT* temp, VARIANT** out, LCID lcid) {
    if (!source) {
        if (p.flags & PARAMFLAG_FHASDEFAULT) {
            HRESULT hr = VariantCopy(temp, &p.default_value);
            if (FAILED(hr)) return hr;
            if (p.vt != VT_VARIANT && temp->vt != p.vt) {
                hr = VariantChangeTypeEx(temp, temp, lcid, 0, p.vt);
                if (FAILED(hr)) return hr;
            }
        } else {
            temp->vt = VT_ERROR;
            temp->scode = DISP_E_PARAMNOTFOUND;
        }
        *out = temp;
        return S_OK;
    }
    // VARIANT parameters take the argument as given.
    if (p.vt == VT_VARIANT) {
        *out = source;
        return S_OK;
    }
    if (p.by_ref && source->vt == (VT_BYREF | p.vt)) {
        *out = source;
        return S_OK;
    }
    // An interface parameter given null or undefined gets a null pointer: that is how a script
    // clears a callback. Conversions keep refusing VT_NULL as an object.
    if (!p.by_ref && (p.vt == VT_DISPATCH || p.vt == VT_UNKNOWN) && IsNullOrEmpty(*source)) {
        temp->vt = p.vt;
        temp->punkVal = nullptr;
        *out = temp;
        return S_OK;
    }
    VARIANT* value = source;
    if (source->vt != p.vt) {
        HRESULT hr = VariantChangeTypeEx(temp, source, lcid, 0, p.vt);
        if (FAILED(hr)) return hr;
        value = temp;
    } else if (p.by_ref) {
        // The callee may write through the pointer: give it a copy of its own.
        HRESULT hr = VariantCopy(temp, source);
        if (FAILED(hr)) return hr;
        value = temp;
    }
    if (p.iid && value->punkVal) {
        // An interface of the library: the object must answer it.
        void* queried = nullptr;
        if (FAILED(value->punkVal->QueryInterface(*p.iid, &queried)) || !queried)
            return DISP_E_TYPEMISMATCH;
        VARTYPE vt = value->vt;
        VariantClear(temp);
        temp->vt = vt;
        temp->punkVal = static_cast<IUnknown*>(queried);
        value = temp;
    }
    *out = value;
    return S_OK;
}

// The coerced temporaries of one call.
class ArgumentSlots {
  public:
    explicit ArgumentSlots(size_t count) : count_(count) {
        if (count_ > kInline) {
            heap_temps_.resize(count_);
            heap_args_.resize(count_);
        }
        for (size_t i = 0; i < count_; ++i)
            VariantInit(&temps()[i]);
    }
    ~ArgumentSlots() {
        for (size_t i = 0; i < count_; ++i)
            VariantClear(&temps()[i]);
    }
    ArgumentSlots(const ArgumentSlots&) = delete;
    ArgumentSlots& operator=(const ArgumentSlots&) = delete;

    VARIANT* temps() { return count_ > kInline ? heap_temps_.data() : inline_temps_.data(); }
    VARIANT** args() { return count_ > kInline ? heap_args_.data() : inline_args_.data(); }

  private:
    static constexpr size_t kInline = 8;
    size_t count_;
    std::array<VARIANT, kInline> inline_temps_;
    std::array<VARIANT*, kInline> inline_args_{};
    std::vector<VARIANT> heap_temps_;
    std::vector<VARIANT*> heap_args_;
};

}  // namespace

HRESULT DispatchGetIDsOfNames(const InterfaceDesc& desc, LPOLESTR* names, UINT count,
                              DISPID* dispids) {
    if (count == 0) return S_OK;
    if (!names || !dispids) return E_POINTER;
    for (UINT i = 0; i < count; ++i)
        dispids[i] = DISPID_UNKNOWN;
    if (!names[0]) return DISP_E_UNKNOWNNAME;
    DISPID member = desc.FindName(names[0]);
    dispids[0] = member;
    if (member == DISPID_UNKNOWN) return DISP_E_UNKNOWNNAME;
    HRESULT hr = S_OK;
    for (UINT i = 1; i < count; ++i) {
        std::u16string wanted = names[i] ? FoldName(names[i]) : std::u16string();
        for (MemberKind kind : kAllKinds) {
            const MemberDesc* m = desc.Find(member, kind);
            if (!m || dispids[i] != DISPID_UNKNOWN) continue;
            for (size_t p = 0; p < m->params.size(); ++p)
                if (names[i] && FoldName(m->params[p].name) == wanted) {
                    dispids[i] = static_cast<DISPID>(p);
                    break;
                }
        }
        if (dispids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT DispatchInvoke(const InterfaceDesc& desc, void* object, DISPID dispid, LCID lcid,
                       WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*, UINT* argerr) {
    if (!params) return E_INVALIDARG;
    const UINT args_count = params->cArgs;
    const UINT named_count = params->cNamedArgs;
    if (named_count > args_count || (args_count && !params->rgvarg) ||
        (named_count && !params->rgdispidNamedArgs))
        return E_INVALIDARG;

    bool is_put = false;
    const MemberDesc* m = SelectMember(desc, dispid, flags & kCallKinds, &is_put);
    if (!m) return DISP_E_MEMBERNOTFOUND;

    // Named arguments stand first in rgvarg: the value of a put, and a script's `this`.
    int put_value = -1;
    for (UINT i = 0; i < named_count; ++i) {
        DISPID id = params->rgdispidNamedArgs[i];
        if (id == DISPID_PROPERTYPUT && is_put && put_value < 0) {
            put_value = static_cast<int>(i);
        } else if (id == DISPID_THIS) {
            continue;  // our members do not take a `this`
        } else if (id == DISPID_PROPERTYPUT) {
            return DISP_E_PARAMNOTFOUND;
        } else {
            return DISP_E_NONAMEDARGS;
        }
    }
    if (is_put && put_value < 0) return DISP_E_PARAMNOTFOUND;

    const size_t param_count = m->params.size();
    const size_t positional_params = param_count - (is_put ? 1 : 0);
    size_t required = 0;
    for (size_t i = 0; i < positional_params; ++i)
        if (!(m->params[i].flags & PARAMFLAG_FOPT)) required = i + 1;
    const UINT positional = args_count - named_count;
    if (positional > positional_params || positional < required) return DISP_E_BADPARAMCOUNT;

    ArgumentSlots slots(param_count);
    for (size_t i = 0; i < param_count; ++i) {
        UINT index = 0;  // the argument's place in rgvarg
        VARIANT* source = nullptr;
        if (is_put && i == param_count - 1) {
            index = static_cast<UINT>(put_value);
            source = &params->rgvarg[index];
        } else if (i < positional) {
            index = args_count - 1 - static_cast<UINT>(i);
            source = &params->rgvarg[index];
        }
        HRESULT hr = Coerce(m->params[i], source, &slots.temps()[i], &slots.args()[i], lcid);
        if (FAILED(hr)) {
            hr = CoercionFailure(hr);
            if (argerr && hr != E_OUTOFMEMORY) *argerr = index;
            return hr;
        }
    }

    VARIANT local;
    VariantInit(&local);
    VARIANT* out = result ? result : &local;
    if (!is_put && result) VariantInit(result);
    const HRESULT hr = StatusOf([&] { return m->thunk(object, slots.args(), out, m->result_vt); });
    VariantClear(&local);
    return hr;
}
