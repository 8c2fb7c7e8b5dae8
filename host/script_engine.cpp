#include "host/script_engine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "host/page_prelude.h"
#include "host/script_object.h"
#include "platform/safearray.h"
#include "platform/type_info.h"

namespace brevanto_host {

namespace {

constexpr LCID kUserDefault = 0x400;

// Native handles live on plain script objects (never on a Proxy, whose finalizer would not
// run): a type tag, checked before every cast, and the pointer. Each handle owns what it points
// at; the target's finalizer frees it.
constexpr const char* kTagKey =
    "\xFF"
    "bvTag";
constexpr const char* kPtrKey =
    "\xFF"
    "bvPtr";
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

duk_ret_t ThrowFailure(duk_context* ctx, const Failure& failure) {
    // No C file and line: the error is blamed on the script line that made the call.
    duk_push_error_object_raw(ctx, failure.type, nullptr, 0, "%s", failure.message);
    if (failure.hr != 0) {
        duk_push_int(ctx, failure.hr);
        duk_put_prop_string(ctx, -2, "number");
    }
    duk_push_string(ctx, failure.message);
    duk_put_prop_string(ctx, -2, "description");
    return duk_throw(ctx);
}

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

ScriptEngine* EngineOf(duk_context* ctx) {
    duk_memory_functions functions;
    duk_get_memory_functions(ctx, &functions);
    return static_cast<ScriptEngine*>(functions.udata);
}

// Plain-language texts of the status codes a page meets most.
const char* StatusText(HRESULT hr) {
    switch (hr) {
        case DISP_E_UNKNOWNNAME:
            return "Object doesn't support this property or method";
        case DISP_E_MEMBERNOTFOUND:
            return "Member not found";
        case DISP_E_TYPEMISMATCH:
            return "Type mismatch";
        case DISP_E_BADPARAMCOUNT:
            return "Wrong number of arguments or invalid property assignment";
        case DISP_E_PARAMNOTFOUND:
            return "Parameter not found";
        case DISP_E_OVERFLOW:
            return "Overflow";
        case DISP_E_BADINDEX:
            return "Subscript out of range";
        case E_INVALIDARG:
            return "Invalid argument";
        case E_POINTER:
            return "Invalid pointer";
        case E_NOTIMPL:
            return "Not implemented";
        case E_OUTOFMEMORY:
            return "Out of memory";
        case E_NOINTERFACE:
            return "No such interface supported";
        case RPC_E_DISCONNECTED:
            return "The object's apartment has ended";
        case CO_E_CLASSSTRING:
            return "Invalid class string";
        case REGDB_E_CLASSNOTREG:
            return "Class not registered";
        default:
            return "Unspecified error";
    }
}

struct ExcepInfo : EXCEPINFO {
    ExcepInfo() : EXCEPINFO{} {}
    ~ExcepInfo() {
        SysFreeString(bstrSource);
        SysFreeString(bstrDescription);
        SysFreeString(bstrHelpFile);
    }
};

void SetCallFailure(Failure* failure, const char* member, HRESULT hr, const ExcepInfo& info) {
    if (hr == DISP_E_EXCEPTION && info.scode != 0) hr = info.scode;
    std::string description =
        info.bstrDescription ? Utf16ToUtf8(info.bstrDescription) : std::string(StatusText(hr));
    failure->Set(hr, "%s: %s (0x%08X)", member, description.c_str(), static_cast<unsigned>(hr));
}

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

// Member kinds of one interface, read once from its type information.
class TypeKinds {
  public:
    static const TypeKinds* For(IDispatch* object) {
        UINT count = 0;
        if (FAILED(object->GetTypeInfoCount(&count)) || count == 0) return nullptr;
        ComPtr<ITypeInfo> info;
        if (FAILED(object->GetTypeInfo(0, kUserDefault, info.put())) || !info) return nullptr;
        static auto* cache = new std::unordered_map<ITypeInfo*, std::unique_ptr<TypeKinds>>;
        auto found = cache->find(info.get());
        if (found != cache->end()) return found->second.get();
        auto kinds = std::make_unique<TypeKinds>();
        kinds->info_ = info;  // keeps the key's address from being reused
        TYPEATTR* attr = nullptr;
        if (SUCCEEDED(info->GetTypeAttr(&attr)) && attr) {
            for (UINT i = 0; i < attr->cFuncs; ++i) {
                FUNCDESC* f = nullptr;
                if (FAILED(info->GetFuncDesc(i, &f)) || !f) continue;
                MemberKinds& k = kinds->members_[f->memid];
                k.typed = true;
                if (f->invkind == INVOKE_FUNC) k.method = true;
                if (f->invkind == INVOKE_PROPERTYGET) {
                    k.get = true;
                    if (f->cParams > 0) k.get_with_args = true;
                }
                if (f->invkind == INVOKE_PROPERTYPUT) k.put = true;
                if (f->invkind == INVOKE_PROPERTYPUTREF) k.putref = true;
                info->ReleaseFuncDesc(f);
            }
            info->ReleaseTypeAttr(attr);
        }
        return cache->emplace(info.get(), std::move(kinds)).first->second.get();
    }
    MemberKinds Of(DISPID dispid) const {
        auto found = members_.find(dispid);
        return found == members_.end() ? MemberKinds{} : found->second;
    }

  private:
    ComPtr<ITypeInfo> info_;
    std::unordered_map<DISPID, MemberKinds> members_;
};

// One library object held by a script object.
struct DispatchHandle {
    ComPtr<IDispatch> object;
    ComPtr<IDispatchEx> ex;
    const TypeKinds* kinds = nullptr;
    bool kinds_read = false;
    std::unordered_map<std::string, DISPID> ids;  // names that resolved

    MemberKinds Kinds(DISPID dispid) {
        if (!kinds_read) {
            kinds = TypeKinds::For(object.get());
            kinds_read = true;
        }
        return kinds ? kinds->Of(dispid) : MemberKinds{};
    }

    // The DISPID of a member name; `ensure` creates an expando member where the object can.
    HRESULT Resolve(const char* name, bool ensure, DISPID* dispid) {
        auto found = ids.find(name);
        if (found != ids.end()) {
            *dispid = found->second;
            return S_OK;
        }
        CComBSTR wide{std::string_view(name)};
        HRESULT hr;
        if (ex) {
            hr = ex->GetDispID(wide, ensure ? fdexNameEnsure : 0, dispid);
        } else {
            LPOLESTR names[] = {wide};
            hr = object->GetIDsOfNames(IID_NULL, names, 1, kUserDefault, dispid);
        }
        if (SUCCEEDED(hr)) ids.emplace(name, *dispid);
        return hr;
    }
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

// Converts the n script values from `first` on into dispatch arguments (last first).
class Arguments {
  public:
    Arguments(ScriptEngine* engine, duk_idx_t first, duk_idx_t count) : values_(count) {
        for (duk_idx_t i = 0; i < count; ++i)
            ThrowIfFailed(engine->ToVariant(first + i, &values_[count - 1 - i], true));
    }
    // Adds the property-put value as the named argument.
    void MakePut() {
        put_ = DISPID_PROPERTYPUT;
        put_named_ = true;
    }
    DISPPARAMS* params() {
        params_ = {values_.empty() ? nullptr : values_.data(), put_named_ ? &put_ : nullptr,
                   static_cast<UINT>(values_.size()), put_named_ ? 1u : 0u};
        return &params_;
    }

  private:
    std::vector<CComVariant> values_;
    DISPID put_ = 0;
    bool put_named_ = false;
    DISPPARAMS params_{};
};
static_assert(sizeof(CComVariant) == sizeof(VARIANT), "arguments are passed as a VARIANT array");

HRESULT InvokeHandle(DispatchHandle* handle, DISPID dispid, WORD flags, DISPPARAMS* params,
                     VARIANT* result, ExcepInfo* info) {
    if (handle->ex)
        return handle->ex->InvokeEx(dispid, kUserDefault, flags, params, result, info, nullptr);
    UINT argerr = 0;
    return handle->object->Invoke(dispid, IID_NULL, kUserDefault, flags, params, result, info,
                                  &argerr);
}

// Calls a member with the script arguments first..first+count-1 and pushes the result.
duk_ret_t CallAndPush(duk_context* ctx, Failure* failure, DispatchHandle* handle, DISPID dispid,
                      WORD flags, const char* name, duk_idx_t first, duk_idx_t count) {
    ScriptEngine* engine = EngineOf(ctx);
    CComVariant result;
    HRESULT hr;
    ExcepInfo info;
    {
        Arguments args(engine, first, count);
        hr = InvokeHandle(handle, dispid, flags, args.params(), &result, &info);
    }
    if (FAILED(hr)) {
        SetCallFailure(failure, name, hr, info);
        return 0;
    }
    engine->PushVariant(result);
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

duk_ret_t TrapGet(duk_context* ctx, Failure* failure) {
    KeyAsName(ctx);
    auto* handle = HandleAt<DispatchHandle, kTagDispatch>(ctx, 0);
    if (!handle || duk_is_symbol(ctx, 1) || !duk_is_string(ctx, 1)) {
        duk_dup(ctx, 1);
        duk_get_prop(ctx, 0);
        return 1;
    }
    const char* name = duk_get_string(ctx, 1);
    DISPID dispid;
    if (HRESULT hr = handle->Resolve(name, false, &dispid); FAILED(hr)) {
        // Not a member of the object: what every script object has (toString, valueOf), else
        // undefined where scripts may add members, else the object's refusal.
        duk_dup(ctx, 1);
        if (handle->ex || duk_has_prop(ctx, 0)) {
            duk_dup(ctx, 1);
            duk_get_prop(ctx, 0);
            return 1;
        }
        failure->Set(hr, "%s: %s (0x%08X)", name, StatusText(hr), static_cast<unsigned>(hr));
        return 0;
    }
    MemberKinds kinds = handle->Kinds(dispid);
    if (kinds.typed && !kinds.get) {
        PushBoundMethod(ctx, 0, dispid, name);
        return 1;
    }
    if (kinds.get_with_args) {
        PushBoundMethod(ctx, 0, dispid, name);
        return 1;
    }
    CComVariant result;
    ExcepInfo info;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    HRESULT hr = InvokeHandle(handle, dispid, DISPATCH_PROPERTYGET, &none, &result, &info);
    if (!kinds.typed && (hr == DISP_E_MEMBERNOTFOUND || hr == DISP_E_BADPARAMCOUNT)) {
        // Untyped objects (wrappers) tell methods from properties only by refusing the read.
        PushBoundMethod(ctx, 0, dispid, name);
        return 1;
    }
    if (FAILED(hr)) {
        SetCallFailure(failure, name, hr, info);
        return 0;
    }
    EngineOf(ctx)->PushVariant(result);
    return 1;
}

duk_ret_t TrapSet(duk_context* ctx, Failure* failure) {
    KeyAsName(ctx);
    auto* handle = HandleAt<DispatchHandle, kTagDispatch>(ctx, 0);
    if (!handle || duk_is_symbol(ctx, 1) || !duk_is_string(ctx, 1)) {
        duk_push_false(ctx);
        return 1;
    }
    const char* name = duk_get_string(ctx, 1);
    DISPID dispid;
    HRESULT hr = handle->Resolve(name, true, &dispid);
    if (FAILED(hr)) {
        failure->Set(hr, "%s: %s (0x%08X)", name, StatusText(hr), static_cast<unsigned>(hr));
        return 0;
    }
    MemberKinds kinds = handle->Kinds(dispid);
    WORD flags = DISPATCH_PROPERTYPUT;
    if (kinds.putref && (!kinds.put || duk_is_object(ctx, 2))) flags = DISPATCH_PROPERTYPUTREF;
    ExcepInfo info;
    {
        CComVariant value;
        ThrowIfFailed(EngineOf(ctx)->ToVariant(2, &value, false));
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS params{&value, &named, 1, 1};
        hr = InvokeHandle(handle, dispid, flags, &params, nullptr, &info);
    }
    if (FAILED(hr)) {
        SetCallFailure(failure, name, hr, info);
        return 0;
    }
    duk_push_true(ctx);
    return 1;
}

duk_ret_t TrapHas(duk_context* ctx, Failure*) {
    KeyAsName(ctx);
    auto* handle = HandleAt<DispatchHandle, kTagDispatch>(ctx, 0);
    DISPID dispid;
    bool has = handle && duk_is_string(ctx, 1) && !duk_is_symbol(ctx, 1) &&
               SUCCEEDED(handle->Resolve(duk_get_string(ctx, 1), false, &dispid));
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
    bool deleted = false;
    if (handle && handle->ex && duk_is_string(ctx, 1) && !duk_is_symbol(ctx, 1)) {
        const char* name = duk_get_string(ctx, 1);
        handle->ids.erase(name);
        deleted = SUCCEEDED(handle->ex->DeleteMemberByName(CComBSTR(std::string_view(name)), 0));
    }
    duk_push_boolean(ctx, deleted);
    return 1;
}

// The object's enumerable (expando) members. Duktape keeps for-in to the keys the target has
// as enumerable own properties, so each name is mirrored there (as undefined; reads still go
// through the get trap).
duk_ret_t TrapOwnKeys(duk_context* ctx, Failure*) {
    auto* handle = HandleAt<DispatchHandle, kTagDispatch>(ctx, 0);
    duk_idx_t array = duk_push_array(ctx);
    if (!handle || !handle->ex) return 1;
    std::vector<std::string> names;
    DISPID dispid = DISPID_STARTENUM;
    while (handle->ex->GetNextDispID(fdexEnumAll, dispid, &dispid) == S_OK) {
        CComBSTR name;
        if (SUCCEEDED(handle->ex->GetMemberName(dispid, &name))) names.push_back(name.utf8());
    }
    duk_uarridx_t i = 0;
    for (const std::string& name : names) {
        duk_push_undefined(ctx);
        duk_put_prop_lstring(ctx, 0, name.data(), name.size());
        duk_push_lstring(ctx, name.data(), name.size());
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

// Pushes a script object that forwards to a library object.
void PushLibraryObject(duk_context* ctx, IDispatch* object) {
    auto handle = std::make_unique<DispatchHandle>();
    handle->object = object;
    object->QueryInterface(handle->ex.put());
    // Objects without expando members may be callable values (function objects); the target
    // decides whether the Proxy can be called.
    if (handle->ex)
        duk_push_object(ctx);
    else
        duk_push_c_function(ctx, NotCallable, 0);
    AttachHandle<DispatchHandle, kTagDispatch>(ctx, handle.release());
    PushProxyHandler(ctx);
    duk_push_proxy(ctx, 0);
}

// ---- Safe arrays ----

struct ArrayHandle {
    CComVariant value;  // VT_ARRAY | type
};

void PushSafeArray(duk_context* ctx, const VARIANT& value) {
    auto handle = std::make_unique<ArrayHandle>();
    ThrowIfFailed(VariantCopy(&handle->value, &value));
    duk_push_object(ctx);
    AttachHandle<ArrayHandle, kTagArray>(ctx, handle.release());
}

// {dims, lbounds, ubounds, items}: items in storage order (leftmost index fastest).
duk_ret_t SafeArrayInfo(duk_context* ctx, Failure* failure) {
    auto* handle = HandleAt<ArrayHandle, kTagArray>(ctx, 0);
    if (!handle || !handle->value.parray) {
        failure->Set(DISP_E_TYPEMISMATCH, "VBArray expected");
        failure->type = DUK_ERR_TYPE_ERROR;
        return 0;
    }
    SAFEARRAY* array = handle->value.parray;
    const UINT dims = SafeArrayGetDim(array);
    VARTYPE vt = handle->value.vt & VT_TYPEMASK;
    std::vector<LONG> lower(dims), upper(dims);
    size_t total = dims ? 1 : 0;
    for (UINT d = 0; d < dims; ++d) {
        SafeArrayGetLBound(array, d + 1, &lower[d]);
        SafeArrayGetUBound(array, d + 1, &upper[d]);
        total *= static_cast<size_t>(std::max<LONG>(0, upper[d] - lower[d] + 1));
    }
    ScriptEngine* engine = EngineOf(ctx);
    duk_idx_t info = duk_push_object(ctx);
    duk_push_uint(ctx, dims);
    duk_put_prop_string(ctx, info, "dims");
    duk_idx_t lb = duk_push_array(ctx);
    duk_idx_t ub = duk_push_array(ctx);
    for (UINT d = 0; d < dims; ++d) {
        duk_push_int(ctx, lower[d]);
        duk_put_prop_index(ctx, lb, d);
        duk_push_int(ctx, upper[d]);
        duk_put_prop_index(ctx, ub, d);
    }
    duk_put_prop_string(ctx, info, "ubounds");
    duk_put_prop_string(ctx, info, "lbounds");
    duk_idx_t items = duk_push_array(ctx);
    std::vector<LONG> index(lower);
    for (size_t n = 0; n < total; ++n) {
        CComVariant element;
        HRESULT hr;
        if (vt == VT_VARIANT) {
            hr = SafeArrayGetElement(array, index.data(), &element);
        } else {
            element.vt = vt;
            hr = SafeArrayGetElement(array, index.data(), &element.llVal);
            if (FAILED(hr)) element.vt = VT_EMPTY;
        }
        if (FAILED(hr)) {
            failure->Set(hr, "VBArray: element unreadable (0x%08X)", static_cast<unsigned>(hr));
            return 0;
        }
        engine->PushVariant(element);
        duk_put_prop_index(ctx, items, static_cast<duk_uarridx_t>(n));
        for (UINT d = 0; d < dims; ++d) {  // leftmost index fastest
            if (++index[d] <= upper[d]) break;
            index[d] = lower[d];
        }
    }
    duk_put_prop_string(ctx, info, "items");
    return 1;
}

// ---- Enumerators over _NewEnum ----

struct EnumHandle {
    ComPtr<IEnumVARIANT> items;
};

duk_ret_t NewEnum(duk_context* ctx, Failure* failure) {
    auto* handle = HandleAt<DispatchHandle, kTagDispatch>(ctx, 0);
    if (!handle) {
        duk_push_null(ctx);  // the script side walks plain arrays itself
        return 1;
    }
    CComVariant result;
    ExcepInfo info;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    HRESULT hr = InvokeHandle(handle, DISPID_NEWENUM, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none,
                              &result, &info);
    auto items = std::make_unique<EnumHandle>();
    if (SUCCEEDED(hr)) {
        hr = (result.vt == VT_UNKNOWN || result.vt == VT_DISPATCH) && result.punkVal
                 ? result.punkVal->QueryInterface(items->items.put())
                 : DISP_E_TYPEMISMATCH;
    }
    if (FAILED(hr)) {
        SetCallFailure(failure, "Enumerator", hr, info);
        return 0;
    }
    duk_push_object(ctx);
    AttachHandle<EnumHandle, kTagEnum>(ctx, items.release());
    return 1;
}

// [true, item] or [false].
duk_ret_t EnumNext(duk_context* ctx, Failure* failure) {
    auto* handle = HandleAt<EnumHandle, kTagEnum>(ctx, 0);
    if (!handle) {
        failure->Set(E_INVALIDARG, "Enumerator expected");
        return 0;
    }
    CComVariant item;
    ULONG fetched = 0;
    HRESULT hr = handle->items->Next(1, &item, &fetched);
    duk_idx_t out = duk_push_array(ctx);
    duk_push_boolean(ctx, hr == S_OK && fetched == 1);
    duk_put_prop_index(ctx, out, 0);
    if (hr == S_OK && fetched == 1) {
        EngineOf(ctx)->PushVariant(item);
        duk_put_prop_index(ctx, out, 1);
    }
    return 1;
}

duk_ret_t EnumReset(duk_context* ctx, Failure*) {
    if (auto* handle = HandleAt<EnumHandle, kTagEnum>(ctx, 0)) handle->items->Reset();
    return 0;
}

// ---- Page services ----

duk_ret_t CreateObject(duk_context* ctx, Failure* failure) {
    std::string name = duk_safe_to_string(ctx, 0);
    ScriptEngine* engine = EngineOf(ctx);
    ComPtr<IDispatch> object;
    HRESULT hr = engine->callbacks().create
                     ? engine->callbacks().create(Utf8ToUtf16(name), object.put())
                     : REGDB_E_CLASSNOTREG;
    if (SUCCEEDED(hr) && !object) hr = E_NOINTERFACE;
    if (FAILED(hr)) {
        failure->Set(hr, "Automation server can't create object \"%s\" (0x%08X)", name.c_str(),
                     static_cast<unsigned>(hr));
        return 0;
    }
    PushLibraryObject(ctx, object.get());
    return 1;
}

duk_ret_t LogText(duk_context* ctx, Failure*) {
    std::string text = duk_safe_to_string(ctx, 0);
    ScriptEngine* engine = EngineOf(ctx);
    if (engine->callbacks().log) engine->callbacks().log(text);
    return 0;
}

duk_ret_t Now(duk_context* ctx, Failure*) {
    using namespace std::chrono;
    duk_push_number(
        ctx, static_cast<double>(
                 duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count()));
    return 1;
}

// A timer was added: the host's pump recomputes its wait.
duk_ret_t Wake(duk_context* ctx, Failure*) {
    ScriptEngine* engine = EngineOf(ctx);
    if (engine->callbacks().wake) engine->callbacks().wake();
    return 0;
}

duk_ret_t IsLibraryObject(duk_context* ctx, Failure*) {
    duk_push_boolean(ctx, HandleAt<DispatchHandle, kTagDispatch>(ctx, 0) != nullptr);
    return 1;
}

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

void ScriptEngine::InstallGlobals() {
    duk_context* ctx = state_->ctx;
    duk_push_global_object(ctx);
    duk_push_bare_object(ctx);
    const duk_function_list_entry natives[] = {
        {"create", NativeCall<CreateObject>, 1},
        {"log", NativeCall<LogText>, 1},
        {"now", NativeCall<Now>, 0},
        {"newEnum", NativeCall<NewEnum>, 1},
        {"enumNext", NativeCall<EnumNext>, 1},
        {"enumReset", NativeCall<EnumReset>, 1},
        {"safeArray", NativeCall<SafeArrayInfo>, 1},
        {"isLibraryObject", NativeCall<IsLibraryObject>, 1},
        {"wake", NativeCall<Wake>, 0},
        {nullptr, nullptr, 0},
    };
    duk_put_function_list(ctx, -1, natives);
    duk_put_prop_string(ctx, -2, "__brevanto");
    duk_pop(ctx);
    ScriptError error;
    if (!Run("<page prelude>", kPagePrelude, &error))
        throw std::runtime_error("page prelude failed: " + error.Describe());
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

void ScriptEngine::PushVariant(const VARIANT& value) {
    duk_context* ctx = state_->ctx;
    if (value.vt & VT_BYREF) {
        CComVariant direct;
        if (FAILED(VariantCopyInd(&direct, &value))) {
            duk_push_undefined(ctx);
            return;
        }
        PushVariant(direct);
        return;
    }
    if (value.vt & VT_ARRAY) {
        PushSafeArray(ctx, value);
        return;
    }
    switch (value.vt) {
        case VT_EMPTY:
            duk_push_undefined(ctx);
            return;
        case VT_NULL:
            duk_push_null(ctx);
            return;
        case VT_BOOL:
            duk_push_boolean(ctx, value.boolVal != VARIANT_FALSE);
            return;
        case VT_I1:
            duk_push_int(ctx, value.cVal);
            return;
        case VT_UI1:
            duk_push_uint(ctx, value.bVal);
            return;
        case VT_I2:
            duk_push_int(ctx, value.iVal);
            return;
        case VT_UI2:
            duk_push_uint(ctx, value.uiVal);
            return;
        case VT_I4:
        case VT_INT:
            duk_push_int(ctx, value.lVal);
            return;
        case VT_UI4:
        case VT_UINT:
            duk_push_uint(ctx, value.ulVal);
            return;
        case VT_I8:
            duk_push_number(ctx, static_cast<double>(value.llVal));
            return;
        case VT_UI8:
            duk_push_number(ctx, static_cast<double>(value.ullVal));
            return;
        case VT_R4:
            duk_push_number(ctx, value.fltVal);
            return;
        case VT_R8:
            duk_push_number(ctx, value.dblVal);
            return;
        case VT_ERROR:
            if (value.scode == DISP_E_PARAMNOTFOUND)
                duk_push_undefined(ctx);
            else
                duk_push_int(ctx, value.scode);
            return;
        case VT_BSTR: {
            std::string text =
                Utf16ToUtf8({value.bstrVal ? value.bstrVal : u"", SysStringLen(value.bstrVal)});
            duk_push_lstring(ctx, text.data(), text.size());
            return;
        }
        case VT_DATE: {
            SYSTEMTIME t{};
            if (!VariantTimeToSystemTime(value.date, &t)) {
                duk_push_undefined(ctx);
                return;
            }
            // A variant date is local time, as the Date constructor's fields are.
            duk_get_global_string(ctx, "Date");
            const double fields[] = {
                double(t.wYear),   double(t.wMonth - 1), double(t.wDay),         double(t.wHour),
                double(t.wMinute), double(t.wSecond),    double(t.wMilliseconds)};
            for (double f : fields)
                duk_push_number(ctx, f);
            if (duk_pnew(ctx, 7) != 0) {
                duk_pop(ctx);
                duk_push_undefined(ctx);
            }
            return;
        }
        case VT_DISPATCH:
        case VT_UNKNOWN: {
            if (!value.punkVal) {
                duk_push_null(ctx);
                return;
            }
            if (CScriptObject* own = CScriptObject::Unwrap(value.punkVal, state_.get())) {
                own->Push();
                return;
            }
            ComPtr<IDispatch> object;
            if (value.vt == VT_DISPATCH)
                object = value.pdispVal;
            else
                value.punkVal->QueryInterface(object.put());
            if (!object) {
                duk_push_null(ctx);
                return;
            }
            PushLibraryObject(ctx, object.get());
            return;
        }
        default: {
            CComVariant number;
            if (SUCCEEDED(VariantChangeType(&number, &value, 0, VT_R8)))
                duk_push_number(ctx, number.dblVal);
            else
                duk_push_undefined(ctx);
            return;
        }
    }
}

HRESULT ScriptEngine::ToVariant(duk_idx_t idx, VARIANT* out, bool argument) {
    duk_context* ctx = state_->ctx;
    VariantClear(out);
    switch (duk_get_type(ctx, idx)) {
        case DUK_TYPE_UNDEFINED:
        case DUK_TYPE_NONE:
            if (argument) {
                out->vt = VT_ERROR;
                out->scode = DISP_E_PARAMNOTFOUND;
            }
            return S_OK;
        case DUK_TYPE_NULL:
            out->vt = VT_NULL;
            return S_OK;
        case DUK_TYPE_BOOLEAN:
            out->vt = VT_BOOL;
            out->boolVal = duk_get_boolean(ctx, idx) ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        case DUK_TYPE_NUMBER: {
            const double d = duk_get_number(ctx, idx);
            // Whole numbers travel as 32-bit integers, as the page environment passes them.
            if (d >= -2147483648.0 && d <= 2147483647.0 && std::trunc(d) == d &&
                !(d == 0 && std::signbit(d))) {
                out->vt = VT_I4;
                out->lVal = static_cast<LONG>(d);
            } else {
                out->vt = VT_R8;
                out->dblVal = d;
            }
            return S_OK;
        }
        case DUK_TYPE_STRING: {
            duk_size_t length = 0;
            const char* text = duk_get_lstring(ctx, idx, &length);
            std::u16string wide = Utf8ToUtf16({text, length});
            out->bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
            if (!out->bstrVal) return E_OUTOFMEMORY;
            out->vt = VT_BSTR;
            return S_OK;
        }
        case DUK_TYPE_OBJECT:
        case DUK_TYPE_LIGHTFUNC: {
            if (auto* handle = HandleAt<DispatchHandle, kTagDispatch>(ctx, idx)) {
                out->vt = VT_DISPATCH;
                out->pdispVal = handle->object.get();
                out->pdispVal->AddRef();
                return S_OK;
            }
            if (auto* array = HandleAt<ArrayHandle, kTagArray>(ctx, idx))
                return VariantCopy(out, &array->value);
            IDispatch* object = nullptr;
            HRESULT hr = CScriptObject::FromStack(state_, idx, &object);
            if (FAILED(hr)) return hr;
            out->vt = VT_DISPATCH;
            out->pdispVal = object;
            return S_OK;
        }
        default:
            return S_OK;  // buffers and raw pointers have no counterpart
    }
}

}  // namespace brevanto_host
