// The direct Var*From* conversions and the calendar helpers, with the rules of
// VariantChangeTypeEx. The locale is ignored: text is the same for every locale.
#include <cmath>
#include <cstring>

#include "platform/var_date.h"
#include "platform/var_number.h"
#include "platform/variant.h"

using automation::Int128;

namespace {

std::u16string_view TextOf(LPCOLESTR in) {
    return in ? std::u16string_view(in) : std::u16string_view();
}

HRESULT OutBstr(const std::u16string& text, BSTR* out) {
    if (!out) return E_INVALIDARG;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

HRESULT VarI4FromR8(DOUBLE in, LONG* out) {
    if (!out) return E_INVALIDARG;
    Int128 v;
    HRESULT hr = automation::DoubleToInt(in, INT32_MIN, INT32_MAX, &v);
    if (SUCCEEDED(hr)) *out = static_cast<LONG>(v);
    return hr;
}

HRESULT VarI4FromStr(LPCOLESTR in, LCID, ULONG, LONG* out) {
    if (!in || !out) return E_INVALIDARG;
    Int128 v;
    HRESULT hr = automation::ParseIntegerText(TextOf(in), INT32_MIN, INT32_MAX, &v);
    if (SUCCEEDED(hr)) *out = static_cast<LONG>(v);
    return hr;
}

HRESULT VarR8FromStr(LPCOLESTR in, LCID, ULONG, DOUBLE* out) {
    if (!in || !out) return E_INVALIDARG;
    return automation::ParseDoubleText(TextOf(in), out);
}

HRESULT VarBstrFromI4(LONG in, LCID, ULONG, BSTR* out) {
    return OutBstr(automation::FormatInt(in), out);
}

HRESULT VarBstrFromR8(DOUBLE in, LCID, ULONG, BSTR* out) {
    return OutBstr(automation::FormatDouble(in, 15), out);
}

HRESULT VarBstrFromDate(DATE in, LCID, ULONG flags, BSTR* out) {
    if (!out) return E_INVALIDARG;
    std::u16string text;
    HRESULT hr = automation::FormatDateText(in, flags, &text);
    return FAILED(hr) ? hr : OutBstr(text, out);
}

HRESULT VarDateFromStr(LPCOLESTR in, LCID, ULONG, DATE* out) {
    if (!in || !out) return E_INVALIDARG;
    return automation::ParseDateText(TextOf(in), out);
}

HRESULT VarDecFromR8(DOUBLE in, DECIMAL* out) {
    if (!out) return E_INVALIDARG;
    if (!std::isfinite(in)) return DISP_E_OVERFLOW;
    return automation::ExactToDecimal(automation::ExactFromDouble(in, 15), out);
}

HRESULT VarR8FromDec(const DECIMAL* in, DOUBLE* out) {
    if (!in || !out) return E_INVALIDARG;
    automation::ExactNumber n;
    HRESULT hr = automation::ExactFromDecimal(*in, &n);
    return FAILED(hr) ? hr : automation::ExactToDouble(n, out);
}

HRESULT VarDecFromStr(LPCOLESTR in, LCID, ULONG, DECIMAL* out) {
    if (!in || !out) return E_INVALIDARG;
    automation::ExactNumber n;
    bool radix;
    LONGLONG radix_value;
    HRESULT hr = automation::ParseNumberText(TextOf(in), &n, &radix, &radix_value);
    if (FAILED(hr)) return hr;
    if (radix) n = automation::ExactFromInt(radix_value);
    return automation::ExactToDecimal(n, out);
}

HRESULT VarBstrFromDec(const DECIMAL* in, LCID, ULONG, BSTR* out) {
    if (!in) return E_INVALIDARG;
    automation::ExactNumber n;
    HRESULT hr = automation::ExactFromDecimal(*in, &n);
    return FAILED(hr) ? hr : OutBstr(automation::ExactToText(n), out);
}

INT SystemTimeToVariantTime(SYSTEMTIME* st, DOUBLE* variant_time) {
    if (!st || !variant_time) return FALSE;
    int year = st->wYear;
    // Two-digit years fall in the window 1930..2029.
    if (year < 100) year += year < 30 ? 2000 : 1900;
    double date;
    if (!automation::PartsToDate(year, st->wMonth, st->wDay, st->wHour, st->wMinute, st->wSecond,
                                 &date))
        return FALSE;
    *variant_time = date;
    return TRUE;
}

INT VariantTimeToSystemTime(DOUBLE variant_time, SYSTEMTIME* st) {
    if (!st) return FALSE;
    return automation::DateToParts(variant_time, st) ? TRUE : FALSE;
}
