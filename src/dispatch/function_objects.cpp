#include "dispatch/function_objects.h"

HRESULT CDispatchFunctionObjectSimple::Create(IDispatch* target, DISPID dispid, IDispatch** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    ComPtr<CDispatchFunctionObjectSimple> f;
    HRESULT hr = MakeComObject(&f);
    if (FAILED(hr)) return hr;
    f->Bind(target, dispid);
    *out = f.Detach();
    return S_OK;
}

HRESULT CDispatchFunctionObjectSimple::GetTypeInfoCount(UINT* count) {
    return NoTypeInfoCount(count);
}

HRESULT CDispatchFunctionObjectSimple::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    return NoTypeInfo(info);
}

HRESULT CDispatchFunctionObjectSimple::GetIDsOfNames(REFIID, LPOLESTR*, UINT count, LCID,
                                                     DISPID* dispids) {
    if (dispids)
        for (UINT i = 0; i < count; ++i)
            dispids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
}

HRESULT CDispatchFunctionObjectSimple::Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags,
                                              DISPPARAMS* params, VARIANT* result,
                                              EXCEPINFO* excepinfo, UINT* argerr) {
    if (dispid != DISPID_VALUE) return DISP_E_MEMBERNOTFOUND;
    if (!target_) return E_FAIL;
    if (flags == (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) flags = DISPATCH_METHOD;
    return target_->Invoke(dispid_, riid, lcid, flags, params, result, excepinfo, argerr);
}
