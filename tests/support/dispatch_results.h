// What a late-bound call answers, as one line of text: the value as ShowVariant shows it, or
// the failing status, so that a check states a status and a value in one expectation.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "support/late_bound.h"
#include "support/show.h"

inline std::string Failed(HRESULT hr) {
    char text[24];
    std::snprintf(text, sizeof text, "failed %08X", static_cast<unsigned>(hr));
    return text;
}

inline std::string Answer(HRESULT hr, const VARIANT& value) {
    return FAILED(hr) ? Failed(hr) : ShowVariant(value);
}

// The property `id` of `d` read with `args`.
inline std::string Got(IDispatch* d, DISPID id, std::vector<CComVariant> args = {}) {
    CComVariant value;
    const HRESULT hr = Call(d, id, DISPATCH_PROPERTYGET, std::move(args), &value);
    return Answer(hr, value);
}
