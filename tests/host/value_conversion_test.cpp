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

TEST(ValueConversion, VariantsAsScriptValues) {
    LONG referenced = 42;
    CComVariant inner(u"in");
    CComVariant cy;
    cy.vt = VT_CY;
    cy.cyVal.int64 = 25000;  // 2.5
    CComVariant date;
    date.vt = VT_DATE;
    date.date = 45658;  // 2025-01-01
    CComVariant bad_date;
    bad_date.vt = VT_DATE;
    bad_date.date = 1e12;
    CComVariant missing, failed;
    missing.vt = failed.vt = VT_ERROR;
    missing.scode = DISP_E_PARAMNOTFOUND;
    failed.scode = E_FAIL;
    CComVariant null_object;
    null_object.vt = VT_DISPATCH;
    null_object.pdispVal = nullptr;
    CComVariant unsigned64;
    unsigned64.vt = VT_UI8;
    unsigned64.ullVal = 18446744073709551615ull;
    const struct {
        CComVariant value;
        const char* made;
    } cases[] = {
        {CComVariant(), "undefined"},
        {Null(), "null"},
        {CComVariant(true), "true"},
        {CComVariant(LONG{-7}), "-7"},
        {unsigned64, "1.8446744073709552e+19"},
        {cy, "2.5"},
        {date, "date 2025-1-1"},
        {bad_date, "undefined"},
        {missing, "undefined"},
        {failed, "-2147467259"},
        {null_object, "null"},
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
