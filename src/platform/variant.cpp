// Variant life cycle and type conversion.
//
// The locale argument is accepted and ignored: numbers and dates are formatted and parsed the
// same way for every locale ('.' decimal point, ',' thousands separator, month/day/year dates,
// 12-hour times with AM/PM).
#include "platform/variant.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/safearray.h"
#include "platform/var_date.h"
#include "platform/var_number.h"

using automation::Int128;

namespace {

// Scalar types a variant can hold by value.
bool IsValueType(VARTYPE t) {
    return (t <= VT_DECIMAL && t != VT_VARIANT) || (t >= VT_I1 && t <= VT_UINT);
}

bool IsValidType(VARTYPE vt) {
    VARTYPE base = vt & VT_TYPEMASK;
    if (vt & ~(VT_TYPEMASK | VT_ARRAY | VT_BYREF)) return false;
    if (vt & (VT_ARRAY | VT_BYREF)) {
        if ((vt & VT_ARRAY) && (vt & VT_BYREF) == 0 && base == VT_EMPTY) return false;
        return (IsValueType(base) && base != VT_NULL && base != VT_EMPTY) || base == VT_VARIANT;
    }
    return IsValueType(base);
}

bool IsIntegerType(VARTYPE t) {
    switch (t) {
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
            return true;
        default:
            return false;
    }
}

void IntegerRange(VARTYPE t, Int128* low, Int128* high) {
    switch (t) {
        case VT_I1:
            *low = -128, *high = 127;
            break;
        case VT_UI1:
            *low = 0, *high = 255;
            break;
        case VT_I2:
            *low = -32768, *high = 32767;
            break;
        case VT_UI2:
            *low = 0, *high = 65535;
            break;
        case VT_I4:
        case VT_INT:
            *low = INT32_MIN, *high = INT32_MAX;
            break;
        case VT_UI4:
        case VT_UINT:
            *low = 0, *high = UINT32_MAX;
            break;
        case VT_I8:
            *low = INT64_MIN, *high = INT64_MAX;
            break;
        default:
            *low = 0, *high = UINT64_MAX;
            break;
    }
}

void StoreInteger(VARIANT* v, VARTYPE t, Int128 value) {
    v->vt = t;
    switch (t) {
        case VT_I1:
            v->cVal = static_cast<CHAR>(value);
            break;
        case VT_UI1:
            v->bVal = static_cast<BYTE>(value);
            break;
        case VT_I2:
            v->iVal = static_cast<SHORT>(value);
            break;
        case VT_UI2:
            v->uiVal = static_cast<USHORT>(value);
            break;
        case VT_I4:
            v->lVal = static_cast<LONG>(value);
            break;
        case VT_INT:
            v->intVal = static_cast<INT>(value);
            break;
        case VT_UI4:
            v->ulVal = static_cast<ULONG>(value);
            break;
        case VT_UINT:
            v->uintVal = static_cast<UINT>(value);
            break;
        case VT_I8:
            v->llVal = static_cast<LONGLONG>(value);
            break;
        default:
            v->ullVal = static_cast<ULONGLONG>(value);
            break;
    }
}

// The value of an integer or boolean variant.
Int128 LoadInteger(const VARIANT& v) {
    switch (v.vt) {
        case VT_I1:
            return static_cast<signed char>(v.cVal);
        case VT_UI1:
            return v.bVal;
        case VT_I2:
            return v.iVal;
        case VT_UI2:
            return v.uiVal;
        case VT_I4:
            return v.lVal;
        case VT_INT:
            return v.intVal;
        case VT_UI4:
            return v.ulVal;
        case VT_UINT:
            return v.uintVal;
        case VT_I8:
            return v.llVal;
        case VT_UI8:
            return v.ullVal;
        case VT_BOOL:
            return v.boolVal ? -1 : 0;
        default:
            return 0;
    }
}

bool HoldsInteger(VARTYPE t) {
    return IsIntegerType(t) || t == VT_BOOL || t == VT_EMPTY;
}

// Loads the target of a by-reference variant into a value variant that owns nothing.
HRESULT Dereference(const VARIANT* source, VARIANT* view) {
    if (!(source->vt & VT_BYREF)) {
        *view = *source;
        return S_OK;
    }
    VARTYPE base = source->vt & ~VT_BYREF;
    if (!source->byref) return E_INVALIDARG;
    if (base == VT_VARIANT) {
        const VARIANT* inner = source->pvarVal;
        if (inner->vt & VT_BYREF) return E_INVALIDARG;
        *view = *inner;
        return S_OK;
    }
    VariantInit(view);
    if (base & VT_ARRAY) {
        view->parray = *source->pparray;
    } else {
        switch (base) {
            case VT_I1:
            case VT_UI1:
                view->bVal = *source->pbVal;
                break;
            case VT_I2:
            case VT_UI2:
            case VT_BOOL:
                view->iVal = *source->piVal;
                break;
            case VT_I4:
            case VT_UI4:
            case VT_INT:
            case VT_UINT:
            case VT_ERROR:
            case VT_R4:
                std::memcpy(&view->lVal, source->byref, 4);
                break;
            case VT_I8:
            case VT_UI8:
            case VT_R8:
            case VT_DATE:
            case VT_CY:
                std::memcpy(&view->llVal, source->byref, 8);
                break;
            case VT_BSTR:
                view->bstrVal = *source->pbstrVal;
                break;
            case VT_DISPATCH:
            case VT_UNKNOWN:
                view->punkVal = *source->ppunkVal;
                break;
            case VT_DECIMAL:
                view->decVal = *source->pdecVal;
                break;
            default:
                return DISP_E_BADVARTYPE;
        }
    }
    view->vt = base;
    return S_OK;
}

HRESULT NewBstr(std::u16string_view text, VARIANT* out) {
    BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!b) return E_OUTOFMEMORY;
    out->vt = VT_BSTR;
    out->bstrVal = b;
    return S_OK;
}

std::u16string_view BstrView(BSTR b) {
    return {b ? b : u"", SysStringLen(b)};
}

HRESULT ToInteger(const VARIANT& v, VARTYPE target, Int128* out) {
    Int128 low, high;
    IntegerRange(target, &low, &high);
    switch (v.vt) {
        case VT_EMPTY:
            *out = 0;
            return S_OK;
        case VT_R4:
            return automation::DoubleToInt(v.fltVal, low, high, out);
        case VT_R8:
        case VT_DATE:
            return automation::DoubleToInt(v.dblVal, low, high, out);
        case VT_CY:
            return automation::ExactToInt(automation::ExactFromCy(v.cyVal.int64), low, high, out);
        case VT_DECIMAL: {
            automation::ExactNumber n;
            HRESULT hr = automation::ExactFromDecimal(v.decVal, &n);
            return FAILED(hr) ? hr : automation::ExactToInt(n, low, high, out);
        }
        case VT_BSTR:
            return automation::ParseIntegerText(BstrView(v.bstrVal), low, high, out);
        case VT_BOOL:
            // True is the 16-bit pattern with every bit set, and every integer type takes it so:
            // -1 when signed, its largest value when unsigned (255 as VT_UI1). Never an overflow.
            *out = v.boolVal ? (low < 0 ? -1 : high) : 0;
            return S_OK;
        case VT_ERROR:
            if (target != VT_I4 && target != VT_UI4) return DISP_E_TYPEMISMATCH;
            *out = target == VT_I4 ? Int128{v.scode} : Int128{static_cast<ULONG>(v.scode)};
            return S_OK;
        default:
            // Integers keep their value across types, so the range decides even between types
            // of one size: VT_I4 -1 to VT_UI4 and VT_UI1 200 to VT_I1 overflow.
            if (!HoldsInteger(v.vt)) return DISP_E_TYPEMISMATCH;
            *out = LoadInteger(v);
            return *out < low || *out > high ? DISP_E_OVERFLOW : S_OK;
    }
}

HRESULT ToDouble(const VARIANT& v, double* out) {
    switch (v.vt) {
        case VT_R4:
            *out = v.fltVal;
            return S_OK;
        case VT_R8:
        case VT_DATE:
            *out = v.dblVal;
            return S_OK;
        case VT_CY:
            *out = static_cast<double>(v.cyVal.int64) / 10000.0;
            return S_OK;
        case VT_DECIMAL: {
            automation::ExactNumber n;
            HRESULT hr = automation::ExactFromDecimal(v.decVal, &n);
            return FAILED(hr) ? hr : automation::ExactToDouble(n, out);
        }
        case VT_BSTR:
            return automation::ParseDoubleText(BstrView(v.bstrVal), out);
        default:
            if (!HoldsInteger(v.vt)) return DISP_E_TYPEMISMATCH;
            *out = static_cast<double>(LoadInteger(v));
            return S_OK;
    }
}

HRESULT ToExact(const VARIANT& v, automation::ExactNumber* out) {
    switch (v.vt) {
        case VT_R4:
            if (!std::isfinite(v.fltVal)) return DISP_E_OVERFLOW;
            *out = automation::ExactFromDouble(v.fltVal, 7);
            return S_OK;
        case VT_R8:
        case VT_DATE:
            if (!std::isfinite(v.dblVal)) return DISP_E_OVERFLOW;
            *out = automation::ExactFromDouble(v.dblVal, 15);
            return S_OK;
        case VT_CY:
            *out = automation::ExactFromCy(v.cyVal.int64);
            return S_OK;
        case VT_DECIMAL:
            return automation::ExactFromDecimal(v.decVal, out);
        case VT_BSTR: {
            bool radix;
            LONGLONG radix_value;
            HRESULT hr =
                automation::ParseNumberText(BstrView(v.bstrVal), out, &radix, &radix_value);
            if (SUCCEEDED(hr) && radix) *out = automation::ExactFromInt(radix_value);
            return hr;
        }
        default:
            if (!HoldsInteger(v.vt)) return DISP_E_TYPEMISMATCH;
            *out = automation::ExactFromInt(LoadInteger(v));
            return S_OK;
    }
}

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
        if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 32);
        if (x != y) return false;
    }
    return true;
}

HRESULT BoolFromText(std::u16string_view text, VARIANT_BOOL* out) {
    std::size_t first = 0, last = text.size();
    while (first < last && (text[first] == u' ' || text[first] == u'\t'))
        ++first;
    while (last > first && (text[last - 1] == u' ' || text[last - 1] == u'\t'))
        --last;
    std::u16string_view word = text.substr(first, last - first);
    if (EqualsIgnoringCase(word, u"true") || EqualsIgnoringCase(word, u"#true#")) {
        *out = VARIANT_TRUE;
        return S_OK;
    }
    if (EqualsIgnoringCase(word, u"false") || EqualsIgnoringCase(word, u"#false#")) {
        *out = VARIANT_FALSE;
        return S_OK;
    }
    double d;
    HRESULT hr = automation::ParseDoubleText(text, &d);
    if (FAILED(hr)) return hr == DISP_E_OVERFLOW ? hr : DISP_E_TYPEMISMATCH;
    *out = d != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT ToBool(const VARIANT& v, VARIANT_BOOL* out) {
    bool value;
    switch (v.vt) {
        case VT_R4:
            value = v.fltVal != 0;
            break;
        case VT_R8:
        case VT_DATE:
            value = v.dblVal != 0;
            break;
        case VT_CY:
            value = v.cyVal.int64 != 0;
            break;
        case VT_DECIMAL: {
            automation::ExactNumber n;
            HRESULT hr = automation::ExactFromDecimal(v.decVal, &n);
            if (FAILED(hr)) return hr;
            value = !n.IsZero();
            break;
        }
        case VT_BSTR:
            return BoolFromText(BstrView(v.bstrVal), out);
        default:
            if (!HoldsInteger(v.vt)) return DISP_E_TYPEMISMATCH;
            value = LoadInteger(v) != 0;
    }
    *out = value ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT ToText(const VARIANT& v, USHORT flags, VARIANT* out) {
    switch (v.vt) {
        case VT_EMPTY:
            return NewBstr(u"", out);
        case VT_BOOL:
            if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL))
                return NewBstr(v.boolVal ? u"True" : u"False", out);
            return NewBstr(v.boolVal ? u"-1" : u"0", out);
        case VT_R4:
            return NewBstr(automation::FormatDouble(v.fltVal, 7), out);
        case VT_R8:
            return NewBstr(automation::FormatDouble(v.dblVal, 15), out);
        case VT_DATE: {
            std::u16string text;
            HRESULT hr = automation::FormatDateText(v.date, 0, &text);
            return FAILED(hr) ? hr : NewBstr(text, out);
        }
        case VT_CY:
            return NewBstr(automation::ExactToText(automation::ExactFromCy(v.cyVal.int64)), out);
        case VT_DECIMAL: {
            automation::ExactNumber n;
            HRESULT hr = automation::ExactFromDecimal(v.decVal, &n);
            return FAILED(hr) ? hr : NewBstr(automation::ExactToText(n), out);
        }
        case VT_ARRAY | VT_UI1: {
            // The array's bytes become the string's bytes, two to a character.
            SAFEARRAY* a = v.parray;
            if (!a || SafeArrayGetDim(a) != 1) return DISP_E_TYPEMISMATCH;
            BSTR b = SysAllocStringByteLen(static_cast<const char*>(a->pvData),
                                           a->rgsabound[0].cElements);
            if (!b) return E_OUTOFMEMORY;
            out->vt = VT_BSTR;
            out->bstrVal = b;
            return S_OK;
        }
        default:
            if (!IsIntegerType(v.vt)) return DISP_E_TYPEMISMATCH;
            return NewBstr(automation::FormatInt(LoadInteger(v)), out);
    }
}

HRESULT ToDate(const VARIANT& v, double* out) {
    if (v.vt == VT_BSTR) return automation::ParseDateText(BstrView(v.bstrVal), out);
    double d;
    HRESULT hr = ToDouble(v, &d);
    if (FAILED(hr)) return hr;
    if (!automation::DateInRange(d)) return DISP_E_OVERFLOW;
    *out = d;
    return S_OK;
}

HRESULT ToCy(const VARIANT& v, LONGLONG* out) {
    if (v.vt == VT_R4 || v.vt == VT_R8 || v.vt == VT_DATE) {
        double d = v.vt == VT_R4 ? v.fltVal : v.dblVal;
        Int128 scaled;
        HRESULT hr = automation::DoubleToInt(d * 10000.0, INT64_MIN, INT64_MAX, &scaled);
        if (SUCCEEDED(hr)) *out = static_cast<LONGLONG>(scaled);
        return hr;
    }
    automation::ExactNumber n;
    HRESULT hr = ToExact(v, &n);
    return FAILED(hr) ? hr : automation::ExactToCy(n, out);
}

HRESULT ToDecimal(const VARIANT& v, DECIMAL* out) {
    automation::ExactNumber n;
    HRESULT hr = ToExact(v, &n);
    return FAILED(hr) ? hr : automation::ExactToDecimal(n, out);
}

HRESULT Coerce(VARIANT* out, const VARIANT& v, LCID lcid, USHORT flags, VARTYPE vt, int depth);

// The value of an object's default member (DISPID_VALUE), converted to `vt`.
HRESULT CoerceObject(VARIANT* out, const VARIANT& v, LCID lcid, USHORT flags, VARTYPE vt,
                     int depth) {
    if ((flags & VARIANT_NOVALUEPROP) || !v.pdispVal || depth > 8) return DISP_E_TYPEMISMATCH;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    CComVariant value;
    HRESULT hr = v.pdispVal->Invoke(DISPID_VALUE, IID_NULL, lcid, DISPATCH_PROPERTYGET, &none,
                                    &value, nullptr, nullptr);
    if (FAILED(hr)) return hr;
    VARIANT view;
    hr = Dereference(&value, &view);
    if (FAILED(hr)) return hr;
    return Coerce(out, view, lcid, flags, vt, depth + 1);
}

HRESULT QueryObject(IUnknown* object, REFIID iid, VARTYPE vt, VARIANT* out) {
    void* result = nullptr;
    if (object) {
        HRESULT hr = object->QueryInterface(iid, &result);
        if (FAILED(hr)) return hr;
    }
    out->vt = vt;
    out->byref = result;
    return S_OK;
}

HRESULT Coerce(VARIANT* out, const VARIANT& v, LCID lcid, USHORT flags, VARTYPE vt, int depth) {
    if (v.vt == vt || vt == VT_VARIANT) return VariantCopy(out, &v);
    if (vt == VT_EMPTY) return S_OK;
    if (v.vt == VT_DISPATCH && vt != VT_UNKNOWN)
        return CoerceObject(out, v, lcid, flags, vt, depth);
    if (vt == VT_NULL) {
        if (v.vt != VT_EMPTY) return DISP_E_TYPEMISMATCH;
        out->vt = VT_NULL;
        return S_OK;
    }
    if (v.vt == VT_NULL) return DISP_E_TYPEMISMATCH;
    if (v.vt == VT_UNKNOWN && vt != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
    if ((v.vt & VT_ARRAY) && vt != VT_BSTR) return DISP_E_TYPEMISMATCH;

    if (IsIntegerType(vt)) {
        Int128 value;
        HRESULT hr = ToInteger(v, vt, &value);
        if (SUCCEEDED(hr)) StoreInteger(out, vt, value);
        return hr;
    }
    switch (vt) {
        case VT_R8: {
            HRESULT hr = ToDouble(v, &out->dblVal);
            if (SUCCEEDED(hr)) out->vt = VT_R8;
            return hr;
        }
        case VT_R4: {
            double d;
            HRESULT hr = ToDouble(v, &d);
            if (FAILED(hr)) return hr;
            if (std::fabs(d) > FLT_MAX) return DISP_E_OVERFLOW;
            out->vt = VT_R4;
            out->fltVal = static_cast<float>(d);
            return S_OK;
        }
        case VT_DATE: {
            HRESULT hr = ToDate(v, &out->date);
            if (SUCCEEDED(hr)) out->vt = VT_DATE;
            return hr;
        }
        case VT_CY: {
            HRESULT hr = ToCy(v, &out->cyVal.int64);
            if (SUCCEEDED(hr)) out->vt = VT_CY;
            return hr;
        }
        case VT_DECIMAL: {
            DECIMAL d;
            HRESULT hr = ToDecimal(v, &d);
            if (FAILED(hr)) return hr;
            out->decVal = d;
            out->vt = VT_DECIMAL;  // overlays wReserved, so it is set after the value
            return S_OK;
        }
        case VT_BOOL: {
            HRESULT hr = ToBool(v, &out->boolVal);
            if (SUCCEEDED(hr)) out->vt = VT_BOOL;
            return hr;
        }
        case VT_BSTR:
            return ToText(v, flags, out);
        case VT_ERROR:
            if (v.vt != VT_I4 && v.vt != VT_UI4) return DISP_E_TYPEMISMATCH;
            out->vt = VT_ERROR;
            out->scode = v.lVal;
            return S_OK;
        case VT_DISPATCH:
            // Only an object becomes an object: VT_EMPTY is no null object.
            if (v.vt != VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
            return QueryObject(v.punkVal, IID_IDispatch, VT_DISPATCH, out);
        case VT_UNKNOWN:
            if (v.vt != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
            return QueryObject(v.pdispVal, IID_IUnknown, VT_UNKNOWN, out);
        case VT_ARRAY | VT_UI1: {
            if (v.vt != VT_BSTR) return DISP_E_TYPEMISMATCH;
            UINT bytes = SysStringByteLen(v.bstrVal);
            SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, 0, bytes);
            if (!a) return E_OUTOFMEMORY;
            if (bytes) std::memcpy(a->pvData, v.bstrVal, bytes);
            out->vt = vt;
            out->parray = a;
            return S_OK;
        }
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

}  // namespace

void VariantInit(VARIANT* v) {
    v->vt = VT_EMPTY;
    v->wReserved1 = v->wReserved2 = v->wReserved3 = 0;
}

HRESULT VariantClear(VARIANT* v) {
    if (!v) return E_INVALIDARG;
    if (!IsValidType(v->vt)) return DISP_E_BADVARTYPE;
    if (!(v->vt & VT_BYREF)) {
        if (v->vt & VT_ARRAY) {
            if (v->parray) {
                HRESULT hr = SafeArrayDestroy(v->parray);
                if (FAILED(hr)) return hr;
            }
        } else if (v->vt == VT_BSTR) {
            SysFreeString(v->bstrVal);
        } else if ((v->vt == VT_DISPATCH || v->vt == VT_UNKNOWN) && v->punkVal) {
            v->punkVal->Release();
        }
    }
    VariantInit(v);
    return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* source) {
    if (!dest || !source) return E_INVALIDARG;
    if (dest == source) return S_OK;
    if (!IsValidType(source->vt)) return DISP_E_BADVARTYPE;
    VARIANT copy = *source;
    if (!(source->vt & VT_BYREF)) {
        if (source->vt & VT_ARRAY) {
            if (source->parray) {
                HRESULT hr = SafeArrayCopy(source->parray, &copy.parray);
                if (FAILED(hr)) return hr;
            }
        } else if (source->vt == VT_BSTR && source->bstrVal) {
            // Byte-for-byte, so that strings of an odd byte length survive the copy.
            copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<const char*>(source->bstrVal),
                                                 SysStringByteLen(source->bstrVal));
            if (!copy.bstrVal) return E_OUTOFMEMORY;
        } else if ((source->vt == VT_DISPATCH || source->vt == VT_UNKNOWN) && source->punkVal) {
            source->punkVal->AddRef();
        }
    }
    HRESULT hr = VariantClear(dest);
    if (FAILED(hr)) {
        VariantClear(&copy);
        return hr;
    }
    *dest = copy;
    return S_OK;
}

HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* source) {
    if (!dest || !source) return E_INVALIDARG;
    if (!IsValidType(source->vt)) return DISP_E_BADVARTYPE;
    if (!(source->vt & VT_BYREF)) return VariantCopy(dest, source);
    VARIANT view;
    HRESULT hr = Dereference(source, &view);
    if (FAILED(hr)) return hr;
    CComVariant copy;
    hr = VariantCopy(&copy, &view);
    if (FAILED(hr)) return hr;
    return copy.Detach(dest);
}

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* source, USHORT flags, VARTYPE vt) {
    return VariantChangeTypeEx(dest, source, LOCALE_USER_DEFAULT, flags, vt);
}

HRESULT VariantChangeTypeEx(VARIANT* dest, const VARIANT* source, LCID lcid, USHORT flags,
                            VARTYPE vt) {
    if (!dest || !source) return E_INVALIDARG;
    bool target_ok = vt == VT_VARIANT || (IsValidType(vt) && !(vt & VT_BYREF));
    if (!IsValidType(source->vt) || !target_ok) return DISP_E_BADVARTYPE;
    VARIANT view;
    HRESULT hr = Dereference(source, &view);
    if (FAILED(hr)) return hr;
    VARIANT result;
    VariantInit(&result);
    hr = Coerce(&result, view, lcid, flags, vt, 0);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    // The result owns copies of everything, so the source may be the destination.
    hr = VariantClear(dest);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    *dest = result;
    return S_OK;
}
