#include "platform/dispatcher.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/com_object.h"
#include "support/dispatch_results.h"
#include "support/script_doubles.h"
#include "support/variants.h"

namespace {

// A part and a widget whose members each exercise one of the dispatcher's rules. Only the
// dispatcher calls them, so each interface carries its implementation.
struct IPart : IDispatch {
    static constexpr IID kIid{0x5e1f0001, 0x0002, 0x0003, {1, 2, 3, 4, 5, 6, 7, 9}};
    static const InterfaceDesc& Describe();
    HRESULT get_Size(LONG* size) { return *size = 5, S_OK; }
};

struct IWidget : IDispatch {
    static constexpr IID kIid{0x5e1f0002, 0x0002, 0x0003, {1, 2, 3, 4, 5, 6, 7, 9}};
    static const InterfaceDesc& Describe();
    HRESULT get_Value(LONG* value) { return *value = value_, S_OK; }
    HRESULT put_Value(LONG value) { return value_ = value, S_OK; }
    HRESULT get_Name(BSTR* name) { return *name = SysAllocString(name_.c_str()), S_OK; }
    HRESULT put_Name(BSTR name) { return name_ = name ? name : u"", S_OK; }
    HRESULT Sum(LONG a, SHORT b, LONG* sum) { return *sum = a + b, S_OK; }
    HRESULT get_Item(VARIANT index, VARIANT* item) {
        last_index_vt_ = index.vt;
        return item->vt = VT_I4, item->lVal = 100, S_OK;
    }
    HRESULT put_Item(VARIANT index, VARIANT* value) {
        last_index_vt_ = index.vt;
        return put_value_vt_ = value->vt, S_OK;
    }
    HRESULT Optional(VARIANT a, VARIANT b, LONG* missing) {
        *missing = (a.vt == VT_ERROR && a.scode == DISP_E_PARAMNOTFOUND) +
                   2 * (b.vt == VT_ERROR && b.scode == DISP_E_PARAMNOTFOUND);
        return S_OK;
    }
    HRESULT Defaulted(LONG a, LONG b, LONG* sum) { return *sum = a * 100 + b, S_OK; }
    HRESULT get_Flag(VARIANT_BOOL* flag) { return *flag = flag_, S_OK; }
    HRESULT put_Flag(VARIANT_BOOL flag) { return flag_ = flag, S_OK; }
    HRESULT Fail() { return E_ACCESSDENIED; }
    HRESULT Twice(LONG* value) { return *value *= 2, S_OK; }
    HRESULT Measure(IPart* part, LONG* size) { return part ? part->get_Size(size) : E_POINTER; }
    HRESULT get_Self(IWidget** self) { return *self = this, AddRef(), S_OK; }
    HRESULT NextDay(DATE day, DATE* next) { return *next = day + 1, S_OK; }
    HRESULT Small(BYTE b) { return value_ = b, S_OK; }
    HRESULT put_Part(IPart* part) { return part_ = part, S_OK; }
    HRESULT get_Big(ULONG* big) { return *big = 0xFFFFFFF0u, S_OK; }

    LONG value_ = 3;
    ComPtr<IPart> part_;
    std::u16string name_;
    VARIANT_BOOL flag_ = VARIANT_FALSE;
    VARTYPE last_index_vt_ = VT_EMPTY;
    VARTYPE put_value_vt_ = VT_EMPTY;

  protected:
    ~IWidget() = default;
};

const InterfaceDesc& IPart::Describe() {
    static const InterfaceDesc desc(u"IPart", kIid, nullptr, {Get<&IPart::get_Size>(u"Size", 1)});
    return desc;
}

const InterfaceDesc& IWidget::Describe() {
    static const InterfaceDesc desc(
        u"IWidget", kIid, nullptr,
        {
            Get<&IWidget::get_Value>(u"Value", 0x10),
            Put<&IWidget::put_Value>(u"Value", 0x10, {Arg(u"pVal")}),
            Get<&IWidget::get_Name>(u"Name", 0x11),
            Put<&IWidget::put_Name>(u"Name", 0x11, {Arg(u"pVal")}),
            Method<&IWidget::Sum>(u"Sum", 0x12, {Arg(u"A"), Arg(u"B")}),
            Get<&IWidget::get_Item>(u"Item", 0, {Arg(u"Index")}),
            Put<&IWidget::put_Item>(u"Item", 0, {Arg(u"Index"), Arg(u"value")}),
            Method<&IWidget::Optional>(u"Optional", 0x13, {Arg(u"A"), ::Optional(u"B")}),
            Method<&IWidget::Defaulted>(u"Defaulted", 0x14,
                                        {Arg(u"A"), Default(u"B", CComVariant(LONG{7}))}),
            Get<&IWidget::get_Flag>(u"Flag", 0x15, {}, VT_BOOL),
            Put<&IWidget::put_Flag>(u"Flag", 0x15, {Arg(u"pVal", VT_BOOL)}),
            Method<&IWidget::Fail>(u"Fail", 0x16),
            Method<&IWidget::Twice>(u"Twice", 0x17, {Arg(u"Value")}),
            Method<&IWidget::Measure>(u"Measure", 0x18, {Arg(u"Part")}),
            Get<&IWidget::get_Self>(u"Self", 0x19),
            Method<&IWidget::NextDay>(u"NextDay", 0x1a, {Arg(u"Day", VT_DATE)}, VT_DATE),
            Method<&IWidget::Small>(u"Small", 0x1b, {Arg(u"B")}),
            Put<&IWidget::put_Part>(u"Part", 0x1c, {Arg(u"pVal")}),
            Get<&IWidget::get_Big>(u"Big", 0x1d),
        });
    return desc;
}

class CPart : public ComObjectRoot<CPart, DispatchImpl<IPart>> {};
class CWidget : public ComObjectRoot<CWidget, DispatchImpl<IWidget>> {};

class DispatcherTest : public ::testing::Test {
  protected:
    // Invokes with the arguments in script order (a put passes its value as the named
    // DISPID_PROPERTYPUT argument); `argerr_` says which argument failed, counted from the last.
    HRESULT Run(DISPID id, WORD flags, std::vector<CComVariant> args, VARIANT* result = nullptr,
                bool named_put = true) {
        std::vector<VARIANT> rgvarg(args.rbegin(), args.rend());
        DISPID put = DISPID_PROPERTYPUT;
        const bool named = named_put && (flags & DISPATCH_PROPERTYPUT);
        DISPPARAMS p{rgvarg.data(), named ? &put : nullptr, static_cast<UINT>(rgvarg.size()),
                     named ? 1u : 0u};
        argerr_ = 0xFFFFFFFF;
        return disp_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &p, result, nullptr,
                             &argerr_);
    }
    // The IDs GetIDsOfNames gives `names`, expecting it to answer `hr`.
    std::vector<DISPID> Ids(std::vector<const char16_t*> names, HRESULT hr = S_OK) {
        std::vector<DISPID> ids(names.size());
        EXPECT_EQ(hr, disp_->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(names.data()),
                                           static_cast<UINT>(names.size()), LOCALE_USER_DEFAULT,
                                           ids.data()));
        return ids;
    }
    static constexpr WORD kCall = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
    static constexpr WORD kGet = DISPATCH_PROPERTYGET, kPut = DISPATCH_PROPERTYPUT,
                          kDo = DISPATCH_METHOD;

    ComPtr<CWidget> widget_ = New<CWidget>();
    ComPtr<IDispatch> disp_ = widget_.As<IDispatch>();
    UINT argerr_ = 0;
};

TEST_F(DispatcherTest, CallsCoerceAndPassTheirArgumentsAndReportWhichOneFailed) {
    constexpr UINT kAny = 0xFFFFFFFF;
    auto part = New<CPart>();
    // clang-format off
    const struct {
        DISPID id;
        WORD flags;
        std::vector<CComVariant> args;  // in script order
        HRESULT hr;
        const char* result;
        UINT argerr = kAny;  // counted from the last argument
    } calls[] = {
        {0x10, kCall, {}, S_OK, "I4 3"},
        {0x10, kPut, {Str(u"42")}, S_OK, "EMPTY"},  // a string coerced to the declared I4
        {0x10, kGet, {}, S_OK, "I4 42"}, {0x11, kPut, {R8(2.5)}, S_OK, "EMPTY"},
        {0x11, kGet, {}, S_OK, "BSTR 2.5"}, {0x12, kCall, {I4(1000), Str(u"7")}, S_OK, "I4 1007"},
        {0x12, kCall, {R8(2.5), R8(3.5)}, S_OK, "I4 6"},  // rounded half to even
        {0x12, kCall, {I4(1), Str(u"seven")}, DISP_E_TYPEMISMATCH, "EMPTY", 0},
        {0x12, kCall, {Str(u"x"), I4(1)}, DISP_E_TYPEMISMATCH, "EMPTY", 1},
        {0x12, kCall, {I4(1), I4(70000)}, DISP_E_OVERFLOW, "EMPTY", 0},
        {0x1b, kDo, {I4(256)}, DISP_E_OVERFLOW, "EMPTY", 0},
        {0x10, kPut, {Str(u"abc")}, DISP_E_TYPEMISMATCH, "EMPTY", 0},  // the value of a put
        {0x12, kCall, {I4(1)}, DISP_E_BADPARAMCOUNT, "EMPTY"},
        {0x12, kCall, {I4(1), I4(1), R8(1.0)}, DISP_E_BADPARAMCOUNT, "EMPTY"},
        {0x10, kCall, {I4(1)}, DISP_E_BADPARAMCOUNT, "EMPTY"},
        {0x13, kDo, {I4(1)}, S_OK, "I4 2"},  // only B is missing
        {0x13, kDo, {I4(1), I4(2)}, S_OK, "I4 0"}, {0x13, kDo, {}, DISP_E_BADPARAMCOUNT, "EMPTY"},
        {0x14, kDo, {I4(3)}, S_OK, "I4 307"}, {0x14, kDo, {I4(3), Str(u"9")}, S_OK, "I4 309"},
        {0x1a, kDo, {R8(100.5)}, S_OK, "DATE 4/10/1900 12:00:00 PM"},  // coerced to a date
        {0x15, kPut, {I4(1)}, S_OK, "EMPTY"}, {0x15, kGet, {}, S_OK, "BOOL true"},
        {0x999, kCall, {}, DISP_E_MEMBERNOTFOUND, "EMPTY"},
        {0x10, kDo, {}, DISP_E_MEMBERNOTFOUND, "EMPTY"},  // Value has no method
        {0x16, kPut, {I4(1)}, DISP_E_MEMBERNOTFOUND, "EMPTY"},  // Fail has no put
        {0x19, kPut, {I4(1)}, DISP_E_MEMBERNOTFOUND, "EMPTY"},  // nor has Self
        {0x16, kDo, {}, E_ACCESSDENIED, "EMPTY"}, {0x1d, kCall, {}, S_OK, "UI4 4294967280"},
        // An interface parameter takes only an object that answers its interface.
        {0x18, kDo, {AsVariant(part->GetUnknown())}, S_OK, "I4 5"},
        {0x18, kDo, {CComVariant(disp_.get())}, DISP_E_TYPEMISMATCH, "EMPTY", 0},
        {0x18, kDo, {I4(1)}, DISP_E_TYPEMISMATCH, "EMPTY", 0},
    };
    // clang-format on
    for (std::size_t i = 0; i < std::size(calls); ++i) {
        const auto& c = calls[i];
        SCOPED_TRACE(testing::Message() << "row " << i << ", dispid 0x" << std::hex << c.id);
        CComVariant result;
        EXPECT_EQ(Run(c.id, c.flags, c.args, &result), c.hr);
        EXPECT_EQ(ShowVariant(result), c.result);
        if (c.argerr != kAny) {
            EXPECT_EQ(argerr_, c.argerr);
        }
    }
    EXPECT_EQ(VARIANT_TRUE, widget_->flag_);
    CComVariant self, result;
    ASSERT_EQ(S_OK, Run(0x19, kCall, {}, &self));  // an interface result is the object
    EXPECT_EQ(self.vt, VT_DISPATCH);
    EXPECT_EQ(disp_.get(), self.pdispVal);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE, disp_->Invoke(0x10, IID_IDispatch, 0, DISPATCH_PROPERTYGET,
                                                     &none, &result, nullptr, nullptr));

    // A put needs the named DISPID_PROPERTYPUT; variants pass as given, references are written
    // through, null and empty pass as null interfaces.
    EXPECT_EQ(DISP_E_PARAMNOTFOUND, Run(0x10, kPut, {I4(1)}, nullptr, false));
    EXPECT_EQ(42, widget_->value_);  // as the last put left it
    // A named argument where the member takes none.
    VARIANT arg = I4(1);
    DISPID other = 0;
    DISPPARAMS named{&arg, &other, 1, 1};
    EXPECT_EQ(DISP_E_NONAMEDARGS,
              disp_->Invoke(0x12, IID_NULL, 0, kCall, &named, nullptr, nullptr, nullptr));

    EXPECT_EQ(Answer(Run(0, kCall, {Str(u"key")}, &result), result), "I4 100");
    EXPECT_EQ(VT_BSTR, widget_->last_index_vt_);
    ASSERT_EQ(S_OK, Run(0, kPut, {I4(1), R8(2.0)}));
    EXPECT_EQ(std::make_pair(widget_->last_index_vt_, widget_->put_value_vt_),
              std::make_pair(VARTYPE{VT_I4}, VARTYPE{VT_R8}));

    LONG value = 21;
    ASSERT_EQ(S_OK, Run(0x17, kDo, {ByRef(VT_I4, &value)}));
    EXPECT_EQ(42, value);  // written through the caller's reference
    // A value argument is coerced into a temporary; the caller's variant is not touched.
    CComVariant by_value(u"5");
    DISPPARAMS p{&by_value, nullptr, 1, 0};
    ASSERT_EQ(S_OK, disp_->Invoke(0x17, IID_NULL, 0, kDo, &p, nullptr, nullptr, &argerr_));
    EXPECT_EQ(ShowVariant(by_value), "BSTR 5");

    // A script's null and undefined reach an interface parameter as a null pointer, so that
    // `object.Handler = null` clears what was set.
    CComVariant null_value = Null();
    for (const CComVariant& null : {null_value, CComVariant(), ByRef(VT_VARIANT, &null_value)}) {
        SCOPED_TRACE(null.vt);
        EXPECT_EQ(E_POINTER, Run(0x18, kDo, {null}, &result));  // Measure got null
        widget_->part_ = part.get();
        EXPECT_EQ(S_OK, Run(0x1c, kPut, {null}));
        EXPECT_EQ(nullptr, widget_->part_.get());
    }
    // Only the dispatcher lets them through: as a conversion they stay a type mismatch (see
    // VariantEmptyNull.EmptyIsZeroAndNullIsNoNumber).
}

// Names are case-insensitive, with parameter names after the member's.
TEST_F(DispatcherTest, NamesAndTypeInformation) {
    EXPECT_EQ(Ids({u"sUM", u"b", u"A"}), (std::vector<DISPID>{0x12, 1, 0}));
    EXPECT_EQ(Ids({u"Nope"}, DISP_E_UNKNOWNNAME), std::vector<DISPID>{DISPID_UNKNOWN});
    EXPECT_EQ(Ids({u"Sum", u"C"}, DISP_E_UNKNOWNNAME), (std::vector<DISPID>{0x12, DISPID_UNKNOWN}));

    UINT count = 0;
    EXPECT_EQ(S_OK, disp_->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(DISP_E_BADINDEX, disp_->GetTypeInfo(1, 0, info.put()));
    ASSERT_EQ(S_OK, disp_->GetTypeInfo(0, 0, info.put()));

    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
    EXPECT_EQ(IWidget::kIid, attr->guid);
    const WORD functions = attr->cFuncs;
    info->ReleaseTypeAttr(attr);

    // The parameterless property gets in order, as serialisation asks for them.
    std::vector<std::u16string> gets;
    for (UINT i = 0; i < functions; ++i) {
        FUNCDESC* f = nullptr;
        ASSERT_EQ(S_OK, info->GetFuncDesc(i, &f));
        if (f->invkind == INVOKE_PROPERTYGET && f->cParams == 0) {
            BSTR name = nullptr;
            UINT n = 0;
            ASSERT_EQ(S_OK, info->GetNames(f->memid, &name, 1, &n));
            gets.emplace_back(name);
            SysFreeString(name);
        }
        info->ReleaseFuncDesc(f);
    }
    EXPECT_EQ((std::vector<std::u16string>{u"Value", u"Name", u"Flag", u"Self", u"Big"}), gets);

    FUNCDESC* f = nullptr;
    EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, info->GetFuncDesc(functions, &f));

    // Invoke through the type information reaches the same member.
    CComVariant result;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    ASSERT_EQ(S_OK, info->Invoke(static_cast<IWidget*>(widget_.get()), 0x10, DISPATCH_PROPERTYGET,
                                 &none, &result, nullptr, nullptr));
    EXPECT_EQ(3, result.lVal);
}

TEST(TypeTableTest, TablesThatDoNotFitTheSignatureAreRefused) {
    EXPECT_THROW(Method<&IWidget::Sum>(u"Sum", 1, {Arg(u"A")}), std::logic_error);
    EXPECT_THROW(Method<&IWidget::Sum>(u"Sum", 1, {Arg(u"A"), Arg(u"B", VT_BSTR)}),
                 std::logic_error);
    EXPECT_THROW(Method<&IWidget::Defaulted>(u"D", 1, {Arg(u"A"), Optional(u"B")}),
                 std::logic_error);
    EXPECT_THROW(Put<&IWidget::get_Value>(u"Value", 1, {}), std::logic_error);  // a put's result
    EXPECT_THROW(Put<&IWidget::Fail>(u"Fail", 1, {}), std::logic_error);  // a put without value
    EXPECT_NO_THROW(Method<&IWidget::Sum>(u"Sum", 1, {Arg(u"A"), Arg(u"B", VT_BOOL)}));
}

}  // namespace
