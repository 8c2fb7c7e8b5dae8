#include "network/call_packet_function.h"

#include "platform/script_call.h"
#include "platform/variant.h"

HRESULT CallPacketFunction(IDispatch* packet_object, LONG* result, IDispatch* function,
                           IDispatch* self) {
    if (!function) return E_FAIL;
    CComVariant argument(packet_object);
    CComVariant value(false);
    HRESULT hr = self ? CallScriptFunction(function, argument, self, &value)
                      : CallScriptFunction(function, argument, &value);
    if (FAILED(hr)) return hr;
    if (result) {
        CComVariant flag;
        *result =
            SUCCEEDED(VariantChangeType(&flag, &value, 0, VT_BOOL)) && flag.boolVal == VARIANT_TRUE
                ? 1
                : 0;
    }
    return hr;
}

HRESULT CallPacketFunction(IDispatch* packet_object, LONG* result,
                           const CComGITPtr2<IDispatch>& function, IDispatch* self) {
    if (!function) return E_FAIL;
    ComPtr<IDispatch> callable;
    HRESULT hr = function.CopyTo(callable.put());
    if (FAILED(hr)) return hr;
    return CallPacketFunction(packet_object, result, callable.get(), self);
}
