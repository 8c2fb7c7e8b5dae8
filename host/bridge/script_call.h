// How a call from the library on a script value (a function, object or array of the page's
// engine, seen as IDispatchEx) is understood, whatever the engine: which member a DISPID names,
// and what a DISPID, its flags and arguments ask the engine to do. Each engine's script object
// carries out the request on its own values.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "platform/automation.h"

namespace brevanto_bridge {

// The DISPIDs a script object hands out for member names: 1, 2, ... in the order asked, the
// same number for the same name for the object's life.
class ScriptMemberIds {
  public:
    DISPID IdOf(const std::string& name);
    bool Knows(const std::string& name) const { return ids_.count(name) != 0; }
    // Null for a DISPID this object never handed out.
    const std::string* NameOf(DISPID dispid) const;

  private:
    std::vector<std::string> names_;  // DISPID n names names_[n - 1]
    std::unordered_map<std::string, DISPID> ids_;
};

// What the engine is asked to do.
struct ScriptRequest {
    enum class Kind {
        kRefuse,     // answer `status` without touching the value
        kEnumerate,  // an enumerator over the value's elements (length and indexes)
        kPut,        // value[name] = *value
        kCall,       // call the value as a function with `self` (undefined when null)
        kConstruct,  // `new value(...)`
        kText,       // the value's text (its default value)
        kGet,        // value[name]; see call_if_function and must_be_function
    };
    Kind kind = Kind::kRefuse;
    HRESULT status = DISP_E_MEMBERNOTFOUND;
    const std::string* name = nullptr;
    const VARIANT* self = nullptr;   // the named argument DISPID_THIS
    const VARIANT* value = nullptr;  // the value put
    // kGet: a member that is a function is called, with the value as `this`...
    bool call_if_function = false;
    // ...and one that is not answers DISP_E_MEMBERNOTFOUND rather than its value.
    bool must_be_function = false;
    // The positional arguments in script order (first first).
    std::vector<const VARIANT*> arguments;

    // Whether the request runs script functions (whose errors are the callback's own).
    bool calls_function() const {
        return kind == Kind::kCall || kind == Kind::kConstruct ||
               (kind == Kind::kGet && call_if_function);
    }
};

// The request behind InvokeEx(dispid, flags, params) on a script value; `callable`: the value
// is a function.
ScriptRequest UnderstandScriptCall(DISPID dispid, WORD flags, const DISPPARAMS& params,
                                   const ScriptMemberIds& members, bool callable);

}  // namespace brevanto_bridge
