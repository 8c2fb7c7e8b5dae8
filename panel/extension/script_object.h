// A script value of the page as the library sees it: an IDispatchEx object of the page's
// thread. Functions are called through DISPID 0 (with `this` from the named argument
// DISPID_THIS), arrays answer `length`, their indexes and an enumerator under DISPID_NEWENUM,
// and every other member is a property of the script value, found by name. Other threads reach
// it through the global interface table; once its page is gone every call fails with
// RPC_E_DISCONNECTED.
#pragma once

#include <jsc/jsc.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "host/bridge/script_call.h"
#include "platform/com_object.h"

namespace brevanto_panel {

class JscBridge;

class ScriptObject : public ComObjectRoot<ScriptObject, IDispatchEx> {
  public:
    static constexpr bool kCountsModuleLock = false;

    // The object for a script value, with one reference.
    static HRESULT Create(JscBridge* bridge, JSCValue* value, IDispatch** out);
    // The script value behind `object` when it is one of this bridge's (borrowed), else null.
    static JSCValue* Unwrap(IUnknown* object, const JscBridge* bridge);

    ScriptObject(JscBridge* bridge, JSCValue* value);
    void FinalRelease();
    HRESULT QueryInterfaceHook(REFIID riid, void** object);
    // The page is gone: lets go of the value.
    void Disconnect();

    HRESULT GetTypeInfoCount(UINT* count) override;
    HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                          DISPID* dispids) override;
    HRESULT Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* excepinfo, UINT* argerr) override;
    HRESULT GetDispID(BSTR name, DWORD flags, DISPID* dispid) override;
    HRESULT InvokeEx(DISPID dispid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                     EXCEPINFO* excepinfo, IServiceProvider* caller) override;
    HRESULT DeleteMemberByName(BSTR name, DWORD flags) override;
    HRESULT DeleteMemberByDispID(DISPID dispid) override;
    HRESULT GetMemberProperties(DISPID dispid, DWORD fetch, DWORD* properties) override;
    HRESULT GetMemberName(DISPID dispid, BSTR* name) override;
    HRESULT GetNextDispID(DWORD flags, DISPID dispid, DISPID* next) override;
    HRESULT GetNameSpaceParent(IUnknown** parent) override;

  private:
    HRESULT Usable() const;
    HRESULT Call(DISPID dispid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excepinfo);
    // Runs a helper; false with the error it caught.
    bool RunHelper(const char* helper, std::vector<JSCValue*> args, JSCValue** result,
                   JSCValue** error);
    HRESULT Failed(JSCValue* error, bool callback, EXCEPINFO* excepinfo);
    HRESULT NewEnum(VARIANT* result);
    HRESULT DeleteMember(BSTR name, DWORD flags);
    HRESULT NextMember(DWORD flags, DISPID dispid, DISPID* next);

    JscBridge* bridge_;
    JSCValue* value_;  // one reference; null once disconnected
    const unsigned long thread_;
    brevanto_bridge::ScriptMemberIds members_;
};

}  // namespace brevanto_panel
