// Late-bound calls the way a script makes them: a member's ID by name, then Invoke with the
// arguments in script order.
#pragma once

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "platform/bstr.h"
#include "platform/variant.h"

// What looking `name` up on `d` answers (and the ID it gives, when asked for).
inline HRESULT LookUp(IDispatch* d, const char16_t* name, DISPID* found = nullptr) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = DISPID_UNKNOWN;
    const HRESULT hr = d->GetIDsOfNames(IID_NULL, names, 1, 0x400, &id);
    if (found) *found = id;
    return hr;
}

// The ID of `name` on `d`; expects the name to be known.
inline DISPID IdOf(IDispatch* d, const char16_t* name) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(d->GetIDsOfNames(IID_NULL, names, 1, 0x400, &id), S_OK) << Utf16ToUtf8(name);
    return id;
}

// Invokes `id` with `args` in script order (rgvarg holds them last to first); a put passes its
// value as the named DISPID_PROPERTYPUT argument.
inline HRESULT Call(IDispatch* d, DISPID id, WORD flags, std::vector<CComVariant> args,
                    CComVariant* result = nullptr) {
    std::vector<VARIANT> rgvarg(args.rbegin(), args.rend());
    DISPID put = DISPID_PROPERTYPUT;
    const bool is_put = flags & DISPATCH_PROPERTYPUT;
    DISPPARAMS p{rgvarg.data(), is_put ? &put : nullptr, static_cast<UINT>(rgvarg.size()),
                 is_put ? 1u : 0u};
    return d->Invoke(id, IID_NULL, 0x400, flags, &p, result, nullptr, nullptr);
}

inline HRESULT CallName(IDispatch* d, const char16_t* name, WORD flags,
                        std::vector<CComVariant> args, CComVariant* result = nullptr) {
    return Call(d, IdOf(d, name), flags, std::move(args), result);
}
