// How the network subsystem calls a script function about a packet: filter functions, filter
// callbacks and PacketSent.
#pragma once

#include "platform/git_ptr.h"
#include "platform/unknown.h"

// Calls `function` (its default member, as a method) with the packet's script object as the one
// argument and, when `self` is given, `self` as the script's `this`. When the call succeeds and
// `result` is given, *result becomes 1 if the function's value coerces to VARIANT_TRUE and 0
// otherwise (no value, false, or a value that is no boolean); a failing call leaves *result as
// it was, so callers preset it.
HRESULT CallPacketFunction(IDispatch* packet_object, LONG* result, IDispatch* function,
                           IDispatch* self = nullptr);
// The same for a function kept in a cross-thread holder, fetched for the calling thread. An
// empty holder fails with E_FAIL.
HRESULT CallPacketFunction(IDispatch* packet_object, LONG* result,
                           const CComGITPtr2<IDispatch>& function, IDispatch* self = nullptr);
