// Conversions of VariantChangeTypeEx and comparisons of VarCmp against the automation platform's
// results. Each table row is input -> target type -> expected status and value.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "platform/automation.h"
#include "support/variants.h"

namespace {

// A variant of integer type `vt` (VT_ERROR included); the value is cut to the type's size.
CComVariant Int(VARTYPE vt, long long value) {
    CComVariant v;
    v.vt = vt;
    v.llVal = value;
    return v;
}

CComVariant Typed(VARTYPE vt, double value) {
    CComVariant v(value);
    EXPECT_EQ(VariantChangeType(&v, &v, 0, vt), S_OK);
    return v;
}

CComVariant Dec(const char16_t* text) {
    CComVariant v;
    EXPECT_EQ(VarDecFromStr(text, LOCALE_USER_DEFAULT, 0, &v.decVal), S_OK);
    v.vt = VT_DECIMAL;
    return v;
}

CComVariant RawDec(BYTE scale, BYTE sign, ULONGLONG mantissa) {
    CComVariant v;
    v.decVal = DECIMAL{};
    v.decVal.scale = scale;
    v.decVal.sign = sign;
    v.decVal.Lo64 = mantissa;
    v.vt = VT_DECIMAL;
    return v;
}

// The value written independently of the code under test: integers in decimal, floating point
// in its shortest exact form, decimals with exactly their scale, strings as UTF-8.
std::string ValueText(const VARIANT& v) {
    char text[64];
    auto shortest = [&](auto value) {
        return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
    };
    switch (v.vt) {
        case VT_EMPTY:
            return "empty";
        case VT_NULL:
            return "null";
        case VT_I1:
            return std::to_string(static_cast<signed char>(v.cVal));
        case VT_UI1:
            return std::to_string(v.bVal);
        case VT_I2:
        case VT_BOOL:
            return std::to_string(v.iVal);
        case VT_UI2:
            return std::to_string(v.uiVal);
        case VT_I4:
        case VT_INT:
            return std::to_string(v.lVal);
        case VT_UI4:
        case VT_UINT:
            return std::to_string(v.ulVal);
        case VT_I8:
        case VT_CY:
            return std::to_string(v.llVal);
        case VT_UI8:
            return std::to_string(v.ullVal);
        case VT_R4:
            return shortest(v.fltVal);
        case VT_R8:
        case VT_DATE:
            return shortest(v.dblVal);
        case VT_ERROR:
            std::snprintf(text, sizeof text, "error %08X", static_cast<unsigned>(v.scode));
            return text;
        case VT_BSTR:
            return Utf16ToUtf8({v.bstrVal ? v.bstrVal : u"", SysStringLen(v.bstrVal)});
        case VT_DECIMAL: {
            std::string digits;
            auto mantissa = (static_cast<unsigned __int128>(v.decVal.Hi32) << 64) | v.decVal.Lo64;
            // At least one digit before the point: leading zeros up to the scale.
            for (; digits.size() <= v.decVal.scale || mantissa; mantissa /= 10)
                digits.insert(digits.begin(), static_cast<char>('0' + int(mantissa % 10)));
            if (v.decVal.scale) digits.insert(digits.size() - v.decVal.scale, ".");
            return (v.decVal.sign ? "-" : "") + digits;
        }
        default:
            return "vt " + std::to_string(v.vt);
    }
}

struct Conversion {
    CComVariant in;
    VARTYPE to;
    HRESULT hr;
    std::string value = "";  // checked when hr is S_OK
};

void ExpectConversions(const std::vector<Conversion>& cases, USHORT flags = 0) {
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Conversion& c = cases[i];
        CComVariant out;
        HRESULT hr = VariantChangeTypeEx(&out, &c.in, LOCALE_USER_DEFAULT, flags, c.to);
        EXPECT_EQ(hr, c.hr) << "row " << i << ": " << ValueText(c.in) << " to vt " << c.to;
        if (hr == S_OK && c.hr == S_OK) {
            EXPECT_EQ(out.vt, c.to) << "row " << i;
            EXPECT_EQ(ValueText(out), c.value) << "row " << i << ": " << ValueText(c.in);
            // Even an empty text is an allocated string, not a null one.
            EXPECT_TRUE(out.vt != VT_BSTR || out.bstrVal) << "row " << i;
        }
    }
}

// Each input converts to `to` and reads as the text beside it.
void ExpectValues(VARTYPE to, const std::vector<std::pair<CComVariant, std::string>>& cases) {
    std::vector<Conversion> rows;
    for (const auto& [in, value] : cases)
        rows.push_back({in, to, S_OK, value});
    ExpectConversions(rows);
}

TEST(VariantRounding, EveryNumberRoundsHalfToEven) {
    // clang-format off
    const std::pair<double, LONG> cases[] = {
        {0.5, 0},   {1.5, 2},   {2.5, 2},    {3.5, 4},    {-0.5, 0},   {-1.5, -2},
        {-2.5, -2}, {-3.5, -4}, {6.5, 6},    {-6.5, -6},  {0.4999, 0}, {-2.6, -3},
        {2.4999, 2}, {2.5001, 3}, {1e9 + 0.5, 1000000000}, {-1e9 - 0.5, -1000000000}};
    // clang-format on
    for (const auto& [in, out] : cases) {
        LONG direct = 77;
        ASSERT_EQ(VarI4FromR8(in, &direct), S_OK) << in;
        EXPECT_EQ(direct, out) << in;
        ExpectConversions({{R8(in), VT_I4, S_OK, std::to_string(out)}});
    }
    // So do currency, decimals and text.
    EXPECT_EQ(Typed(VT_CY, 2.5).cyVal.int64, 25000);
    // Text is rounded exactly: no binary floating-point error near the half.
    // clang-format off
    ExpectValues(VT_I4, {
        {Typed(VT_CY, 2.5), "2"}, {Typed(VT_CY, -3.5), "-4"}, {Dec(u"4.5"), "4"},
        {Dec(u"-5.5"), "-6"}, {Str(u"2.5"), "2"}, {Str(u"3.5"), "4"}, {Str(u"-0.5"), "0"},
        {Str(u"2.50000000000000000001"), "3"}, {Typed(VT_DATE, 36527.5), "36528"},
    });
    // clang-format on
    // 1.2345|5 to the even 1.2346
    ExpectValues(VT_CY, {{Dec(u"1.23455"), "12346"}, {Str(u"1.23445"), "12344"}});
}

TEST(VariantOverflow, EveryIntegerTypeAtItsBoundaries) {
    struct Boundary {
        VARTYPE vt;
        double low, high;  // the extreme values that still fit
    } types[] = {
        // clang-format off
        {VT_I1, -128, 127}, {VT_UI1, 0, 255}, {VT_I2, -32768, 32767}, {VT_UI2, 0, 65535},
        {VT_I4, -2147483648.0, 2147483647.0}, {VT_INT, -2147483648.0, 2147483647.0},
        {VT_UI4, 0, 4294967295.0}, {VT_UINT, 0, 4294967295.0},
        // clang-format on
    };
    for (const auto& t : types) {
        CComVariant out;
        auto status = [&](const VARIANT& in) {
            return VariantChangeTypeEx(&out, &in, LOCALE_USER_DEFAULT, 0, t.vt);
        };
        EXPECT_EQ(status(R8(t.low)), S_OK) << t.vt;
        EXPECT_EQ(status(R8(t.high)), S_OK) << t.vt;
        EXPECT_EQ(status(R8(t.low - 1)), DISP_E_OVERFLOW) << t.vt;
        EXPECT_EQ(status(R8(t.high + 1)), DISP_E_OVERFLOW) << t.vt;
        // A half outside rounds back in only when the boundary is even.
        EXPECT_EQ(status(R8(t.low - 0.5)), std::fmod(t.low, 2) == 0 ? S_OK : DISP_E_OVERFLOW);
        EXPECT_EQ(status(R8(t.high + 0.5)), DISP_E_OVERFLOW) << t.vt;
        // The same limits from text and from a 64-bit integer.
        const auto above = std::to_string(static_cast<long long>(t.high) + 1);
        EXPECT_EQ(status(Str(Utf8ToUtf16(above))), DISP_E_OVERFLOW) << t.vt;
        EXPECT_EQ(status(Int(VT_I8, static_cast<long long>(t.high))), S_OK) << t.vt;
        EXPECT_EQ(status(Int(VT_I8, static_cast<long long>(t.high) + 1)), DISP_E_OVERFLOW);
    }
    // clang-format off
    constexpr HRESULT kOver = DISP_E_OVERFLOW;
    ExpectConversions({
        {R8(255.5), VT_UI1, kOver}, {R8(-0.51), VT_UI1, kOver}, {R8(NAN), VT_I4, kOver},
        {I4(-1), VT_UI4, kOver}, {I4(-1), VT_UI8, kOver}, {R8(9223372036854775808.0), VT_I8, kOver},
        {R8(18446744073709551616.0), VT_UI8, kOver}, {Str(u"18446744073709551616"), VT_UI8, kOver},
        {Str(u"1e400"), VT_R8, kOver}, {R8(1e39), VT_R4, kOver}, {R8(1e300), VT_CY, kOver},
        // Dates run from 1/1/100 to the end of 12/31/9999.
        {R8(2958466.0), VT_DATE, kOver}, {R8(-657435.0), VT_DATE, kOver},
        {I4(3000000), VT_DATE, kOver}, {R8(2958465.5), VT_DATE, S_OK, "2958465.5"},
        {R8(-657434.5), VT_DATE, S_OK, "-657434.5"},
        // Same size, other signedness: what does not fit overflows, no reinterpreting.
        {Int(VT_UI4, 0xFFFFFFFF), VT_I4, kOver}, {Int(VT_I2, 0xFFFF), VT_UI2, kOver},
        {Int(VT_UI1, 0xFF), VT_I1, kOver},
        {R8(254.5), VT_UI1, S_OK, "254"}, {R8(-0.5), VT_UI1, S_OK, "0"},
        {Int(VT_UI2, 0x7FFF), VT_I2, S_OK, "32767"},
        {R8(9223372036854774784.0), VT_I8, S_OK, "9223372036854774784"},
        {Str(u"18446744073709551615"), VT_UI8, S_OK, "18446744073709551615"},
        {Str(u"-9223372036854775808"), VT_I8, S_OK, "-9223372036854775808"},
    });
    // clang-format on
}

// Small magnitudes print positionally while the digits after the point number at most 15:
// down to 0.000000000000001, and a 15-digit value already below 0.1 takes the exponent form.
TEST(VariantText, NumbersPrintAsThePlatformPrintsThem) {
    const double kFloatHundredthPlusHundredth =
        static_cast<double>(static_cast<float>(0.01)) + 0.01;
    // clang-format off
    ExpectValues(VT_BSTR, {
        {R8(3.5), "3.5"}, {R8(-0.25), "-0.25"}, {R8(1e20), "1E+20"}, {R8(1e15), "1E+15"},
        {R8(123456789012345.0), "123456789012345"}, {R8(0.1 + 0.2), "0.3"},
        {R8(1.0 / 3), "0.333333333333333"}, {R8(-1.5e-100), "-1.5E-100"}, {R8(0.0), "0"},
        {Typed(VT_R4, 0.1), "0.1"}, {Typed(VT_R4, 16777217.0), "1.677722E+07"},
        {I4(-2147483647 - 1), "-2147483648"}, {Int(VT_UI1, 200), "200"}, {Int(VT_I1, -5), "-5"},
        {Typed(VT_CY, 1.5), "1.5"}, {Typed(VT_CY, -12345.6789), "-12345.6789"},
        {Typed(VT_CY, 7), "7"}, {CComVariant(), ""},
        {R8(0.000056789), "0.000056789"}, {R8(-0.000056789), "-0.000056789"},
        {R8(0.0001), "0.0001"}, {R8(0.00001), "0.00001"}, {R8(1e-15), "0.000000000000001"},
        {R8(1e-16), "1E-16"}, {R8(kFloatHundredthPlusHundredth), "1.99999997764826E-02"},
    });
    // clang-format on
    CComBSTR text;
    ASSERT_EQ(VarBstrFromR8(0.000056789, LOCALE_USER_DEFAULT, 0, &text), S_OK);
    EXPECT_EQ(text.view(), u"0.000056789");
}

TEST(VariantText, TextParsesWithThePlatformNumberGrammar) {
    // clang-format off
    ExpectValues(VT_R8, {
        {Str(u"3.5"), "3.5"}, {Str(u"  42  "), "42"}, {Str(u"\t-7\r\n"), "-7"}, {Str(u"+8"), "8"},
        {Str(u"1,234,567"), "1234567"}, {Str(u"(5)"), "-5"}, {Str(u"5-"), "-5"},
        {Str(u"&H10"), "16"}, {Str(u"&hff"), "255"}, {Str(u"&O17"), "15"}, {Str(u"1E3"), "1000"},
        {Str(u"1.5e-2"), "0.015"}, {Str(u"2D2"), "200"}, {Str(u".5"), "0.5"}, {Str(u"7."), "7"},
        {Str(u"$12.50"), "12.5"}, {Str(u"-0"), "0"}, {Str(u"0.1"), "0.1"},
    });
    // "&H" and "&O" numbers hold at most 32 bits; up to 16 bits they are a signed 16-bit number,
    // beyond that a signed 32-bit one, whatever the target type.
    ExpectConversions({
        {Str(u"&HFFFF"), VT_I2, S_OK, "-1"}, {Str(u"&HFFFF"), VT_I4, S_OK, "-1"},
        {Str(u"&H8000"), VT_I2, S_OK, "-32768"}, {Str(u"&H7FFF"), VT_I2, S_OK, "32767"},
        {Str(u"&H10000"), VT_I4, S_OK, "65536"}, {Str(u"&H10000"), VT_I2, DISP_E_OVERFLOW},
        {Str(u"&HFFFFFFFF"), VT_I4, S_OK, "-1"}, {Str(u"&H80000000"), VT_R8, S_OK, "-2147483648"},
        {Str(u"&H100000000"), VT_I8, DISP_E_OVERFLOW}, {Str(u"&H100000000"), VT_R8, DISP_E_OVERFLOW},
    });
    // clang-format on
    for (const char16_t* text : {u"", u"abc", u"12abc", u"1 2", u"--1", u"1e", u".", u"&H", u"&HG",
                                 u"(5", u"5)", u"1.2.3", u",5", u"+-1"})
        ExpectConversions(
            {{Str(text), VT_R8, DISP_E_TYPEMISMATCH}, {Str(text), VT_I4, DISP_E_TYPEMISMATCH}});
}

// True has every bit set, so an integer type of any width takes it without overflow.
TEST(VariantBool, BooleansToTextNumbersAndBack) {
    CComVariant t(true), f(false);
    ExpectConversions({{t, VT_BSTR, S_OK, "True"}, {f, VT_BSTR, S_OK, "False"}}, VARIANT_ALPHABOOL);
    // clang-format off
    ExpectConversions({
        {t, VT_BSTR, S_OK, "-1"}, {f, VT_BSTR, S_OK, "0"}, {t, VT_R8, S_OK, "-1"},
        {t, VT_UI1, S_OK, "255"}, {t, VT_UI2, S_OK, "65535"}, {t, VT_I1, S_OK, "-1"},
        {t, VT_I2, S_OK, "-1"}, {t, VT_I4, S_OK, "-1"}, {t, VT_INT, S_OK, "-1"},
        {t, VT_I8, S_OK, "-1"}, {f, VT_UI1, S_OK, "0"}, {f, VT_UI2, S_OK, "0"},
        {Str(u"True"), VT_BOOL, S_OK, "-1"}, {Str(u"FALSE"), VT_BOOL, S_OK, "0"},
        {Str(u"tRuE"), VT_BOOL, S_OK, "-1"}, {Str(u"0"), VT_BOOL, S_OK, "0"},
        {Str(u"2"), VT_BOOL, S_OK, "-1"}, {Str(u"-0.0"), VT_BOOL, S_OK, "0"},
        {Str(u"0.1"), VT_BOOL, S_OK, "-1"}, {R8(0.001), VT_BOOL, S_OK, "-1"},
        {Str(u"yes"), VT_BOOL, DISP_E_TYPEMISMATCH}, {Str(u""), VT_BOOL, DISP_E_TYPEMISMATCH},
    });
    // clang-format on
}

TEST(VariantEmptyNull, EmptyIsZeroAndNullIsNoNumber) {
    CComVariant empty, null = Null();
    for (VARTYPE vt :
         {VT_I1, VT_UI1, VT_I2, VT_I4, VT_UI8, VT_R4, VT_R8, VT_CY, VT_DATE, VT_DECIMAL, VT_BOOL}) {
        CComVariant out, zero;
        ASSERT_EQ(VariantChangeType(&out, &empty, 0, vt), S_OK) << vt;
        EXPECT_EQ(out.vt, vt);
        EXPECT_EQ(VarCmp(&out, &zero, LOCALE_USER_DEFAULT, 0), VARCMP_EQ) << vt;
        EXPECT_EQ(VariantChangeType(&out, &null, 0, vt), DISP_E_TYPEMISMATCH) << vt;
    }
    // clang-format off
    ExpectConversions({
        {empty, VT_BSTR, S_OK, ""}, {null, VT_BSTR, DISP_E_TYPEMISMATCH},
        {null, VT_NULL, S_OK, "null"},
        // Only nothing becomes null.
        {empty, VT_NULL, S_OK, "null"}, {I4(0), VT_NULL, DISP_E_TYPEMISMATCH},
        {Str(u""), VT_NULL, DISP_E_TYPEMISMATCH}, {I4(5), VT_EMPTY, S_OK, "empty"},
        // Neither is an object nor an error value.
        {empty, VT_DISPATCH, DISP_E_TYPEMISMATCH}, {empty, VT_UNKNOWN, DISP_E_TYPEMISMATCH},
        {empty, VT_ERROR, DISP_E_TYPEMISMATCH}, {null, VT_DISPATCH, DISP_E_TYPEMISMATCH},
        {null, VT_UNKNOWN, DISP_E_TYPEMISMATCH}, {null, VT_ERROR, DISP_E_TYPEMISMATCH},
        // Error values only become integers and back.
        {Int(VT_ERROR, DISP_E_PARAMNOTFOUND), VT_BSTR, DISP_E_TYPEMISMATCH},
        {Int(VT_ERROR, DISP_E_PARAMNOTFOUND), VT_I4, S_OK, std::to_string(DISP_E_PARAMNOTFOUND)},
        {I4(5), VT_ERROR, S_OK, "error 00000005"},
    });
    // clang-format on
}

TEST(VariantDecimal, ExactTextConversionsAndInvalidScaleOrSign) {
    // clang-format off
    ExpectConversions({
        {Str(u"0.1"), VT_DECIMAL, S_OK, "0.1"},
        {Str(u"-79228162514264337593543950335"), VT_DECIMAL, S_OK,
         "-79228162514264337593543950335"},
        {Str(u"79228162514264337593543950336"), VT_DECIMAL, DISP_E_OVERFLOW},
        {Str(u"0.0000000000000000000000000001"), VT_DECIMAL, S_OK,
         "0.0000000000000000000000000001"},
        // Beyond 28 places the last digit is rounded away, half to even.
        {Dec(u"0.00000000000000000000000000005"), VT_BSTR, S_OK, "0"},
        {Str(u"0.00000000000000000000000000015"), VT_DECIMAL, S_OK,
         "0.0000000000000000000000000002"},
        // Doubles become decimals through their 15-digit text.
        {R8(0.1), VT_DECIMAL, S_OK, "0.1"}, {R8(-1234.5678), VT_DECIMAL, S_OK, "-1234.5678"},
        {Dec(u"-1234.5678"), VT_R8, S_OK, "-1234.5678"}, {R8(1e30), VT_DECIMAL, DISP_E_OVERFLOW},
        {Typed(VT_CY, 12.3456), VT_DECIMAL, S_OK, "12.3456"},
        {Dec(u"-79228162514264337593543950335"), VT_BSTR, S_OK, "-79228162514264337593543950335"},
    });
    // clang-format on
    const DECIMAL raw = Dec(u"-2.50").decVal;
    CComBSTR text;
    double d;
    ASSERT_EQ(VarBstrFromDec(&raw, LOCALE_USER_DEFAULT, 0, &text), S_OK);
    ASSERT_EQ(VarR8FromDec(&raw, &d), S_OK);
    EXPECT_EQ(text.view(), u"-2.5");
    EXPECT_EQ(d, -2.5);

    // A scale above 28 or a sign byte other than 0 and DECIMAL_NEG is no decimal at all.
    for (const CComVariant& bad : {RawDec(29, 0, 5), RawDec(255, 0, 0), RawDec(0, 0x01, 5),
                                   RawDec(2, 0x7F, 5), RawDec(0, 0xFF, 0)}) {
        for (VARTYPE vt :
             {VT_I1, VT_UI1, VT_I4, VT_UI8, VT_R4, VT_R8, VT_CY, VT_DATE, VT_BOOL, VT_BSTR})
            ExpectConversions({{bad, vt, E_INVALIDARG}});
        double d;
        CComBSTR text;
        EXPECT_EQ(VarR8FromDec(&bad.decVal, &d), E_INVALIDARG);
        EXPECT_EQ(VarBstrFromDec(&bad.decVal, LOCALE_USER_DEFAULT, 0, &text), E_INVALIDARG);
    }
    // The limits themselves are valid, and so is a negative zero; a reference points at a DECIMAL.
    CComVariant held = RawDec(1, 0, 15);
    ExpectConversions({{RawDec(28, 0, 5), VT_BSTR, S_OK, "0.0000000000000000000000000005"},
                       {RawDec(0, DECIMAL_NEG, 0), VT_BSTR, S_OK, "0"},
                       {RawDec(1, DECIMAL_NEG, 5), VT_R8, S_OK, "-0.5"},
                       {ByRef(VT_DECIMAL, &held.decVal), VT_BSTR, S_OK, "1.5"}});
}

struct Comparison {
    CComVariant left, right;
    HRESULT expected;
    ULONG flags = 0;
};

// Each row compared with its flags and `more`; two strings also compared directly.
void ExpectComparisons(const std::vector<Comparison>& cases, ULONG more = 0) {
    for (std::size_t i = 0; i < cases.size(); ++i) {
        CComVariant l = cases[i].left, r = cases[i].right;
        const ULONG flags = cases[i].flags | more;
        EXPECT_EQ(VarCmp(&l, &r, LOCALE_USER_DEFAULT, flags), cases[i].expected)
            << "row " << i << ": " << ValueText(l) << " vs " << ValueText(r) << ", flags " << flags;
        if (l.vt == VT_BSTR && r.vt == VT_BSTR) {
            EXPECT_EQ(VarBstrCmp(l.bstrVal, r.bstrVal, LOCALE_USER_DEFAULT, flags),
                      cases[i].expected)
                << "row " << i;
        }
    }
}

TEST(VariantCompare, MixedTypesByValueStringsOrdinallyNullStringsAsEmptyErrorsOnlyWithErrors) {
    LONG held = 3;
    CComVariant ref = ByRef(VT_I4, &held), empty, null = Null();
    const CComVariant missing = Int(VT_ERROR, DISP_E_PARAMNOTFOUND);
    // clang-format off
    ExpectComparisons({
        {I4(1), R8(1.0), VARCMP_EQ}, {I4(2), R8(2.5), VARCMP_LT},
        {Int(VT_UI1, 255), Int(VT_I1, -1), VARCMP_GT}, {Typed(VT_CY, 1.5), R8(1.5), VARCMP_EQ},
        {CComVariant(true), I4(-1), VARCMP_EQ}, {Int(VT_UI8, -1), Int(VT_I8, -1), VARCMP_GT},
        {null, I4(1), VARCMP_NULL}, {Str(u"a"), null, VARCMP_NULL}, {empty, I4(0), VARCMP_EQ},
        {empty, Str(u""), VARCMP_EQ}, {Str(u"x"), empty, VARCMP_GT},
        // A string is greater than any number.
        {Str(u"1"), I4(5), VARCMP_GT}, {I4(5), Str(u"1"), VARCMP_LT}, {ref, I4(3), VARCMP_EQ},
        // Strings compare ordinally, folding case when asked.
        {Str(u"abc"), Str(u"abd"), VARCMP_LT}, {Str(u"abc"), Str(u"ab"), VARCMP_GT},
        {Str(u"ABC"), Str(u"abc"), VARCMP_LT},
        {Str(u"ABC"), Str(u"abc"), VARCMP_EQ, NORM_IGNORECASE},
        {Str(u"\u00C4x"), Str(u"\u00E4X"), VARCMP_EQ, NORM_IGNORECASE},
        // Two error values are equal whatever their codes; an error beside anything else fails.
        {missing, missing, VARCMP_EQ}, {missing, Int(VT_ERROR, 5), VARCMP_EQ},
    });
    // clang-format on
    for (const CComVariant& other : {I4(0), R8(1.5), Str(u"x"), CComVariant()}) {
        CComVariant l = missing, r = other;
        EXPECT_TRUE(FAILED(VarCmp(&l, &r, LOCALE_USER_DEFAULT, 0))) << ValueText(other);
        EXPECT_TRUE(FAILED(VarCmp(&r, &l, LOCALE_USER_DEFAULT, 0))) << ValueText(other);
    }

    // A null BSTR reads as the empty string, in both comparisons and with case folded or not;
    // embedded zeros are characters like any other.
    CComVariant null_text = Str(u"");
    SysFreeString(std::exchange(null_text.bstrVal, nullptr));
    const CComVariant with_zero = Str({u"a\0b", 3}), tail = Str({u"a\0", 2});
    for (ULONG flags : {ULONG{0}, NORM_IGNORECASE}) {
        // clang-format off
        ExpectComparisons({
            {null_text, null_text, VARCMP_EQ}, {null_text, Str(u""), VARCMP_EQ},
            {Str(u""), null_text, VARCMP_EQ}, {null_text, Str(u"a"), VARCMP_LT},
            {null_text, empty, VARCMP_EQ}, {empty, null_text, VARCMP_EQ},
            {Str(u"a"), with_zero, VARCMP_LT}, {with_zero, Str({u"a\0c", 3}), VARCMP_LT},
            {tail, Str(u"a"), VARCMP_GT}, {tail, tail, VARCMP_EQ},
        }, flags);
        // clang-format on
    }
    // A string behind a reference converts with its whole length.
    CComVariant held_text = with_zero;
    ExpectConversions(
        {{ByRef(VT_BSTR, &held_text.bstrVal), VT_BSTR, S_OK, std::string("a\0b", 3)}});
}

}  // namespace
