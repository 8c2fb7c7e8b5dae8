// Script values to and from VARIANTs.
#include <cmath>
#include <cstring>
#include <string>

#include "host/engine_internal.h"
#include "host/script_object.h"

namespace brevanto_host {

namespace {

// Value-stack slots a push may need (a date: the constructor and its seven fields).
constexpr duk_idx_t kPushStack = 16;

// A by-reference value seen as the value it points at: a plain copy of its bits, owning
// nothing. False for the kinds that are not kept in a VARIANT's eight value bytes.
bool ByRefView(const VARIANT& value, VARIANT* view) {
    const VARTYPE type = value.vt & ~VT_BYREF;
    const size_t size = (type & VT_ARRAY) ? sizeof(SAFEARRAY*) : VarTypeSize(type);
    if (size == 0 || size > sizeof(view->llVal)) return false;
    if (!value.byref) return false;
    *view = VARIANT{};
    view->vt = type;
    std::memcpy(&view->llVal, value.byref, size);
    return true;
}

// Pushes UTF-16 text as a script string, encoded straight into engine memory.
void PushUtf16(duk_context* ctx, const char16_t* text, size_t length) {
    size_t bytes = 0;
    for (size_t i = 0; i < length; ++i) {
        const char16_t c = text[i];
        if (c < 0x80)
            bytes += 1;
        else if (c < 0x800)
            bytes += 2;
        else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
                 text[i + 1] <= 0xDFFF)
            bytes += 4, ++i;
        else
            bytes += 3;
    }
    auto* out = static_cast<unsigned char*>(duk_push_fixed_buffer(ctx, bytes));
    for (size_t i = 0; i < length; ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // a lone surrogate
        }
        if (c < 0x80) {
            *out++ = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            *out++ = static_cast<unsigned char>(0xC0 | (c >> 6));
            *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *out++ = static_cast<unsigned char>(0xE0 | (c >> 12));
            *out++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else {
            *out++ = static_cast<unsigned char>(0xF0 | (c >> 18));
            *out++ = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            *out++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    duk_buffer_to_string(ctx, -1);
}

struct PushRequest {
    const VARIANT* value;
    IUnknown* owner;
};

duk_ret_t SafePushVariant(duk_context* ctx, void* udata) {
    const auto* request = static_cast<const PushRequest*>(udata);
    PushVariantRaw(ctx, *request->value, request->owner);
    return 1;
}

}  // namespace

HRESULT ScriptEngine::PushVariant(const VARIANT& value, IUnknown* owner) {
    duk_context* ctx = state_->ctx;
    if (!duk_check_stack(ctx, kPushStack)) return E_OUTOFMEMORY;
    PushRequest request{&value, owner};
    if (duk_safe_call(ctx, SafePushVariant, &request, 0, 1) != 0) {
        duk_pop(ctx);
        return E_OUTOFMEMORY;
    }
    bridge_->MaybeCollect(ctx);
    return S_OK;
}

// Runs inside a protected call and holds nothing that needs freeing while it calls the engine.
void PushVariantRaw(duk_context* ctx, const VARIANT& value, IUnknown* owner) {
    if (value.vt == (VT_BYREF | VT_VARIANT)) {
        if (value.pvarVal)
            PushVariantRaw(ctx, *value.pvarVal, owner);
        else
            duk_push_undefined(ctx);
        return;
    }
    VARIANT view;
    if ((value.vt & VT_BYREF) && ByRefView(value, &view)) {
        PushVariantRaw(ctx, view, owner);
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
        case VT_BSTR:
            PushUtf16(ctx, value.bstrVal ? value.bstrVal : u"", SysStringLen(value.bstrVal));
            return;
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
            ScriptEngine* engine = EngineOf(ctx);
            if (CScriptObject* own = CScriptObject::Unwrap(value.punkVal, engine->state().get())) {
                own->Push();
                return;
            }
            PushLibraryObject(ctx, value, owner);
            return;
        }
        default: {
            double number = 0;
            bool converted;
            {
                CComVariant as_number;
                converted = SUCCEEDED(VariantChangeType(&as_number, &value, 0, VT_R8));
                number = as_number.dblVal;
            }
            if (converted)
                duk_push_number(ctx, number);
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
