// The engine class: the heap, running scripts and evaluating text, the page's global variables,
// window timers run from the host's pump, reading errors under protected calls, and the native
// handles the engine owns.
#include "host/script_engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

#include "host/bridge/value_conversion.h"
#include "host/engine_internal.h"
#include "host/script_object.h"

namespace brevanto_host {

ScriptEngine* EngineOf(duk_context* ctx) {
    duk_memory_functions functions;
    duk_get_memory_functions(ctx, &functions);
    return static_cast<ScriptEngine*>(functions.udata);
}

Bridge& BridgeOf(duk_context* ctx) {
    return EngineOf(ctx)->bridge();
}

// ---- Native handles ----

// The depth is measured from where the engine is made, on the script thread, not from the top of
// the thread's stack mapping: that mapping also holds the thread's static thread-local storage,
// which some runtimes make large (ThreadSanitizer's takes most of a megabyte), so that a page on
// such a thread would find its first call into the library too deep.
Bridge::Bridge(ScriptEngine* engine)
    : engine_(engine), stack_top_(reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0))) {}

Bridge::~Bridge() {
    // The heap is gone: what its finalizers did not free (objects that died where a finalizer
    // could not run) is freed here.
    for (NativeHandle* handle : handles_)
        delete handle;
}

void Bridge::Free(NativeHandle* handle) noexcept {
    if (handles_.erase(handle) == 0) return;
    if (auto* dispatch = dynamic_cast<DispatchHandle*>(handle)) Forget(dispatch);
    delete handle;
}

size_t Bridge::StackUsed() const {
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    return stack_top_ > here ? stack_top_ - here : 0;
}

duk_ret_t FinalizeHandle(duk_context* ctx) {
    duk_get_prop_string(ctx, 0, kPtrKey);
    void* handle = duk_get_pointer(ctx, -1);
    duk_pop(ctx);
    if (!handle) return 0;
    duk_push_pointer(ctx, nullptr);
    duk_put_prop_string(ctx, 0, kPtrKey);
    duk_del_prop_string(ctx, 0, kSelfKey);
    BridgeOf(ctx).Free(static_cast<NativeHandle*>(handle));
    return 0;
}

void AttachHandle(duk_context* ctx, NativeHandle* handle, HandleTag tag) {
    // The finalizer first and the pointer last: an object left half-made owns nothing.
    duk_push_c_function(ctx, FinalizeHandle, 1);
    duk_set_finalizer(ctx, -2);
    duk_push_int(ctx, tag);
    duk_put_prop_string(ctx, -2, kTagKey);
    duk_push_pointer(ctx, handle);
    duk_put_prop_string(ctx, -2, kPtrKey);
}

// ---- Reading errors ----

namespace {

const char* ErrorTypeName(duk_errcode_t code) {
    switch (code) {
        case DUK_ERR_EVAL_ERROR:
            return "EvalError";
        case DUK_ERR_RANGE_ERROR:
            return "RangeError";
        case DUK_ERR_REFERENCE_ERROR:
            return "ReferenceError";
        case DUK_ERR_SYNTAX_ERROR:
            return "SyntaxError";
        case DUK_ERR_TYPE_ERROR:
            return "TypeError";
        case DUK_ERR_URI_ERROR:
            return "URIError";
        default:
            return "Error";
    }
}

// Protected: [value] -> [text file line number]. duk_safe_call runs on the caller's stack.
duk_ret_t SafeReadError(duk_context* ctx, void*) {
    const duk_idx_t value = duk_get_top_index(ctx);
    if (duk_is_error(ctx, value)) {
        duk_get_prop_string(ctx, value, "name");
        duk_get_prop_string(ctx, value, "message");
        const char* name = duk_safe_to_string(ctx, -2);
        const char* message = duk_safe_to_string(ctx, -1);
        duk_push_sprintf(ctx, "%s: %s", name, message);
        duk_remove(ctx, -2);
        duk_remove(ctx, -2);
    } else {
        // Anything else can be thrown too: say what it was.
        if (duk_is_string(ctx, value)) {
            duk_push_sprintf(ctx, "\"%s\"", duk_get_string(ctx, value));
        } else {
            duk_dup(ctx, value);
            duk_safe_to_string(ctx, -1);
        }
        duk_push_sprintf(ctx, "%s thrown (not an Error object)", duk_get_string(ctx, -1));
        duk_remove(ctx, -2);
    }
    if (duk_is_object(ctx, value)) {
        duk_get_prop_string(ctx, value, "fileName");
        duk_get_prop_string(ctx, value, "lineNumber");
        duk_get_prop_string(ctx, value, "number");
    } else {
        duk_push_undefined(ctx);
        duk_push_undefined(ctx);
        duk_push_undefined(ctx);
    }
    return 4;
}

// Duktape.errThrow: notes where a value that is not an Error is thrown, as such values carry
// no place of their own. Entry -1 of the call stack is this hook, -2 the throwing function.
duk_ret_t NoteThrowSite(duk_context* ctx, Failure*) {
    duk_set_top(ctx, 1);
    if (duk_is_error(ctx, 0)) return 1;
    duk_inspect_callstack_entry(ctx, -2);
    if (!duk_is_object(ctx, -1)) {
        duk_pop(ctx);
        return 1;
    }
    duk_get_prop_string(ctx, -1, "lineNumber");
    duk_get_prop_string(ctx, -2, "function");
    duk_get_prop_string(ctx, -1, "fileName");
    Bridge::ThrowSite& site = BridgeOf(ctx).last_throw;
    site.line = duk_get_int_default(ctx, -3, 0);
    site.file = duk_get_string_default(ctx, -1, "");
    duk_set_top(ctx, 1);
    return 1;
}

void FatalError(void*, const char* message) {
    std::fprintf(stderr, "brevanto-host: script engine failure: %s\n", message ? message : "");
    std::abort();
}

// The offset of the first byte that cannot be UTF-8 text, or npos. Encoded surrogates are
// accepted, as the engine keeps strings that way itself.
size_t FirstInvalidUtf8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    for (size_t i = 0; i < size;) {
        const unsigned char lead = bytes[i];
        int follow = 0;
        unsigned char low = 0x80, high = 0xBF;  // range of the second byte
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            follow = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            follow = 2;
            if (lead == 0xE0) low = 0xA0;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            follow = 3;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return i;
        }
        for (int k = 1; k <= follow; ++k) {
            if (i + k >= size) return i;
            const unsigned char next = bytes[i + k];
            if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return i;
        }
        i += follow + 1;
    }
    return std::string_view::npos;
}

}  // namespace

ScriptError ScriptEngine::ErrorAt(duk_idx_t idx) {
    duk_context* ctx = state_->ctx;
    ScriptError error;
    idx = duk_normalize_index(ctx, idx);
    if (!duk_check_stack(ctx, 8)) {
        error.message = "uncaught error (no stack left to read it)";
        return error;
    }
    duk_dup(ctx, idx);
    if (duk_safe_call(ctx, SafeReadError, nullptr, 1, 4) != 0) {
        // Reading it ran into the engine's limits; its kind is known without running script.
        error.message =
            std::string(duk_is_error(ctx, idx) ? ErrorTypeName(duk_get_error_code(ctx, idx))
                                               : "exception") +
            " thrown where calls nest too deeply to read it";
        duk_pop_n(ctx, 4);
        return error;
    }
    error.message = duk_get_string_default(ctx, -4, "");
    error.file = duk_is_string(ctx, -3) ? duk_get_string(ctx, -3) : "";
    error.line = duk_is_number(ctx, -2) ? duk_get_int(ctx, -2) : 0;
    error.number =
        duk_is_number(ctx, -1) ? brevanto_bridge::NumberAsStatus(duk_get_number(ctx, -1)) : 0;
    duk_pop_n(ctx, 4);
    if (error.file.empty() && !duk_is_error(ctx, idx)) {
        Bridge::ThrowSite& site = bridge_->last_throw;
        error.file = std::exchange(site.file, std::string());
        error.line = std::exchange(site.line, 0);
    }
    return error;
}

// ---- Reading script files ----

// ---- The engine ----

ScriptEngine::ScriptEngine(Callbacks callbacks)
    : callbacks_(std::move(callbacks)),
      state_(std::make_shared<EngineState>()),
      bridge_(std::make_unique<Bridge>(this)) {
    state_->ctx = duk_create_heap(nullptr, nullptr, nullptr, this, FatalError);
    if (!state_->ctx) throw HResultError(E_OUTOFMEMORY);
    state_->thread = brevanto::CurrentThreadId();
    state_->engine = this;
    InstallGlobals();
    duk_context* ctx = state_->ctx;
    duk_get_global_string(ctx, "Duktape");
    duk_push_c_function(ctx, NativeCall<NoteThrowSite>, 1);
    duk_put_prop_string(ctx, -2, "errThrow");
    duk_pop(ctx);
}

ScriptEngine::~ScriptEngine() {
    duk_context* ctx = state_->ctx;
    // Script objects still held by the library stop reaching into the heap from here on; the
    // heap's finalizers release the library objects that scripts held.
    state_->ctx = nullptr;
    state_->engine = nullptr;
    duk_destroy_heap(ctx);
    bridge_.reset();
}

bool ScriptEngine::Run(const std::string& file_name, const std::string& text, ScriptError* error,
                       bool removable) {
    const size_t invalid = FirstInvalidUtf8(text);
    if (invalid != std::string_view::npos) {
        if (error) {
            const size_t line_start = text.rfind('\n', invalid);
            const size_t column = invalid - (line_start == std::string::npos ? 0 : line_start + 1);
            char why[96];
            std::snprintf(why, sizeof why, "not UTF-8 text: byte 0x%02X at column %zu",
                          static_cast<unsigned char>(text[invalid]), column + 1);
            const int line =
                1 + static_cast<int>(std::count(text.begin(), text.begin() + invalid, '\n'));
            *error = ScriptError{why, file_name, line, 0};
        }
        return false;
    }
    duk_context* ctx = state_->ctx;
    const duk_idx_t top = duk_get_top(ctx);
    duk_push_lstring(ctx, text.data(), text.size());
    duk_push_lstring(ctx, file_name.data(), file_name.size());
    // Declarations of eval code can be deleted; those of program code cannot.
    const duk_uint_t flags = DUK_COMPILE_SHEBANG | (removable ? DUK_COMPILE_EVAL : 0);
    bool ok = duk_pcompile(ctx, flags) == 0 && duk_pcall(ctx, 0) == 0;
    if (!ok && error) *error = ErrorAt(-1);
    duk_set_top(ctx, top);
    return ok;
}

bool ScriptEngine::RunFile(const std::filesystem::path& file, ScriptError* error, bool removable) {
    std::string text;
    ScriptError unread;
    if (!ReadScriptFile(file, &text, error ? error : &unread)) return false;
    return Run(file.string(), text, error, removable);
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
    CComVariant value(object);
    if (FAILED(PushVariant(value))) return;
    duk_put_global_string(ctx, name);
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

int ScriptEngine::RunTimers() {
    duk_context* ctx = state_->ctx;
    const duk_idx_t top = duk_get_top(ctx);
    duk_push_global_object(ctx);
    duk_get_prop_string(ctx, -1, "__runTimers");
    int next = -1;
    if (duk_pcall(ctx, 0) != 0)
        Report(ErrorAt(-1));
    else
        next = duk_get_int_default(ctx, -1, -1);
    duk_set_top(ctx, top);
    return next;
}

void ScriptEngine::Report(const ScriptError& error) const noexcept {
    try {
        if (callbacks_.report) callbacks_.report(error);
    } catch (...) {
        // Nowhere left to say it.
    }
}

}  // namespace brevanto_host
