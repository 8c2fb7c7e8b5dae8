// The rules every engine's bridge shares: which script value a VARIANT becomes, which VARIANT a
// script number becomes, and how a call from the library on a script value is understood (the
// DISPIDs of member names, and what each DISPID, flag and argument combination asks for).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "host/bridge/script_call.h"
#include "host/bridge/value_conversion.h"
#include "support/variants.h"

namespace {

using brevanto_bridge::BuildScriptValue;
using brevanto_bridge::NumberToVariant;
using brevanto_bridge::ScriptMemberIds;
using brevanto_bridge::ScriptRequest;
using Kind = ScriptRequest::Kind;

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
    for (const auto& c : cases) {
        Recorder recorder;
        BuildScriptValue(c.value, recorder);
        EXPECT_EQ(recorder.made, c.made) << "vt " << c.value.vt;
    }
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

// The request as text: what it asks for, then what it carries (arguments by their values).
std::string Show(const ScriptRequest& r) {
    static const char* const kKinds[] = {"refuse",    "enumerate", "put", "call",
                                         "construct", "text",      "get"};
    char status[16];
    std::snprintf(status, sizeof status, " %08X", static_cast<unsigned>(r.status));
    std::string text = kKinds[static_cast<int>(r.kind)];
    if (r.kind == Kind::kRefuse) return text + status;
    if (r.name) text += " " + *r.name;
    if (r.self) text += " this=" + std::to_string(r.self->lVal);
    if (r.value) text += " value=" + std::to_string(r.value->lVal);
    if (r.call_if_function) text += " call-if-function";
    if (r.must_be_function) text += " must-be-function";
    for (const VARIANT* argument : r.arguments)
        text += " " + std::to_string(argument->lVal);
    return text;
}

TEST(ScriptCallTest, DispidFlagsAndArgumentsMakeTheRequest) {
    // Member names get the DISPIDs 1, 2, ... for good; 0 and below name no member.
    ScriptMemberIds ids;
    const DISPID member = ids.IdOf("member"), other = ids.IdOf("other"), unknown = 3;
    EXPECT_EQ(std::tuple(member, other, ids.IdOf("member")), std::tuple(1, 2, 1));
    EXPECT_TRUE(ids.Knows("other") && !ids.Knows("third"));
    constexpr WORD kGet = DISPATCH_PROPERTYGET, kMethod = DISPATCH_METHOD;
    constexpr WORD kPut = DISPATCH_PROPERTYPUT, kNew = DISPATCH_CONSTRUCT;
    // The arguments 1 and 2 (script order), `this` 3, a named put value 4.
    enum Args { kNone, kTwo, kThisAndTwo, kNamedPut };
    struct Case {
        DISPID dispid;
        WORD flags;
        Args args;
        bool callable;
        const char* request;
    } cases[] = {
        {DISPID_NEWENUM, kGet, kNone, false, "enumerate"},
        {DISPID_VALUE, kMethod, kThisAndTwo, true, "call this=3 1 2"},
        {DISPID_VALUE, kMethod | kGet, kTwo, true, "call 1 2"},
        {DISPID_VALUE, kNew, kTwo, true, "construct 1 2"},
        {DISPID_VALUE, kGet, kNone, true, "text"},  // default value of a function
        {DISPID_VALUE, kMethod | kGet, kNone, false, "text"},
        {DISPID_VALUE, kMethod, kNone, false, "refuse 80020003"},  // calling an object
        {member, kGet, kNone, false, "get member"},
        {other, kGet, kNone, false, "get other"},
        {member, kMethod, kTwo, false, "get member call-if-function must-be-function 1 2"},
        {member, kMethod | kGet, kTwo, false, "get member call-if-function 1 2"},
        // A named value wins; else the last positional argument (rgvarg[0]) is the value.
        {member, kPut, kTwo, false, "put member value=2"},
        {member, kPut, kNamedPut, false, "put member value=4"},
        {member, kPut, kNone, false, "refuse 8002000F"},
        {unknown, kPut, kTwo, false, "refuse 80020003"},
        {unknown, kGet, kNone, false, "refuse 80020003"},
        {DISPID_UNKNOWN, kGet, kNone, false, "refuse 80020003"},
        {DISPID_VALUE, kPut, kTwo, false, "refuse 80020003"},
    };
    for (const Case& c : cases) {
        // Arguments as dispatch passes them: named first, then positional last first.
        CComVariant first(1), second(2), self(3), put(4);
        std::vector<VARIANT> args;
        std::vector<DISPID> named;
        if (c.args == kThisAndTwo || c.args == kNamedPut) {
            args.push_back(c.args == kNamedPut ? put : self);
            named.push_back(c.args == kNamedPut ? DISPID_PROPERTYPUT : DISPID_THIS);
        }
        if (c.args == kTwo || c.args == kThisAndTwo) args.insert(args.end(), {second, first});
        DISPPARAMS params{args.data(), named.data(), static_cast<UINT>(args.size()),
                          static_cast<UINT>(named.size())};
        EXPECT_EQ(
            Show(brevanto_bridge::UnderstandScriptCall(c.dispid, c.flags, params, ids, c.callable)),
            c.request)
            << c.dispid << " " << c.flags << " " << c.args;
    }
}

}  // namespace
