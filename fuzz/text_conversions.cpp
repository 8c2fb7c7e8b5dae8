// Text to numbers and dates through VariantChangeTypeEx, and back where the conversion rules
// promise a round trip.
//
// Input: the text, one character per byte (Latin-1), except that 0xFF takes the next two bytes
// as one UTF-16 unit (little end first). The first 16 bytes also serve, read raw, as a double, a
// currency and a decimal whose text must convert back to the same value.
//
// Checked for every target type: the status is S_OK, DISP_E_TYPEMISMATCH or DISP_E_OVERFLOW; a
// failed conversion leaves the destination alone; integer types agree with each other (one
// succeeds with the value of another whenever that value is in its range); the Var*FromStr
// functions agree with VariantChangeTypeEx; and a converted value turned back into text converts
// to the same value again (to the second for dates, to the fifteen digits printed for doubles,
// within the seventh digit printed for floats).
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "platform/bstr.h"
#include "platform/var_date.h"
#include "platform/variant.h"

namespace {

using Int128 = __int128;

constexpr VARTYPE kIntegerTypes[] = {VT_I1,  VT_UI1, VT_I2,  VT_UI2, VT_I4,
                                     VT_UI4, VT_I8,  VT_UI8, VT_INT, VT_UINT};
constexpr VARTYPE kOtherTypes[] = {VT_R4, VT_R8, VT_CY, VT_DECIMAL, VT_DATE, VT_BOOL};

std::u16string TextOf(const std::uint8_t* data, std::size_t size) {
    std::u16string text;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0xFF && i + 2 < size) {
            text.push_back(static_cast<char16_t>(data[i + 1] | data[i + 2] << 8));
            i += 2;
        } else {
            text.push_back(static_cast<char16_t>(data[i]));
        }
    }
    return text;
}

CComVariant Bstr(std::u16string_view text) {
    CComVariant v;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return v;
}

Int128 IntegerOf(const VARIANT& v) {
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
        default:
            return v.ullVal;
    }
}

bool InRange(Int128 value, VARTYPE vt) {
    switch (vt) {
        case VT_I1:
            return value >= -128 && value <= 127;
        case VT_UI1:
            return value >= 0 && value <= 255;
        case VT_I2:
            return value >= -32768 && value <= 32767;
        case VT_UI2:
            return value >= 0 && value <= 65535;
        case VT_I4:
        case VT_INT:
            return value >= INT32_MIN && value <= INT32_MAX;
        case VT_UI4:
        case VT_UINT:
            return value >= 0 && value <= UINT32_MAX;
        case VT_I8:
            return value >= INT64_MIN && value <= INT64_MAX;
        default:
            return value >= 0 && value <= UINT64_MAX;
    }
}

// Converts and checks what holds for any conversion: the status, and that a failure leaves the
// destination as it was.
HRESULT Convert(const VARIANT& from, VARTYPE vt, CComVariant* to, USHORT flags = 0) {
    to->Clear();
    const HRESULT hr = VariantChangeTypeEx(to, &from, LOCALE_USER_DEFAULT, flags, vt);
    FUZZ_CHECK(hr == S_OK || hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW ||
               hr == E_OUTOFMEMORY);
    FUZZ_CHECK(SUCCEEDED(hr) ? to->vt == vt : to->vt == VT_EMPTY);
    return hr;
}

std::u16string TextOf(const VARIANT& value, USHORT flags = 0) {
    CComVariant text;
    FUZZ_CHECK(SUCCEEDED(Convert(value, VT_BSTR, &text, flags)));
    return {text.bstrVal, SysStringLen(text.bstrVal)};
}

bool SameDecimal(const DECIMAL& a, const DECIMAL& b) {
    CComVariant x, y;
    x.decVal = a;
    x.vt = VT_DECIMAL;  // overlays wReserved: set after the value
    y.decVal = b;
    y.vt = VT_DECIMAL;
    return VarCmp(&x, &y, LOCALE_USER_DEFAULT, 0) == VARCMP_EQ;
}

bool SameSecond(double a, double b) {
    SYSTEMTIME x{}, y{};
    return VariantTimeToSystemTime(a, &x) && VariantTimeToSystemTime(b, &y) &&
           std::memcmp(&x, &y, sizeof x) == 0;
}

// value -> text -> value gives the value again (as the type's rules compare values).
void CheckRoundTrip(const VARIANT& value) {
    USHORT flags = value.vt == VT_BOOL ? VARIANT_ALPHABOOL : 0;
    const std::u16string text = TextOf(value, flags);
    CComVariant back;
    const HRESULT hr = Convert(Bstr(text), value.vt, &back);
    switch (value.vt) {
        case VT_R8:
        case VT_R4: {
            // Printed with 15 (or 7) digits: the digits survive, not every bit. Text that
            // rounded up past the largest value may overflow.
            const double magnitude = std::fabs(value.vt == VT_R8 ? value.dblVal : value.fltVal);
            if (!std::isfinite(magnitude)) return;
            if (hr == DISP_E_OVERFLOW &&
                magnitude > (value.vt == VT_R8 ? 1.7976931348623e308 : 3.402823e38))
                return;
            FUZZ_CHECK(hr == S_OK);
            if (value.vt == VT_R8) {
                FUZZ_CHECK(TextOf(back) == text);
            } else {
                // Seven digits are one more than a float keeps: 1.0000002E+28 prints as 1E+28,
                // which reads back as the float below 1E+28 and prints as 9.999999E+27. The value
                // stays within the rounding of the seventh digit.
                FUZZ_CHECK(std::fabs(back.fltVal - value.fltVal) <= magnitude * 1e-6);
            }
            return;
        }
        case VT_DATE:
            FUZZ_CHECK(hr == S_OK);
            FUZZ_CHECK(SameSecond(value.date, back.date));
            return;
        case VT_DECIMAL:
            FUZZ_CHECK(hr == S_OK);
            FUZZ_CHECK(SameDecimal(value.decVal, back.decVal));
            return;
        case VT_CY:
            FUZZ_CHECK(hr == S_OK);
            FUZZ_CHECK(value.cyVal.int64 == back.cyVal.int64);
            return;
        case VT_BOOL:
            FUZZ_CHECK(hr == S_OK);
            FUZZ_CHECK(value.boolVal == back.boolVal);
            return;
        default:
            FUZZ_CHECK(hr == S_OK);
            FUZZ_CHECK(IntegerOf(value) == IntegerOf(back));
            return;
    }
}

void CheckText(const std::u16string& text) {
    const CComVariant source = Bstr(text);

    // Integers: one value whatever the width, refused only where it does not fit.
    bool have_value = false;
    Int128 value = 0;
    HRESULT results[std::size(kIntegerTypes)];
    for (std::size_t i = 0; i < std::size(kIntegerTypes); ++i) {
        CComVariant out;
        results[i] = Convert(source, kIntegerTypes[i], &out);
        if (FAILED(results[i])) continue;
        if (have_value) FUZZ_CHECK(IntegerOf(out) == value);
        have_value = true;
        value = IntegerOf(out);
        CheckRoundTrip(out);
    }
    for (std::size_t i = 0; i < std::size(kIntegerTypes); ++i) {
        if (have_value) {
            FUZZ_CHECK(SUCCEEDED(results[i]) == InRange(value, kIntegerTypes[i]));
            if (FAILED(results[i])) FUZZ_CHECK(results[i] == DISP_E_OVERFLOW);
        }
    }

    CComVariant converted[std::size(kOtherTypes)];
    for (std::size_t i = 0; i < std::size(kOtherTypes); ++i) {
        if (SUCCEEDED(Convert(source, kOtherTypes[i], &converted[i]))) CheckRoundTrip(converted[i]);
    }

    // The direct conversions read NUL-terminated text and follow the same rules.
    if (text.find(u'\0') != std::u16string::npos) return;
    CComVariant as_i4, as_r8, as_date, as_decimal;
    const HRESULT i4_hr = Convert(source, VT_I4, &as_i4);
    LONG i4 = 0;
    FUZZ_CHECK(VarI4FromStr(text.c_str(), LOCALE_USER_DEFAULT, 0, &i4) == i4_hr);
    if (SUCCEEDED(i4_hr)) FUZZ_CHECK(i4 == as_i4.lVal);
    const HRESULT r8_hr = Convert(source, VT_R8, &as_r8);
    double r8 = 0;
    FUZZ_CHECK(VarR8FromStr(text.c_str(), LOCALE_USER_DEFAULT, 0, &r8) == r8_hr);
    if (SUCCEEDED(r8_hr))
        FUZZ_CHECK(r8 == as_r8.dblVal || (std::isnan(r8) && std::isnan(as_r8.dblVal)));
    const HRESULT date_hr = Convert(source, VT_DATE, &as_date);
    DATE date = 0;
    FUZZ_CHECK(VarDateFromStr(text.c_str(), LOCALE_USER_DEFAULT, 0, &date) == date_hr);
    if (SUCCEEDED(date_hr)) FUZZ_CHECK(date == as_date.date);
    const HRESULT decimal_hr = Convert(source, VT_DECIMAL, &as_decimal);
    DECIMAL decimal{};
    FUZZ_CHECK(VarDecFromStr(text.c_str(), LOCALE_USER_DEFAULT, 0, &decimal) == decimal_hr);
    if (SUCCEEDED(decimal_hr)) FUZZ_CHECK(SameDecimal(decimal, as_decimal.decVal));
}

// Values read raw from the start of the input, whose text must give them back.
void CheckRawValues(const std::uint8_t* data, std::size_t size) {
    FuzzInput as_double(data, size), as_currency(data, size), as_decimal(data, size);
    CComVariant r8;
    r8.vt = VT_R8;
    r8.dblVal = as_double.Floating<double>();
    CheckRoundTrip(r8);
    if (automation::DateInRange(r8.dblVal)) {
        CComVariant date;
        date.vt = VT_DATE;
        date.date = r8.dblVal;
        CheckRoundTrip(date);
    }
    CComVariant cy;
    cy.vt = VT_CY;
    cy.cyVal.int64 = as_currency.Integral<LONGLONG>();
    CheckRoundTrip(cy);
    CComVariant decimal;
    decimal.decVal.Lo64 = as_decimal.Integral<ULONGLONG>();
    decimal.decVal.Hi32 = as_decimal.Integral<ULONG>();
    decimal.decVal.scale = as_decimal.InRange<BYTE>(0, 28);
    decimal.decVal.sign = as_decimal.Bool() ? DECIMAL_NEG : 0;
    decimal.vt = VT_DECIMAL;  // overlays wReserved: set after the value
    CheckRoundTrip(decimal);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckText(TextOf(data, size));
    CheckRawValues(data, size);
    return 0;
}
