// Expando members: the member table through CDispExObject and through a type-library object.
#include <gtest/gtest.h>

#include "dispatch/disp_ex_object.h"
#include "dispatch/dispatch_ex_impl.h"
#include "dispatch/function_objects.h"
#include "interfaces/ids.h"
#include "platform/safearray.h"
#include "platform/script_call.h"
#include "support/dispatch_results.h"
#include "support/script_doubles.h"
#include "support/variants.h"

namespace {

DISPID GetId(IDispatchEx* o, const char16_t* name, DWORD flags = fdexNameCaseSensitive) {
    CComBSTR n(name);
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(o->GetDispID(n, flags, &id), S_OK) << Utf16ToUtf8(name);
    return id;
}

TEST(MemberTable, NewNamesGetConsecutiveDispidsAndRevivalKeepsThem) {
    auto bag = New<CDispExObject>();
    const DISPID a = GetId(bag.get(), u"alpha");
    EXPECT_EQ(a, 10000);
    EXPECT_EQ(GetId(bag.get(), u"beta"), 10001);
    ASSERT_EQ(Call(bag.get(), a, DISPATCH_PROPERTYPUT, {I4(7)}), S_OK);
    ASSERT_EQ(bag->DeleteMemberByName(CComBSTR(u"alpha"), fdexNameCaseSensitive), S_OK);
    EXPECT_EQ(Got(bag.get(), a), Failed(DISP_E_MEMBERNOTFOUND));
    EXPECT_EQ(bag->members().Count(), 1u);

    // Revived under another spelling: same DISPID, empty value, the new spelling.
    EXPECT_EQ(GetId(bag.get(), u"ALPHA", fdexNameCaseInsensitive), 10000);
    EXPECT_EQ(Got(bag.get(), a), "EMPTY");
    CComBSTR spelled;
    ASSERT_EQ(bag->GetMemberName(a, &spelled), S_OK);
    EXPECT_EQ(spelled.view(), u"ALPHA");
    DWORD props = 0;
    EXPECT_EQ(bag->GetMemberProperties(a, 0xFFFF, &props), S_OK);
    EXPECT_EQ(props, fdexNameCaseInsensitive);
    EXPECT_EQ(GetId(bag.get(), u"gamma"), 10002);
}

TEST(MemberTable, CaseRulesOfTheTwoLookupsAndUnknownNamesWhenNotExpandable) {
    auto bag = New<CDispExObject>();
    const DISPID lower = GetId(bag.get(), u"name");
    EXPECT_NE(lower, GetId(bag.get(), u"NAME"));
    EXPECT_EQ(IdOf(bag.get(), u"Name"), lower);          // the first of the names in any case
    EXPECT_EQ(IdOf(bag.get(), u"VaLuE"), DISPID_VALUE);  // "value" in any case: the default member
    LPOLESTR two[] = {const_cast<LPOLESTR>(u"a"), const_cast<LPOLESTR>(u"b")};
    DISPID ids[2];
    EXPECT_EQ(bag->GetIDsOfNames(IID_NULL, two, 2, 0x400, ids), DISP_E_NONAMEDARGS);

    ComPtr<IQuorvaneSerialisable> s =
        ComPtr<IUnknown>(bag->GetUnknown()).As<IQuorvaneSerialisable>();
    ASSERT_TRUE(s);
    VARIANT_BOOL on = VARIANT_FALSE;
    ASSERT_EQ(s->get_DynamicMembers(&on), S_OK);
    EXPECT_EQ(on, VARIANT_TRUE);
    ASSERT_EQ(s->put_DynamicMembers(VARIANT_FALSE), S_OK);
    DISPID id = 0;
    EXPECT_EQ(bag->GetDispID(CComBSTR(u"nothing"), 0, &id), DISP_E_UNKNOWNNAME);
    // A script's property read finds the member in any case, and an unknown name by its absence.
    ASSERT_EQ(Call(bag.get(), lower, DISPATCH_PROPERTYPUT, {Str(u"kitchen")}), S_OK);
    CComVariant v;
    EXPECT_EQ(Answer(ReadScriptProperty(bag.get(), u"Name", &v), v), "BSTR kitchen");
    EXPECT_EQ(ReadScriptProperty(bag.get(), u"Other", &v), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(bag->members().Count(), 2u);  // name and NAME only
}

TEST(MemberTable, EnumerationSkipsDeletedMembers) {
    auto bag = New<CDispExObject>();
    const DISPID a = GetId(bag.get(), u"a"), b = GetId(bag.get(), u"b"), c = GetId(bag.get(), u"c");
    ASSERT_EQ(bag->DeleteMemberByDispID(b), S_OK);
    DISPID next = 0;
    ASSERT_EQ(bag->GetNextDispID(fdexEnumAll, DISPID_STARTENUM, &next), S_OK);
    EXPECT_EQ(next, a);
    ASSERT_EQ(bag->GetNextDispID(fdexEnumAll, next, &next), S_OK);
    EXPECT_EQ(next, c);
    EXPECT_EQ(bag->GetNextDispID(fdexEnumAll, next, &next), S_FALSE);
    EXPECT_EQ(bag->GetNextDispID(fdexEnumAll, b, &next), S_FALSE);
    EXPECT_EQ(bag->GetNextDispID(fdexEnumAll, -1, nullptr), E_POINTER);

    CComVariant names;
    ASSERT_EQ(bag->GetMemberNames(&names), S_OK);
    ASSERT_EQ(names.vt, VT_ARRAY | VT_BSTR);
    ASSERT_EQ(names.parray->rgsabound[0].cElements, 2u);
    EXPECT_EQ(CComBSTR(static_cast<BSTR*>(names.parray->pvData)[1]).view(), u"c");

    // DISPID -4 read as a property: an enumerator of the live names.
    CComVariant e;
    ASSERT_EQ(Call(bag.get(), DISPID_NEWENUM, DISPATCH_PROPERTYGET, {}, &e), S_OK);
    ASSERT_EQ(e.vt, VT_UNKNOWN);
    ComPtr<IEnumVARIANT> it;
    ASSERT_EQ(e.punkVal->QueryInterface(it.put()), S_OK);
    CComVariant items[3];
    ULONG fetched = 0;
    EXPECT_EQ(it->Next(3, items, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 2u);
    EXPECT_EQ(ShowVariant(items[0]) + ", " + ShowVariant(items[1]), "BSTR a, BSTR c");
}

TEST(MemberTable, IndexedGetCreatesIndexedPutStoresAndBadArgumentsOrFlagsAreRefused) {
    auto bag = New<CDispExObject>();
    CComVariant index(u"fresh"), out(LONG{5});  // the get must overwrite it
    EXPECT_EQ(Answer(Call(bag.get(), DISPID_VALUE, DISPATCH_PROPERTYGET, {index}, &out), out),
              "EMPTY");
    EXPECT_EQ(bag->members().Count(), 1u);
    EXPECT_NE(bag->members().Find(u"FRESH", 0), DISPID_UNKNOWN);

    // obj("fresh") = 3: the name is the last entry, the value the first.
    ASSERT_EQ(Call(bag.get(), DISPID_VALUE, DISPATCH_PROPERTYPUT, {index, I4(3)}), S_OK);
    EXPECT_EQ(Got(bag.get(), bag->members().Find(u"fresh", 0)), "I4 3");
    EXPECT_EQ(bag->members().Count(), 1u);

    // Argument and flag errors.
    EXPECT_EQ(Got(bag.get(), DISPID_VALUE), Failed(E_UNEXPECTED));
    EXPECT_EQ(Call(bag.get(), DISPID_VALUE, DISPATCH_PROPERTYPUT, {index}), DISP_E_BADPARAMCOUNT);
    DISPID a = GetId(bag.get(), u"a");
    CComVariant arg(LONG{1}), v;
    DISPPARAMS p{&arg, nullptr, 1, 0};
    for (WORD flags : {0, 5, 6, 7, 9, 10, 11, 13, 16})
        EXPECT_EQ(bag->Invoke(a, IID_NULL, 0x400, flags, &p, &v, nullptr, nullptr), E_UNEXPECTED)
            << flags;
    // Only the low 16 bits count.
    EXPECT_EQ(
        bag->InvokeEx(a, 0x400, static_cast<WORD>(DISPATCH_PROPERTYGET), &p, &v, nullptr, nullptr),
        S_OK);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(bag->InvokeEx(a, 0x400, DISPATCH_PROPERTYPUT, &none, nullptr, nullptr, nullptr),
              E_INVALIDARG);
    EXPECT_EQ(bag->InvokeEx(12345, 0x400, DISPATCH_PROPERTYPUT, &p, nullptr, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    IUnknown* parent = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(bag->GetNameSpaceParent(&parent), E_NOTIMPL);
    EXPECT_EQ(parent, nullptr);
}

TEST(MemberTable, StoredFunctionIsCalledAsMethod) {
    auto bag = New<CDispExObject>();
    auto fn = ScriptFunction::Returning(CComVariant(LONG{42}));
    DISPID f = GetId(bag.get(), u"f");
    ASSERT_EQ(Call(bag.get(), f, DISPATCH_PROPERTYPUT, {AsVariant(fn->GetUnknown())}), S_OK);
    CComVariant arg(u"x");
    DISPPARAMS p{&arg, nullptr, 1, 0};
    CComVariant r;
    ASSERT_EQ(bag->InvokeEx(f, 0x409, DISPATCH_METHOD, &p, &r, nullptr, nullptr), S_OK);
    ASSERT_EQ(fn->Calls(), 1);  // through its default member
    EXPECT_EQ(fn->Last().lcid, 0x409u);
    EXPECT_EQ(ShowVariant(fn->Last().args.at(0)), "BSTR x");
    EXPECT_EQ(r.lVal, 42);
    // A member holding no object cannot be called.
    DISPID g = GetId(bag.get(), u"g");
    ASSERT_EQ(Call(bag.get(), g, DISPATCH_PROPERTYPUT, {I4(1)}), S_OK);
    EXPECT_FALSE(SUCCEEDED(bag->InvokeEx(g, 0x400, DISPATCH_METHOD, &p, &r, nullptr, nullptr)));
}

TEST(FirstExpandoDispid, WidestGapRule) {
    EXPECT_EQ(FirstExpandoDispid(std::vector<DISPID>{}), 1);
    // Negative and zero DISPIDs never start a gap.
    EXPECT_EQ(FirstExpandoDispid(std::vector<DISPID>{DISPID_NEWENUM, 0, 0x12d, 0x131}), 0x132);
    // Equal gaps: the first one wins.
    EXPECT_EQ(FirstExpandoDispid(std::vector<DISPID>{0x3FFFFFFF}), 0x40000000);
    EXPECT_EQ(FirstExpandoDispid(std::vector<DISPID>{0x40000000}), 0x40000001);
}

// A type-library interface with function DISPIDs 1, 2 and 0x60020000.
struct ITestGadget : IDispatchEx {
    using Base = IDispatchEx;
    static constexpr IID kIid = brevanto_ids::Make(0xF0);
    static const InterfaceDesc& Describe();
    virtual HRESULT get_Size(LONG* pVal) = 0;
    virtual HRESULT put_Size(LONG newVal) = 0;
    virtual HRESULT Reset(LONG* pOld) = 0;

  protected:
    ~ITestGadget() = default;
};

const InterfaceDesc& ITestGadget::Describe() {
    using I = ITestGadget;
    static const InterfaceDesc desc(u"ITestGadget", kIid, nullptr,
                                    {
                                        Get<&I::get_Size>(u"Size", 1),
                                        Put<&I::put_Size>(u"Size", 1, {Arg(u"newVal")}),
                                        Method<&I::Reset>(u"Reset", 2),
                                        Method<&I::Reset>(u"Hidden", 0x60020000),
                                    });
    return desc;
}

class CGadget : public ComObjectRoot<CGadget, IDispatchExImpl<ITestGadget>> {
  public:
    CGadget() { DispatchExMembers().set_expandable(true); }
    HRESULT get_Size(LONG* v) override { return *v = size, S_OK; }
    HRESULT put_Size(LONG v) override { return size = v, S_OK; }
    HRESULT Reset(LONG* old) override { return *old = std::exchange(size, 0), S_OK; }
    LONG size = 0;
};

TEST(IDispatchExImpl, TypedMembersFirstThenExpandosAfterTheWidestGap) {
    auto g = New<CGadget>();
    ComPtr<IDispatchEx> ex = ComPtr<IUnknown>(g->GetUnknown()).As<IDispatchEx>();
    ASSERT_TRUE(ex);
    EXPECT_EQ(GetId(ex.get(), u"size"), 1);
    DISPID extra = GetId(ex.get(), u"extra");
    EXPECT_EQ(extra, 3);
    EXPECT_EQ(IdOf(ex.get(), u"RESET"), 2);

    ASSERT_EQ(Call(ex.get(), 1, DISPATCH_PROPERTYPUT, {I4(5)}), S_OK);
    EXPECT_EQ(g->size, 5);
    ASSERT_EQ(Call(ex.get(), extra, DISPATCH_PROPERTYPUT, {Str(u"x")}), S_OK);
    EXPECT_EQ(Got(ex.get(), extra), "BSTR x");
    // Typed members are not expandos: not enumerated, not deletable.
    DISPID next = 0;
    ASSERT_EQ(ex->GetNextDispID(0, DISPID_STARTENUM, &next), S_OK);
    EXPECT_EQ(next, extra);
    EXPECT_EQ(ex->GetNextDispID(0, next, &next), S_FALSE);
    EXPECT_EQ(ex->DeleteMemberByDispID(1), S_OK);
    EXPECT_EQ(Got(ex.get(), 1), "I4 5");
}

TEST(FunctionObjects, BoundMethodTurnsGetIntoCall) {
    auto g = New<CGadget>();
    g->size = 9;
    ComPtr<IDispatch> fn;
    ASSERT_EQ(
        CDispatchFunctionObjectSimple::Create(static_cast<ITestGadget*>(g.get()), 2, fn.put()),
        S_OK);
    EXPECT_EQ(Got(fn.get(), 1), Failed(DISP_E_MEMBERNOTFOUND));
    CComVariant r;
    EXPECT_EQ(Call(fn.get(), 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, &r), S_OK);
    EXPECT_EQ(g->size, 0);
    EXPECT_EQ(LookUp(fn.get(), u"Reset"), DISP_E_UNKNOWNNAME);
}

struct Doubler {
    HRESULT Twice(VARIANT arg, VARIANT* result) {
        ++calls;
        return CComVariant(arg.lVal * 2).Detach(result);
    }
    int calls = 0;
};

TEST(FunctionObjects, MethodFunctionCallsItsOperationUntilUnbound) {
    Doubler d;
    ComPtr<CMethodFunction<Doubler>> f;
    ASSERT_EQ(CMethodFunction<Doubler>::Create(&d, &Doubler::Twice, &f), S_OK);
    CComVariant arg(LONG{21}), r;
    EXPECT_EQ(Answer(Call(f.get(), 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {arg}, &r), r),
              "I4 42");
    f->Unbind();
    EXPECT_EQ(f->Call(arg, &r), E_FAIL);
    EXPECT_EQ(d.calls, 1);
}

TEST(CallScriptFunction, ArgumentsAndThis) {
    auto fn = ScriptFunction::Returning(CComVariant(LONG{42}));
    EXPECT_EQ(CallScriptFunction(nullptr, CComVariant(), nullptr), E_FAIL);

    ASSERT_EQ(CallScriptFunction(fn.get(), CComVariant(), nullptr), S_OK);
    EXPECT_EQ(fn->Last().args.size(), 0u);
    EXPECT_EQ(fn->Last().flags, DISPATCH_METHOD);
    EXPECT_EQ(fn->Last().lcid, 0x800u);

    // A by-reference argument arrives resolved.
    LONG seven = 7;
    CComVariant r;
    EXPECT_EQ(Answer(CallScriptFunction(fn.get(), ByRef(VT_I4, &seven), &r), r), "I4 42");
    ASSERT_EQ(fn->Last().args.size(), 1u);
    EXPECT_EQ(ShowVariant(fn->Last().args[0]), "I4 7");

    // `this` goes as the named argument DISPID_THIS.
    auto self = New<CDispExObject>();
    ASSERT_EQ(CallScriptFunction(fn.get(), CComVariant(LONG{1}), self.get(), nullptr), S_OK);
    ASSERT_EQ(fn->Last().args.size(), 1u);
    EXPECT_EQ(ShowVariant(fn->Last().args[0]), "I4 1");
    EXPECT_EQ(fn->Last().self.get(), static_cast<IDispatch*>(self.get()));

    // An expando object goes through InvokeEx: DISPID 0 as a method reaches no member there
    // (0 is not stored), which shows the IDispatchEx path was taken.
    EXPECT_EQ(CallScriptFunction(self.get(), CComVariant(), nullptr), DISP_E_MEMBERNOTFOUND);
}

}  // namespace
