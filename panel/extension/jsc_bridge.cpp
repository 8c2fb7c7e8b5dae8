#include "panel/extension/jsc_bridge.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "host/bridge/page_prelude.h"
#include "host/bridge/value_conversion.h"
#include "panel/extension/jsc_values.h"
#include "panel/extension/page_prelude.h"
#include "panel/extension/script_object.h"
#include "platform/safearray.h"

namespace brevanto_panel {

using brevanto_bridge::CallFailure;
using brevanto_bridge::LibraryObject;

namespace {

constexpr const char* kBridgeKey = "brevanto-bridge";
constexpr const char* kObjectClass = "BrevantoObject";
constexpr const char* kArrayClass = "BrevantoArray";
// Read by the bridge itself: the class's getter answers it by naming its instance.
constexpr const char* kUnwrapName = "\x01instance";

// The helpers run script on the bridge's behalf; what script throws they return as a value.
constexpr const char* kHelpers = R"js((function () {
// What every library object reads as in text, callable or not: a plain script object's.
function plainText() { return '' + {}; }
return {
    call: function (f, self, args) {
        try { return [true, f.apply(self, args)]; } catch (e) { return [false, e]; }
    },
    construct: function (f, args) {
        try { return [true, Reflect.construct(f, args)]; } catch (e) { return [false, e]; }
    },
    get: function (o, k) { try { return [true, o[k]]; } catch (e) { return [false, e]; } },
    put: function (o, k, v) { try { o[k] = v; return [true]; } catch (e) { return [false, e]; } },
    has: function (o, k) { try { return k in Object(o); } catch (e) { return false; } },
    del: function (o, k) { try { return delete o[k]; } catch (e) { return false; } },
    keys: function (o) { try { return Object.keys(o); } catch (e) { return []; } },
    text: function (o) { try { return [true, String(o)]; } catch (e) { return [false, e]; } },
    list: function (o, most) {
        try {
            var n = o.length, a = [];
            if (typeof n !== 'number') return null;
            if (n > most) return false;
            for (var i = 0; i < n; i++) a.push(o[i]);
            return a;
        } catch (e) { return null; }
    },
    date: function (y, mo, d, h, mi, s, ms) { return new Date(y, mo, d, h, mi, s, ms); },
    error: function (message, number) {
        var e = new Error(message);
        e.number = number;
        e.description = message;
        throw e;
    },
    run: function (code, url) {
        try { return [true, (0, eval)(code + '\n//# sourceURL=' + url)]; }
        catch (e) { return [false, e]; }
    },
    globals: function (g) { return Object.keys(g); },
    // Ends the prototype chain of library objects: a name neither the object nor
    // Object.prototype has is read by `missing`. The Proxy's target has no names of its own,
    // so that for-in sees none.
    endChain: function (object, missing) {
        Object.defineProperty(Object.getPrototypeOf(object), 'toString',
                              { value: plainText, writable: true, configurable: true });
        Object.setPrototypeOf(Object.getPrototypeOf(object), new Proxy({}, {
            get: function (t, k, r) {
                return typeof k !== 'string' || k in t ? Reflect.get(t, k, r) : missing(r, k);
            }
        }));
    },
    callable: function (object, call) {
        return new Proxy(call, {
            get: function (t, k) {
                if (k === 'toString') return plainText;
                return typeof k !== 'string' || k in Function.prototype ? t[k] : object[k];
            },
            set: function (t, k, v) { object[k] = v; return true; },
            has: function (t, k) { return k in object; },
            deleteProperty: function (t, k) { return delete object[k]; },
            ownKeys: function () { return Reflect.ownKeys(object); },
            getOwnPropertyDescriptor: function (t, k) {
                return k in object ? { value: object[k], writable: true, enumerable: true,
                                       configurable: true } : undefined;
            }
        });
    }
};
})())js";

// The instance a class getter last named, and its class (the page's thread is the only one
// here).
enum class Unwrapped { kNone, kObject, kArray };
void* g_unwrapped = nullptr;
Unwrapped g_unwrapped_kind = Unwrapped::kNone;

// The instance behind a script value of one of the bridge's classes.
void* Unwrap(JSCValue* value, Unwrapped kind) {
    if (!jsc_value_is_object(value)) return nullptr;
    g_unwrapped = nullptr;
    g_unwrapped_kind = Unwrapped::kNone;
    g_object_unref(jsc_value_object_get_property(value, kUnwrapName));
    void* instance = std::exchange(g_unwrapped, nullptr);
    return std::exchange(g_unwrapped_kind, Unwrapped::kNone) == kind ? instance : nullptr;
}

std::string Text(JSCValue* value) {
    char* text = jsc_value_to_string(value);
    std::string out = text ? text : "";
    g_free(text);
    return out;
}

std::string PropertyText(JSCValue* object, const char* name) {
    JSCValue* value = jsc_value_object_get_property(object, name);
    std::string out = jsc_value_is_undefined(value) ? "" : Text(value);
    g_object_unref(value);
    return out;
}

// A file:// address as the path it names.
std::string PathOfUrl(const std::string& url) {
    if (url.rfind("file://", 0) != 0) return url;
    char* path = g_filename_from_uri(url.c_str(), nullptr, nullptr);
    std::string out = path ? path : url;
    g_free(path);
    return out;
}

// A script call of the library, settled as a whole: callbacks' errors inside it are taken
// as its status or reported.
class LibraryCall {
  public:
    explicit LibraryCall(JscBridge* bridge) : bridge_(bridge), mark_(bridge->EnterLibraryCall()) {}
    ~LibraryCall() { bridge_->LeaveLibraryCall(mark_, failed_); }
    LibraryCall(const LibraryCall&) = delete;
    LibraryCall& operator=(const LibraryCall&) = delete;
    // Raises the failure in script (when it is one) and returns the value to hand back.
    JSCValue* Fail(const CallFailure& failure) {
        failed_ = true;
        bridge_->Throw(failure);
        return jsc_value_new_undefined(bridge_->context());
    }

  private:
    JscBridge* bridge_;
    size_t mark_;
    bool failed_ = false;
};

// Runs native work for script: C++ exceptions end here, as a status.
template <class F>
JSCValue* Guarded(JscBridge* bridge, const char* what, F&& work) {
    LibraryCall call(bridge);
    JSCValue* result = nullptr;
    const HRESULT hr = StatusOf([&] { result = work(call); });
    if (FAILED(hr)) {
        if (result) g_object_unref(result);
        return call.Fail(CallFailure::FromStatus(what, hr));
    }
    return result ? result : jsc_value_new_undefined(bridge->context());
}

class Builder final : public brevanto_bridge::ScriptValueBuilder {
  public:
    Builder(JscBridge* bridge, IUnknown* owner) : bridge_(bridge), owner_(owner) {}
    JSCValue* Take() {
        JSCValue* out = value_;
        value_ = nullptr;
        return out ? out : jsc_value_new_undefined(bridge_->context());
    }
    ~Builder() {
        if (value_) g_object_unref(value_);
    }

    void Undefined() override { value_ = jsc_value_new_undefined(bridge_->context()); }
    void Null() override { value_ = jsc_value_new_null(bridge_->context()); }
    void Boolean(bool value) override { value_ = jsc_value_new_boolean(bridge_->context(), value); }
    void Number(double value) override { value_ = jsc_value_new_number(bridge_->context(), value); }
    void Text(const char16_t* text, std::size_t length) override {
        std::string utf8 = Utf16ToUtf8({text, length});
        GBytes* bytes = g_bytes_new(utf8.data(), utf8.size());
        value_ = jsc_value_new_string_from_bytes(bridge_->context(), bytes);
        g_bytes_unref(bytes);
    }
    void Date(const SYSTEMTIME& t) override {
        JSCContext* ctx = bridge_->context();
        const double fields[] = {double(t.wYear),        double(t.wMonth - 1), double(t.wDay),
                                 double(t.wHour),        double(t.wMinute),    double(t.wSecond),
                                 double(t.wMilliseconds)};
        Values args;
        for (double f : fields)
            args.Add(jsc_value_new_number(ctx, f));
        value_ = jsc_value_function_callv(bridge_->helper("date"), 7, args.items.data());
    }
    void Object(const VARIANT& value) override;
    void Array(const VARIANT& value) override;

  private:
    JscBridge* bridge_;
    IUnknown* owner_;
    JSCValue* value_ = nullptr;
};

}  // namespace

// A library object held by a script object of the bridge's class.
struct LibraryHandle {
    LibraryObject object;
    std::shared_ptr<JscBridge::Identities> identities;
    JSCWeakValue* script = nullptr;    // the script object, while it lives
    JSCWeakValue* callable = nullptr;  // its callable face (objects without expandos)
};

struct JscBridge::Identities {
    std::unordered_map<IUnknown*, LibraryHandle*> by_identity;
};

namespace {

// A method of a library object taken as a value: calling it calls the member.
struct BoundMethod {
    JSCValue* target;  // keeps the library object's script object alive
    LibraryHandle* handle;
    DISPID dispid;
    std::string name;
};

void FreeBoundMethod(gpointer data) {
    auto* method = static_cast<BoundMethod*>(data);
    g_object_unref(method->target);
    delete method;
}

JSCValue* CallBoundMethod(GPtrArray* args, gpointer data) {
    auto* method = static_cast<BoundMethod*>(data);
    JscBridge* bridge = JscBridge::Of(jsc_value_get_context(method->target));
    return Guarded(bridge, method->name.c_str(), [&](LibraryCall& call) -> JSCValue* {
        std::vector<CComVariant> arguments;
        ThrowIfFailed(bridge->Arguments(args, &arguments));
        CComVariant result;
        CallFailure failure =
            method->handle->object.Call(method->dispid, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                                        arguments, method->name, &result);
        if (failure.failed()) return call.Fail(failure);
        return bridge->ToScript(result, method->handle->object.identity());
    });
}

void FreeHandle(gpointer instance) {
    auto* handle = static_cast<LibraryHandle*>(instance);
    auto& map = handle->identities->by_identity;
    auto found = map.find(handle->object.identity());
    if (found != map.end() && found->second == handle) map.erase(found);
    if (handle->script) g_object_unref(handle->script);
    if (handle->callable) g_object_unref(handle->callable);
    delete handle;
}

// A read of a member through the library object: typed properties that take arguments and
// methods read as functions bound to it. A name the object does not have is left to the
// prototype chain (null), whose end reads it again with `at_chain_end`: then it gives
// undefined where the object takes expandos, and the library's refusal where it does not.
// So `name in object` is false for such a name, while reading it still fails.
JSCValue* ReadLibraryMember(JscBridge* bridge, JSCContext* context, LibraryHandle* handle,
                            const char* name, bool at_chain_end) {
    bool left_to_prototype = false;
    JSCValue* result = Guarded(bridge, name, [&](LibraryCall& call) -> JSCValue* {
        LibraryObject::Read read = handle->object.ReadMember(name);
        switch (read.kind) {
            case LibraryObject::ReadKind::kNotMember:
                left_to_prototype = !at_chain_end;
                if (left_to_prototype) return nullptr;
                if (handle->object.dispatch_ex()) return jsc_value_new_undefined(context);
                return call.Fail(read.failure);
            case LibraryObject::ReadKind::kFailed:
                return call.Fail(read.failure);
            case LibraryObject::ReadKind::kMethod: {
                JSCValue* target = jsc_weak_value_get_value(handle->script);
                if (!target) return jsc_value_new_undefined(context);
                auto* method = new BoundMethod{target, handle, read.dispid, name};
                return jsc_value_new_function_variadic(context, name, G_CALLBACK(CallBoundMethod),
                                                       method, FreeBoundMethod, JSC_TYPE_VALUE);
            }
            case LibraryObject::ReadKind::kValue:
                return bridge->ToScript(read.value, handle->object.identity());
        }
        return nullptr;
    });
    if (!left_to_prototype) return result;
    g_object_unref(result);
    return nullptr;
}

JSCValue* GetMember(JSCClass*, JSCContext* context, gpointer instance, const char* name) {
    auto* handle = static_cast<LibraryHandle*>(instance);
    if (std::strcmp(name, kUnwrapName) == 0) {
        g_unwrapped = instance;
        g_unwrapped_kind = Unwrapped::kObject;
        return jsc_value_new_null(context);
    }
    JscBridge* bridge = JscBridge::Of(context);
    // Symbols (Symbol.toPrimitive, Symbol.iterator) are the engine's: the prototype answers.
    if (!bridge || std::strncmp(name, "Symbol.", 7) == 0) return nullptr;
    // What every object has from its prototype, unless an expando member took the name.
    if (!handle->object.dispatch_ex() && brevanto_bridge::IsEngineProbe(name)) return nullptr;
    return ReadLibraryMember(bridge, context, handle, name, false);
}

// `name in object` asks the object whether it has the member, without reading it: a read may
// fail (a packet's absent header field) or cost a call. FALSE leaves the name to the prototype,
// as GetMember does for what the object does not have. The engine asks this before every read,
// so it only looks the name up: nothing here throws in script or calls it.
gboolean HasMember(JSCClass*, JSCContext* context, gpointer instance, const char* name) {
    auto* handle = static_cast<LibraryHandle*>(instance);
    if (std::strcmp(name, kUnwrapName) == 0) return TRUE;
    if (!JscBridge::Of(context) || std::strncmp(name, "Symbol.", 7) == 0) return FALSE;
    bool has = false;
    StatusOf([&] { has = handle->object.HasMember(name); });
    return has;
}

gboolean SetMember(JSCClass*, JSCContext* context, gpointer instance, const char* name,
                   JSCValue* value) {
    auto* handle = static_cast<LibraryHandle*>(instance);
    JscBridge* bridge = JscBridge::Of(context);
    if (!bridge) return FALSE;
    JSCValue* done = Guarded(bridge, name, [&](LibraryCall& call) -> JSCValue* {
        CComVariant converted;
        ThrowIfFailed(bridge->ToVariant(value, &converted, false));
        CallFailure failure =
            handle->object.WriteMember(name, converted, jsc_value_is_object(value));
        if (failure.failed()) return call.Fail(failure);
        return nullptr;
    });
    g_object_unref(done);
    return TRUE;
}

gboolean DeleteMember(JSCClass*, JSCContext* context, gpointer instance, const char* name) {
    auto* handle = static_cast<LibraryHandle*>(instance);
    JscBridge* bridge = JscBridge::Of(context);
    if (!bridge) return FALSE;
    bool deleted = false;
    JSCValue* done = Guarded(bridge, name, [&](LibraryCall&) -> JSCValue* {
        deleted = handle->object.DeleteMember(name);
        return nullptr;
    });
    g_object_unref(done);
    return deleted;
}

gchar** MemberNames(JSCClass*, JSCContext* context, gpointer instance) {
    auto* handle = static_cast<LibraryHandle*>(instance);
    std::vector<std::string> names;
    JscBridge* bridge = JscBridge::Of(context);
    if (!bridge) return nullptr;
    JSCValue* done = Guarded(bridge, "enumeration", [&](LibraryCall&) -> JSCValue* {
        names = handle->object.MemberNames();
        return nullptr;
    });
    g_object_unref(done);
    if (names.empty()) return nullptr;
    gchar** out = g_new0(gchar*, names.size() + 1);
    for (size_t i = 0; i < names.size(); ++i)
        out[i] = g_strdup(names[i].c_str());
    return out;
}

JSCValue* GetArrayMember(JSCClass*, JSCContext* context, gpointer instance, const char* name) {
    if (std::strcmp(name, kUnwrapName) != 0) return nullptr;
    g_unwrapped = instance;
    g_unwrapped_kind = Unwrapped::kArray;
    return jsc_value_new_null(context);
}

void FreeArray(gpointer instance) {
    delete static_cast<CComVariant*>(instance);
}

JSCClassVTable kObjectVTable = {GetMember, SetMember, HasMember, DeleteMember, MemberNames,
                                nullptr,   nullptr,   nullptr,   nullptr};
JSCClassVTable kArrayVTable = {GetArrayMember, nullptr, nullptr, nullptr, nullptr,
                               nullptr,        nullptr, nullptr, nullptr};

// ---- The natives of the page prelude ----

JscBridge* BridgeOfCall() {
    return JscBridge::Of(jsc_context_get_current());
}

JSCValue* Argument(GPtrArray* args, guint i) {
    return i < args->len ? static_cast<JSCValue*>(g_ptr_array_index(args, i)) : nullptr;
}

// create(name): a library object for `new ActiveXObject(name)`.
JSCValue* NativeCreate(GPtrArray* args, gpointer) {
    JscBridge* bridge = BridgeOfCall();
    JSCValue* name_value = Argument(args, 0);
    std::string name = name_value ? Text(name_value) : "";
    return Guarded(bridge, "ActiveXObject", [&](LibraryCall& call) -> JSCValue* {
        ComPtr<IDispatch> object;
        std::string refusal;
        HRESULT hr = bridge->services().create(Utf8ToUtf16(name), object.put(), &refusal);
        if (FAILED(hr)) {
            CallFailure failure = CallFailure::FromStatus("ActiveXObject " + name, hr);
            if (!refusal.empty()) failure.message = refusal;
            return call.Fail(failure);
        }
        CComVariant value(object.get());
        return bridge->ToScript(value);
    });
}

// enumItems(collection): the items of a library collection (through _NewEnum), or null for
// anything else.
JSCValue* NativeEnumItems(GPtrArray* args, gpointer) {
    JscBridge* bridge = BridgeOfCall();
    JSCValue* collection = Argument(args, 0);
    LibraryHandle* handle = collection ? bridge->HandleOf(collection) : nullptr;
    if (!handle) return jsc_value_new_null(bridge->context());
    return Guarded(bridge, "Enumerator", [&](LibraryCall& call) -> JSCValue* {
        CComVariant result;
        std::vector<CComVariant> none;
        CallFailure failure = handle->object.Call(
            DISPID_NEWENUM, DISPATCH_METHOD | DISPATCH_PROPERTYGET, none, "Enumerator", &result);
        ComPtr<IEnumVARIANT> items;
        if (!failure.failed()) {
            const HRESULT hr =
                (result.vt == VT_UNKNOWN || result.vt == VT_DISPATCH) && result.punkVal
                    ? result.punkVal->QueryInterface(items.put())
                    : DISP_E_TYPEMISMATCH;
            if (FAILED(hr)) failure = CallFailure::FromStatus("Enumerator", hr);
        }
        if (failure.failed()) return call.Fail(failure);
        GPtrArray* list = g_ptr_array_new_with_free_func(g_object_unref);
        for (;;) {
            CComVariant item;
            ULONG fetched = 0;
            if (items->Next(1, &item, &fetched) != S_OK || fetched != 1) break;
            g_ptr_array_add(list, bridge->ToScript(item));
        }
        JSCValue* array = jsc_value_new_array_from_garray(bridge->context(), list);
        g_ptr_array_unref(list);
        return array;
    });
}

// safeArray(array): {dims, lbounds, ubounds, items}, items in storage order.
JSCValue* NativeSafeArray(GPtrArray* args, gpointer) {
    JscBridge* bridge = BridgeOfCall();
    JSCValue* source = Argument(args, 0);
    VARTYPE vt = VT_EMPTY;
    const SAFEARRAY* array = source ? bridge->ArrayOf(source, &vt) : nullptr;
    return Guarded(bridge, "VBArray", [&](LibraryCall& call) -> JSCValue* {
        if (!array) return call.Fail(CallFailure{DISP_E_TYPEMISMATCH, "VBArray expected"});
        auto* parray = const_cast<SAFEARRAY*>(array);
        JSCContext* ctx = bridge->context();
        const UINT dims = SafeArrayGetDim(parray);
        std::vector<LONG> lower(dims), upper(dims);
        size_t total = dims ? 1 : 0;
        for (UINT d = 0; d < dims; ++d) {
            SafeArrayGetLBound(parray, d + 1, &lower[d]);
            SafeArrayGetUBound(parray, d + 1, &upper[d]);
            total *= static_cast<size_t>(std::max<LONG>(0, upper[d] - lower[d] + 1));
        }
        Values values;
        JSCValue* info = values.Add(jsc_value_new_object(ctx, nullptr, nullptr));
        JSCValue* dims_value = values.Add(jsc_value_new_number(ctx, dims));
        jsc_value_object_set_property(info, "dims", dims_value);
        JSCValue* lb = values.Add(jsc_value_new_array(ctx, G_TYPE_NONE));
        JSCValue* ub = values.Add(jsc_value_new_array(ctx, G_TYPE_NONE));
        for (UINT d = 0; d < dims; ++d) {
            jsc_value_object_set_property_at_index(lb, d,
                                                   values.Add(jsc_value_new_number(ctx, lower[d])));
            jsc_value_object_set_property_at_index(ub, d,
                                                   values.Add(jsc_value_new_number(ctx, upper[d])));
        }
        jsc_value_object_set_property(info, "lbounds", lb);
        jsc_value_object_set_property(info, "ubounds", ub);
        JSCValue* items = values.Add(jsc_value_new_array(ctx, G_TYPE_NONE));
        std::vector<LONG> index(lower);
        for (size_t n = 0; n < total; ++n) {
            CComVariant element;
            HRESULT hr;
            if (vt == VT_VARIANT) {
                hr = SafeArrayGetElement(parray, index.data(), &element);
            } else {
                element.vt = vt;
                hr = SafeArrayGetElement(parray, index.data(), &element.llVal);
                if (FAILED(hr)) element.vt = VT_EMPTY;
            }
            if (FAILED(hr)) return call.Fail(CallFailure::FromStatus("VBArray", hr));
            jsc_value_object_set_property_at_index(items, static_cast<guint>(n),
                                                   values.Add(bridge->ToScript(element)));
            for (UINT d = 0; d < dims; ++d) {  // leftmost index fastest
                if (++index[d] <= upper[d]) break;
                index[d] = lower[d];
            }
        }
        jsc_value_object_set_property(info, "items", items);
        return JSC_VALUE(g_object_ref(info));
    });
}

JSCValue* NativeLog(GPtrArray* args, gpointer) {
    JscBridge* bridge = BridgeOfCall();
    return Guarded(bridge, "console.log", [&](LibraryCall&) -> JSCValue* {
        JSCValue* text = Argument(args, 0);
        bridge->services().log(text ? Text(text) : "");
        return nullptr;
    });
}

// report(error, file, line, initial): an uncaught error of the page.
JSCValue* NativeReport(GPtrArray* args, gpointer) {
    JscBridge* bridge = BridgeOfCall();
    return Guarded(bridge, "report", [&](LibraryCall&) -> JSCValue* {
        JSCValue* error = Argument(args, 0);
        ScriptError report;
        if (error && jsc_value_is_object(error)) {
            report = bridge->ErrorOf(error);
        } else if (error) {
            report.message = "uncaught exception: " + Text(error);
        }
        JSCValue* file = Argument(args, 1);
        if (report.file.empty() && file && jsc_value_is_string(file))
            report.file = PathOfUrl(Text(file));
        JSCValue* line = Argument(args, 2);
        if (report.line == 0 && line && jsc_value_is_number(line))
            report.line = jsc_value_to_int32(line);
        const bool initial = Argument(args, 3) && jsc_value_to_boolean(Argument(args, 3));
        bridge->services().report(report, initial);
        return nullptr;
    });
}

// missing(object, name): a read of a name the library object does not have. Objects that take
// expandos give undefined, as do the names the engine probes on any object (then, toJSON);
// others raise the library's refusal.
JSCValue* NativeMissing(GPtrArray* args, gpointer) {
    JscBridge* bridge = BridgeOfCall();
    JSCValue* object = Argument(args, 0);
    JSCValue* name_value = Argument(args, 1);
    LibraryHandle* handle = object ? bridge->HandleOf(object) : nullptr;
    const std::string name = name_value ? Text(name_value) : "";
    if (!handle || brevanto_bridge::IsEngineProbe(name))
        return jsc_value_new_undefined(bridge->context());
    return ReadLibraryMember(bridge, bridge->context(), handle, name.c_str(), true);
}

void Builder::Object(const VARIANT& value) {
    if (JSCValue* own = ScriptObject::Unwrap(value.punkVal, bridge_)) {
        value_ = JSC_VALUE(g_object_ref(own));
        return;
    }
    value_ = bridge_->LibraryValue(value.punkVal,
                                   value.vt == VT_DISPATCH ? value.pdispVal : nullptr, owner_);
}

void Builder::Array(const VARIANT& value) {
    auto* copy = new CComVariant;
    if (FAILED(VariantCopy(copy, &value))) {
        delete copy;
        value_ = jsc_value_new_undefined(bridge_->context());
        return;
    }
    value_ = bridge_->ArrayValue(copy);
}

}  // namespace

JscBridge::JscBridge(JSCContext* context, PageServices services)
    : context_(context),
      services_(std::move(services)),
      identities_(std::make_shared<Identities>()) {}

JscBridge::~JscBridge() {
    End();
    for (auto& [name, function] : helper_functions_)
        g_object_unref(function);
    if (helpers_) g_object_unref(helpers_);
}

JscBridge* JscBridge::Of(JSCContext* context) {
    return context ? static_cast<JscBridge*>(g_object_get_data(G_OBJECT(context), kBridgeKey))
                   : nullptr;
}

JscBridge* JscBridge::Install(JSCContext* context, PageServices services) {
    auto* bridge = new JscBridge(context, std::move(services));
    g_object_set_data_full(G_OBJECT(context), kBridgeKey, bridge,
                           [](gpointer data) { delete static_cast<JscBridge*>(data); });
    bridge->Setup();
    return bridge;
}

void JscBridge::Setup() {
    object_class_ =
        jsc_context_register_class(context_, kObjectClass, nullptr, &kObjectVTable, FreeHandle);
    array_class_ =
        jsc_context_register_class(context_, kArrayClass, nullptr, &kArrayVTable, FreeArray);
    helpers_ = jsc_context_evaluate(context_, kHelpers, -1);
    Values values;
    JSCValue* natives = values.Add(jsc_value_new_object(context_, nullptr, nullptr));
    struct Native {
        const char* name;
        JSCValue* (*function)(GPtrArray*, gpointer);
    };
    const Native kNatives[] = {{"create", NativeCreate},
                               {"enumItems", NativeEnumItems},
                               {"safeArray", NativeSafeArray},
                               {"log", NativeLog},
                               {"report", NativeReport}};
    for (const Native& native : kNatives) {
        JSCValue* function = values.Add(jsc_value_new_function_variadic(
            context_, native.name, G_CALLBACK(native.function), nullptr, nullptr, JSC_TYPE_VALUE));
        jsc_value_object_set_property(natives, native.name, function);
    }
    JSCValue* global = values.Add(jsc_context_get_global_object(context_));
    JSCValue* args[] = {global, natives};
    // The panel's own globals first: the library's prelude stands on its enumeration.
    for (const char* text : {kPagePrelude, brevanto_host::kLibraryPrelude}) {
        JSCValue* prelude = values.Add(
            jsc_context_evaluate_with_source_uri(context_, text, -1, "brevanto:prelude", 1));
        values.Add(jsc_value_function_callv(prelude, 2, args));
        if (JSCException* exception = jsc_context_get_exception(context_)) {
            char* report = jsc_exception_report(exception);
            std::fprintf(stderr, "brevanto-panel: the page prelude failed: %s\n", report);
            g_free(report);
            jsc_context_clear_exception(context_);
        }
    }
}

JSCValue* JscBridge::helper(const char* name) {
    auto found = helper_functions_.find(name);
    if (found != helper_functions_.end()) return found->second;
    JSCValue* function = jsc_value_object_get_property(helpers_, name);
    helper_functions_.emplace(name, function);
    return function;
}

JSCValue* JscBridge::LibraryValue(IUnknown* object, IDispatch* dispatch, IUnknown* owner) {
    if (!object) return jsc_value_new_null(context_);
    ComPtr<IUnknown> identity;
    if (FAILED(object->QueryInterface(IID_IUnknown, identity.put_void())) || !identity)
        identity = object;
    auto& map = identities_->by_identity;
    auto found = map.find(identity.get());
    if (found != map.end()) {
        if (JSCValue* existing = jsc_weak_value_get_value(found->second->script))
            return Presented(existing, found->second);
    }
    auto handle = std::make_unique<LibraryHandle>();
    if (!handle->object.Attach(object, dispatch, owner))
        return jsc_value_new_null(context_);  // nothing script could call
    handle->identities = identities_;
    LibraryHandle* raw = handle.release();
    JSCValue* value = jsc_value_new_object(context_, raw, object_class_);
    raw->script = jsc_weak_value_new(value);
    map[raw->object.identity()] = raw;
    if (!chain_ended_) {
        // The class's prototype is reachable only through an object of the class.
        chain_ended_ = true;
        Values values;
        JSCValue* missing = values.Add(jsc_value_new_function_variadic(
            context_, "missing", G_CALLBACK(NativeMissing), nullptr, nullptr, JSC_TYPE_VALUE));
        JSCValue* args[] = {value, missing};
        values.Add(jsc_value_function_callv(helper("endChain"), 2, args));
    }
    return Presented(value, raw);
}

JSCValue* JscBridge::Presented(JSCValue* object, LibraryHandle* handle) {
    if (handle->object.dispatch_ex()) return object;
    JSCValue* callable = handle->callable ? jsc_weak_value_get_value(handle->callable) : nullptr;
    if (!callable) {
        auto* method = new BoundMethod{JSC_VALUE(g_object_ref(object)), handle, DISPID_VALUE,
                                       "default member"};
        Values values;
        JSCValue* call = values.Add(
            jsc_value_new_function_variadic(context_, nullptr, G_CALLBACK(CallBoundMethod), method,
                                            FreeBoundMethod, JSC_TYPE_VALUE));
        JSCValue* args[] = {object, call};
        callable = jsc_value_function_callv(helper("callable"), 2, args);
        if (handle->callable) g_object_unref(handle->callable);
        handle->callable = jsc_weak_value_new(callable);
    }
    g_object_unref(object);
    return callable;
}

JSCValue* JscBridge::ArrayValue(CComVariant* array) {
    return jsc_value_new_object(context_, array, array_class_);
}

JSCValue* JscBridge::ToScript(const VARIANT& value, IUnknown* owner) {
    Builder builder(this, owner);
    brevanto_bridge::BuildScriptValue(value, builder);
    return builder.Take();
}

LibraryHandle* JscBridge::HandleOf(JSCValue* value) {
    return static_cast<LibraryHandle*>(Unwrap(value, Unwrapped::kObject));
}

const SAFEARRAY* JscBridge::ArrayOf(JSCValue* value, VARTYPE* vt) {
    auto* array = static_cast<CComVariant*>(Unwrap(value, Unwrapped::kArray));
    if (!array || !(array->vt & VT_ARRAY)) return nullptr;
    *vt = array->vt & VT_TYPEMASK;
    return array->parray;
}

HRESULT JscBridge::ToVariant(JSCValue* value, VARIANT* out, bool argument) {
    VariantClear(out);
    if (jsc_value_is_undefined(value)) {
        if (argument) {
            out->vt = VT_ERROR;
            out->scode = DISP_E_PARAMNOTFOUND;
        }
        return S_OK;
    }
    if (jsc_value_is_null(value)) {
        out->vt = VT_NULL;
        return S_OK;
    }
    if (jsc_value_is_boolean(value)) {
        out->vt = VT_BOOL;
        out->boolVal = jsc_value_to_boolean(value) ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    if (jsc_value_is_number(value)) {
        brevanto_bridge::NumberToVariant(jsc_value_to_double(value), out);
        return S_OK;
    }
    if (jsc_value_is_string(value)) {
        GBytes* bytes = jsc_value_to_string_as_bytes(value);
        gsize size = 0;
        const char* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
        std::u16string wide = Utf8ToUtf16({data ? data : "", size});
        g_bytes_unref(bytes);
        out->bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
        if (!out->bstrVal) return E_OUTOFMEMORY;
        out->vt = VT_BSTR;
        return S_OK;
    }
    if (!jsc_value_is_object(value)) return S_OK;  // symbols and the like have no counterpart
    if (LibraryHandle* handle = HandleOf(value)) {
        out->vt = VT_DISPATCH;
        out->pdispVal = handle->object.dispatch();
        out->pdispVal->AddRef();
        return S_OK;
    }
    if (auto* array = static_cast<CComVariant*>(Unwrap(value, Unwrapped::kArray)))
        return VariantCopy(out, array);
    IDispatch* object = nullptr;
    HRESULT hr = ScriptObject::Create(this, value, &object);
    if (FAILED(hr)) return hr;
    out->vt = VT_DISPATCH;
    out->pdispVal = object;
    return S_OK;
}

HRESULT JscBridge::Arguments(GPtrArray* values, std::vector<CComVariant>* out) {
    out->assign(values->len, CComVariant());
    for (guint i = 0; i < values->len; ++i) {
        HRESULT hr = ToVariant(static_cast<JSCValue*>(g_ptr_array_index(values, i)),
                               &(*out)[values->len - 1 - i], true);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

void JscBridge::Throw(const CallFailure& failure) {
    Values values;
    JSCValue* args[] = {
        values.Add(jsc_value_new_string(context_, failure.message.c_str())),
        values.Add(jsc_value_new_number(context_, static_cast<int32_t>(failure.hr)))};
    // The helper throws: its error becomes the context's pending exception, which the engine
    // raises in the calling script when the native callback returns.
    values.Add(jsc_value_function_callv(helper("error"), 2, args));
}

ScriptError JscBridge::ErrorOf(JSCValue* error) {
    ScriptError out;
    if (!jsc_value_is_object(error)) {
        out.message = "uncaught exception: " + Text(error);
        return out;
    }
    const std::string name = PropertyText(error, "name");
    const std::string message = PropertyText(error, "message");
    out.message = name.empty() ? Text(error) : name + ": " + message;
    out.file = PathOfUrl(PropertyText(error, "sourceURL"));
    JSCValue* line = jsc_value_object_get_property(error, "line");
    out.line = jsc_value_is_number(line) ? jsc_value_to_int32(line) : 0;
    g_object_unref(line);
    if (out.file.empty()) {
        // Code run through eval names its file only in the stack: "code@file:///a.js:3:16".
        const std::string stack = PropertyText(error, "stack");
        const std::string first = stack.substr(0, stack.find('\n'));
        const size_t at = first.find('@');
        const size_t column = first.rfind(':');
        const size_t row = column == std::string::npos ? column : first.rfind(':', column - 1);
        if (at != std::string::npos && row != std::string::npos && row > at) {
            out.file = PathOfUrl(first.substr(at + 1, row - at - 1));
            out.line = std::atoi(first.substr(row + 1, column - row - 1).c_str());
        }
    }
    JSCValue* number = jsc_value_object_get_property(error, "number");
    if (jsc_value_is_number(number))
        out.number = brevanto_bridge::NumberAsStatus(jsc_value_to_double(number));
    g_object_unref(number);
    return out;
}

void JscBridge::SetGlobal(const char* name, const VARIANT& value) {
    JSCValue* script = ToScript(value);
    jsc_context_set_value(context_, name, script);
    g_object_unref(script);
}

HRESULT JscBridge::GlobalObject(const char* name, IDispatch** object) {
    *object = nullptr;
    JSCValue* value = jsc_context_get_value(context_, name);
    CComVariant converted;
    HRESULT hr = ToVariant(value, &converted, false);
    g_object_unref(value);
    if (FAILED(hr)) return hr;
    if (converted.vt != VT_DISPATCH) return E_FAIL;
    *object = converted.pdispVal;
    converted.vt = VT_EMPTY;
    return S_OK;
}

HRESULT JscBridge::Evaluate(const std::string& code, VARIANT* result) {
    JSCValue* value = jsc_context_evaluate(context_, code.c_str(), -1);
    HRESULT hr = S_OK;
    if (jsc_context_get_exception(context_)) {
        jsc_context_clear_exception(context_);
        hr = DISP_E_EXCEPTION;
    } else {
        hr = ToVariant(value, result, false);
    }
    g_object_unref(value);
    return hr;
}

bool JscBridge::RunFile(const std::string& path, ScriptError* error) {
    std::string text;
    if (!brevanto_host::ReadScriptFile(path, &text, error)) return false;
    Values values;
    char* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    GBytes* bytes = g_bytes_new(text.data(), text.size());
    // Run as eval code: its declarations can be deleted again when the script is removed.
    JSCValue* args[] = {values.Add(jsc_value_new_string_from_bytes(context_, bytes)),
                        values.Add(jsc_value_new_string(context_, uri ? uri : path.c_str()))};
    g_bytes_unref(bytes);
    g_free(uri);
    JSCValue* outcome = values.Add(jsc_value_function_callv(helper("run"), 2, args));
    JSCValue* ok = values.Add(jsc_value_object_get_property_at_index(outcome, 0));
    if (jsc_value_to_boolean(ok)) return true;
    *error = ErrorOf(values.Add(jsc_value_object_get_property_at_index(outcome, 1)));
    if (error->file.empty()) error->file = path;
    return false;
}

std::vector<std::string> JscBridge::GlobalNames() {
    Values values;
    JSCValue* args[] = {values.Add(jsc_context_get_global_object(context_))};
    JSCValue* keys = values.Add(jsc_value_function_callv(helper("globals"), 1, args));
    std::vector<std::string> names;
    JSCValue* length = values.Add(jsc_value_object_get_property(keys, "length"));
    for (int i = 0, n = jsc_value_to_int32(length); i < n; ++i)
        names.push_back(Text(values.Add(jsc_value_object_get_property_at_index(keys, i))));
    return names;
}

void JscBridge::DeleteGlobal(const std::string& name) {
    JSCValue* global = jsc_context_get_global_object(context_);
    jsc_value_object_delete_property(global, name.c_str());
    g_object_unref(global);
}

void JscBridge::End() {
    ended_ = true;
    auto objects = std::move(script_objects_);
    script_objects_.clear();
    for (auto& [value, object] : objects)
        object->Disconnect();
}

size_t JscBridge::EnterLibraryCall() {
    ++library_calls_;
    return pending_.size();
}

void JscBridge::LeaveLibraryCall(size_t mark, bool failed) {
    --library_calls_;
    std::vector<ScriptError> settled(pending_.begin() + static_cast<std::ptrdiff_t>(mark),
                                     pending_.end());
    pending_.resize(mark);
    if (failed) return;  // the call's own error said it
    for (const ScriptError& error : settled)
        services_.report(error, false);
}

void JscBridge::CallbackFailed(const ScriptError& error) {
    if (library_calls_ == 0)
        services_.report(error, false);
    else
        pending_.push_back(error);
}

void JscBridge::Track(JSCValue* value, ScriptObject* object) {
    script_objects_[value] = object;
}

void JscBridge::Untrack(JSCValue* value) {
    script_objects_.erase(value);
}

ScriptObject* JscBridge::ScriptObjectOf(JSCValue* value) const {
    auto found = script_objects_.find(value);
    return found == script_objects_.end() ? nullptr : found->second;
}

}  // namespace brevanto_panel
