// The page script engine: one Duktape heap on the script thread, with the bridge that lets page
// scripts use library objects by name and lets the library call script objects back.
//
// Duktape is the Debian library, built with setjmp/longjmp error handling. So no C++ exception
// may cross a Duktape call and no script error may unwind through a C++ frame that owns
// resources: native functions called by script do their work in a C++ scope and raise the
// script error only after that scope has closed (see NativeCall in engine_internal.h), and
// everything native code does to script values that may run script goes through a protected
// call.
#pragma once

#include <duktape.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/bridge/script_file.h"
#include "platform/automation.h"

namespace brevanto_host {

// An uncaught script error: its text, where it was thrown and its status code (0 for plain
// script errors).

// What outlives a heap: script objects handed to the library find out through it whether their
// heap still exists and which thread may enter it.
struct EngineState {
    duk_context* ctx = nullptr;  // null once the heap is gone
    unsigned long thread = 0;
    class ScriptEngine* engine = nullptr;
    unsigned next_object_id = 1;
};

class ScriptEngine {
  public:
    // Services the page globals need from the host.
    struct Callbacks {
        // console.log and uncaught-error-free text output.
        std::function<void(const std::string&)> log;
        // `new ActiveXObject(name)`: an object of a class, or a failure status (and, for a
        // class the host refuses, why).
        std::function<HRESULT(const std::u16string& prog_id, IDispatch** object,
                              std::string* refusal)>
            create;
        // A window timer was added while the host may be waiting.
        std::function<void()> wake;
        // An error that does not end the page: thrown by a timer callback, by a script function
        // the library called (when the library ignored the error), or by a script the page
        // loaded.
        std::function<void(const ScriptError&)> report;
    };

    // Creates the heap on the calling thread, which becomes the only thread that may enter it.
    explicit ScriptEngine(Callbacks callbacks);
    ~ScriptEngine();
    ScriptEngine(const ScriptEngine&) = delete;
    ScriptEngine& operator=(const ScriptEngine&) = delete;

    duk_context* ctx() const { return state_->ctx; }
    const std::shared_ptr<EngineState>& state() const { return state_; }

    // Runs text as global code under a file name; false with *error on an uncaught error.
    // Text that is not UTF-8 is refused with the place of the first bad byte. The declarations
    // of a script run as `removable` can be deleted again (a script loaded and later removed).
    bool Run(const std::string& file_name, const std::string& text, ScriptError* error,
             bool removable = false);
    bool RunFile(const std::filesystem::path& file, ScriptError* error, bool removable = false);
    // Evaluates an expression (global scope) and hands back its value.
    HRESULT Evaluate(const std::string& text, VARIANT* result, ScriptError* error = nullptr);

    // Makes a library object a global variable of the page.
    void SetGlobal(const char* name, IDispatch* object);
    // A global script value as an object the library can call (null when it is not an object).
    HRESULT GetGlobalObject(const char* name, IDispatch** object);
    // Deletes global variables (a removed script's functions).
    void DeleteGlobal(const std::string& name);
    // Names of the global object's own enumerable properties.
    std::vector<std::string> GlobalNames();

    // One pass of the window timers: runs those that were due when it began (a callback that
    // throws is reported, and the pass goes on); returns milliseconds until the next one is
    // due (0: now), or -1 when there is none.
    int RunTimers();
    // Hands an error that does not end the page to the host.
    void Report(const ScriptError& error) const noexcept;

    // ---- The bridge, for code running on the script thread with the heap's stack ----
    // Pushes a value for script: library objects become script objects that forward to them
    // (`owner`: the library object it was read from, which may embed it), this engine's own
    // script objects come back as the script values they wrap. Never raises a script error: on
    // failure nothing is pushed.
    HRESULT PushVariant(const VARIANT& value, IUnknown* owner = nullptr);
    // The script value at idx as a VARIANT. Arguments turn `undefined` into a missing argument.
    HRESULT ToVariant(duk_idx_t idx, VARIANT* out, bool argument);
    // Reads the error value at idx (any thrown value) without running script unprotected.
    ScriptError ErrorAt(duk_idx_t idx);

    const Callbacks& callbacks() const { return callbacks_; }
    class Bridge& bridge() const {
        return *bridge_;
    }

  private:
    void InstallGlobals();

    Callbacks callbacks_;
    std::shared_ptr<EngineState> state_;
    std::unique_ptr<class Bridge> bridge_;
};

}  // namespace brevanto_host
