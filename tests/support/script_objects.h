// Script objects for the tests that save and load them: the page's engine (engine_objects.h)
// and a native class registered under a class name.
#pragma once

#include <gtest/gtest.h>

#include "dispatch/disp_ex_object.h"
#include "dispatch/member_table.h"
#include "platform/apartment.h"
#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/guid.h"
#include "platform/settings_store.h"
#include "support/engine_objects.h"
#include "support/late_bound.h"
#include "support/nameless_dispatch.h"

// A native class stored under the class name "test.stored".
class StoredClass : public ComObjectRoot<StoredClass, IClassFactory> {
  public:
    static constexpr std::u16string_view kName = u"test.stored";
    static constexpr CLSID kClsid{0x5e7b1c2a, 0x1d2e, 0x4f30, {1, 2, 3, 4, 5, 6, 7, 8}};

    HRESULT CreateInstance(IUnknown*, REFIID riid, void** out) override {
        ComPtr<CDispExObject> object;
        HRESULT hr = MakeComObject(&object, std::u16string(kName));
        return FAILED(hr) ? hr : object->QueryInterface(riid, out);
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
};

// Registers StoredClass for the life of the test.
class StoredClassRegistration {
  public:
    StoredClassRegistration() {
        OLECHAR clsid[40];
        StringFromGUID2(StoredClass::kClsid, clsid, 40);
        CRegKey key;
        EXPECT_EQ(key.Create(HKEY_CLASSES_ROOT, u"test.stored\\CLSID"), ERROR_SUCCESS);
        EXPECT_EQ(key.SetStringValue(nullptr, clsid), ERROR_SUCCESS);
        ComPtr<StoredClass> factory;
        EXPECT_EQ(MakeComObject(&factory), S_OK);
        EXPECT_EQ(CoRegisterClassObject(StoredClass::kClsid, factory.get(), CLSCTX_INPROC_SERVER,
                                        REGCLS_MULTIPLEUSE, &cookie_),
                  S_OK);
    }
    ~StoredClassRegistration() { CoRevokeClassObject(cookie_); }

    // A new object of the class, made the way a script makes one.
    static ComPtr<IDispatch> New() {
        ComPtr<IDispatch> object;
        EXPECT_EQ(CoCreateInstance(StoredClass::kClsid, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IDispatch, object.put_void()),
                  S_OK);
        return object;
    }

  private:
    DWORD cookie_ = 0;
};

inline void Set(IDispatch* object, const char16_t* name, const CComVariant& value) {
    ComPtr<IDispatchEx> ex;
    ASSERT_EQ(object->QueryInterface(IID_IDispatchEx, ex.put_void()), S_OK);
    DISPID id = DISPID_UNKNOWN;
    ASSERT_EQ(ex->GetDispID(CComBSTR(name), fdexNameEnsure, &id), S_OK);
    ASSERT_EQ(Call(object, id, DISPATCH_PROPERTYPUT, {value}), S_OK);
}

inline CComVariant Get(IDispatch* object, const char16_t* name) {
    CComVariant value;
    DISPID id = DISPID_UNKNOWN;
    if (LookUp(object, name, &id) != S_OK) return value;
    Call(object, id, DISPATCH_PROPERTYGET, {}, &value);
    return value;
}
