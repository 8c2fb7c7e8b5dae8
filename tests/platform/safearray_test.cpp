// Safe arrays: bounds, element copies and releases, locking and resizing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/automation.h"
#include "support/counted_unknown.h"
#include "support/dispatch_results.h"

namespace {

// Element access of a one-dimensional array by the index's value.
HRESULT Put(SAFEARRAY* a, LONG i, void* value) {
    return SafeArrayPutElement(a, &i, value);
}
HRESULT Get(SAFEARRAY* a, LONG i, void* out) {
    return SafeArrayGetElement(a, &i, out);
}

// The bounds of dimension `dim` as "low..high", or the statuses of both queries.
std::string Bounds(SAFEARRAY* a, UINT dim) {
    LONG low = 0, high = 0;
    const HRESULT l = SafeArrayGetLBound(a, dim, &low), h = SafeArrayGetUBound(a, dim, &high);
    if (FAILED(l) || FAILED(h)) return Failed(l) + " " + Failed(h);
    return std::to_string(low) + ".." + std::to_string(high);
}

TEST(SafeArray, VectorBoundsIndexChecksAndLocks) {
    SAFEARRAY* a = SafeArrayCreateVector(VT_I4, 5, 3);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(SafeArrayGetDim(a), 1u);
    EXPECT_EQ(SafeArrayGetElemsize(a), 4u);
    EXPECT_EQ(Bounds(a, 1), "5..7");
    for (UINT outside : {0u, 2u})  // DISP_E_BADINDEX from both bounds
        EXPECT_EQ(Bounds(a, outside), "failed 8002000B failed 8002000B") << outside;
    VARTYPE vt;
    ASSERT_EQ(SafeArrayGetVartype(a, &vt), S_OK);
    EXPECT_EQ(vt, VT_I4);

    for (LONG i = 5; i <= 7; ++i) {
        LONG value = i * 10;
        ASSERT_EQ(Put(a, i, &value), S_OK);
    }
    LONG value = 0;
    EXPECT_EQ(Put(a, 4, &value), DISP_E_BADINDEX);
    EXPECT_EQ(Get(a, 4, &value), DISP_E_BADINDEX);
    EXPECT_EQ(Get(a, 8, &value), DISP_E_BADINDEX);
    ASSERT_EQ(Get(a, 6, &value), S_OK);
    EXPECT_EQ(value, 60);

    // A locked array can be neither destroyed nor resized, not even by a variant holding it.
    CComVariant holder;
    holder.vt = VT_ARRAY | VT_I4;
    holder.parray = a;
    EXPECT_EQ(SafeArrayUnlock(a), E_UNEXPECTED);
    ASSERT_EQ(SafeArrayLock(a), S_OK);
    EXPECT_EQ(SafeArrayDestroy(a), DISP_E_ARRAYISLOCKED);
    SAFEARRAYBOUND b{8, 0};
    EXPECT_EQ(SafeArrayRedim(a, &b), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(VariantClear(&holder), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(holder.vt, VT_ARRAY | VT_I4);
    ASSERT_EQ(SafeArrayUnlock(a), S_OK);
    EXPECT_EQ(VariantClear(&holder), S_OK);  // destroys the array

    SAFEARRAY* empty = SafeArrayCreateVector(VT_UI1, 0, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(Bounds(empty, 1), "0..-1");
    SafeArrayDestroy(empty);
    EXPECT_EQ(SafeArrayCreateVector(VT_EMPTY, 0, 1), nullptr);
}

TEST(SafeArray, MultipleDimensionsFirstIndexVariesFastestAndTheLastResizes) {
    SAFEARRAYBOUND bounds[2] = {{2, 1}, {3, 10}};  // [1..2][10..12]
    SAFEARRAY* a = SafeArrayCreate(VT_I2, 2, bounds);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(Bounds(a, 1) + ", " + Bounds(a, 2), "1..2, 10..12");
    for (LONG j = 10; j <= 12; ++j)
        for (LONG i = 1; i <= 2; ++i) {
            LONG idx[2] = {i, j};
            SHORT v = static_cast<SHORT>(i * 100 + j);
            ASSERT_EQ(SafeArrayPutElement(a, idx, &v), S_OK);
        }
    void* data;
    ASSERT_EQ(SafeArrayAccessData(a, &data), S_OK);
    auto* cells = static_cast<SHORT*>(data);
    EXPECT_EQ(std::vector<SHORT>(cells, cells + 6),
              (std::vector<SHORT>{110, 210, 111, 211, 112, 212}));
    LONG idx[2] = {2, 11};
    void* element;
    ASSERT_EQ(SafeArrayPtrOfIndex(a, idx, &element), S_OK);
    EXPECT_EQ(element, cells + 3);
    EXPECT_EQ(SafeArrayUnaccessData(a), S_OK);
    LONG bad[2] = {3, 10};
    EXPECT_EQ(SafeArrayPtrOfIndex(a, bad, &element), DISP_E_BADINDEX);

    // Resizing the last dimension keeps every element and adds empty ones.
    SAFEARRAYBOUND longer{4, 10};
    ASSERT_EQ(SafeArrayRedim(a, &longer), S_OK);
    EXPECT_EQ(Bounds(a, 1) + ", " + Bounds(a, 2), "1..2, 10..13");
    ASSERT_EQ(SafeArrayAccessData(a, &data), S_OK);
    cells = static_cast<SHORT*>(data);
    EXPECT_EQ(std::vector<SHORT>(cells, cells + 8),
              (std::vector<SHORT>{110, 210, 111, 211, 112, 212, 0, 0}));
    EXPECT_EQ(SafeArrayUnaccessData(a), S_OK);
    SafeArrayDestroy(a);
}

TEST(SafeArray, StringsAreCopiedInAndOut) {
    SAFEARRAY* a = SafeArrayCreateVector(VT_BSTR, 0, 2);
    CComBSTR text(u"hello");
    ASSERT_EQ(Put(a, 0, static_cast<BSTR>(text)), S_OK);
    BSTR out = nullptr;
    ASSERT_EQ(Get(a, 0, &out), S_OK);
    EXPECT_NE(out, static_cast<BSTR>(text));
    EXPECT_EQ(std::u16string(out), u"hello");
    SysFreeString(out);
    ASSERT_EQ(Put(a, 0, static_cast<BSTR>(CComBSTR(u"bye"))), S_OK);
    ASSERT_EQ(Get(a, 1, &out), S_OK);
    EXPECT_EQ(out, nullptr);

    SAFEARRAY* copy;
    ASSERT_EQ(SafeArrayCopy(a, &copy), S_OK);
    ASSERT_EQ(Get(copy, 0, &out), S_OK);
    EXPECT_EQ(std::u16string(out), u"bye");
    SysFreeString(out);
    EXPECT_NE(static_cast<BSTR*>(copy->pvData)[0], static_cast<BSTR*>(a->pvData)[0]);
    SafeArrayDestroy(a);
    SafeArrayDestroy(copy);
}

// Copies take references; overwriting, destroying and shrinking release them; growing adds nulls.
TEST(SafeArray, InterfacesAndVariantsAreCountedAndReleased) {
    Counted<> object;
    IUnknown* unknown = &object;  // stands for an IDispatch too: only its counting is used
    for (VARTYPE vt : {VT_UNKNOWN, VT_DISPATCH}) {
        SCOPED_TRACE(vt);
        SAFEARRAY *a = SafeArrayCreateVector(vt, 1, 2), *copy = nullptr;
        ASSERT_EQ(Put(a, 2, unknown), S_OK);
        EXPECT_EQ(object.refs, 2u);
        IUnknown* got = nullptr;
        ASSERT_EQ(Get(a, 2, &got), S_OK);
        EXPECT_EQ(got, &object);
        EXPECT_EQ(object.refs, 3u);
        got->Release();
        ASSERT_EQ(SafeArrayCopy(a, &copy), S_OK);
        EXPECT_EQ(object.refs, 3u);
        ASSERT_EQ(Put(copy, 2, static_cast<IUnknown*>(nullptr)), S_OK);
        EXPECT_EQ(object.refs, 2u);
        ASSERT_EQ(Put(copy, 1, unknown), S_OK);
        SafeArrayDestroy(copy);
        EXPECT_EQ(object.refs, 2u);
        SAFEARRAYBOUND bigger{5, 1}, smaller{1, 1};
        ASSERT_EQ(SafeArrayRedim(a, &bigger), S_OK);
        EXPECT_EQ(Bounds(a, 1), "1..5");
        ASSERT_EQ(Get(a, 5, &got), S_OK);
        EXPECT_EQ(got, nullptr);
        ASSERT_EQ(SafeArrayRedim(a, &smaller), S_OK);
        EXPECT_EQ(object.refs, 1u);
        SafeArrayDestroy(a);
    }

    SAFEARRAY* vars = SafeArrayCreateVector(VT_VARIANT, 0, 3);
    CComVariant held(unknown);
    ASSERT_EQ(Put(vars, 2, &held), S_OK);
    EXPECT_EQ(object.refs, 3u);
    VARIANT out;
    ASSERT_EQ(Get(vars, 2, &out), S_OK);
    EXPECT_EQ(out.vt, VT_UNKNOWN);
    EXPECT_EQ(object.refs, 4u);
    VariantClear(&out);
    // A variant holding the array copies and destroys it with its elements.
    CComVariant array_holder;
    array_holder.vt = VT_ARRAY | VT_VARIANT;
    array_holder.parray = vars;
    {
        CComVariant second(array_holder);
        EXPECT_NE(second.parray, vars);
        EXPECT_EQ(object.refs, 4u);
    }
    EXPECT_EQ(object.refs, 3u);
    array_holder.Clear();
    EXPECT_EQ(object.refs, 2u);
}

}  // namespace
