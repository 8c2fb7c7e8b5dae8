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
#include <vector>

#include "host/bridge/script_dispatch.h"
#include "host/script_engine.h"

namespace brevanto_host {

class CScriptObject : public brevanto_bridge::ScriptDispatch<CScriptObject> {
  public:
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

  private:
    friend class brevanto_bridge::ScriptDispatch<CScriptObject>;
    // S_OK when the caller is on the script thread and the heap exists.
    HRESULT Usable() const;
    bool IsCallable();
    bool HasMember(const std::string& name);
    HRESULT Carry(const brevanto_bridge::ScriptRequest& request, VARIANT* result,
                  EXCEPINFO* excepinfo);
    HRESULT ListItems(std::vector<CComVariant>* items);
    bool DeleteMember(const std::string& name);
    std::vector<std::string> OwnKeys();

    std::shared_ptr<EngineState> state_;
    const unsigned id_;
};

}  // namespace brevanto_host
