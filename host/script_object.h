// A script value of the page's engine as the library sees it: an IDispatchEx object of the
// script thread. Functions are called through DISPID 0 (with `this` from the named argument
// DISPID_THIS), arrays answer `length`, their indexes and an enumerator under DISPID_NEWENUM,
// and every other member is a property of the script object, found by name.
//
// The object belongs to the script thread's apartment; other threads reach it through the
// global interface table. It keeps its script value alive through the heap stash and lets go
// of it when released; once its heap is gone every call fails with RPC_E_DISCONNECTED.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/bridge/script_call.h"
#include "host/script_engine.h"
#include "platform/com_object.h"

namespace brevanto_host {

class CScriptObject : public ComObjectRoot<CScriptObject, IDispatchEx> {
  public:
    static constexpr bool kCountsModuleLock = false;

    // The object for the script value at idx (the same object each time for the same value
    // while one is alive), with one reference.
    static HRESULT FromStack(const std::shared_ptr<EngineState>& state, duk_idx_t idx,
                             IDispatch** out);
    // The script object behind `object` when it is one of this heap's, else null (no reference).
    static CScriptObject* Unwrap(IUnknown* object, const EngineState* state);

    CScriptObject(std::shared_ptr<EngineState> state, unsigned id);
    void FinalRelease();
    // Answers the private identifier by which the engine recognises its own objects.
    HRESULT QueryInterfaceHook(REFIID riid, void** object);

    // Pushes the wrapped script value.
    void Push() const;

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
    // S_OK when the caller is on the script thread and the heap exists.
    HRESULT Usable() const;
    HRESULT Call(DISPID dispid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excepinfo);
    HRESULT NewEnum(VARIANT* result);
    std::vector<std::string> OwnKeys();

    std::shared_ptr<EngineState> state_;
    const unsigned id_;
    brevanto_bridge::ScriptMemberIds members_;
};

}  // namespace brevanto_host
