// Script objects for the tests that save and load them: objects of a page's engine (expando
// members, enumerable, not serialisable), the engine's hidden script that makes them, and a native
// class registered under a class name.
#pragma once

#include <gtest/gtest.h>

#include "dispatch/disp_ex_object.h"
#include "dispatch/member_table.h"
#include "platform/apartment.h"
#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/guid.h"
#include "platform/settings_store.h"
#include "support/late_bound.h"
#include "support/nameless_dispatch.h"

class EngineObject : public ComObjectRoot<EngineObject, IDispatchEx> {
  public:
    static ComPtr<IDispatch> Make(bool array = false) {
        ComPtr<EngineObject> object;
        EXPECT_EQ(MakeComObject(&object), S_OK);
        if (array) object->members_.SetValue(u"length", CComVariant(LONG{0}));
        return ComPtr<IDispatch>(static_cast<IDispatch*>(object.get()));
    }
    HRESULT GetTypeInfoCount(UINT* count) override { return NoTypeInfoCount(count); }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override { return NoTypeInfo(info); }
    // As a script engine does, a name becomes a member only when asked to ensure it.
    HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* ids) override {
        CComBSTR name(names[0]);
        return GetDispID(name, 0, ids);
    }
    HRESULT Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO* info, UINT* argerr) override {
        return members_.Invoke(id, lcid, flags, params, result, info, argerr);
    }
    HRESULT GetDispID(BSTR name, DWORD flags, DISPID* id) override {
        if (!(flags & fdexNameEnsure)) {
            *id = members_.Find({name, SysStringLen(name)}, flags);
            return *id == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK;
        }
        return members_.GetDispID(name, flags, id);
    }
    HRESULT InvokeEx(DISPID id, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                     EXCEPINFO* info, IServiceProvider* caller) override {
        return members_.InvokeEx(id, lcid, flags, params, result, info, caller);
    }
    HRESULT DeleteMemberByName(BSTR name, DWORD flags) override {
        return members_.DeleteMemberByName(name, flags);
    }
    HRESULT DeleteMemberByDispID(DISPID id) override { return members_.DeleteMemberByDispID(id); }
    HRESULT GetMemberProperties(DISPID id, DWORD fetch, DWORD* props) override {
        return members_.GetMemberProperties(id, fetch, props);
    }
    HRESULT GetMemberName(DISPID id, BSTR* name) override {
        return members_.GetMemberName(id, name);
    }
    HRESULT GetNextDispID(DWORD flags, DISPID id, DISPID* next) override {
        return members_.GetNextDispID(flags, id, next);
    }
    HRESULT GetNameSpaceParent(IUnknown** parent) override { return *parent = nullptr, E_NOTIMPL; }

  private:
    IDispatchExImplRaw members_{IDispatchExImplRaw::kPlainFirstDispid,
                                IDispatchExImplRaw::kExpandable};
};

// The hidden script: eval("new Object()") and eval("new Array()") make engine objects.
class HiddenScript : public ComObjectRoot<HiddenScript, NamelessDispatch> {
  public:
    int evaluated = 0;
    HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* ids) override {
        if (std::u16string_view(names[0]) != u"eval") return DISP_E_UNKNOWNNAME;
        return *ids = 1, S_OK;
    }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                   UINT*) override {
        if (id != 1 || params->cArgs != 2 || params->rgvarg[0].vt != VT_BSTR ||
            std::u16string_view(params->rgvarg[0].bstrVal) != u"unsafe")
            return DISP_E_BADPARAMCOUNT;
        ++evaluated;
        std::u16string_view text = params->rgvarg[1].bstrVal;
        if (text != u"new Object()" && text != u"new Array()") return E_INVALIDARG;
        ComPtr<IDispatch> object = EngineObject::Make(text == u"new Array()");
        result->vt = VT_DISPATCH;
        result->pdispVal = object.Detach();
        return S_OK;
    }
};

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
