// Short ways to make the variants that table rows and calls pass.
#pragma once

#include <string_view>

#include "platform/variant.h"

inline CComVariant I4(LONG value) {
    return CComVariant(value);
}

inline CComVariant R8(double value) {
    return CComVariant(value);
}

// A string of exactly `text`, embedded zeros included.
inline CComVariant Str(std::u16string_view text) {
    CComVariant v;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return v;
}

inline CComVariant Null() {
    CComVariant v;
    v.vt = VT_NULL;
    return v;
}

// A variant referring to `target`, a `vt`; it owns nothing.
inline CComVariant ByRef(VARTYPE vt, void* target) {
    CComVariant v;
    v.vt = vt | VT_BYREF;
    v.byref = target;
    return v;
}
