// Conversions of VariantChangeTypeEx against the automation platform's results.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "platform/automation.h"

namespace {

CComVariant Str(const char16_t* text) {
    return CComVariant(text);
}

CComVariant I4(LONG v) {
    return CComVariant(v);
}

CComVariant R8(double v) {
    return CComVariant(v);
}

CComVariant Typed(VARTYPE vt, double value) {
    CComVariant v(value);
    EXPECT_EQ(VariantChangeType(&v, &v, 0, vt), S_OK);
    return v;
}

// Converts and returns the status; the result lands in *out.
HRESULT Convert(const VARIANT& in, VARTYPE vt, CComVariant* out, USHORT flags = 0) {
    return VariantChangeTypeEx(out, &in, LOCALE_USER_DEFAULT, flags, vt);
}

std::u16string Text(const VARIANT& in, USHORT flags = 0) {
    CComVariant out;
    HRESULT hr = Convert(in, VT_BSTR, &out, flags);
    if (FAILED(hr)) return u"<failed>";
    return std::u16string(out.bstrVal, SysStringLen(out.bstrVal));
}

HRESULT ToI4(const VARIANT& in, LONG* value) {
    CComVariant out;
    HRESULT hr = Convert(in, VT_I4, &out);
    if (SUCCEEDED(hr)) {
        EXPECT_EQ(out.vt, VT_I4);
        *value = out.lVal;
    }
    return hr;
}

HRESULT ToR8(const VARIANT& in, double* value) {
    CComVariant out;
    HRESULT hr = Convert(in, VT_R8, &out);
    if (SUCCEEDED(hr)) *value = out.dblVal;
    return hr;
}

TEST(VariantRounding, FloatingPointToIntegerRoundsHalfToEven) {
    struct Case {
        double in;
        LONG out;
    } cases[] = {{0.5, 0},    {1.5, 2},    {2.5, 2},   {3.5, 4},
                 {-0.5, 0},   {-1.5, -2},  {-2.5, -2}, {-3.5, -4},
                 {2.4999, 2}, {2.5001, 3}, {-2.6, -3}, {1e9 + 0.5, 1000000000}};
    for (const auto& c : cases) {
        LONG v = 77;
        EXPECT_EQ(ToI4(R8(c.in), &v), S_OK) << c.in;
        EXPECT_EQ(v, c.out) << c.in;
    }
    LONG v;
    ASSERT_EQ(VarI4FromR8(-2.5, &v), S_OK);
    EXPECT_EQ(v, -2);
    ASSERT_EQ(VarI4FromR8(6.5, &v), S_OK);
    EXPECT_EQ(v, 6);
}

TEST(VariantRounding, CurrencyDecimalAndTextRoundHalfToEven) {
    CComVariant cy = Typed(VT_CY, 2.5);
    EXPECT_EQ(cy.cyVal.int64, 25000);
    LONG v;
    ASSERT_EQ(ToI4(cy, &v), S_OK);
    EXPECT_EQ(v, 2);
    ASSERT_EQ(ToI4(Typed(VT_CY, -3.5), &v), S_OK);
    EXPECT_EQ(v, -4);

    CComVariant dec;
    ASSERT_EQ(Convert(Str(u"4.5"), VT_DECIMAL, &dec), S_OK);
    ASSERT_EQ(ToI4(dec, &v), S_OK);
    EXPECT_EQ(v, 4);
    ASSERT_EQ(Convert(Str(u"-5.5"), VT_DECIMAL, &dec), S_OK);
    ASSERT_EQ(ToI4(dec, &v), S_OK);
    EXPECT_EQ(v, -6);

    // Text is rounded exactly: no binary floating-point error near the half.
    ASSERT_EQ(ToI4(Str(u"2.5"), &v), S_OK);
    EXPECT_EQ(v, 2);
    ASSERT_EQ(ToI4(Str(u"3.5"), &v), S_OK);
    EXPECT_EQ(v, 4);
    ASSERT_EQ(ToI4(Str(u"2.50000000000000000001"), &v), S_OK);
    EXPECT_EQ(v, 3);
    ASSERT_EQ(ToI4(Str(u"-0.5"), &v), S_OK);
    EXPECT_EQ(v, 0);
}

struct Boundary {
    VARTYPE vt;
    double low, high;  // the extreme values that still fit
};

TEST(VariantOverflow, EveryIntegerTypeAtItsBoundaries) {
    const Boundary types[] = {{VT_I1, -128, 127},
                              {VT_UI1, 0, 255},
                              {VT_I2, -32768, 32767},
                              {VT_UI2, 0, 65535},
                              {VT_I4, -2147483648.0, 2147483647.0},
                              {VT_INT, -2147483648.0, 2147483647.0},
                              {VT_UI4, 0, 4294967295.0},
                              {VT_UINT, 0, 4294967295.0}};
    for (const auto& t : types) {
        CComVariant out;
        EXPECT_EQ(Convert(R8(t.low), t.vt, &out), S_OK) << t.vt;
        EXPECT_EQ(Convert(R8(t.high), t.vt, &out), S_OK) << t.vt;
        EXPECT_EQ(Convert(R8(t.low - 1), t.vt, &out), DISP_E_OVERFLOW) << t.vt;
        EXPECT_EQ(Convert(R8(t.high + 1), t.vt, &out), DISP_E_OVERFLOW) << t.vt;
        // A half past the top rounds to the even neighbour outside only when that is odd+1.
        EXPECT_EQ(Convert(R8(t.low - 0.5), t.vt, &out),
                  std::fmod(t.low, 2) == 0 ? S_OK : DISP_E_OVERFLOW)
            << t.vt;
        EXPECT_EQ(Convert(R8(t.high + 0.5), t.vt, &out), DISP_E_OVERFLOW) << t.vt;
        // The same limits from text and from a 64-bit integer.
        std::u16string high = Text(R8(t.high + 1));
        EXPECT_EQ(Convert(Str(high.c_str()), t.vt, &out), DISP_E_OVERFLOW) << t.vt;
        CComVariant wide = Typed(VT_I8, t.high);
        EXPECT_EQ(Convert(wide, t.vt, &out), S_OK);
        wide.llVal += 1;
        EXPECT_EQ(Convert(wide, t.vt, &out), DISP_E_OVERFLOW) << t.vt;
    }
    CComVariant out;
    EXPECT_EQ(Convert(R8(255.5), VT_UI1, &out), DISP_E_OVERFLOW);
    EXPECT_EQ(Convert(R8(254.5), VT_UI1, &out), S_OK);
    EXPECT_EQ(out.bVal, 254);
    EXPECT_EQ(Convert(R8(-0.5), VT_UI1, &out), S_OK);
    EXPECT_EQ(out.bVal, 0);
    EXPECT_EQ(Convert(R8(-0.51), VT_UI1, &out), DISP_E_OVERFLOW);
    EXPECT_EQ(Convert(R8(NAN), VT_I4, &out), DISP_E_OVERFLOW);
    EXPECT_EQ(Convert(I4(-1), VT_UI4, &out), DISP_E_OVERFLOW);
    EXPECT_EQ(Convert(I4(-1), VT_UI8, &out), DISP_E_OVERFLOW);
    EXPECT_EQ(Convert(R8(9223372036854775808.0), VT_I8, &out), DISP_E_OVERFLOW);
    EXPECT_EQ(Convert(R8(9223372036854774784.0), VT_I8, &out), S_OK);
    EXPECT_EQ(Convert(R8(18446744073709551616.0), VT_UI8, &out), DISP_E_OVERFLOW);
    EXPECT_EQ(Convert(Str(u"18446744073709551615"), VT_UI8, &out), S_OK);
    EXPECT_EQ(out.ullVal, 18446744073709551615ull);
    EXPECT_EQ(Convert(Str(u"18446744073709551616"), VT_UI8, &out), DISP_E_OVERFLOW);
    EXPECT_EQ(Convert(Str(u"-9223372036854775808"), VT_I8, &out), S_OK);
    EXPECT_EQ(out.llVal, INT64_MIN);
    EXPECT_EQ(Convert(Str(u"1e400"), VT_R8, &out), DISP_E_OVERFLOW);
    EXPECT_EQ(Convert(R8(1e39), VT_R4, &out), DISP_E_OVERFLOW);
    EXPECT_EQ(Convert(R8(1e300), VT_CY, &out), DISP_E_OVERFLOW);
}

TEST(VariantText, NumbersPrintAsThePlatformPrintsThem) {
    EXPECT_EQ(Text(R8(3.5)), u"3.5");
    EXPECT_EQ(Text(R8(-0.25)), u"-0.25");
    EXPECT_EQ(Text(R8(1e20)), u"1E+20");
    EXPECT_EQ(Text(R8(1e15)), u"1E+15");
    EXPECT_EQ(Text(R8(123456789012345.0)), u"123456789012345");
    EXPECT_EQ(Text(R8(0.1 + 0.2)), u"0.3");
    EXPECT_EQ(Text(R8(1.0 / 3)), u"0.333333333333333");
    EXPECT_EQ(Text(R8(0.00001)), u"1E-05");
    EXPECT_EQ(Text(R8(0.0001)), u"0.0001");
    EXPECT_EQ(Text(R8(-1.5e-100)), u"-1.5E-100");
    EXPECT_EQ(Text(R8(0.0)), u"0");
    EXPECT_EQ(Text(Typed(VT_R4, 0.1)), u"0.1");
    EXPECT_EQ(Text(Typed(VT_R4, 16777217.0)), u"1.677722E+07");
    EXPECT_EQ(Text(I4(-2147483647 - 1)), u"-2147483648");
    EXPECT_EQ(Text(Typed(VT_UI1, 200)), u"200");
    EXPECT_EQ(Text(Typed(VT_I1, -5)), u"-5");
    EXPECT_EQ(Text(Typed(VT_CY, 1.5)), u"1.5");
    EXPECT_EQ(Text(Typed(VT_CY, -12345.6789)), u"-12345.6789");
    EXPECT_EQ(Text(Typed(VT_CY, 7)), u"7");
    EXPECT_EQ(Text(CComVariant()), u"");
}

TEST(VariantText, TextParsesWithThePlatformNumberGrammar) {
    struct Case {
        const char16_t* in;
        double out;
    } good[] = {{u"3.5", 3.5},
                {u"  42  ", 42},
                {u"\t-7\r\n", -7},
                {u"+8", 8},
                {u"1,234,567", 1234567},
                {u"(5)", -5},
                {u"5-", -5},
                {u"&H10", 16},
                {u"&hff", 255},
                {u"&O17", 15},
                {u"1E3", 1000},
                {u"1.5e-2", 0.015},
                {u"2D2", 200},
                {u".5", 0.5},
                {u"7.", 7},
                {u"$12.50", 12.5},
                {u"-0", 0},
                {u"0.1", 0.1}};
    for (const auto& c : good) {
        double d = -1;
        EXPECT_EQ(ToR8(Str(c.in), &d), S_OK) << std::string(c.in, c.in + 1);
        EXPECT_EQ(d, c.out);
    }
    const char16_t* bad[] = {u"",   u"abc", u"12abc", u"1 2", u"--1",   u"1e", u".",
                             u"&H", u"&HG", u"(5",    u"5)",  u"1.2.3", u",5", u"+-1"};
    for (const char16_t* text : bad) {
        double d;
        EXPECT_EQ(ToR8(Str(text), &d), DISP_E_TYPEMISMATCH);
        LONG v;
        EXPECT_EQ(ToI4(Str(text), &v), DISP_E_TYPEMISMATCH);
    }
    // Hexadecimal fills the smallest of 16 or 32 bits that holds it, in two's complement.
    LONG v;
    ASSERT_EQ(ToI4(Str(u"&HFFFF"), &v), S_OK);
    EXPECT_EQ(v, -1);
    ASSERT_EQ(ToI4(Str(u"&H10000"), &v), S_OK);
    EXPECT_EQ(v, 65536);
    ASSERT_EQ(ToI4(Str(u"&HFFFFFFFF"), &v), S_OK);
    EXPECT_EQ(v, -1);
}

TEST(VariantBool, BooleansToTextAndBack) {
    CComVariant t(true), f(false);
    EXPECT_EQ(Text(t), u"-1");
    EXPECT_EQ(Text(f), u"0");
    EXPECT_EQ(Text(t, VARIANT_ALPHABOOL), u"True");
    EXPECT_EQ(Text(f, VARIANT_ALPHABOOL), u"False");
    LONG v;
    ASSERT_EQ(ToI4(t, &v), S_OK);
    EXPECT_EQ(v, -1);
    CComVariant out;
    ASSERT_EQ(Convert(t, VT_UI1, &out), DISP_E_OVERFLOW);
    ASSERT_EQ(Convert(t, VT_R8, &out), S_OK);
    EXPECT_EQ(out.dblVal, -1.0);

    struct Case {
        const char16_t* in;
        VARIANT_BOOL out;
    } cases[] = {{u"True", VARIANT_TRUE}, {u"FALSE", VARIANT_FALSE}, {u"tRuE", VARIANT_TRUE},
                 {u"0", VARIANT_FALSE},   {u"2", VARIANT_TRUE},      {u"-0.0", VARIANT_FALSE},
                 {u"0.1", VARIANT_TRUE}};
    for (const auto& c : cases) {
        ASSERT_EQ(Convert(Str(c.in), VT_BOOL, &out), S_OK);
        EXPECT_EQ(out.boolVal, c.out);
    }
    EXPECT_EQ(Convert(Str(u"yes"), VT_BOOL, &out), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Convert(Str(u""), VT_BOOL, &out), DISP_E_TYPEMISMATCH);
    ASSERT_EQ(Convert(R8(0.001), VT_BOOL, &out), S_OK);
    EXPECT_EQ(out.boolVal, VARIANT_TRUE);
}

TEST(VariantEmptyNull, EmptyIsZeroAndNullIsNoNumber) {
    CComVariant empty, null;
    null.vt = VT_NULL;
    CComVariant out;
    for (VARTYPE vt :
         {VT_I1, VT_UI1, VT_I2, VT_I4, VT_UI8, VT_R4, VT_R8, VT_CY, VT_DATE, VT_DECIMAL, VT_BOOL}) {
        ASSERT_EQ(Convert(empty, vt, &out), S_OK) << vt;
        EXPECT_EQ(out.vt, vt);
        CComVariant zero;
        EXPECT_EQ(VarCmp(&out, &zero, LOCALE_USER_DEFAULT, 0), VARCMP_EQ) << vt;
        EXPECT_EQ(Convert(null, vt, &out), DISP_E_TYPEMISMATCH) << vt;
    }
    ASSERT_EQ(Convert(empty, VT_BSTR, &out), S_OK);
    ASSERT_NE(out.bstrVal, nullptr);
    EXPECT_EQ(SysStringLen(out.bstrVal), 0u);
    EXPECT_EQ(Convert(null, VT_BSTR, &out), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Convert(null, VT_NULL, &out), S_OK);
    EXPECT_EQ(Convert(I4(5), VT_EMPTY, &out), S_OK);
    EXPECT_EQ(out.vt, VT_EMPTY);
}

TEST(VariantDecimal, ExactDecimalTextAndConversions) {
    CComVariant dec;
    ASSERT_EQ(Convert(Str(u"0.1"), VT_DECIMAL, &dec), S_OK);
    EXPECT_EQ(dec.vt, VT_DECIMAL);
    EXPECT_EQ(dec.decVal.scale, 1);
    EXPECT_EQ(dec.decVal.Lo64, 1u);
    EXPECT_EQ(Text(dec), u"0.1");
    ASSERT_EQ(Convert(Str(u"-79228162514264337593543950335"), VT_DECIMAL, &dec), S_OK);
    EXPECT_EQ(dec.decVal.Hi32, 0xFFFFFFFFu);
    EXPECT_EQ(dec.decVal.Lo64, ~0ull);
    EXPECT_EQ(dec.decVal.sign, DECIMAL_NEG);
    EXPECT_EQ(Text(dec), u"-79228162514264337593543950335");
    EXPECT_EQ(Convert(Str(u"79228162514264337593543950336"), VT_DECIMAL, &dec), DISP_E_OVERFLOW);
    ASSERT_EQ(Convert(Str(u"0.0000000000000000000000000001"), VT_DECIMAL, &dec), S_OK);
    EXPECT_EQ(dec.decVal.scale, 28);
    // Beyond 28 places the last digit is rounded away, half to even.
    ASSERT_EQ(Convert(Str(u"0.00000000000000000000000000005"), VT_DECIMAL, &dec), S_OK);
    EXPECT_EQ(Text(dec), u"0");
    ASSERT_EQ(Convert(Str(u"0.00000000000000000000000000015"), VT_DECIMAL, &dec), S_OK);
    EXPECT_EQ(Text(dec), u"0.0000000000000000000000000002");

    // Doubles become decimals through their 15-digit text.
    ASSERT_EQ(Convert(R8(0.1), VT_DECIMAL, &dec), S_OK);
    EXPECT_EQ(Text(dec), u"0.1");
    ASSERT_EQ(Convert(R8(-1234.5678), VT_DECIMAL, &dec), S_OK);
    EXPECT_EQ(Text(dec), u"-1234.5678");
    double d;
    ASSERT_EQ(ToR8(dec, &d), S_OK);
    EXPECT_EQ(d, -1234.5678);
    EXPECT_EQ(Convert(R8(1e30), VT_DECIMAL, &dec), DISP_E_OVERFLOW);

    ASSERT_EQ(Convert(Typed(VT_CY, 12.3456), VT_DECIMAL, &dec), S_OK);
    EXPECT_EQ(Text(dec), u"12.3456");
    CComVariant cy;
    ASSERT_EQ(Convert(Str(u"1.23455"), VT_DECIMAL, &dec), S_OK);
    ASSERT_EQ(Convert(dec, VT_CY, &cy), S_OK);
    EXPECT_EQ(cy.cyVal.int64, 12346);  // 1.2345|5 rounds to the even 1.2346
    ASSERT_EQ(Convert(Str(u"1.23445"), VT_CY, &cy), S_OK);
    EXPECT_EQ(cy.cyVal.int64, 12344);

    DECIMAL raw;
    ASSERT_EQ(VarDecFromStr(u"-2.50", LOCALE_USER_DEFAULT, 0, &raw), S_OK);
    BSTR text = nullptr;
    ASSERT_EQ(VarBstrFromDec(&raw, LOCALE_USER_DEFAULT, 0, &text), S_OK);
    EXPECT_EQ(std::u16string(text), u"-2.5");
    SysFreeString(text);
    ASSERT_EQ(VarR8FromDec(&raw, &d), S_OK);
    EXPECT_EQ(d, -2.5);
}

// Compares two variants and returns the relation.
HRESULT Cmp(VARIANT a, VARIANT b, ULONG flags = 0) {
    return VarCmp(&a, &b, LOCALE_USER_DEFAULT, flags);
}

TEST(VariantCompare, MixedTypesCompareByValue) {
    EXPECT_EQ(Cmp(I4(1), R8(1.0)), VARCMP_EQ);
    EXPECT_EQ(Cmp(I4(2), R8(2.5)), VARCMP_LT);
    EXPECT_EQ(Cmp(Typed(VT_UI1, 255), Typed(VT_I1, -1)), VARCMP_GT);
    EXPECT_EQ(Cmp(Typed(VT_CY, 1.5), R8(1.5)), VARCMP_EQ);
    CComVariant t(true);
    EXPECT_EQ(Cmp(t, I4(-1)), VARCMP_EQ);
    CComVariant big = Typed(VT_UI8, 0), small = Typed(VT_I8, 0);
    big.ullVal = 18446744073709551615ull;
    small.llVal = -1;
    EXPECT_EQ(Cmp(big, small), VARCMP_GT);
    CComVariant null;
    null.vt = VT_NULL;
    EXPECT_EQ(Cmp(null, I4(1)), VARCMP_NULL);
    EXPECT_EQ(Cmp(Str(u"a"), null), VARCMP_NULL);
    CComVariant empty;
    EXPECT_EQ(Cmp(empty, I4(0)), VARCMP_EQ);
    EXPECT_EQ(Cmp(empty, Str(u"")), VARCMP_EQ);
    EXPECT_EQ(Cmp(Str(u"x"), empty), VARCMP_GT);
    // A string is greater than any number.
    EXPECT_EQ(Cmp(Str(u"1"), I4(5)), VARCMP_GT);
    EXPECT_EQ(Cmp(I4(5), Str(u"1")), VARCMP_LT);
    LONG held = 3;
    CComVariant ref;
    ref.vt = VT_I4 | VT_BYREF;
    ref.plVal = &held;
    EXPECT_EQ(Cmp(ref, I4(3)), VARCMP_EQ);
}

TEST(VariantCompare, StringsOrdinalWithOptionalCaseFolding) {
    EXPECT_EQ(Cmp(Str(u"abc"), Str(u"abd")), VARCMP_LT);
    EXPECT_EQ(Cmp(Str(u"abc"), Str(u"ab")), VARCMP_GT);
    EXPECT_EQ(Cmp(Str(u"ABC"), Str(u"abc")), VARCMP_LT);
    EXPECT_EQ(Cmp(Str(u"ABC"), Str(u"abc"), NORM_IGNORECASE), VARCMP_EQ);
    EXPECT_EQ(Cmp(Str(u"\u00C4x"), Str(u"\u00E4X"), NORM_IGNORECASE), VARCMP_EQ);
    EXPECT_EQ(VarBstrCmp(nullptr, nullptr, LOCALE_USER_DEFAULT, 0), VARCMP_EQ);
    CComBSTR empty(u"");
    EXPECT_EQ(VarBstrCmp(nullptr, empty, LOCALE_USER_DEFAULT, 0), VARCMP_EQ);
    CComBSTR a(u"a");
    EXPECT_EQ(VarBstrCmp(nullptr, a, LOCALE_USER_DEFAULT, 0), VARCMP_LT);
    // Embedded zeros count: the length decides, not the terminator.
    CComBSTR with_zero(std::u16string_view(u"a\0b", 3));
    EXPECT_EQ(VarBstrCmp(a, with_zero, LOCALE_USER_DEFAULT, 0), VARCMP_LT);
}

}  // namespace
