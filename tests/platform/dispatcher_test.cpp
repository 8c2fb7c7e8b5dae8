#include "platform/dispatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/com_object.h"

namespace {

struct IWidget;

struct IPart : IDispatch {
    static constexpr IID kIid{0x5e1f0001, 0x0002, 0x0003, {1, 2, 3, 4, 5, 6, 7, 9}};
    static const InterfaceDesc& Describe();
    virtual HRESULT get_Size(LONG* size) = 0;
};

struct IWidget : IDispatch {
    static constexpr IID kIid{0x5e1f0002, 0x0002, 0x0003, {1, 2, 3, 4, 5, 6, 7, 9}};
    static const InterfaceDesc& Describe();
    virtual HRESULT get_Value(LONG* value) = 0;
    virtual HRESULT put_Value(LONG value) = 0;
    virtual HRESULT get_Name(BSTR* name) = 0;
    virtual HRESULT put_Name(BSTR name) = 0;
    virtual HRESULT Sum(LONG a, SHORT b, LONG* sum) = 0;
    virtual HRESULT get_Item(VARIANT index, VARIANT* item) = 0;
    virtual HRESULT put_Item(VARIANT index, VARIANT* value) = 0;
    virtual HRESULT Optional(VARIANT a, VARIANT b, LONG* missing) = 0;
    virtual HRESULT Defaulted(LONG a, LONG b, LONG* sum) = 0;
    virtual HRESULT get_Flag(VARIANT_BOOL* flag) = 0;
    virtual HRESULT put_Flag(VARIANT_BOOL flag) = 0;
    virtual HRESULT Fail() = 0;
    virtual HRESULT Twice(LONG* value) = 0;
    virtual HRESULT Measure(IPart* part, LONG* size) = 0;
    virtual HRESULT get_Self(IWidget** self) = 0;
    virtual HRESULT NextDay(DATE day, DATE* next) = 0;
    virtual HRESULT Small(BYTE b) = 0;
    virtual HRESULT put_Part(IPart* part) = 0;
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
        });
    return desc;
}

class CPart : public ComObjectRoot<CPart, DispatchImpl<IPart>> {
  public:
    HRESULT get_Size(LONG* size) override {
        *size = 5;
        return S_OK;
    }
};

class CWidget : public ComObjectRoot<CWidget, DispatchImpl<IWidget>> {
  public:
    HRESULT get_Value(LONG* value) override {
        *value = value_;
        return S_OK;
    }
    HRESULT put_Value(LONG value) override {
        value_ = value;
        return S_OK;
    }
    HRESULT get_Name(BSTR* name) override {
        *name = SysAllocString(name_.c_str());
        return S_OK;
    }
    HRESULT put_Name(BSTR name) override {
        name_ = name ? name : u"";
        return S_OK;
    }
    HRESULT Sum(LONG a, SHORT b, LONG* sum) override {
        *sum = a + b;
        return S_OK;
    }
    HRESULT get_Item(VARIANT index, VARIANT* item) override {
        last_index_vt_ = index.vt;
        item->vt = VT_I4;
        item->lVal = 100;
        return S_OK;
    }
    HRESULT put_Item(VARIANT index, VARIANT* value) override {
        last_index_vt_ = index.vt;
        put_value_vt_ = value->vt;
        return S_OK;
    }
    HRESULT Optional(VARIANT a, VARIANT b, LONG* missing) override {
        *missing = (a.vt == VT_ERROR && a.scode == DISP_E_PARAMNOTFOUND) +
                   2 * (b.vt == VT_ERROR && b.scode == DISP_E_PARAMNOTFOUND);
        return S_OK;
    }
    HRESULT Defaulted(LONG a, LONG b, LONG* sum) override {
        *sum = a * 100 + b;
        return S_OK;
    }
    HRESULT get_Flag(VARIANT_BOOL* flag) override {
        *flag = flag_;
        return S_OK;
    }
    HRESULT put_Flag(VARIANT_BOOL flag) override {
        flag_ = flag;
        return S_OK;
    }
    HRESULT Fail() override { return E_ACCESSDENIED; }
    HRESULT Twice(LONG* value) override {
        *value *= 2;
        return S_OK;
    }
    HRESULT Measure(IPart* part, LONG* size) override {
        if (!part) return E_POINTER;
        return part->get_Size(size);
    }
    HRESULT get_Self(IWidget** self) override {
        *self = this;
        AddRef();
        return S_OK;
    }
    HRESULT NextDay(DATE day, DATE* next) override {
        *next = day + 1;
        return S_OK;
    }
    HRESULT Small(BYTE b) override {
        value_ = b;
        return S_OK;
    }

    HRESULT put_Part(IPart* part) override {
        part_ = part;
        return S_OK;
    }
    LONG value_ = 3;
    ComPtr<IPart> part_;
    std::u16string name_;
    VARIANT_BOOL flag_ = VARIANT_FALSE;
    VARTYPE last_index_vt_ = VT_EMPTY;
    VARTYPE put_value_vt_ = VT_EMPTY;
};

// Arguments in reading order; stored last-to-first as the platform expects.
class Args {
  public:
    Args(std::initializer_list<CComVariant> args) : values_(args.begin(), args.end()) {
        std::reverse(values_.begin(), values_.end());
        params_.rgvarg = values_.data();
        params_.cArgs = static_cast<UINT>(values_.size());
    }
    // A property put: the value is the named argument DISPID_PROPERTYPUT.
    Args& AsPut() {
        params_.rgdispidNamedArgs = &put_id_;
        params_.cNamedArgs = 1;
        return *this;
    }
    DISPPARAMS* get() { return &params_; }

  private:
    std::vector<CComVariant> values_;
    DISPPARAMS params_{nullptr, nullptr, 0, 0};
    DISPID put_id_ = DISPID_PROPERTYPUT;
};

class DispatcherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, MakeComObject(&widget_));
        ASSERT_EQ(S_OK, widget_->QueryInterface(disp_.put()));
    }
    HRESULT Call(DISPID id, WORD flags, Args args, VARIANT* result = nullptr) {
        argerr_ = 0xFFFFFFFF;
        return disp_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, args.get(), result, nullptr,
                             &argerr_);
    }
    static constexpr WORD kCall = DISPATCH_METHOD | DISPATCH_PROPERTYGET;

    ComPtr<CWidget> widget_;
    ComPtr<IDispatch> disp_;
    UINT argerr_ = 0;
};

TEST_F(DispatcherTest, NamesAreCaseInsensitiveWithParameterNames) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(u"sUM"), const_cast<LPOLESTR>(u"b"),
                        const_cast<LPOLESTR>(u"A")};
    DISPID ids[3] = {};
    EXPECT_EQ(S_OK, disp_->GetIDsOfNames(IID_NULL, names, 3, LOCALE_USER_DEFAULT, ids));
    EXPECT_EQ(0x12, ids[0]);
    EXPECT_EQ(1, ids[1]);
    EXPECT_EQ(0, ids[2]);

    LPOLESTR unknown[] = {const_cast<LPOLESTR>(u"Nope")};
    DISPID id = 0;
    EXPECT_EQ(DISP_E_UNKNOWNNAME,
              disp_->GetIDsOfNames(IID_NULL, unknown, 1, LOCALE_USER_DEFAULT, &id));
    EXPECT_EQ(DISPID_UNKNOWN, id);

    LPOLESTR bad_param[] = {const_cast<LPOLESTR>(u"Sum"), const_cast<LPOLESTR>(u"C")};
    EXPECT_EQ(DISP_E_UNKNOWNNAME,
              disp_->GetIDsOfNames(IID_NULL, bad_param, 2, LOCALE_USER_DEFAULT, ids));
    EXPECT_EQ(0x12, ids[0]);
    EXPECT_EQ(DISPID_UNKNOWN, ids[1]);
}

TEST_F(DispatcherTest, PropertyGetAndPut) {
    CComVariant result;
    ASSERT_EQ(S_OK, Call(0x10, kCall, {}, &result));
    EXPECT_EQ(VT_I4, result.vt);
    EXPECT_EQ(3, result.lVal);

    // A string coerced to the declared I4.
    EXPECT_EQ(S_OK, Call(0x10, DISPATCH_PROPERTYPUT, std::move(Args{CComVariant(u"42")}.AsPut())));
    EXPECT_EQ(42, widget_->value_);

    ASSERT_EQ(S_OK, Call(0x11, DISPATCH_PROPERTYPUT, std::move(Args{CComVariant(2.5)}.AsPut())));
    EXPECT_EQ(u"2.5", widget_->name_);
    ASSERT_EQ(S_OK, Call(0x11, DISPATCH_PROPERTYGET, {}, &result));
    EXPECT_EQ(VT_BSTR, result.vt);
    EXPECT_EQ(std::u16string(u"2.5"), std::u16string(result.bstrVal));
}

TEST_F(DispatcherTest, PutNeedsThePropertyPutNamedArgument) {
    EXPECT_EQ(DISP_E_PARAMNOTFOUND, Call(0x10, DISPATCH_PROPERTYPUT, {CComVariant(LONG{1})}));
    EXPECT_EQ(3, widget_->value_);
    // A named argument where the member takes none.
    Args named{CComVariant(LONG{1})};
    DISPID other = 0;
    named.get()->rgdispidNamedArgs = &other;
    named.get()->cNamedArgs = 1;
    EXPECT_EQ(DISP_E_NONAMEDARGS, Call(0x12, kCall, std::move(named)));
}

TEST_F(DispatcherTest, MethodArgumentsAreCoercedInOrder) {
    CComVariant result;
    ASSERT_EQ(S_OK, Call(0x12, kCall, {CComVariant(LONG{1000}), CComVariant(u"7")}, &result));
    EXPECT_EQ(VT_I4, result.vt);
    EXPECT_EQ(1007, result.lVal);
    // Rounded half to even on the way to an integer.
    ASSERT_EQ(S_OK, Call(0x12, kCall, {CComVariant(2.5), CComVariant(3.5)}, &result));
    EXPECT_EQ(6, result.lVal);
}

TEST_F(DispatcherTest, CoercionFailuresReportTheArgumentIndex) {
    // The second argument stands at rgvarg[0], the first at rgvarg[1].
    EXPECT_EQ(DISP_E_TYPEMISMATCH,
              Call(0x12, kCall, {CComVariant(LONG{1}), CComVariant(u"seven")}));
    EXPECT_EQ(0u, argerr_);
    EXPECT_EQ(DISP_E_TYPEMISMATCH, Call(0x12, kCall, {CComVariant(u"x"), CComVariant(LONG{1})}));
    EXPECT_EQ(1u, argerr_);
    EXPECT_EQ(DISP_E_OVERFLOW, Call(0x12, kCall, {CComVariant(LONG{1}), CComVariant(LONG{70000})}));
    EXPECT_EQ(0u, argerr_);
    EXPECT_EQ(DISP_E_OVERFLOW, Call(0x1b, DISPATCH_METHOD, {CComVariant(LONG{256})}));
    EXPECT_EQ(0u, argerr_);
    // The value of a put is the named argument at rgvarg[0].
    EXPECT_EQ(DISP_E_TYPEMISMATCH,
              Call(0x10, DISPATCH_PROPERTYPUT, std::move(Args{CComVariant(u"abc")}.AsPut())));
    EXPECT_EQ(0u, argerr_);
}

TEST_F(DispatcherTest, ParameterCount) {
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Call(0x12, kCall, {CComVariant(LONG{1})}));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT,
              Call(0x12, kCall, {CComVariant(LONG{1}), CComVariant(LONG{1}), CComVariant(1.0)}));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Call(0x10, kCall, {CComVariant(LONG{1})}));
}

TEST_F(DispatcherTest, OptionalAndDefaultArguments) {
    CComVariant result;
    ASSERT_EQ(S_OK, Call(0x13, DISPATCH_METHOD, {CComVariant(LONG{1})}, &result));
    EXPECT_EQ(2, result.lVal);  // only B is missing
    ASSERT_EQ(S_OK,
              Call(0x13, DISPATCH_METHOD, {CComVariant(LONG{1}), CComVariant(LONG{2})}, &result));
    EXPECT_EQ(0, result.lVal);
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Call(0x13, DISPATCH_METHOD, {}));

    ASSERT_EQ(S_OK, Call(0x14, DISPATCH_METHOD, {CComVariant(LONG{3})}, &result));
    EXPECT_EQ(307, result.lVal);
    ASSERT_EQ(S_OK,
              Call(0x14, DISPATCH_METHOD, {CComVariant(LONG{3}), CComVariant(u"9")}, &result));
    EXPECT_EQ(309, result.lVal);
}

TEST_F(DispatcherTest, VariantParametersArePassedAsGiven) {
    CComVariant result;
    ASSERT_EQ(S_OK, Call(0, kCall, {CComVariant(u"key")}, &result));
    EXPECT_EQ(VT_BSTR, widget_->last_index_vt_);
    EXPECT_EQ(100, result.lVal);
    ASSERT_EQ(S_OK, Call(0, DISPATCH_PROPERTYPUT,
                         std::move(Args{CComVariant(LONG{1}), CComVariant(2.0)}.AsPut())));
    EXPECT_EQ(VT_I4, widget_->last_index_vt_);
    EXPECT_EQ(VT_R8, widget_->put_value_vt_);
}

TEST_F(DispatcherTest, ByReferenceArguments) {
    LONG value = 21;
    CComVariant ref;
    ref.vt = VT_BYREF | VT_I4;
    ref.plVal = &value;
    ASSERT_EQ(S_OK, Call(0x17, DISPATCH_METHOD, {ref}));
    EXPECT_EQ(42, value);  // written through the caller's reference
    // A value argument is coerced into a temporary; the caller's variant is not touched.
    Args by_value{CComVariant(u"5")};
    argerr_ = 0;
    ASSERT_EQ(S_OK, disp_->Invoke(0x17, IID_NULL, 0, DISPATCH_METHOD, by_value.get(), nullptr,
                                  nullptr, &argerr_));
    EXPECT_EQ(VT_BSTR, by_value.get()->rgvarg[0].vt);
}

TEST_F(DispatcherTest, BooleanDateAndInterfaceTypes) {
    CComVariant result;
    ASSERT_EQ(S_OK,
              Call(0x15, DISPATCH_PROPERTYPUT, std::move(Args{CComVariant(LONG{1})}.AsPut())));
    EXPECT_EQ(VARIANT_TRUE, widget_->flag_);
    ASSERT_EQ(S_OK, Call(0x15, DISPATCH_PROPERTYGET, {}, &result));
    EXPECT_EQ(VT_BOOL, result.vt);
    EXPECT_EQ(VARIANT_TRUE, result.boolVal);

    CComVariant day;
    day.vt = VT_DATE;
    day.date = 100.5;
    ASSERT_EQ(S_OK, Call(0x1a, DISPATCH_METHOD, {day}, &result));
    EXPECT_EQ(VT_DATE, result.vt);
    EXPECT_DOUBLE_EQ(101.5, result.date);

    ComPtr<CPart> part;
    ASSERT_EQ(S_OK, MakeComObject(&part));
    ComPtr<IDispatch> part_disp;
    part->QueryInterface(part_disp.put());
    ASSERT_EQ(S_OK, Call(0x18, DISPATCH_METHOD, {CComVariant(part_disp.get())}, &result));
    EXPECT_EQ(5, result.lVal);
    // An object that is not an IPart does not fit the parameter.
    EXPECT_EQ(DISP_E_TYPEMISMATCH, Call(0x18, DISPATCH_METHOD, {CComVariant(disp_.get())}));
    EXPECT_EQ(0u, argerr_);

    ASSERT_EQ(S_OK, Call(0x19, kCall, {}, &result));
    EXPECT_EQ(VT_DISPATCH, result.vt);
    EXPECT_EQ(disp_.get(), result.pdispVal);
}

// A script's null and undefined reach an interface parameter as a null pointer, so that
// `object.Handler = null` clears what was set.
TEST_F(DispatcherTest, NullAndEmptyPassAsNullInterfaces) {
    CComVariant null_value;
    null_value.vt = VT_NULL;
    CComVariant by_reference;
    by_reference.vt = VT_BYREF | VT_VARIANT;
    by_reference.pvarVal = &null_value;
    ComPtr<CPart> part;
    ASSERT_EQ(S_OK, MakeComObject(&part));
    const CComVariant nulls[] = {null_value, CComVariant(), by_reference};
    for (const CComVariant& null : nulls) {
        SCOPED_TRACE(null.vt);
        CComVariant result;
        EXPECT_EQ(E_POINTER, Call(0x18, DISPATCH_METHOD, {null}, &result));  // Measure got null
        widget_->part_ = part.get();
        EXPECT_EQ(S_OK, Call(0x1c, DISPATCH_PROPERTYPUT, std::move(Args{null}.AsPut())));
        EXPECT_EQ(nullptr, widget_->part_.get());
    }
    // Only the dispatcher lets them through: as a conversion they stay a type mismatch.
    CComVariant converted;
    EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(&converted, &null_value, 0, VT_DISPATCH));
    // A value that is neither an object nor null still does not fit.
    EXPECT_EQ(DISP_E_TYPEMISMATCH, Call(0x18, DISPATCH_METHOD, {CComVariant(LONG{1})}));
}

TEST_F(DispatcherTest, MemberNotFoundAndFailures) {
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Call(0x999, kCall, {}));
    // Value has no method, Fail has no put, Self has no put.
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Call(0x10, DISPATCH_METHOD, {}));
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND,
              Call(0x16, DISPATCH_PROPERTYPUT, std::move(Args{CComVariant(LONG{1})}.AsPut())));
    EXPECT_EQ(E_ACCESSDENIED, Call(0x16, DISPATCH_METHOD, {}));
    CComVariant result;
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE, disp_->Invoke(0x10, IID_IDispatch, 0, DISPATCH_PROPERTYGET,
                                                     Args{}.get(), &result, nullptr, nullptr));
}

TEST_F(DispatcherTest, TypeInformation) {
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
    EXPECT_EQ(18, functions);
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
    EXPECT_EQ((std::vector<std::u16string>{u"Value", u"Name", u"Flag", u"Self"}), gets);

    FUNCDESC* f = nullptr;
    EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, info->GetFuncDesc(functions, &f));

    // Invoke through the type information reaches the same member.
    CComVariant result;
    Args none{};
    ASSERT_EQ(S_OK, info->Invoke(static_cast<IWidget*>(widget_.get()), 0x10, DISPATCH_PROPERTYGET,
                                 none.get(), &result, nullptr, nullptr));
    EXPECT_EQ(3, result.lVal);
}

TEST(TypeTableTest, TablesThatDoNotFitTheSignatureAreRefused) {
    EXPECT_THROW(Method<&IWidget::Sum>(u"Sum", 1, {Arg(u"A")}), std::logic_error);
    EXPECT_THROW(Method<&IWidget::Sum>(u"Sum", 1, {Arg(u"A"), Arg(u"B", VT_BSTR)}),
                 std::logic_error);
    EXPECT_THROW(Method<&IWidget::Defaulted>(u"D", 1, {Arg(u"A"), Optional(u"B")}),
                 std::logic_error);
    EXPECT_NO_THROW(Method<&IWidget::Sum>(u"Sum", 1, {Arg(u"A"), Arg(u"B", VT_BOOL)}));
}

}  // namespace
