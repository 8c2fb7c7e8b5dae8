// Comparison of variants and strings.
//
// Strings compare by UTF-16 code unit (ordinal), not by a locale's collation; with
// NORM_IGNORECASE both sides are folded to lower case first (ASCII, Latin-1, Greek and
// Cyrillic letters). A null string equals the empty one.
#include <cmath>

#include "platform/case_fold.h"
#include "platform/var_number.h"
#include "platform/variant.h"

namespace {

HRESULT Order(int c) {
    return c < 0 ? VARCMP_LT : (c > 0 ? VARCMP_GT : VARCMP_EQ);
}

bool IsNumeric(VARTYPE t) {
    switch (t) {
        case VT_EMPTY:
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
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_BOOL:
        case VT_DECIMAL:
            return true;
        default:
            return false;
    }
}

bool IsExactNumeric(VARTYPE t) {
    return t != VT_R4 && t != VT_R8 && t != VT_DATE;
}

}  // namespace

HRESULT VarBstrCmp(BSTR left, BSTR right, LCID, ULONG flags) {
    std::u16string_view a(left ? left : u"", SysStringLen(left));
    std::u16string_view b(right ? right : u"", SysStringLen(right));
    std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        char16_t x = a[i], y = b[i];
        if (flags & NORM_IGNORECASE) x = FoldCase(x), y = FoldCase(y);
        if (x != y) return x < y ? VARCMP_LT : VARCMP_GT;
    }
    return Order(a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0));
}

HRESULT VarCmp(VARIANT* left, VARIANT* right, LCID lcid, ULONG flags) {
    if (!left || !right) return E_INVALIDARG;
    CComVariant l, r;
    HRESULT hr = VariantCopyInd(&l, left);
    if (SUCCEEDED(hr)) hr = VariantCopyInd(&r, right);
    if (FAILED(hr)) return hr;
    // Objects compare by their default value.
    for (CComVariant* v : {&l, &r}) {
        if (v->vt == VT_DISPATCH) {
            CComVariant value;
            DISPPARAMS none{nullptr, nullptr, 0, 0};
            if (!v->pdispVal) return DISP_E_TYPEMISMATCH;
            hr = v->pdispVal->Invoke(DISPID_VALUE, IID_NULL, lcid, DISPATCH_PROPERTYGET, &none,
                                     &value, nullptr, nullptr);
            if (FAILED(hr)) return hr;
            hr = VariantCopyInd(v, &value);
            if (FAILED(hr)) return hr;
        }
    }
    // Two error values are equal whatever their codes; beside anything else (null too) an error
    // value cannot be compared.
    if (l.vt == VT_ERROR || r.vt == VT_ERROR) return l.vt == r.vt ? VARCMP_EQ : DISP_E_TYPEMISMATCH;
    if (l.vt == VT_NULL || r.vt == VT_NULL) return VARCMP_NULL;
    if (l.vt == VT_BSTR && r.vt == VT_BSTR) return VarBstrCmp(l.bstrVal, r.bstrVal, lcid, flags);
    // Empty is the empty string beside a string and zero beside a number.
    if (l.vt == VT_BSTR && r.vt == VT_EMPTY) return VarBstrCmp(l.bstrVal, nullptr, lcid, flags);
    if (l.vt == VT_EMPTY && r.vt == VT_BSTR) return VarBstrCmp(nullptr, r.bstrVal, lcid, flags);
    // A string is greater than any number.
    if (l.vt == VT_BSTR && IsNumeric(r.vt)) return VARCMP_GT;
    if (r.vt == VT_BSTR && IsNumeric(l.vt)) return VARCMP_LT;
    if (!IsNumeric(l.vt) || !IsNumeric(r.vt)) return DISP_E_TYPEMISMATCH;

    if (IsExactNumeric(l.vt) && IsExactNumeric(r.vt)) {
        // Integers, currency and decimals compare exactly, as decimals.
        CComVariant a, b;
        if (SUCCEEDED(VariantChangeType(&a, &l, 0, VT_DECIMAL)) &&
            SUCCEEDED(VariantChangeType(&b, &r, 0, VT_DECIMAL))) {
            automation::ExactNumber x, y;
            hr = automation::ExactFromDecimal(a.decVal, &x);
            if (SUCCEEDED(hr)) hr = automation::ExactFromDecimal(b.decVal, &y);
            return FAILED(hr) ? hr : Order(automation::ExactCompare(x, y));
        }
    }
    CComVariant a, b;
    hr = VariantChangeType(&a, &l, 0, VT_R8);
    if (SUCCEEDED(hr)) hr = VariantChangeType(&b, &r, 0, VT_R8);
    if (FAILED(hr)) return hr;
    if (std::isnan(a.dblVal) || std::isnan(b.dblVal)) return VARCMP_GT;
    return Order(a.dblVal < b.dblVal ? -1 : (a.dblVal > b.dblVal ? 1 : 0));
}
