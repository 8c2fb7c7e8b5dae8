#include "host/bridge/value_conversion.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "platform/safearray.h"

namespace brevanto_bridge {

namespace {

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

// Any other numeric kind as a double; false when it does not convert.
bool AsNumber(const VARIANT& value, double* number) {
    CComVariant converted;
    if (FAILED(VariantChangeType(&converted, &value, 0, VT_R8))) return false;
    *number = converted.dblVal;
    return true;
}

}  // namespace

void BuildScriptValue(const VARIANT& value, ScriptValueBuilder& builder) {
    if (value.vt == (VT_BYREF | VT_VARIANT)) {
        if (value.pvarVal)
            BuildScriptValue(*value.pvarVal, builder);
        else
            builder.Undefined();
        return;
    }
    VARIANT view;
    if ((value.vt & VT_BYREF) && ByRefView(value, &view)) {
        BuildScriptValue(view, builder);
        return;
    }
    if (value.vt & VT_ARRAY) {
        builder.Array(value);
        return;
    }
    switch (value.vt) {
        case VT_EMPTY:
            return builder.Undefined();
        case VT_NULL:
            return builder.Null();
        case VT_BOOL:
            return builder.Boolean(value.boolVal != VARIANT_FALSE);
        case VT_I1:
            return builder.Number(value.cVal);
        case VT_UI1:
            return builder.Number(value.bVal);
        case VT_I2:
            return builder.Number(value.iVal);
        case VT_UI2:
            return builder.Number(value.uiVal);
        case VT_I4:
        case VT_INT:
            return builder.Number(value.lVal);
        case VT_UI4:
        case VT_UINT:
            return builder.Number(value.ulVal);
        case VT_I8:
            return builder.Number(static_cast<double>(value.llVal));
        case VT_UI8:
            return builder.Number(static_cast<double>(value.ullVal));
        case VT_R4:
            return builder.Number(value.fltVal);
        case VT_R8:
            return builder.Number(value.dblVal);
        case VT_ERROR:
            if (value.scode == DISP_E_PARAMNOTFOUND) return builder.Undefined();
            return builder.Number(value.scode);
        case VT_BSTR:
            return builder.Text(value.bstrVal ? value.bstrVal : u"", SysStringLen(value.bstrVal));
        case VT_DATE: {
            SYSTEMTIME local{};
            if (!VariantTimeToSystemTime(value.date, &local)) return builder.Undefined();
            return builder.Date(local);
        }
        case VT_DISPATCH:
        case VT_UNKNOWN:
            if (!value.punkVal) return builder.Null();
            return builder.Object(value);
        default: {
            double number = 0;
            if (AsNumber(value, &number)) return builder.Number(number);
            return builder.Undefined();
        }
    }
}

void NumberToVariant(double number, VARIANT* out) {
    VariantClear(out);
    if (number >= -2147483648.0 && number <= 2147483647.0 && std::trunc(number) == number &&
        !(number == 0 && std::signbit(number))) {
        out->vt = VT_I4;
        out->lVal = static_cast<LONG>(number);
    } else {
        out->vt = VT_R8;
        out->dblVal = number;
    }
}

HRESULT NumberAsStatus(double number) {
    if (!(number >= -2147483648.0 && number < 4294967296.0) || std::trunc(number) != number)
        return 0;
    return static_cast<HRESULT>(static_cast<std::uint32_t>(static_cast<std::int64_t>(number)));
}

}  // namespace brevanto_bridge
