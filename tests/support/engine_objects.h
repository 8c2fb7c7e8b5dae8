// A page's script engine as the library sees it when it saves and loads object trees: its
// objects (expando members, enumerable, not serialisable) and the hidden script whose eval makes
// them. Shared by the tests and the fuzz targets, so without the test framework.
#pragma once

#include <string_view>

#include "dispatch/member_table.h"
#include "platform/bstr.h"
#include "platform/com_object.h"
#include "support/nameless_dispatch.h"

class EngineObject : public ComObjectRoot<EngineObject, IDispatchEx> {
  public:
    static ComPtr<IDispatch> Make(bool array = false) {
        ComPtr<EngineObject> object;
        if (FAILED(MakeComObject(&object))) return {};
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
