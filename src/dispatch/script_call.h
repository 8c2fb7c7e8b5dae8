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
