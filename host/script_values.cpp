// Script values to and from VARIANTs.
#include <cmath>
#include <string>

#include "host/engine_internal.h"
#include "host/script_object.h"

namespace brevanto_host {

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
