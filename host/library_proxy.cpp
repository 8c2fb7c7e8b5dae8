// Library objects as script objects: a Proxy whose traps forward member reads, writes, calls
// and enumeration to the library object's dispatch interface; one Proxy per library object
// (by its IUnknown identity) for as long as script holds it.
#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/engine_internal.h"

namespace brevanto_host {

namespace {

// Heap stash: the shared Proxy handler. On a bound method: its object, member and name.
constexpr const char* kHandlerKey =
    "\xFF"
    "bvHandler";
constexpr const char* kOwnerKey =
    "\xFF"
    "bvOwner";
constexpr const char* kDispidKey =
    "\xFF"
    "bvDispid";
constexpr const char* kNameKey =
    "\xFF"
    "bvName";
// Heap stash: serial -> the Proxy of a library object (its anchor).
constexpr const char* kAnchorsKey =
    "\xFF"
    "bvAnchors";

// Anchors are let go (and a garbage collection run) once there are this many, or twice as many
// as were still in use after the last time, and only where the stack is shallow enough that
// every finalizer can run.
constexpr size_t kMinAnchorsToCollect = 256;
constexpr size_t kShallowStackBytes = 128 * 1024;

}  // namespace

namespace {

// The n script values from `first` on as dispatch arguments (last first).
std::vector<CComVariant> ArgumentsAt(ScriptEngine* engine, duk_idx_t first, duk_idx_t count) {
    std::vector<CComVariant> values(count);
    for (duk_idx_t i = 0; i < count; ++i)
        ThrowIfFailed(engine->ToVariant(first + i, &values[count - 1 - i], true));
    return values;
}

}  // namespace

namespace {

// Calls a member with the script arguments first..first+count-1 and pushes the result.
duk_ret_t CallAndPush(duk_context* ctx, Failure* failure, DispatchHandle* handle, DISPID dispid,
                      WORD flags, const char* name, duk_idx_t first, duk_idx_t count) {
    ScriptEngine* engine = EngineOf(ctx);
    CComVariant result;
    brevanto_bridge::CallFailure call;
    {
        std::vector<CComVariant> args = ArgumentsAt(engine, first, count);
        call = handle->Call(dispid, flags, args, name, &result);
    }
    if (call.failed()) {
        SetFailure(failure, call);
        return 0;
    }
    if (HRESULT hr = engine->PushVariant(result, handle->identity()); FAILED(hr)) {
        failure->Set(hr, "%s: the result cannot reach the script (0x%08X)", name,
                     static_cast<unsigned>(hr));
        return 0;
    }
    return 1;
}

// A method of a library object taken as a value: calling it calls the member.
duk_ret_t BoundMethod(duk_context* ctx, Failure* failure) {
    const duk_idx_t count = duk_get_top(ctx);
    duk_push_current_function(ctx);
    duk_get_prop_string(ctx, -1, kOwnerKey);
    auto* handle = HandleAt<DispatchHandle, kTagDispatch>(ctx, -1);
    duk_get_prop_string(ctx, -2, kDispidKey);
    const DISPID dispid = duk_get_int(ctx, -1);
    duk_get_prop_string(ctx, -3, kNameKey);
    std::string name = duk_get_string_default(ctx, -1, "");
    duk_pop_n(ctx, 4);
    if (!handle) {
        failure->Set(E_UNEXPECTED, "%s: not a library object", name.c_str());
        return 0;
    }
    return CallAndPush(ctx, failure, handle, dispid, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                       name.c_str(), 0, count);
}

void PushBoundMethod(duk_context* ctx, duk_idx_t target, DISPID dispid, const char* name) {
    target = duk_normalize_index(ctx, target);
    duk_push_c_function(ctx, NativeCall<BoundMethod>, DUK_VARARGS);
    duk_dup(ctx, target);
    duk_put_prop_string(ctx, -2, kOwnerKey);
    duk_push_int(ctx, dispid);
    duk_put_prop_string(ctx, -2, kDispidKey);
    duk_push_string(ctx, name);
    duk_put_prop_string(ctx, -2, kNameKey);
}

// Proxy traps. The target (argument 0) is a plain object or function carrying the handle.
// Duktape hands index keys (pkt[2]) over as numbers; members are named by their text.
void KeyAsName(duk_context* ctx) {
    if (duk_is_number(ctx, 1)) duk_to_string(ctx, 1);
}

// toString of a callable library object: it reads as a plain script object does, as the
// others do (Function.prototype.toString refuses a Proxy).
duk_ret_t PlainObjectText(duk_context* ctx) {
    duk_push_object(ctx);
    duk_to_string(ctx, -1);
    return 1;
}

duk_ret_t TrapGet(duk_context* ctx, Failure* failure) {
    KeyAsName(ctx);
    auto* handle = HandleAt<DispatchHandle, kTagDispatch>(ctx, 0);
    if (!handle || duk_is_symbol(ctx, 1) || !duk_is_string(ctx, 1)) {
        duk_dup(ctx, 1);
        duk_get_prop(ctx, 0);
        return 1;
    }
    const std::string name = ScriptName(ctx, 1);
    HRESULT hr = S_OK;
    {
        brevanto_bridge::LibraryObject::Read read = handle->ReadMember(name);
        using Kind = brevanto_bridge::LibraryObject::ReadKind;
        switch (read.kind) {
            case Kind::kNotMember:
                // Not a member of the object: what every script object has (toString,
                // valueOf), else undefined where scripts may add members, else the object's
                // refusal.
                if (!handle->dispatch_ex() && name == "toString") {
                    duk_push_c_function(ctx, PlainObjectText, 0);
                    return 1;
                }
                duk_dup(ctx, 1);
                if (handle->dispatch_ex() || duk_has_prop(ctx, 0)) {
                    duk_dup(ctx, 1);
                    duk_get_prop(ctx, 0);
                    return 1;
                }
                SetFailure(failure, read.failure);
                return 0;
            case Kind::kFailed:
                SetFailure(failure, read.failure);
                return 0;
            case Kind::kMethod:
                PushBoundMethod(ctx, 0, read.dispid, name.c_str());
                return 1;
            case Kind::kValue:
                // A member read may hand out an object embedded in this one: its script object
                // keeps this one alive.
                hr = EngineOf(ctx)->PushVariant(read.value, handle->identity());
                break;
        }
    }
    if (FAILED(hr)) {
        failure->Set(hr, "%s: the value cannot reach the script (0x%08X)", name.c_str(),
                     static_cast<unsigned>(hr));
        return 0;
    }
    return 1;
}

duk_ret_t TrapSet(duk_context* ctx, Failure* failure) {
    KeyAsName(ctx);
    auto* handle = HandleAt<DispatchHandle, kTagDispatch>(ctx, 0);
    if (!handle || duk_is_symbol(ctx, 1) || !duk_is_string(ctx, 1)) {
        duk_push_false(ctx);
        return 1;
    }
    brevanto_bridge::CallFailure call;
    {
        CComVariant value;
        ThrowIfFailed(EngineOf(ctx)->ToVariant(2, &value, false));
        call = handle->WriteMember(ScriptName(ctx, 1), value, duk_is_object(ctx, 2));
    }
    if (call.failed()) {
        SetFailure(failure, call);
        return 0;
    }
    duk_push_true(ctx);
    return 1;
}

duk_ret_t TrapHas(duk_context* ctx, Failure*) {
    KeyAsName(ctx);
    auto* handle = HandleAt<DispatchHandle, kTagDispatch>(ctx, 0);
    bool has = handle && duk_is_string(ctx, 1) && !duk_is_symbol(ctx, 1) &&
               handle->HasMember(ScriptName(ctx, 1));
    if (!has) {
        duk_dup(ctx, 1);
        has = duk_has_prop(ctx, 0);
    }
    duk_push_boolean(ctx, has);
    return 1;
}

duk_ret_t TrapDelete(duk_context* ctx, Failure*) {
    KeyAsName(ctx);
    auto* handle = HandleAt<DispatchHandle, kTagDispatch>(ctx, 0);
    const bool deleted = handle && duk_is_string(ctx, 1) && !duk_is_symbol(ctx, 1) &&
                         handle->DeleteMember(ScriptName(ctx, 1));
    duk_push_boolean(ctx, deleted);
    return 1;
}

// The object's enumerable (expando) members. Duktape keeps for-in to the keys the target has
// as enumerable own properties, so each name is mirrored there (as undefined; reads still go
// through the get trap).
duk_ret_t TrapOwnKeys(duk_context* ctx, Failure*) {
    auto* handle = HandleAt<DispatchHandle, kTagDispatch>(ctx, 0);
    duk_idx_t array = duk_push_array(ctx);
    if (!handle) return 1;
    std::vector<std::string> names = handle->MemberNames();
    duk_uarridx_t i = 0;
    for (const std::string& name : names) {
        PushName(ctx, name);
        duk_push_undefined(ctx);
        duk_put_prop(ctx, 0);
        PushName(ctx, name);
        duk_put_prop_index(ctx, array, i++);
    }
    return 1;
}

// Calling a library object calls its default member.
duk_ret_t TrapApply(duk_context* ctx, Failure* failure) {
    auto* handle = HandleAt<DispatchHandle, kTagDispatch>(ctx, 0);
    if (!handle) {
        failure->Set(E_UNEXPECTED, "not a library object");
        return 0;
    }
    const duk_idx_t args = duk_is_constructor_call(ctx) ? 1 : 2;
    const duk_idx_t first = duk_get_top(ctx);
    const duk_idx_t count = static_cast<duk_idx_t>(duk_get_length(ctx, args));
    for (duk_idx_t i = 0; i < count; ++i)
        duk_get_prop_index(ctx, args, static_cast<duk_uarridx_t>(i));
    return CallAndPush(ctx, failure, handle, DISPID_VALUE, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                       "default member", first, count);
}

duk_ret_t TrapConstruct(duk_context* ctx, Failure* failure) {
    auto* handle = HandleAt<DispatchHandle, kTagDispatch>(ctx, 0);
    if (!handle) {
        failure->Set(E_UNEXPECTED, "not a library object");
        return 0;
    }
    const duk_idx_t first = duk_get_top(ctx);
    const duk_idx_t count = static_cast<duk_idx_t>(duk_get_length(ctx, 1));
    for (duk_idx_t i = 0; i < count; ++i)
        duk_get_prop_index(ctx, 1, static_cast<duk_uarridx_t>(i));
    return CallAndPush(ctx, failure, handle, DISPID_VALUE, DISPATCH_CONSTRUCT, "constructor", first,
                       count);
}

void PushProxyHandler(duk_context* ctx) {
    duk_push_heap_stash(ctx);
    if (duk_get_prop_string(ctx, -1, kHandlerKey)) {
        duk_remove(ctx, -2);
        return;
    }
    duk_pop(ctx);
    duk_push_bare_object(ctx);
    const duk_function_list_entry traps[] = {
        {"get", NativeCall<TrapGet>, 3},
        {"set", NativeCall<TrapSet>, 4},
        {"has", NativeCall<TrapHas>, 2},
        {"deleteProperty", NativeCall<TrapDelete>, 2},
        {"ownKeys", NativeCall<TrapOwnKeys>, 1},
        {"apply", NativeCall<TrapApply>, 3},
        {"construct", NativeCall<TrapConstruct>, 3},
        {nullptr, nullptr, 0},
    };
    duk_put_function_list(ctx, -1, traps);
    duk_dup_top(ctx);
    duk_put_prop_string(ctx, -3, kHandlerKey);
    duk_remove(ctx, -2);
}

duk_ret_t NotCallable(duk_context*) {
    return 0;
}

}  // namespace

void PushLibraryObject(duk_context* ctx, const VARIANT& value, IUnknown* owner) {
    Bridge& bridge = BridgeOf(ctx);
    DispatchHandle* handle = nullptr;
    bool known = false;
    IDispatch* dispatch = value.vt == VT_DISPATCH ? value.pdispVal : nullptr;
    if (!bridge.HandleFor(value.punkVal, dispatch, owner, &handle, &known))
        duk_error(ctx, DUK_ERR_RANGE_ERROR, "out of memory");
    if (!handle) {
        duk_push_null(ctx);  // no dispatch interface: nothing script could call
        return;
    }
    if (known) {
        duk_push_heapptr(ctx, handle->proxy);
        return;
    }
    // Objects without expando members may be callable values (function objects); the target
    // decides whether the Proxy can be called.
    if (handle->dispatch_ex())
        duk_push_object(ctx);
    else
        duk_push_c_function(ctx, NotCallable, 0);
    AttachHandle(ctx, handle, kTagDispatch);
    const duk_idx_t target = duk_get_top_index(ctx);
    duk_dup(ctx, target);
    PushProxyHandler(ctx);
    duk_push_proxy(ctx, 0);
    duk_dup_top(ctx);
    duk_put_prop_string(ctx, target, kSelfKey);
    const unsigned serial = bridge.NextSerial();
    duk_push_heap_stash(ctx);
    if (!duk_get_prop_string(ctx, -1, kAnchorsKey)) {
        duk_pop(ctx);
        duk_push_bare_object(ctx);
        duk_dup_top(ctx);
        duk_put_prop_string(ctx, -3, kAnchorsKey);
    }
    duk_dup(ctx, target + 1);
    duk_put_prop_index(ctx, -2, serial);
    duk_pop_2(ctx);
    duk_remove(ctx, target);
    handle->serial = serial;
    handle->proxy = duk_get_heapptr(ctx, -1);
    bridge.Anchored(handle);
}

// ---- One script object per library object ----

bool Bridge::HandleFor(IUnknown* object, IDispatch* dispatch, IUnknown* owner,
                       DispatchHandle** handle, bool* known) noexcept {
    *handle = nullptr;
    *known = false;
    if (!object) return true;
    try {
        ComPtr<IUnknown> identity;
        if (FAILED(object->QueryInterface(IID_IUnknown, identity.put_void())) || !identity)
            identity = object;
        auto found = by_identity_.find(identity.get());
        if (found != by_identity_.end() && found->second->proxy) {
            *handle = found->second;
            *known = true;
            return true;
        }
        auto made = std::make_unique<DispatchHandle>();
        if (!made->Attach(object, dispatch, owner)) return true;
        DispatchHandle* adopted = Adopt(std::move(made));
        if (!adopted) return false;
        by_identity_[adopted->identity()] = adopted;
        *handle = adopted;
        return true;
    } catch (...) {
        return false;
    }
}

void Bridge::Forget(DispatchHandle* handle) noexcept {
    auto found = by_identity_.find(handle->identity());
    if (found != by_identity_.end() && found->second == handle) by_identity_.erase(found);
}

void Bridge::Anchored(DispatchHandle* handle) noexcept {
    try {
        anchors_.push_back(handle->serial);
    } catch (...) {
        // Not tracked: this one stays anchored until the heap goes.
    }
}

void Bridge::MaybeCollect(duk_context* ctx) noexcept {
    if (collecting_ || anchors_.size() < std::max(collect_at_, kMinAnchorsToCollect)) return;
    if (StackUsed() > kShallowStackBytes) return;
    Collect(ctx);
}

namespace {

struct Anchors {
    const std::vector<unsigned>* release = nullptr;
    const std::vector<DispatchHandle*>* keep = nullptr;
};

// Protected: lets go of the anchors in `release`, then takes those in `keep` again.
duk_ret_t SafeReanchor(duk_context* ctx, void* udata) {
    const auto* anchors = static_cast<const Anchors*>(udata);
    duk_push_heap_stash(ctx);
    if (!duk_get_prop_string(ctx, -1, kAnchorsKey)) return 0;
    if (anchors->release) {
        for (unsigned serial : *anchors->release)
            duk_del_prop_index(ctx, -1, serial);
    }
    if (anchors->keep) {
        for (DispatchHandle* handle : *anchors->keep) {
            duk_push_heapptr(ctx, handle->proxy);
            duk_put_prop_index(ctx, -2, handle->serial);
        }
    }
    return 0;
}

}  // namespace

void Bridge::Collect(duk_context* ctx) noexcept {
    if (!duk_check_stack(ctx, 4)) return;
    collecting_ = true;
    std::vector<unsigned> released;
    released.swap(anchors_);
    Anchors release{&released, nullptr};
    duk_safe_call(ctx, SafeReanchor, &release, 0, 1);
    duk_pop(ctx);
    // Script objects that only cycles of unreachable values hold are collected too. A Proxy
    // lives as long as its target, whose finalizer forgets the library object; the ones still
    // known are still in use.
    duk_gc(ctx, 0);
    std::vector<DispatchHandle*> kept;
    try {
        kept.reserve(by_identity_.size());
        for (const auto& [identity, handle] : by_identity_)
            if (handle->proxy) kept.push_back(handle);
        anchors_.reserve(kept.size());
    } catch (...) {
        kept.clear();
    }
    Anchors keep{nullptr, &kept};
    duk_safe_call(ctx, SafeReanchor, &keep, 0, 1);
    duk_pop(ctx);
    for (DispatchHandle* handle : kept)
        anchors_.push_back(handle->serial);
    collect_at_ = 2 * anchors_.size();
    collecting_ = false;
}

}  // namespace brevanto_host
