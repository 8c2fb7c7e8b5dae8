// Copies, clears, references and objects held in variants.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/automation.h"
#include "support/counted_unknown.h"
#include "support/dispatch_results.h"
#include "support/nameless_dispatch.h"
#include "support/show.h"
#include "support/variants.h"

namespace {

// A counted object whose default member returns a fixed value.
class ValueObject : public Counted<NamelessDispatch> {
  public:
    explicit ValueObject(const CComVariant& value) : value_(value) {}

    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO*, UINT*) override {
        ++invokes;
        if (id != DISPID_VALUE || !(flags & DISPATCH_PROPERTYGET) || params->cArgs != 0 ||
            value_.vt == VT_EMPTY)
            return DISP_E_MEMBERNOTFOUND;
        return VariantCopy(result, &value_);
    }

    int invokes = 0;

  private:
    const CComVariant value_;
};

// `in` converted to `to`, as ShowVariant shows it, or the failing status.
std::string Converted(const VARIANT& in, VARTYPE to, USHORT flags = 0) {
    CComVariant out;
    return Answer(VariantChangeType(&out, &in, flags, to), out);
}

TEST(VariantObject, DefaultMemberGivesTheValueAndInterfacesConvertByQueryInterface) {
    ValueObject object(CComVariant(u"42"));
    CComVariant held(static_cast<IDispatch*>(&object));
    EXPECT_EQ(object.refs, 2u);
    EXPECT_EQ(Converted(held, VT_I4), "I4 42");
    EXPECT_EQ(Converted(held, VT_BSTR), "BSTR 42");
    EXPECT_EQ(Converted(held, VT_I4, VARIANT_NOVALUEPROP), Failed(DISP_E_TYPEMISMATCH));
    EXPECT_EQ(object.invokes, 2);  // one per conversion, none without the value property
    // In place: the object is released and the variant holds the number.
    ASSERT_EQ(VariantChangeType(&held, &held, 0, VT_R8), S_OK);
    EXPECT_EQ(ShowVariant(held), "R8 42");
    EXPECT_EQ(object.refs, 1u);

    // Without a default member the conversion fails.
    ValueObject valueless{CComVariant()};
    CComVariant v(static_cast<IDispatch*>(&valueless));
    CComVariant out(LONG{7});
    EXPECT_EQ(VariantChangeType(&out, &v, 0, VT_I4), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(ShowVariant(out), "I4 7");  // a failed conversion leaves the destination alone
    EXPECT_EQ(Converted(CComVariant(static_cast<IDispatch*>(nullptr)), VT_I4),
              Failed(DISP_E_TYPEMISMATCH));

    // Between IUnknown and IDispatch by QueryInterface, each copy counted.
    CComVariant as_unknown;
    ASSERT_EQ(VariantChangeType(&as_unknown, &v, 0, VT_UNKNOWN), S_OK);
    EXPECT_EQ(as_unknown.vt, VT_UNKNOWN);
    EXPECT_EQ(valueless.refs, 3u);
    CComVariant back;
    ASSERT_EQ(VariantChangeType(&back, &as_unknown, 0, VT_DISPATCH), S_OK);
    EXPECT_EQ(back.pdispVal, &valueless);
    EXPECT_EQ(valueless.refs, 4u);

    Counted<> plain;
    CComVariant unknown(static_cast<IUnknown*>(&plain));
    EXPECT_EQ(VariantChangeType(&back, &unknown, 0, VT_DISPATCH), E_NOINTERFACE);
    EXPECT_EQ(Converted(unknown, VT_I4), Failed(DISP_E_TYPEMISMATCH));
    EXPECT_EQ(plain.refs, 2u);
}

TEST(VariantLifetime, ClearReleasesAndCopyDuplicates) {
    Counted<> plain;
    CComVariant v(static_cast<IUnknown*>(&plain)), copy;
    ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
    EXPECT_EQ(plain.refs, 3u);
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
    EXPECT_EQ(plain.refs, 2u);
    // Copying over a variant frees what it held.
    CComVariant text(u"abc");
    ASSERT_EQ(VariantCopy(&copy, &text), S_OK);
    EXPECT_EQ(plain.refs, 1u);
    EXPECT_EQ(ShowVariant(copy), "BSTR abc");
    EXPECT_NE(copy.bstrVal, text.bstrVal);

    // A string of odd byte length is copied byte for byte.
    CComVariant odd;
    odd.vt = VT_BSTR;
    odd.bstrVal = SysAllocStringByteLen("abc", 3);
    CComVariant odd_copy(odd);
    EXPECT_EQ(SysStringByteLen(odd_copy.bstrVal), 3u);

    VARIANT bad;
    bad.vt = 0x7F;
    EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantCopy(&copy, &bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(Converted(bad, VT_I4), Failed(DISP_E_BADVARTYPE));
    EXPECT_EQ(Converted(text, VT_VOID), Failed(DISP_E_BADVARTYPE));
    EXPECT_EQ(Converted(text, 0x7F), Failed(DISP_E_BADVARTYPE));
}

TEST(VariantLifetime, ByReferenceOwnsNothingAndIsFollowed) {
    BSTR held = SysAllocString(u"12.5");
    VARIANT ref = ByRef(VT_BSTR, &held);
    EXPECT_EQ(Converted(ref, VT_R8), "R8 12.5");
    CComVariant out;
    ASSERT_EQ(VariantCopyInd(&out, &ref), S_OK);
    EXPECT_EQ(ShowVariant(out), "BSTR 12.5");
    EXPECT_NE(out.bstrVal, held);
    // Converting a reference in place replaces it by the value; the referenced string stays.
    ASSERT_EQ(VariantChangeType(&ref, &ref, 0, VT_I4), S_OK);
    EXPECT_EQ(ShowVariant(ref), "I4 12");
    EXPECT_EQ(std::u16string(held), u"12.5");
    SysFreeString(held);

    CComVariant inner(LONG{9});
    const CComVariant to_variant = ByRef(VT_VARIANT, &inner);
    ASSERT_EQ(VariantCopyInd(&out, &to_variant), S_OK);
    EXPECT_EQ(ShowVariant(out), "I4 9");
    CComVariant copy_of_ref;
    ASSERT_EQ(VariantCopy(&copy_of_ref, &to_variant), S_OK);
    EXPECT_EQ(copy_of_ref.pvarVal, &inner);
    EXPECT_EQ(VariantClear(&copy_of_ref), S_OK);
    EXPECT_EQ(inner.lVal, 9);
}

TEST(VariantLifetime, StringAndByteArrayConvert) {
    CComVariant text(u"AB");
    CComVariant bytes;
    ASSERT_EQ(VariantChangeType(&bytes, &text, 0, VT_ARRAY | VT_UI1), S_OK);
    ASSERT_EQ(bytes.vt, VT_ARRAY | VT_UI1);
    ASSERT_EQ(bytes.parray->rgsabound[0].cElements, 4u);
    auto* data = static_cast<BYTE*>(bytes.parray->pvData);
    EXPECT_EQ(std::vector<BYTE>(data, data + 4), (std::vector<BYTE>{'A', 0, 'B', 0}));
    EXPECT_EQ(Converted(bytes, VT_BSTR), "BSTR AB");
    EXPECT_EQ(Converted(bytes, VT_I4), Failed(DISP_E_TYPEMISMATCH));
    CComVariant copy(bytes);
    EXPECT_NE(copy.parray, bytes.parray);
    EXPECT_EQ(static_cast<BYTE*>(copy.parray->pvData)[2], 'B');
}

}  // namespace
