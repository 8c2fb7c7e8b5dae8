// Generic late-bound dispatch over an interface description: name lookup, argument coercion to
// the declared types, optional arguments, the property-put named argument, result values and
// the platform's dispatch errors. Nothing here knows any particular interface.
#pragma once

#include "platform/type_info.h"

// Case-insensitive: names[0] is the member, further names are its parameters. Unknown names get
// DISPID_UNKNOWN and the call answers DISP_E_UNKNOWNNAME.
HRESULT DispatchGetIDsOfNames(const InterfaceDesc& desc, LPOLESTR* names, UINT count,
                              DISPID* dispids);

// Calls the member `dispid` on `object` (a pointer to the described interface) with the
// platform's DispInvoke rules. `argerr` receives the index in rgvarg of an argument that could
// not be coerced.
HRESULT DispatchInvoke(const InterfaceDesc& desc, void* object, DISPID dispid, LCID lcid,
                       WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepinfo,
                       UINT* argerr);

// IDispatch of a dual interface I from its description (I::Describe()). List it in place of I
// among an object's interfaces: ComObjectRoot<CFoo, DispatchImpl<IFoo>, ...>.
template <class I>
class DispatchImpl : public I {
  public:
    using Interface = I;

    HRESULT GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
        if (!info) return E_POINTER;
        *info = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        *info = I::Describe().type_info();
        (*info)->AddRef();
        return S_OK;
    }
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                          DISPID* dispids) override {
        if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
        return DispatchGetIDsOfNames(I::Describe(), names, count, dispids);
    }
    HRESULT Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* excepinfo, UINT* argerr) override {
        if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
        return DispatchInvoke(I::Describe(), static_cast<I*>(this), dispid, lcid, flags, params,
                              result, excepinfo, argerr);
    }

  protected:
    ~DispatchImpl() = default;
};
