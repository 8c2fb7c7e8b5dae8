// The value rules every engine's bridge shares: which script value a VARIANT becomes, and
// which VARIANT a script number becomes.
#include "host/bridge/value_conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "support/variants.h"

namespace {

using brevanto_bridge::BuildScriptValue;
using brevanto_bridge::NumberToVariant;

// Writes down what the conversion asked for.
class Recorder final : public brevanto_bridge::ScriptValueBuilder {
  public:
    std::string made;
    void Undefined() override { made = "undefined"; }
    void Null() override { made = "null"; }
    void Boolean(bool value) override { made = value ? "true" : "false"; }
    void Number(double value) override {
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", value);
        made = text;
    }
    void Text(const char16_t* text, std::size_t length) override {
        made = "'" + Utf16ToUtf8({text, length}) + "'";
    }
    void Date(const SYSTEMTIME& t) override {
        made = "date " + std::to_string(t.wYear) + "-" + std::to_string(t.wMonth) + "-" +
               std::to_string(t.wDay);
    }
    void Object(const VARIANT&) override { made = "object"; }
    void Array(const VARIANT&) override { made = "array"; }
};

std::string Made(const VARIANT& value) {
    Recorder recorder;
    BuildScriptValue(value, recorder);
    return recorder.made;
}

// A variant of type vt whose value `fill` sets.
template <class Fill>
CComVariant Typed(VARTYPE vt, Fill fill) {
    CComVariant v;
    v.vt = vt;
    fill(v);
    return v;
}

TEST(ValueConversion, VariantsAsScriptValues) {
    LONG referenced = 42;
    CComVariant inner(u"in");
    const struct {
        CComVariant value;
        const char* made;
    } cases[] = {
        {CComVariant(), "undefined"},
        {Null(), "null"},
        {CComVariant(true), "true"},
        {CComVariant(LONG{-7}), "-7"},
        {Typed(VT_UI8, [](VARIANT& v) { v.ullVal = 18446744073709551615ull; }),
         "1.8446744073709552e+19"},
        {Typed(VT_CY, [](VARIANT& v) { v.cyVal.int64 = 25000; }), "2.5"},
        {Typed(VT_DATE, [](VARIANT& v) { v.date = 45658; }), "date 2025-1-1"},
        {Typed(VT_DATE, [](VARIANT& v) { v.date = 1e12; }), "undefined"},
        {Typed(VT_ERROR, [](VARIANT& v) { v.scode = DISP_E_PARAMNOTFOUND; }), "undefined"},
        {Typed(VT_ERROR, [](VARIANT& v) { v.scode = E_FAIL; }), "-2147467259"},
        {Typed(VT_DISPATCH, [](VARIANT& v) { v.pdispVal = nullptr; }), "null"},
        {ByRef(VT_I4, &referenced), "42"},
        {ByRef(VT_VARIANT, &inner), "'in'"},
        {ByRef(VT_VARIANT, nullptr), "undefined"},
        {CComVariant(u"\u00e9t\u00e9"), "'\u00e9t\u00e9'"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Made(c.value), c.made) << "vt " << c.value.vt;
}

TEST(ValueConversion, WholeNumbersIn32BitsTravelAsI4) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double number;
        VARTYPE vt;
    } cases[] = {{0, VT_I4},
                 {-0.0, VT_R8},
                 {2147483647, VT_I4},
                 {-2147483648.0, VT_I4},
                 {2147483648.0, VT_R8},
                 {0.5, VT_R8},
                 {inf, VT_R8},
                 {-inf, VT_R8},
                 {std::nan(""), VT_R8}};
    for (const auto& c : cases) {
        CComVariant out(u"replaced");
        NumberToVariant(c.number, &out);
        EXPECT_EQ(out.vt, c.vt) << c.number;
        const double back = out.vt == VT_I4 ? out.lVal : out.dblVal;
        if (!std::isnan(c.number)) {
            EXPECT_EQ(back, c.number);
        }
    }
}

}  // namespace
