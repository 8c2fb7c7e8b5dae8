// The engine class: the heap, running scripts and evaluating text, the page's global variables,
// window timers run from the host's pump, and reading uncaught errors under protected calls.
#include "host/script_engine.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include "host/engine_internal.h"
#include "host/script_object.h"

namespace brevanto_host {

ScriptEngine* EngineOf(duk_context* ctx) {
    duk_memory_functions functions;
    duk_get_memory_functions(ctx, &functions);
    return static_cast<ScriptEngine*>(functions.udata);
}

namespace {

// Protected helpers: run inside duk_safe_call, so nothing here owns C++ resources.
duk_ret_t SafeReadError(duk_context* ctx, void*) {
    // [error] -> [text file line number]; duk_safe_call runs on the caller's stack.
    const duk_idx_t error = duk_get_top_index(ctx);
    if (duk_is_error(ctx, error)) {
        duk_get_prop_string(ctx, error, "name");
        duk_get_prop_string(ctx, error, "message");
        const char* name = duk_safe_to_string(ctx, -2);
        const char* message = duk_safe_to_string(ctx, -1);
        duk_push_sprintf(ctx, "%s: %s", name, message);
        duk_remove(ctx, -2);
        duk_remove(ctx, -2);
    } else {
        duk_dup(ctx, error);
        duk_safe_to_string(ctx, -1);
    }
    duk_get_prop_string(ctx, error, "fileName");
    duk_get_prop_string(ctx, error, "lineNumber");
    duk_get_prop_string(ctx, error, "number");
    return 4;
}

}  // namespace

std::string ScriptError::Describe() const {
    std::ostringstream out;
    if (!file.empty()) out << file << ':' << line << ": ";
    out << message;
    if (number != 0) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(number));
        if (message.find(code) == std::string::npos) out << " (" << code << ')';
    }
    return out.str();
}

namespace {

void FatalError(void*, const char* message) {
    std::fprintf(stderr, "brevanto-host: script engine failure: %s\n", message ? message : "");
    std::abort();
}

}  // namespace

ScriptEngine::ScriptEngine(Callbacks callbacks)
    : callbacks_(std::move(callbacks)), state_(std::make_shared<EngineState>()) {
    state_->ctx = duk_create_heap(nullptr, nullptr, nullptr, this, FatalError);
    if (!state_->ctx) throw HResultError(E_OUTOFMEMORY);
    state_->thread = brevanto::CurrentThreadId();
    state_->engine = this;
    InstallGlobals();
}

ScriptEngine::~ScriptEngine() {
    duk_context* ctx = state_->ctx;
    // Script objects still held by the library stop reaching into the heap from here on; the
    // heap's finalizers release the library objects that scripts held.
    state_->ctx = nullptr;
    state_->engine = nullptr;
    duk_destroy_heap(ctx);
}

bool ScriptEngine::Run(const std::string& file_name, const std::string& text, ScriptError* error) {
    duk_context* ctx = state_->ctx;
    const duk_idx_t top = duk_get_top(ctx);
    duk_push_lstring(ctx, text.data(), text.size());
    duk_push_lstring(ctx, file_name.data(), file_name.size());
    bool ok = duk_pcompile(ctx, DUK_COMPILE_SHEBANG) == 0 && duk_pcall(ctx, 0) == 0;
    if (!ok && error) *error = ErrorAt(-1);
    duk_set_top(ctx, top);
    return ok;
}

bool ScriptEngine::RunFile(const std::filesystem::path& file, ScriptError* error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        if (error) *error = ScriptError{"cannot read script file " + file.string(), "", 0, 0};
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return Run(file.string(), text.str(), error);
}

HRESULT ScriptEngine::Evaluate(const std::string& text, VARIANT* result, ScriptError* error) {
    duk_context* ctx = state_->ctx;
    const duk_idx_t top = duk_get_top(ctx);
    duk_push_lstring(ctx, text.data(), text.size());
    duk_push_string(ctx, "<eval>");
    HRESULT hr = S_OK;
    if (duk_pcompile(ctx, DUK_COMPILE_EVAL) != 0 || duk_pcall(ctx, 0) != 0) {
        ScriptError e = ErrorAt(-1);
        hr = e.number ? e.number : E_FAIL;
        if (error) *error = std::move(e);
    } else if (result) {
        hr = ToVariant(-1, result, false);
    }
    duk_set_top(ctx, top);
    return hr;
}

void ScriptEngine::SetGlobal(const char* name, IDispatch* object) {
    duk_context* ctx = state_->ctx;
    duk_push_global_object(ctx);
    CComVariant value(object);
    PushVariant(value);
    duk_put_prop_string(ctx, -2, name);
    duk_pop(ctx);
}

HRESULT ScriptEngine::GetGlobalObject(const char* name, IDispatch** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    duk_context* ctx = state_->ctx;
    duk_push_global_object(ctx);
    duk_get_prop_string(ctx, -1, name);  // plain global data properties run no script
    HRESULT hr = duk_is_object(ctx, -1) ? CScriptObject::FromStack(state_, -1, object) : S_FALSE;
    duk_pop_2(ctx);
    return hr;
}

void ScriptEngine::DeleteGlobal(const std::string& name) {
    duk_context* ctx = state_->ctx;
    duk_push_global_object(ctx);
    duk_push_lstring(ctx, name.data(), name.size());
    duk_safe_call(
        ctx,
        [](duk_context* c, void*) -> duk_ret_t {
            duk_del_prop(c, -2);
            return 0;
        },
        nullptr, 2, 0);  // takes the object and the key
}

std::vector<std::string> ScriptEngine::GlobalNames() {
    duk_context* ctx = state_->ctx;
    std::vector<std::string> names;
    duk_push_global_object(ctx);
    duk_enum(ctx, -1, DUK_ENUM_OWN_PROPERTIES_ONLY);
    while (duk_next(ctx, -1, 0)) {
        names.emplace_back(duk_get_string_default(ctx, -1, ""));
        duk_pop(ctx);
    }
    duk_pop_2(ctx);
    return names;
}

int ScriptEngine::RunTimers(ScriptError* error) {
    duk_context* ctx = state_->ctx;
    const duk_idx_t top = duk_get_top(ctx);
    duk_push_global_object(ctx);
    duk_get_prop_string(ctx, -1, "__runTimers");
    int next = -1;
    if (duk_pcall(ctx, 0) != 0) {
        if (error) *error = ErrorAt(-1);
        next = -2;
    } else {
        next = duk_get_int_default(ctx, -1, -1);
    }
    duk_set_top(ctx, top);
    return next;
}

std::optional<ScriptError> ScriptEngine::TakeCallbackError() {
    return std::exchange(callback_error_, std::nullopt);
}

void ScriptEngine::RecordCallbackError(const ScriptError& error) {
    if (!callback_error_) callback_error_ = error;
}

ScriptError ScriptEngine::ErrorAt(duk_idx_t idx) {
    duk_context* ctx = state_->ctx;
    ScriptError error;
    duk_dup(ctx, idx);
    if (duk_safe_call(ctx, SafeReadError, nullptr, 1, 4) != 0) {
        error.message = "uncaught error (unreadable)";
        duk_pop_n(ctx, 4);
        return error;
    }
    error.message = duk_get_string_default(ctx, -4, "");
    error.file = duk_is_string(ctx, -3) ? duk_get_string(ctx, -3) : "";
    error.line = duk_is_number(ctx, -2) ? duk_get_int(ctx, -2) : 0;
    error.number = duk_is_number(ctx, -1) ? static_cast<HRESULT>(duk_get_int(ctx, -1)) : 0;
    duk_pop_n(ctx, 4);
    return error;
}

}  // namespace brevanto_host
