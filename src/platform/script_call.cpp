#include "platform/script_call.h"

#include "platform/com_object.h"

namespace {

// Frees what a callee left in the exception block.
struct ExceptionInfo : EXCEPINFO {
    ExceptionInfo() : EXCEPINFO{} {}
    ~ExceptionInfo() {
        SysFreeString(bstrSource);
        SysFreeString(bstrDescription);
        SysFreeString(bstrHelpFile);
    }
};

HRESULT Call(IDispatch* function, DISPPARAMS* params, VARIANT* result) {
    ExceptionInfo excepinfo;
    ComPtr<IDispatchEx> ex;
    if (SUCCEEDED(function->QueryInterface(ex.put())) && ex)
        return ex->InvokeEx(DISPID_VALUE, LOCALE_USER_DEFAULT, DISPATCH_METHOD, params, result,
                            &excepinfo, nullptr);
    UINT argerr = 0;
    return function->Invoke(DISPID_VALUE, IID_NULL, LOCALE_SYSTEM_DEFAULT, DISPATCH_METHOD, params,
                            result, &excepinfo, &argerr);
}

}  // namespace

HRESULT CallScriptFunction(IDispatch* function, const VARIANT& argument, VARIANT* result) {
    if (!function) return E_FAIL;
    CComVariant arg;
    HRESULT hr = VariantCopyInd(&arg, &argument);
    if (FAILED(hr)) return hr;
    DISPPARAMS params{arg.vt == VT_EMPTY ? nullptr : &arg, nullptr, arg.vt == VT_EMPTY ? 0u : 1u,
                      0};
    return Call(function, &params, result);
}

HRESULT CallScriptFunction(IDispatch* function, const VARIANT& argument, IDispatch* self,
                           VARIANT* result) {
    if (!function) return E_FAIL;
    // Named arguments stand first: rgvarg[0] is `this`, rgvarg[1] the argument.
    CComVariant args[2];
    args[0] = CComVariant(self);
    HRESULT hr = VariantCopyInd(&args[1], &argument);
    if (FAILED(hr)) return hr;
    DISPID named = DISPID_THIS;
    DISPPARAMS params{args, &named, args[1].vt == VT_EMPTY ? 1u : 2u, 1};
    return Call(function, &params, result);
}

HRESULT ReadScriptProperty(IDispatch* object, LPCOLESTR name, VARIANT* value) {
    if (!object || !name || !value) return E_POINTER;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID dispid = DISPID_UNKNOWN;
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid);
    if (FAILED(hr)) return hr;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    return object->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, value,
                          nullptr, nullptr);
}

HRESULT ReadScriptArrayLength(IDispatch* object, LONG* length, LPCOLESTR property) {
    if (!length) return E_POINTER;
    *length = 0;
    CComVariant claimed;
    if (FAILED(ReadScriptProperty(object, property, &claimed))) return E_INVALIDARG;
    CComVariant number;
    if (FAILED(VariantChangeType(&number, &claimed, 0, VT_I4))) return E_INVALIDARG;
    if (number.lVal < 0 || number.lVal > kMaxScriptArrayLength) return E_INVALIDARG;
    *length = number.lVal;
    return S_OK;
}
