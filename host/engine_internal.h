// Internal pieces of the page script engine, shared by its source files (not for users of
// the engine: they include host/script_engine.h).
//
//   script_engine.cpp   the engine class: the heap, running scripts, globals, protected calls
//   native_errors.cpp   raising script errors from native code
//   script_values.cpp   script values to and from VARIANTs
//   library_proxy.cpp   library objects as script objects (Proxy traps, bound methods, calls)
//   page_globals.cpp    the natives behind the page globals (ActiveXObject, Enumerator, VBArray,
//                       window timers, console) and their installation
#pragma once

#include <duktape.h>

#include <cstdarg>
#include <cstdio>
#include <new>
#include <string>
#include <unordered_map>

#include "host/script_engine.h"

namespace brevanto_host {

// Native handles live on plain script objects (never on a Proxy, whose finalizer would not
// run): a type tag, checked before every cast, and the pointer. Each handle owns what it points
// at; the target's finalizer frees it.
constexpr const char* kTagKey =
    "\xFF"
    "bvTag";
constexpr const char* kPtrKey =
    "\xFF"
    "bvPtr";
enum HandleTag : int { kTagDispatch = 0x42560001, kTagEnum = 0x42560002, kTagArray = 0x42560003 };

// ---- Raising script errors from native code ----

// What a native function reports instead of throwing: trivially destructible, so nothing is
// left to clean up when Duktape unwinds past it.
struct Failure {
    bool failed = false;
    HRESULT hr = 0;
    int type = DUK_ERR_ERROR;
    char message[512] = {};

    void Set(HRESULT code, const char* format, ...) __attribute__((format(printf, 3, 4))) {
        failed = true;
        hr = code;
        va_list args;
        va_start(args, format);
        std::vsnprintf(message, sizeof message, format, args);
        va_end(args);
    }
};

using NativeFn = duk_ret_t (*)(duk_context*, Failure*);

// Raises the failure as a script error; never returns.
duk_ret_t ThrowFailure(duk_context* ctx, const Failure& failure);

// Every native function script can call: the work runs in a C++ scope that catches its own
// exceptions; the script error, if any, is raised after that scope has ended.
template <NativeFn F>
duk_ret_t NativeCall(duk_context* ctx) {
    Failure failure;
    duk_ret_t ret = 0;
    try {
        ret = F(ctx, &failure);
    } catch (const HResultError& e) {
        failure.Set(e.code(), "Internal failure (0x%08X)", static_cast<unsigned>(e.code()));
    } catch (const std::bad_alloc&) {
        failure.Set(E_OUTOFMEMORY, "Out of memory");
    } catch (...) {
        failure.Set(E_FAIL, "Internal failure");
    }
    if (failure.failed) return ThrowFailure(ctx, failure);
    return ret;
}

// The engine whose heap ctx is (the heap's user data).
ScriptEngine* EngineOf(duk_context* ctx);

// Plain-language texts of the status codes a page meets most.
const char* StatusText(HRESULT hr);

struct ExcepInfo : EXCEPINFO {
    ExcepInfo() : EXCEPINFO{} {}
    ~ExcepInfo() {
        SysFreeString(bstrSource);
        SysFreeString(bstrDescription);
        SysFreeString(bstrHelpFile);
    }
};

void SetCallFailure(Failure* failure, const char* member, HRESULT hr, const ExcepInfo& info);

// ---- Library objects as script objects ----

// What the bridge knows of one member kind from type information.
struct MemberKinds {
    bool typed = false;
    bool method = false;
    bool get = false;
    bool get_with_args = false;
    bool put = false;
    bool putref = false;
};

class TypeKinds;

// One library object held by a script object.
struct DispatchHandle {
    ComPtr<IDispatch> object;
    ComPtr<IDispatchEx> ex;
    const TypeKinds* kinds = nullptr;
    bool kinds_read = false;
    std::unordered_map<std::string, DISPID> ids;  // names that resolved

    MemberKinds Kinds(DISPID dispid);

    // The DISPID of a member name; `ensure` creates an expando member where the object can.
    HRESULT Resolve(const char* name, bool ensure, DISPID* dispid);
};

template <class T, HandleTag Tag>
T* HandleAt(duk_context* ctx, duk_idx_t idx) {
    if (!duk_is_object(ctx, idx)) return nullptr;
    duk_get_prop_string(ctx, idx, kTagKey);
    const bool match = duk_is_number(ctx, -1) && duk_get_int(ctx, -1) == Tag;
    duk_pop(ctx);
    if (!match) return nullptr;
    duk_get_prop_string(ctx, idx, kPtrKey);
    void* p = duk_get_pointer(ctx, -1);
    duk_pop(ctx);
    return static_cast<T*>(p);
}

template <class T, HandleTag Tag>
duk_ret_t FinalizeHandle(duk_context* ctx) {
    if (T* handle = HandleAt<T, Tag>(ctx, 0)) {
        duk_push_pointer(ctx, nullptr);
        duk_put_prop_string(ctx, 0, kPtrKey);
        delete handle;
    }
    return 0;
}

// Attaches a handle to the object on top of the stack; the object now owns it.
template <class T, HandleTag Tag>
void AttachHandle(duk_context* ctx, T* handle) {
    duk_push_int(ctx, Tag);
    duk_put_prop_string(ctx, -2, kTagKey);
    duk_push_pointer(ctx, handle);
    duk_put_prop_string(ctx, -2, kPtrKey);
    duk_push_c_function(ctx, FinalizeHandle<T, Tag>, 1);
    duk_set_finalizer(ctx, -2);
}

HRESULT InvokeHandle(DispatchHandle* handle, DISPID dispid, WORD flags, DISPPARAMS* params,
                     VARIANT* result, ExcepInfo* info);

// Pushes a script object that forwards to a library object.
void PushLibraryObject(duk_context* ctx, IDispatch* object);

// ---- Safe arrays ----

struct ArrayHandle {
    CComVariant value;  // VT_ARRAY | type
};

// Pushes a script object that owns a copy of the array (VBArray's source).
void PushSafeArray(duk_context* ctx, const VARIANT& value);

}  // namespace brevanto_host
