// How native code calls script: a script function with one argument (optionally with a `this`
// object), and reading a property of a script object by name.
#pragma once

#include "platform/unknown.h"
#include "platform/variant.h"

// Calls `function` as a method with `argument` (none when it is empty). Functions that answer
// IDispatchEx are called through InvokeEx. `result` may be null.
HRESULT CallScriptFunction(IDispatch* function, const VARIANT& argument, VARIANT* result);
// The same, passing `self` as the script's `this` (the named argument DISPID_THIS).
HRESULT CallScriptFunction(IDispatch* function, const VARIANT& argument, IDispatch* self,
                           VARIANT* result);

// Reads property `name` of `object`; a failure of the lookup or the read means it is absent.
HRESULT ReadScriptProperty(IDispatch* object, LPCOLESTR name, VARIANT* value);

// The most elements the library reads from a script array (or enumerable): a frame is at most
// 1024 bytes, and nothing the library takes from an array is longer.
inline constexpr LONG kMaxScriptArrayLength = 1024;

// Reads the element count that a script array claims: its `property` ("length", or "count" of
// an enumerable) as a whole number from 0 to kMaxScriptArrayLength. Anything else (absent, not
// a number, infinite, negative, larger) is E_INVALIDARG, so that no caller walks or allocates
// for a length a script merely claims. Every reader of a script array's length uses this.
HRESULT ReadScriptArrayLength(IDispatch* object, LONG* length, LPCOLESTR property = u"length");
