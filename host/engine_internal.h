// Internal pieces of the page script engine, shared by its source files (not for users of
// the engine: they include host/script_engine.h).
//
//   script_engine.cpp   the engine class: the heap, running scripts, globals, reading errors,
//                       the native handles it owns
//   native_errors.cpp   raising script errors from native code; errors of script the library
//                       called
//   script_values.cpp   script values to and from VARIANTs
//   library_proxy.cpp   library objects as script objects (Proxy traps, bound methods, calls,
//                       one script object per library object)
//   page_globals.cpp    the natives behind the page globals (ActiveXObject, Enumerator, VBArray,
//                       window timers, console) and their installation
//
// What does not depend on Duktape (how members are read, written and called, error texts, which
// script value a VARIANT becomes) lives in host/bridge/, for every engine's bridge.
//
// Duktape raises script errors with longjmp. Code that may raise one (any Duktape call that can
// run script, allocate or grow the value stack) holds no C++ object with a destructor while it
// does; code that owns such objects calls Duktape only through protected calls, or after
// reserving value-stack space for operations that can then fail only when the heap is out of
// memory.
#pragma once

#include <duktape.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "host/bridge/library_object.h"
#include "host/script_engine.h"
#include "platform/boundary.h"

namespace brevanto_host {

// Native handles live on plain script objects (never on a Proxy, whose finalizer would not
// run): a type tag, checked before every cast, and the pointer.
constexpr const char* kTagKey =
    "\xFF"
    "bvTag";
constexpr const char* kPtrKey =
    "\xFF"
    "bvPtr";
enum HandleTag : int { kTagDispatch = 0x42560001, kTagEnum = 0x42560002, kTagArray = 0x42560003 };
// On the target of a library object's Proxy: the Proxy. The Proxy and its target then live and
// die together, and the target's finalizer always runs before the Proxy is freed.
constexpr const char* kSelfKey =
    "\xFF"
    "bvSelf";

// Something native that a script object holds: a library object, an enumerator, a safe array.
// The engine owns every handle; the finalizer of the script object that holds it frees it
// early, and the engine frees those whose finalizer never ran when its heap is gone.
struct NativeHandle {
    virtual ~NativeHandle() = default;
};

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

class Bridge;
// The engine whose heap ctx is (the heap's user data), and its bridge state.
ScriptEngine* EngineOf(duk_context* ctx);
Bridge& BridgeOf(duk_context* ctx);

// ---- Library objects as script objects ----

// One library object held by a script object: the engine-neutral member rules, and the script
// object once it is complete.
struct DispatchHandle : NativeHandle, brevanto_bridge::LibraryObject {
    void* proxy = nullptr;  // the script object, once it is complete
    unsigned serial = 0;    // its anchor in the heap stash
};

// Script -> library calls in progress, and the errors that script functions called by the
// library raised inside them.
struct CallbackErrors {
    int library_calls = 0;
    std::vector<ScriptError> pending;
};

// What the bridge keeps beside the heap, one per engine.
class Bridge {
  public:
    explicit Bridge(ScriptEngine* engine);
    ~Bridge();
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    ScriptEngine* engine() const { return engine_; }

    // ---- Native handles (script_engine.cpp) ----
    // Takes a handle before any script object holds it, so that it is freed even when making
    // that object fails half-way. Null when out of memory.
    template <class T>
    T* Adopt(std::unique_ptr<T> handle) noexcept {
        try {
            handles_.insert(handle.get());
        } catch (...) {
            return nullptr;
        }
        return handle.release();
    }
    void Free(NativeHandle* handle) noexcept;

    // ---- One script object per library object (library_proxy.cpp) ----
    // The handle of a library object that has a script object (*known), else a new one
    // (adopted, with its identity and owner set; `dispatch` is the interface to call, null to
    // ask `object` for one); null for an object without a dispatch interface. False when out of
    // memory.
    bool HandleFor(IUnknown* object, IDispatch* dispatch, IUnknown* owner, DispatchHandle** handle,
                   bool* known) noexcept;
    // Called by the finalizer of a handle's script object.
    void Forget(DispatchHandle* handle) noexcept;
    // Script objects are anchored in the heap stash, so that none dies deep in a recursion
    // where its finalizer could not run; now and then, at a shallow point, the anchors are let
    // go and the ones still in use taken again.
    unsigned NextSerial() { return next_serial_++; }
    void Anchored(DispatchHandle* handle) noexcept;
    void MaybeCollect(duk_context* ctx) noexcept;

    // ---- Errors of script functions the library called (native_errors.cpp) ----
    size_t EnterLibraryCall() noexcept;
    // A failed call took its callbacks' errors as its status; after a call that succeeded they
    // are reported, as the library ignored them.
    void LeaveLibraryCall(size_t mark, bool failed) noexcept;
    // An error of a script function that the library called: reported at once when no script
    // -> library call encloses it, else kept for that call.
    void CallbackFailed(const ScriptError& error) noexcept;

    // ---- Where a value that is not an Error was last thrown (script_engine.cpp) ----
    struct ThrowSite {
        std::string file;
        int line = 0;
    };
    ThrowSite last_throw;

    // ---- Depth ----
    // Bytes of the script thread's stack in use between where the engine was made and the point
    // of call.
    size_t StackUsed() const;

  private:
    void Collect(duk_context* ctx) noexcept;

    ScriptEngine* engine_;
    std::unordered_set<NativeHandle*> handles_;
    std::unordered_map<IUnknown*, DispatchHandle*> by_identity_;
    std::vector<unsigned> anchors_;  // serials anchored in the stash
    size_t collect_at_ = 0;
    unsigned next_serial_ = 1;
    bool collecting_ = false;
    CallbackErrors errors_;
    std::uintptr_t stack_top_ = 0;
};

// Every native function script can call: the work runs in a C++ scope that catches its own
// exceptions; the script error, if any, is raised after that scope has ended. The library may
// call script functions meanwhile; their errors are settled when the call returns.
template <NativeFn F>
duk_ret_t NativeCall(duk_context* ctx) {
    Failure failure;
    duk_ret_t ret = 0;
    Bridge& bridge = BridgeOf(ctx);
    const size_t mark = bridge.EnterLibraryCall();
    const HRESULT status = StatusOf([&] { ret = F(ctx, &failure); });
    if (status == E_OUTOFMEMORY)
        failure.Set(status, "Out of memory");
    else if (FAILED(status))
        failure.Set(status, "Internal failure (0x%08X)", static_cast<unsigned>(status));
    bridge.LeaveLibraryCall(mark, failure.failed);
    if (failure.failed) return ThrowFailure(ctx, failure);
    return ret;
}

// Raises `failure` as the native call's script error.
inline void SetFailure(Failure* failure, const brevanto_bridge::CallFailure& call) {
    failure->Set(call.hr, "%s", call.message.c_str());
}

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
    return p ? static_cast<T*>(static_cast<NativeHandle*>(p)) : nullptr;
}

// Takes the handle off its script object and frees it.
duk_ret_t FinalizeHandle(duk_context* ctx);

// Attaches an adopted handle to the object on top of the stack, which frees it when it is
// collected. Raises only when the heap is out of memory.
void AttachHandle(duk_context* ctx, NativeHandle* handle, HandleTag tag);

// ---- Pushing values inside protected calls (may raise) ----

// Pushes a script object that forwards to a library object (a VT_DISPATCH or VT_UNKNOWN value):
// the same script object each time for the same object while script holds it. `owner` is the
// object it was read from.
void PushLibraryObject(duk_context* ctx, const VARIANT& value, IUnknown* owner);
// Pushes a value as ScriptEngine::PushVariant does, raising its failures.
void PushVariantRaw(duk_context* ctx, const VARIANT& value, IUnknown* owner);

// ---- Names ----

// Member names cross as UTF-8, and the engine keeps a character beyond the first plane as the
// three-byte forms of its surrogate pair (script_values.cpp): a name read from the engine and a
// name pushed to it are converted, so that such a name is one member and no other.
// The script string at idx as UTF-8 (empty when it is none).
std::string ScriptName(duk_context* ctx, duk_idx_t idx);
// Pushes a UTF-8 name as the engine keeps text. May raise (out of memory) and holds nothing.
void PushName(duk_context* ctx, std::string_view name);

// ---- Safe arrays ----

struct ArrayHandle : NativeHandle {
    CComVariant value;  // VT_ARRAY | type
};

// Pushes a script object that owns a copy of the array (VBArray's source).
void PushSafeArray(duk_context* ctx, const VARIANT& value);

}  // namespace brevanto_host
