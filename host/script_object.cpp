#include "host/script_object.h"

#include <cstring>

#include "host/bridge/value_conversion.h"
#include "host/engine_internal.h"

namespace brevanto_host {

namespace {

constexpr const char* kObjectsKey =
    "\xFF"
    "bvObjects";  // stash: id -> script value
constexpr const char* kWrapperKey =
    "\xFF"
    "bvWrap";  // on the value: its CScriptObject

// Value-stack slots every entry reserves before it touches the heap.
constexpr duk_idx_t kEntryStack = 16;

// Calls from the library into script that nest (script -> library -> script ...) until this
// much of the stack is in use end with an error, well before the engine's own limits, where
// neither the error could be read nor the finalizers of dying objects run. Reads and writes of
// properties get a little more room, so that in a recursion through callbacks the call is what
// fails and says so.
constexpr size_t kMaxNestedCallStack = 256 * 1024;
constexpr size_t kMaxNestedAccessStack = kMaxNestedCallStack + 64 * 1024;

// Interface identifier by which a script object of this host recognises itself.
constexpr IID kScriptObjectIid{
    0x6a1c52f0, 0x3b7e, 0x4d2a, {0x9c, 0x41, 0x0e, 0x5b, 0x7d, 0x22, 0x81, 0xf3}};

// Protected steps: each runs inside duk_safe_call and owns nothing, so a script error thrown
// by a getter, setter or Proxy trap unwinds only Duktape frames. duk_safe_call runs them on the
// caller's value stack, so they address their arguments from the top.
duk_ret_t SafeGet(duk_context* ctx, void*) {  // [obj key] -> [value]
    duk_get_prop(ctx, -2);
    return 1;
}
duk_ret_t SafePut(duk_context* ctx, void*) {  // [obj key value] -> []
    duk_put_prop(ctx, -3);
    return 0;
}
duk_ret_t SafeHas(duk_context* ctx, void*) {  // [obj key] -> [bool]
    duk_push_boolean(ctx, duk_has_prop(ctx, -2));
    return 1;
}
duk_ret_t SafeDelete(duk_context* ctx, void*) {  // [obj key] -> []
    duk_del_prop(ctx, -2);
    return 0;
}
duk_ret_t SafeKeys(duk_context* ctx, void*) {  // [obj] -> [array of own enumerable keys]
    const duk_idx_t object = duk_get_top_index(ctx);
    duk_idx_t array = duk_push_array(ctx);
    duk_uarridx_t i = 0;
    duk_enum(ctx, object, DUK_ENUM_OWN_PROPERTIES_ONLY);
    while (duk_next(ctx, -1, 0))
        duk_put_prop_index(ctx, array, i++);
    duk_pop(ctx);
    return 1;
}
duk_ret_t SafePush(duk_context*, void* object) {  // [] -> [the script value]
    static_cast<const CScriptObject*>(object)->Push();
    return 1;
}
duk_ret_t SafeToString(duk_context* ctx, void*) {  // [value] -> [string]
    duk_to_string(ctx, -1);
    return 1;
}
duk_ret_t SafeSetWrapper(duk_context* ctx, void* object) {  // [value] -> []
    duk_push_pointer(ctx, object);
    duk_put_prop_string(ctx, -2, kWrapperKey);
    return 0;
}
duk_ret_t SafeClearWrapper(duk_context* ctx, void*) {  // [value] -> []
    duk_del_prop_string(ctx, -1, kWrapperKey);
    return 0;
}
duk_ret_t SafeNestingError(duk_context* ctx, void*) {  // [] -> [error]
    // No C file and line: the error is blamed on the script line that called the library.
    duk_push_error_object_raw(ctx, DUK_ERR_RANGE_ERROR, nullptr, 0,
                              "calls between the page and the library nest too deeply");
    return 1;
}

void PushObjectTable(duk_context* ctx) {
    duk_push_heap_stash(ctx);
    if (!duk_get_prop_string(ctx, -1, kObjectsKey)) {
        duk_pop(ctx);
        duk_push_bare_object(ctx);
        duk_dup_top(ctx);
        duk_put_prop_string(ctx, -3, kObjectsKey);
    }
    duk_remove(ctx, -2);
}

// Restores the value stack on every way out of a call.
class StackGuard {
  public:
    explicit StackGuard(duk_context* ctx) : ctx_(ctx), top_(duk_get_top(ctx)) {}
    ~StackGuard() { duk_set_top(ctx_, top_); }
    StackGuard(const StackGuard&) = delete;
    StackGuard& operator=(const StackGuard&) = delete;

  private:
    duk_context* ctx_;
    duk_idx_t top_;
};

}  // namespace

CScriptObject::CScriptObject(std::shared_ptr<EngineState> state, unsigned id)
    : state_(std::move(state)), id_(id) {}

HRESULT CScriptObject::FromStack(const std::shared_ptr<EngineState>& state, duk_idx_t idx,
                                 IDispatch** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    duk_context* ctx = state->ctx;
    if (!ctx) return RPC_E_DISCONNECTED;
    idx = duk_normalize_index(ctx, idx);
    if (duk_is_object(ctx, idx)) {
        duk_get_prop_string(ctx, idx, kWrapperKey);
        auto* existing = static_cast<CScriptObject*>(duk_get_pointer(ctx, -1));
        duk_pop(ctx);
        if (existing) {
            existing->AddRef();
            *out = existing;
            return S_OK;
        }
    }
    const unsigned id = state->next_object_id++;
    ComPtr<CScriptObject> object;
    HRESULT hr = MakeComObject(&object, state, id);
    if (FAILED(hr)) return hr;
    PushObjectTable(ctx);
    duk_dup(ctx, idx);
    duk_put_prop_index(ctx, -2, id);
    duk_pop(ctx);
    if (duk_is_object(ctx, idx)) {
        // Frozen objects refuse the mark; they just get a new wrapper each time.
        duk_dup(ctx, idx);
        duk_safe_call(ctx, SafeSetWrapper, object.get(), 1, 0);  // takes the copy
    }
    *out = object.Detach();
    return S_OK;
}

CScriptObject* CScriptObject::Unwrap(IUnknown* object, const EngineState* state) {
    CScriptObject* own = nullptr;
    if (!object || FAILED(object->QueryInterface(kScriptObjectIid, reinterpret_cast<void**>(&own))))
        return nullptr;
    own->Release();  // the caller holds the object; the answer is a borrowed pointer
    return own->state_.get() == state ? own : nullptr;
}

HRESULT CScriptObject::QueryInterfaceHook(REFIID riid, void** object) {
    if (riid != kScriptObjectIid) return E_NOINTERFACE;
    AddRef();
    *object = this;
    return S_OK;
}

void CScriptObject::FinalRelease() {
    duk_context* ctx = state_->ctx;
    if (!ctx || brevanto::CurrentThreadId() != state_->thread) return;
    if (!duk_check_stack(ctx, kEntryStack)) return;  // the value stays until the heap goes
    PushObjectTable(ctx);
    duk_get_prop_index(ctx, -1, id_);
    duk_get_prop_string(ctx, -1, kWrapperKey);
    const bool mine = duk_get_pointer(ctx, -1) == this;
    duk_pop(ctx);
    if (mine)
        duk_safe_call(ctx, SafeClearWrapper, nullptr, 1, 0);  // takes the value
    else
        duk_pop(ctx);
    duk_del_prop_index(ctx, -1, id_);
    duk_pop(ctx);
}

void CScriptObject::Push() const {
    duk_context* ctx = state_->ctx;
    PushObjectTable(ctx);
    duk_get_prop_index(ctx, -1, id_);
    duk_remove(ctx, -2);
}

HRESULT CScriptObject::Usable() const {
    if (!state_->ctx) return RPC_E_DISCONNECTED;
    if (brevanto::CurrentThreadId() != state_->thread) return RPC_E_WRONG_THREAD;
    if (!duk_check_stack(state_->ctx, kEntryStack)) return E_OUTOFMEMORY;
    return S_OK;
}

bool CScriptObject::IsCallable() {
    duk_context* ctx = state_->ctx;
    StackGuard guard(ctx);
    return duk_safe_call(ctx, SafePush, this, 0, 1) == 0 && duk_is_callable(ctx, -1);
}

bool CScriptObject::HasMember(const std::string& name) {
    duk_context* ctx = state_->ctx;
    StackGuard guard(ctx);
    Push();
    PushName(ctx, name);
    return duk_is_object(ctx, -2) && duk_safe_call(ctx, SafeHas, nullptr, 2, 1) == 0 &&
           duk_get_boolean(ctx, -1);
}

HRESULT CScriptObject::Carry(const brevanto_bridge::ScriptRequest& request, VARIANT* result,
                             EXCEPINFO* excepinfo) {
    using Kind = brevanto_bridge::ScriptRequest::Kind;
    using brevanto_bridge::ScriptFailure;
    duk_context* ctx = state_->ctx;
    ScriptEngine* engine = state_->engine;
    Bridge& bridge = engine->bridge();
    StackGuard guard(ctx);

    if (duk_safe_call(ctx, SafePush, this, 0, 1) != 0) return E_OUTOFMEMORY;
    const duk_idx_t object = duk_get_top_index(ctx);

    const auto positional = static_cast<duk_idx_t>(request.arguments.size());
    if (!duk_check_stack(ctx, positional + kEntryStack)) return E_OUTOFMEMORY;
    auto push_args = [&]() -> HRESULT {
        for (const VARIANT* argument : request.arguments)
            if (HRESULT hr = engine->PushVariant(*argument); FAILED(hr)) return hr;
        return S_OK;
    };
    // A call of a script function: what it throws is an error of the callback (reported, unless
    // the library turns it into a status the script sees) as well as the library's status.
    const bool calls_function = request.calls_function();
    if (bridge.StackUsed() > (calls_function ? kMaxNestedCallStack : kMaxNestedAccessStack)) {
        duk_safe_call(ctx, SafeNestingError, nullptr, 0, 1);
        ScriptError error = engine->ErrorAt(-1);
        if (calls_function) bridge.CallbackFailed(error);
        return ScriptFailure(error, excepinfo);
    }

    int status = 0;
    bool called = false;
    switch (request.kind) {
        case Kind::kPut:
            duk_dup(ctx, object);
            PushName(ctx, *request.name);
            if (HRESULT hr = engine->PushVariant(*request.value); FAILED(hr)) return hr;
            status = duk_safe_call(ctx, SafePut, nullptr, 3, 1);
            break;
        case Kind::kConstruct:
            duk_dup(ctx, object);
            called = true;
            if (HRESULT hr = push_args(); FAILED(hr)) return hr;
            status = duk_pnew(ctx, positional);
            break;
        case Kind::kCall:
            duk_dup(ctx, object);
            called = true;
            if (request.self) {
                if (HRESULT hr = engine->PushVariant(*request.self); FAILED(hr)) return hr;
            } else {
                duk_push_undefined(ctx);
            }
            if (HRESULT hr = push_args(); FAILED(hr)) return hr;
            status = duk_pcall_method(ctx, positional);
            break;
        case Kind::kText:
            duk_dup(ctx, object);
            status = duk_safe_call(ctx, SafeToString, nullptr, 1, 1);
            break;
        case Kind::kGet:
            duk_dup(ctx, object);
            PushName(ctx, *request.name);
            status = duk_safe_call(ctx, SafeGet, nullptr, 2, 1);
            if (status == 0 && request.call_if_function && duk_is_callable(ctx, -1)) {
                duk_dup(ctx, object);  // a member function is called with its object as `this`
                called = true;
                if (HRESULT hr = push_args(); FAILED(hr)) return hr;
                status = duk_pcall_method(ctx, positional);
            } else if (status == 0 && request.must_be_function) {
                return DISP_E_MEMBERNOTFOUND;
            }
            break;
        case Kind::kRefuse:
        case Kind::kEnumerate:
            break;
    }
    if (status != 0) {
        ScriptError error = engine->ErrorAt(-1);
        if (called) bridge.CallbackFailed(error);
        return ScriptFailure(error, excepinfo);
    }
    if (result && request.kind != Kind::kPut) return engine->ToVariant(-1, result, false);
    return S_OK;
}

HRESULT CScriptObject::ListItems(std::vector<CComVariant>* items) {
    duk_context* ctx = state_->ctx;
    ScriptEngine* engine = state_->engine;
    StackGuard guard(ctx);
    Push();
    const duk_idx_t object = duk_get_top_index(ctx);
    duk_dup(ctx, object);
    duk_push_string(ctx, "length");
    if (duk_safe_call(ctx, SafeGet, nullptr, 2, 1) != 0) return DISP_E_EXCEPTION;
    if (!duk_is_number(ctx, -1)) return DISP_E_MEMBERNOTFOUND;  // not a list
    const double length = duk_get_number(ctx, -1);
    duk_pop(ctx);
    if (length > brevanto_bridge::kMaxListItems) return E_OUTOFMEMORY;
    for (duk_uarridx_t i = 0; i < length; ++i) {
        duk_dup(ctx, object);
        duk_push_uint(ctx, i);
        if (duk_safe_call(ctx, SafeGet, nullptr, 2, 1) != 0) return DISP_E_EXCEPTION;
        CComVariant item;
        HRESULT hr = engine->ToVariant(-1, &item, false);
        duk_pop(ctx);
        if (FAILED(hr)) return hr;
        items->push_back(std::move(item));
    }
    return S_OK;
}

std::vector<std::string> CScriptObject::OwnKeys() {
    duk_context* ctx = state_->ctx;
    StackGuard guard(ctx);
    std::vector<std::string> keys;
    Push();
    if (!duk_is_object(ctx, -1) || duk_safe_call(ctx, SafeKeys, nullptr, 1, 1) != 0) return keys;
    const duk_size_t count = duk_get_length(ctx, -1);
    for (duk_uarridx_t i = 0; i < count; ++i) {
        duk_get_prop_index(ctx, -1, i);
        keys.push_back(ScriptName(ctx, -1));
        duk_pop(ctx);
    }
    return keys;
}

bool CScriptObject::DeleteMember(const std::string& name) {
    duk_context* ctx = state_->ctx;
    StackGuard guard(ctx);
    Push();
    PushName(ctx, name);
    return duk_safe_call(ctx, SafeDelete, nullptr, 2, 0) == 0;
}

}  // namespace brevanto_host
