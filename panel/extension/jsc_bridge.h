// Library objects in a JavaScriptCore context, and script values as the library sees them.
//
// A library object appears to script as an object of the bridge's JSC class: its property
// reads, writes, deletions and enumeration are late-bound calls on the object (through
// host/bridge's LibraryObject, the rules every engine shares); its methods read as functions
// bound to it. Script functions, objects and arrays reach the library as IDispatchEx objects
// of the page's thread. A failed call raises an Error carrying `number`; no C++ exception
// reaches the engine.
#pragma once

#include <jsc/jsc.h>

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/bridge/library_object.h"
#include "host/bridge/script_file.h"
#include "platform/automation.h"

namespace brevanto_panel {

using brevanto_host::ScriptError;

// What page scripts ask of the panel.
struct PageServices {
    // new ActiveXObject(name): an object of the library, or a refusal text.
    std::function<HRESULT(const std::u16string& prog_id, IDispatch** object, std::string* refusal)>
        create;
    std::function<void(const std::string&)> log;
    // An uncaught error; `initial` while the page's own scripts first run.
    std::function<void(const ScriptError&, bool initial)> report;
};

class ScriptObject;
struct LibraryHandle;

// One per page context: kept on the JSCContext (it lives as long as the context does).
class JscBridge {
  public:
    // Installs the bridge in `context`: its classes, the natives the page prelude stands on,
    // and the prelude (ActiveXObject, Enumerator, VBArray, console, error reports).
    static JscBridge* Install(JSCContext* context, PageServices services);
    // The bridge of a context, or null.
    static JscBridge* Of(JSCContext* context);
    ~JscBridge();
    JscBridge(const JscBridge&) = delete;
    JscBridge& operator=(const JscBridge&) = delete;

    JSCContext* context() const { return context_; }
    const PageServices& services() const { return services_; }

    // A VARIANT as a script value (new reference). `owner`: the object it was read from.
    JSCValue* ToScript(const VARIANT& value, IUnknown* owner = nullptr);
    // A script value as a VARIANT; `argument`: undefined is a missing argument.
    HRESULT ToVariant(JSCValue* value, VARIANT* out, bool argument);
    // Arguments of a call in dispatch order (last first).
    HRESULT Arguments(GPtrArray* values, std::vector<CComVariant>* out);

    // Makes the failure the context's pending exception (an Error with `number`).
    void Throw(const brevanto_bridge::CallFailure& failure);
    // An error value as a ScriptError.
    ScriptError ErrorOf(JSCValue* error);

    void SetGlobal(const char* name, const VARIANT& value);
    // A global object of the page as IDispatch (document, window, the hidden script).
    HRESULT GlobalObject(const char* name, IDispatch** object);
    // Runs a script text (the page's own code, not a file) and returns its value.
    HRESULT Evaluate(const std::string& code, VARIANT* result);
    // Runs a script file in the page; false with *error when it could not be read or threw.
    bool RunFile(const std::string& path, ScriptError* error);
    std::vector<std::string> GlobalNames();
    void DeleteGlobal(const std::string& name);

    // The page is gone: every script object the library still holds lets go of its value and
    // answers RPC_E_DISCONNECTED from now on.
    void End();
    bool ended() const { return ended_; }

    // ---- For the bridge's own objects ----
    // Script helpers that catch what script throws: call(f, self, args), construct(f, args),
    // get(o, k), put(o, k, v), has(o, k), del(o, k), keys(o), text(o), list(o).
    JSCValue* helper(const char* name);
    // Library calls in progress: a script callback's error inside one is settled when it ends
    // (taken as its status when it failed, reported when it succeeded).
    size_t EnterLibraryCall();
    void LeaveLibraryCall(size_t mark, bool failed);
    void CallbackFailed(const ScriptError& error);
    // The library's objects for script values: one per value while the library holds it.
    void Track(JSCValue* value, ScriptObject* object);
    void Untrack(JSCValue* value);
    ScriptObject* ScriptObjectOf(JSCValue* value) const;
    // The library handle behind a script value of the bridge's class, or null.
    LibraryHandle* HandleOf(JSCValue* value);
    const SAFEARRAY* ArrayOf(JSCValue* value, VARTYPE* vt);
    // The script value of a library object (one per identity while script holds it).
    JSCValue* LibraryValue(IUnknown* object, IDispatch* dispatch, IUnknown* owner);
    // A script object owning a copy of a safe array (VBArray's source); takes `array`.
    JSCValue* ArrayValue(CComVariant* array);
    struct Identities;

  private:
    JscBridge(JSCContext* context, PageServices services);
    void Setup();
    // What script gets for the class object of a library object (takes `object`): objects
    // without expandos may be function objects, so script can call them (their default
    // member) through a Proxy that forwards everything else to the class object; one Proxy
    // per object while script holds it.
    JSCValue* Presented(JSCValue* object, LibraryHandle* handle);

    JSCContext* context_;  // not owned: the bridge is the context's data
    PageServices services_;
    JSCClass* object_class_ = nullptr;
    JSCClass* array_class_ = nullptr;
    JSCValue* helpers_ = nullptr;
    std::unordered_map<std::string, JSCValue*> helper_functions_;  // one reference each
    bool ended_ = false;
    bool chain_ended_ = false;  // the library objects' prototype chain ends in NativeMissing
    int library_calls_ = 0;
    std::vector<ScriptError> pending_;
    // JavaScriptCore gives one JSCValue per script value while it is referenced, and each
    // object here references its own.
    std::unordered_map<JSCValue*, ScriptObject*> script_objects_;
    std::shared_ptr<Identities> identities_;
    friend struct LibraryHandle;
};

}  // namespace brevanto_panel
