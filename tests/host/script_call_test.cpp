// How a call from the library on a script value is understood, whatever the engine: the
// DISPIDs of member names, and what each DISPID, flag and argument combination asks for.
#include "host/bridge/script_call.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

namespace {

using brevanto_bridge::ScriptMemberIds;
using brevanto_bridge::ScriptRequest;
using Kind = ScriptRequest::Kind;

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
        if (c.args == kThisAndTwo) {
            args.push_back(self);
            named.push_back(DISPID_THIS);
        }
        if (c.args == kNamedPut) {
            args.push_back(put);
            named.push_back(DISPID_PROPERTYPUT);
        }
        if (c.args == kTwo || c.args == kThisAndTwo) {
            args.push_back(second);
            args.push_back(first);
        }
        DISPPARAMS params{args.data(), named.data(), static_cast<UINT>(args.size()),
                          static_cast<UINT>(named.size())};
        EXPECT_EQ(
            Show(brevanto_bridge::UnderstandScriptCall(c.dispid, c.flags, params, ids, c.callable)),
            c.request)
            << c.dispid << " " << c.flags << " " << c.args;
    }
}

}  // namespace
