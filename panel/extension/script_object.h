// A script value of the page as the library sees it: an IDispatchEx object of the page's
// thread. Functions are called through DISPID 0 (with `this` from the named argument
// DISPID_THIS), arrays answer `length`, their indexes and an enumerator under DISPID_NEWENUM,
// and every other member is a property of the script value, found by name. Other threads reach
// it through the global interface table; once its page is gone every call fails with
// RPC_E_DISCONNECTED.
#pragma once

#include <jsc/jsc.h>

#include <string>
#include <vector>

#include "host/bridge/script_dispatch.h"

namespace brevanto_panel {

class JscBridge;

class ScriptObject : public brevanto_bridge::ScriptDispatch<ScriptObject> {
  public:
    // The object for a script value, with one reference.
    static HRESULT Create(JscBridge* bridge, JSCValue* value, IDispatch** out);
    // The script value behind `object` when it is one of this bridge's (borrowed), else null.
    static JSCValue* Unwrap(IUnknown* object, const JscBridge* bridge);

    ScriptObject(JscBridge* bridge, JSCValue* value);
    void FinalRelease();
    HRESULT QueryInterfaceHook(REFIID riid, void** object);
    // The page is gone: lets go of the value.
    void Disconnect();

  private:
    friend class brevanto_bridge::ScriptDispatch<ScriptObject>;
    HRESULT Usable() const;
    bool IsCallable() { return jsc_value_is_function(value_); }
    bool HasMember(const std::string& name);
    HRESULT Carry(const brevanto_bridge::ScriptRequest& request, VARIANT* result,
                  EXCEPINFO* excepinfo);
    HRESULT ListItems(std::vector<CComVariant>* items);
    bool DeleteMember(const std::string& name);
    std::vector<std::string> OwnKeys();
    // Runs a helper; false with the error it caught.
    bool RunHelper(const char* helper, std::vector<JSCValue*> args, JSCValue** result,
                   JSCValue** error);
    HRESULT Failed(JSCValue* error, bool callback, EXCEPINFO* excepinfo);

    JscBridge* bridge_;
    JSCValue* value_;  // one reference; null once disconnected
    const unsigned long thread_;
};

}  // namespace brevanto_panel
