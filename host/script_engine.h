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
#include <optional>
#include <string>
#include <vector>

#include "platform/automation.h"

namespace brevanto_host {

// An uncaught script error: its text, where it was thrown and its status code (0 for plain
// script errors).
struct ScriptError {
    std::string message;
    std::string file;
    int line = 0;
    HRESULT number = 0;
    // "file:line: message", as the host reports it.
    std::string Describe() const;
};

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
        // `new ActiveXObject(name)`: an object of a class, or a failure status.
        std::function<HRESULT(const std::u16string& prog_id, IDispatch** object)> create;
        // A window timer was added while the host may be waiting.
        std::function<void()> wake;
    };

    // Creates the heap on the calling thread, which becomes the only thread that may enter it.
    explicit ScriptEngine(Callbacks callbacks);
    ~ScriptEngine();
    ScriptEngine(const ScriptEngine&) = delete;
    ScriptEngine& operator=(const ScriptEngine&) = delete;

    duk_context* ctx() const { return state_->ctx; }
    const std::shared_ptr<EngineState>& state() const { return state_; }

    // Runs text as global code under a file name; false with *error on an uncaught error.
    bool Run(const std::string& file_name, const std::string& text, ScriptError* error);
    bool RunFile(const std::filesystem::path& file, ScriptError* error);
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

    // Runs the window timers that are due; returns milliseconds until the next one, or -1.
    int RunTimers(ScriptError* error);
    // The first uncaught error of a script function that the library called (an event handler,
    // a filter callback), taken once.
    std::optional<ScriptError> TakeCallbackError();
    void RecordCallbackError(const ScriptError& error);

    // ---- The bridge, for code running on the script thread with the heap's stack ----
    // Pushes a value for script: library objects become script objects that forward to them,
    // this engine's own script objects come back as the script values they wrap.
    void PushVariant(const VARIANT& value);
    // The script value at idx as a VARIANT. Arguments turn `undefined` into a missing argument.
    HRESULT ToVariant(duk_idx_t idx, VARIANT* out, bool argument);
    // Reads the error value at idx (any thrown value) without running script unprotected.
    ScriptError ErrorAt(duk_idx_t idx);

    const Callbacks& callbacks() const { return callbacks_; }

  private:
    void InstallGlobals();

    Callbacks callbacks_;
    std::shared_ptr<EngineState> state_;
    std::optional<ScriptError> callback_error_;
};

}  // namespace brevanto_host
