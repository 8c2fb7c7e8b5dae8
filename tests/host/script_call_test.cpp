// How a call from the library on a script value is understood, whatever the engine: the
// DISPIDs of member names, and what each DISPID, flag and argument combination asks for.
#include "host/bridge/script_call.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using brevanto_bridge::ScriptMemberIds;
using brevanto_bridge::ScriptRequest;
using Kind = ScriptRequest::Kind;

TEST(ScriptCallTest, MemberIdsAreStableAndNeverZero) {
    ScriptMemberIds ids;
    EXPECT_EQ(ids.IdOf("a"), 1);
    EXPECT_EQ(ids.IdOf("b"), 2);
    EXPECT_EQ(ids.IdOf("a"), 1);
    EXPECT_TRUE(ids.Knows("b"));
    EXPECT_FALSE(ids.Knows("c"));
    ASSERT_NE(ids.NameOf(2), nullptr);
    EXPECT_EQ(*ids.NameOf(2), "b");
    for (DISPID unknown : {0, 3, -1, DISPID_VALUE, DISPID_NEWENUM})
        EXPECT_EQ(ids.NameOf(unknown), nullptr) << unknown;
}

TEST(ScriptCallTest, DispidFlagsAndArgumentsMakeTheRequest) {
    ScriptMemberIds ids;
    const DISPID member = ids.IdOf("member");
    const DISPID unknown = 99;
    constexpr WORD kGet = DISPATCH_PROPERTYGET, kMethod = DISPATCH_METHOD;
    constexpr WORD kPut = DISPATCH_PROPERTYPUT, kNew = DISPATCH_CONSTRUCT;
    enum Args { kNone, kTwo, kThisAndTwo, kNamedPut };
    struct Case {
        const char* what;
        DISPID dispid;
        WORD flags;
        Args args;
        bool callable;
        Kind kind;
        HRESULT status;  // for kRefuse
        bool call_if_function, must_be_function;
    } cases[] = {
        {"enumerator", DISPID_NEWENUM, kGet, kNone, false, Kind::kEnumerate, S_OK, false, false},
        {"function call", DISPID_VALUE, kMethod, kThisAndTwo, true, Kind::kCall, S_OK, false,
         false},
        {"call as get and method", DISPID_VALUE, kMethod | kGet, kTwo, true, Kind::kCall, S_OK,
         false, false},
        {"construct", DISPID_VALUE, kNew, kTwo, true, Kind::kConstruct, S_OK, false, false},
        {"default value of a function", DISPID_VALUE, kGet, kNone, true, Kind::kText, S_OK, false,
         false},
        {"default value of an object", DISPID_VALUE, kMethod | kGet, kNone, false, Kind::kText,
         S_OK, false, false},
        {"calling an object", DISPID_VALUE, kMethod, kNone, false, Kind::kRefuse,
         DISP_E_MEMBERNOTFOUND, false, false},
        {"property get", member, kGet, kNone, false, Kind::kGet, S_OK, false, false},
        {"method call", member, kMethod, kTwo, false, Kind::kGet, S_OK, true, true},
        {"get or call", member, kMethod | kGet, kTwo, false, Kind::kGet, S_OK, true, false},
        {"put, value positional", member, kPut, kTwo, false, Kind::kPut, S_OK, false, false},
        {"put, value named", member, kPut, kNamedPut, false, Kind::kPut, S_OK, false, false},
        {"put without a value", member, kPut, kNone, false, Kind::kRefuse, DISP_E_PARAMNOTOPTIONAL,
         false, false},
        {"put of an unknown member", unknown, kPut, kTwo, false, Kind::kRefuse,
         DISP_E_MEMBERNOTFOUND, false, false},
        {"get of an unknown member", unknown, kGet, kNone, false, Kind::kRefuse,
         DISP_E_MEMBERNOTFOUND, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
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
        ScriptRequest request =
            brevanto_bridge::UnderstandScriptCall(c.dispid, c.flags, params, ids, c.callable);
        ASSERT_EQ(request.kind, c.kind);
        if (c.kind == Kind::kRefuse) {
            EXPECT_EQ(request.status, c.status);
            continue;
        }
        EXPECT_EQ(request.call_if_function, c.call_if_function);
        EXPECT_EQ(request.must_be_function, c.must_be_function);
        if (c.kind == Kind::kGet || c.kind == Kind::kPut) {
            ASSERT_NE(request.name, nullptr);
            EXPECT_EQ(*request.name, "member");
        }
        if (c.kind == Kind::kPut) {
            ASSERT_NE(request.value, nullptr);
            // A named value wins; else the last positional argument (rgvarg[0]) is the value.
            EXPECT_EQ(request.value->lVal, c.args == kNamedPut ? 4 : 2);
            EXPECT_TRUE(request.arguments.empty());
            continue;
        }
        EXPECT_EQ(request.self != nullptr, c.args == kThisAndTwo);
        if (request.self) {
            EXPECT_EQ(request.self->lVal, 3);
        }
        // Positional arguments come out in script order.
        const bool two = c.args == kTwo || c.args == kThisAndTwo;
        ASSERT_EQ(request.arguments.size(), two ? 2u : 0u);
        if (two) {
            EXPECT_EQ(request.arguments[0]->lVal, 1);
            EXPECT_EQ(request.arguments[1]->lVal, 2);
        }
    }
}

}  // namespace
