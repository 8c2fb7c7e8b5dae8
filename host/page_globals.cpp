// The natives behind the page globals: `ActiveXObject`, `Enumerator`, `VBArray`, the window
// timers and `console` are written in script (page_prelude.h) over these functions.
#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/bridge/page_prelude.h"
#include "host/engine_internal.h"
#include "host/page_prelude.h"
#include "platform/safearray.h"

namespace brevanto_host {

// ---- Safe arrays ----

void PushSafeArray(duk_context* ctx, const VARIANT& value) {
    ArrayHandle* handle = nullptr;
    if (auto* made = new (std::nothrow) ArrayHandle) {
        if (SUCCEEDED(VariantCopy(&made->value, &value)))
            handle = BridgeOf(ctx).Adopt(std::unique_ptr<ArrayHandle>(made));
        else
            delete made;
    }
    if (!handle) duk_error(ctx, DUK_ERR_RANGE_ERROR, "out of memory");
    duk_push_object(ctx);
    AttachHandle(ctx, handle, kTagArray);
}

namespace {

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
        if (FAILED(hr = engine->PushVariant(element))) {
            failure->Set(hr, "VBArray: out of memory");
            return 0;
        }
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

struct EnumHandle : NativeHandle {
    ComPtr<IEnumVARIANT> items;
};

duk_ret_t NewEnum(duk_context* ctx, Failure* failure) {
    auto* handle = HandleAt<DispatchHandle, kTagDispatch>(ctx, 0);
    if (!handle) {
        duk_push_null(ctx);  // the script side walks plain arrays itself
        return 1;
    }
    CComVariant result;
    std::vector<CComVariant> none;
    brevanto_bridge::CallFailure call = handle->Call(
        DISPID_NEWENUM, DISPATCH_METHOD | DISPATCH_PROPERTYGET, none, "Enumerator", &result);
    auto items = std::make_unique<EnumHandle>();
    if (!call.failed()) {
        const HRESULT hr = (result.vt == VT_UNKNOWN || result.vt == VT_DISPATCH) && result.punkVal
                               ? result.punkVal->QueryInterface(items->items.put())
                               : DISP_E_TYPEMISMATCH;
        if (FAILED(hr)) call = brevanto_bridge::CallFailure::FromStatus("Enumerator", hr);
    }
    if (call.failed()) {
        SetFailure(failure, call);
        return 0;
    }
    EnumHandle* adopted = BridgeOf(ctx).Adopt(std::move(items));
    if (!adopted) throw std::bad_alloc();
    duk_push_object(ctx);
    AttachHandle(ctx, adopted, kTagEnum);
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
        if (FAILED(hr = EngineOf(ctx)->PushVariant(item))) {
            failure->Set(hr, "Enumerator: out of memory");
            return 0;
        }
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
    std::string refusal;
    HRESULT hr = engine->callbacks().create
                     ? engine->callbacks().create(Utf8ToUtf16(name), object.put(), &refusal)
                     : REGDB_E_CLASSNOTREG;
    if (SUCCEEDED(hr) && !object) hr = E_NOINTERFACE;
    if (FAILED(hr) && !refusal.empty()) {
        failure->Set(hr, "%s (0x%08X)", refusal.c_str(), static_cast<unsigned>(hr));
        return 0;
    }
    if (FAILED(hr)) {
        failure->Set(hr, "Automation server can't create object \"%s\" (0x%08X)", name.c_str(),
                     static_cast<unsigned>(hr));
        return 0;
    }
    if (FAILED(hr = engine->PushVariant(CComVariant(object.get())))) {
        failure->Set(hr, "Out of memory");
        return 0;
    }
    return 1;
}

// An error a page script caught on the engine's behalf (a timer callback's): reported, and the
// page goes on.
duk_ret_t ReportThrown(duk_context* ctx, Failure*) {
    ScriptEngine* engine = EngineOf(ctx);
    engine->Report(engine->ErrorAt(0));
    return 0;
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

}  // namespace

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
        {"report", NativeCall<ReportThrown>, 1},
        {nullptr, nullptr, 0},
    };
    duk_put_function_list(ctx, -1, natives);
    duk_put_prop_string(ctx, -2, "__brevanto");
    duk_pop(ctx);
    ScriptError error;
    // Both preludes get the natives, which then leave the page's global object.
    const std::string prelude =
        std::string("(function (g) { var n = g.__brevanto; delete g.__brevanto; (") + kPagePrelude +
        ")(g, n); (" + kLibraryPrelude + ")(g, n); })(this);";
    if (!Run("<page prelude>", prelude, &error))
        throw std::runtime_error("page prelude failed: " + error.Describe());
}

}  // namespace brevanto_host
