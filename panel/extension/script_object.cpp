#include "panel/extension/script_object.h"

#include "host/bridge/value_conversion.h"
#include "panel/extension/jsc_bridge.h"
#include "panel/extension/jsc_values.h"
#include "platform/apartment.h"

namespace brevanto_panel {

namespace {

// Interface identifier by which a script object of the panel recognises itself.
constexpr IID kScriptObjectIid{
    0x2f7d41c3, 0x8a52, 0x4e19, {0xb6, 0x0d, 0x73, 0x1e, 0x9c, 0x45, 0x2a, 0xd8}};

}  // namespace

ScriptObject::ScriptObject(JscBridge* bridge, JSCValue* value)
    : bridge_(bridge),
      value_(JSC_VALUE(g_object_ref(value))),
      thread_(brevanto::CurrentThreadId()) {}

HRESULT ScriptObject::Create(JscBridge* bridge, JSCValue* value, IDispatch** out) {
    *out = nullptr;
    if (bridge->ended()) return RPC_E_DISCONNECTED;
    // One object per script value, so that the library can tell a value it holds already.
    if (ScriptObject* existing = bridge->ScriptObjectOf(value)) {
        existing->AddRef();
        *out = existing;
        return S_OK;
    }
    ComPtr<ScriptObject> object;
    HRESULT hr = MakeComObject(&object, bridge, value);
    if (FAILED(hr)) return hr;
    bridge->Track(value, object.get());
    *out = object.Detach();
    return S_OK;
}

JSCValue* ScriptObject::Unwrap(IUnknown* object, const JscBridge* bridge) {
    ScriptObject* own = nullptr;
    if (!object || FAILED(object->QueryInterface(kScriptObjectIid, reinterpret_cast<void**>(&own))))
        return nullptr;
    own->Release();  // the caller holds the object; the answer is borrowed
    return own->bridge_ == bridge ? own->value_ : nullptr;
}

HRESULT ScriptObject::QueryInterfaceHook(REFIID riid, void** object) {
    if (riid != kScriptObjectIid) return E_NOINTERFACE;
    AddRef();
    *object = this;
    return S_OK;
}

void ScriptObject::Disconnect() {
    JSCValue* value = value_;
    value_ = nullptr;
    bridge_ = nullptr;  // the value kept the bridge's context alive
    if (value) g_object_unref(value);
}

void ScriptObject::FinalRelease() {
    // The value belongs to the page's thread; elsewhere it stays until the page ends.
    if (!bridge_ || brevanto::CurrentThreadId() != thread_) return;
    bridge_->Untrack(value_);
    Disconnect();
}

HRESULT ScriptObject::Usable() const {
    if (!bridge_ || !value_ || bridge_->ended()) return RPC_E_DISCONNECTED;
    if (brevanto::CurrentThreadId() != thread_) return RPC_E_WRONG_THREAD;
    return S_OK;
}

bool ScriptObject::RunHelper(const char* helper, std::vector<JSCValue*> args, JSCValue** result,
                             JSCValue** error) {
    JSCValue* outcome = jsc_value_function_callv(bridge_->helper(helper),
                                                 static_cast<guint>(args.size()), args.data());
    jsc_context_clear_exception(bridge_->context());
    JSCValue* ok = jsc_value_object_get_property_at_index(outcome, 0);
    const bool succeeded = jsc_value_to_boolean(ok);
    g_object_unref(ok);
    JSCValue* second = jsc_value_object_get_property_at_index(outcome, 1);
    g_object_unref(outcome);
    *(succeeded ? result : error) = second;
    return succeeded;
}

HRESULT ScriptObject::Failed(JSCValue* error, bool callback, EXCEPINFO* excepinfo) {
    ScriptError failure = bridge_->ErrorOf(error);
    g_object_unref(error);
    if (callback) bridge_->CallbackFailed(failure);
    return brevanto_bridge::ScriptFailure(failure, excepinfo);
}

bool ScriptObject::HasMember(const std::string& name) {
    Values values;
    JSCValue* args[] = {value_, values.Add(jsc_value_new_string(bridge_->context(), name.c_str()))};
    JSCValue* has = values.Add(jsc_value_function_callv(bridge_->helper("has"), 2, args));
    jsc_context_clear_exception(bridge_->context());
    return jsc_value_to_boolean(has);
}

HRESULT ScriptObject::Carry(const brevanto_bridge::ScriptRequest& request, VARIANT* result,
                            EXCEPINFO* excepinfo) {
    using Kind = brevanto_bridge::ScriptRequest::Kind;
    JSCContext* context = bridge_->context();
    Values values;
    auto arguments = [&]() {
        GPtrArray* array = g_ptr_array_new_with_free_func(g_object_unref);
        for (const VARIANT* argument : request.arguments)
            g_ptr_array_add(array, bridge_->ToScript(*argument));
        JSCValue* list = jsc_value_new_array_from_garray(context, array);
        g_ptr_array_unref(array);
        return values.Add(list);
    };
    auto name_value = [&]() {
        return values.Add(jsc_value_new_string(context, request.name->c_str()));
    };

    JSCValue* outcome = nullptr;
    JSCValue* error = nullptr;
    bool called = false;
    bool ok = true;
    switch (request.kind) {
        case Kind::kPut:
            ok = RunHelper("put",
                           {value_, name_value(), values.Add(bridge_->ToScript(*request.value))},
                           &outcome, &error);
            if (ok) g_object_unref(outcome);
            return ok ? S_OK : Failed(error, false, excepinfo);
        case Kind::kConstruct:
            called = true;
            ok = RunHelper("construct", {value_, arguments()}, &outcome, &error);
            break;
        case Kind::kCall: {
            called = true;
            JSCValue* self = values.Add(request.self ? bridge_->ToScript(*request.self)
                                                     : jsc_value_new_undefined(context));
            ok = RunHelper("call", {value_, self, arguments()}, &outcome, &error);
            break;
        }
        case Kind::kText:
            ok = RunHelper("text", {value_}, &outcome, &error);
            break;
        case Kind::kGet:
            ok = RunHelper("get", {value_, name_value()}, &outcome, &error);
            if (ok && request.call_if_function && jsc_value_is_function(outcome)) {
                JSCValue* function = values.Add(outcome);
                called = true;
                outcome = nullptr;
                // A member function is called with its object as `this`.
                ok = RunHelper("call", {function, value_, arguments()}, &outcome, &error);
            } else if (ok && request.must_be_function) {
                g_object_unref(outcome);
                return DISP_E_MEMBERNOTFOUND;
            }
            break;
        case Kind::kRefuse:
        case Kind::kEnumerate:
            break;
    }
    if (!ok) return Failed(error, called, excepinfo);
    values.Add(outcome);
    if (result) return bridge_->ToVariant(outcome, result, false);
    return S_OK;
}

HRESULT ScriptObject::ListItems(std::vector<CComVariant>* items) {
    Values values;
    JSCValue* args[] = {value_, values.Add(jsc_value_new_number(bridge_->context(),
                                                                brevanto_bridge::kMaxListItems))};
    JSCValue* list = values.Add(jsc_value_function_callv(bridge_->helper("list"), 2, args));
    jsc_context_clear_exception(bridge_->context());
    if (jsc_value_is_boolean(list)) return E_OUTOFMEMORY;         // longer than a snapshot takes
    if (!jsc_value_is_array(list)) return DISP_E_MEMBERNOTFOUND;  // not a list
    JSCValue* length = values.Add(jsc_value_object_get_property(list, "length"));
    const int count = jsc_value_to_int32(length);
    for (int i = 0; i < count; ++i) {
        JSCValue* item = values.Add(jsc_value_object_get_property_at_index(list, i));
        CComVariant converted;
        if (HRESULT hr = bridge_->ToVariant(item, &converted, false); FAILED(hr)) return hr;
        items->push_back(std::move(converted));
    }
    return S_OK;
}

bool ScriptObject::DeleteMember(const std::string& name) {
    Values values;
    JSCValue* args[] = {value_, values.Add(jsc_value_new_string(bridge_->context(), name.c_str()))};
    JSCValue* deleted = values.Add(jsc_value_function_callv(bridge_->helper("del"), 2, args));
    jsc_context_clear_exception(bridge_->context());
    return jsc_value_to_boolean(deleted);
}

std::vector<std::string> ScriptObject::OwnKeys() {
    Values values;
    JSCValue* args[] = {value_};
    JSCValue* keys = values.Add(jsc_value_function_callv(bridge_->helper("keys"), 1, args));
    jsc_context_clear_exception(bridge_->context());
    JSCValue* length = values.Add(jsc_value_object_get_property(keys, "length"));
    const int count = jsc_value_to_int32(length);
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        JSCValue* key = values.Add(jsc_value_object_get_property_at_index(keys, i));
        char* text = jsc_value_to_string(key);
        names.emplace_back(text ? text : "");
        g_free(text);
    }
    return names;
}

}  // namespace brevanto_panel
