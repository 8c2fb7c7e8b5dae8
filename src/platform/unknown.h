// The platform's base interfaces and the dispatch structures.
//
// Interfaces are abstract classes whose pure virtual members stand in the platform's slot order.
// They have no virtual destructor, so a vtable has the platform's shape; objects are destroyed by
// their own Release. Each interface names its identifier as `kIid`; uuidof<I>() reads it.
#pragma once

#include "platform/guid.h"
#include "platform/hresult.h"
#include "platform/types.h"

#define STDMETHODCALLTYPE
#define STDMETHOD(name) virtual HRESULT name
#define STDMETHOD_(type, name) virtual type name

template <class I>
constexpr const IID& uuidof() {
    return I::kIid;
}

struct VARIANT;
struct ITypeInfo;
struct IServiceProvider;

struct IUnknown {
    static constexpr IID kIid{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

    template <class Q>
    HRESULT QueryInterface(Q** object) {
        return QueryInterface(uuidof<Q>(), reinterpret_cast<void**>(object));
    }

  protected:
    ~IUnknown() = default;
};

// Arguments of a dispatch call: stored last-to-first (rgvarg[cArgs-1] is the first argument);
// named arguments stand at the front, their DISPIDs in rgdispidNamedArgs.
struct DISPPARAMS {
    VARIANT* rgvarg;
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
};

struct EXCEPINFO {
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    void* pvReserved;
    HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
    SCODE scode;
};

inline constexpr WORD DISPATCH_METHOD = 0x1;
inline constexpr WORD DISPATCH_PROPERTYGET = 0x2;
inline constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
inline constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;
inline constexpr WORD DISPATCH_CONSTRUCT = 0x4000;

inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_VALUE = 0;
inline constexpr DISPID DISPID_PROPERTYPUT = -3;
inline constexpr DISPID DISPID_NEWENUM = -4;
inline constexpr DISPID DISPID_EVALUATE = -5;
inline constexpr DISPID DISPID_CONSTRUCTOR = -6;
inline constexpr DISPID DISPID_DESTRUCTOR = -7;
inline constexpr DISPID DISPID_COLLECT = -8;
inline constexpr DISPID DISPID_STARTENUM = DISPID_UNKNOWN;
inline constexpr DISPID DISPID_THIS = -613;

// Flags of IDispatchEx::GetDispID, DeleteMemberByName and GetNextDispID.
inline constexpr DWORD fdexNameCaseSensitive = 0x00000001;
inline constexpr DWORD fdexNameEnsure = 0x00000002;
inline constexpr DWORD fdexNameImplicit = 0x00000004;
inline constexpr DWORD fdexNameCaseInsensitive = 0x00000008;
inline constexpr DWORD fdexNameInternal = 0x00000010;
inline constexpr DWORD fdexNameNoDynamicProperties = 0x00000020;
inline constexpr DWORD fdexEnumDefault = 0x00000001;
inline constexpr DWORD fdexEnumAll = 0x00000002;
// Properties reported by GetMemberProperties.
inline constexpr DWORD fdexPropCanGet = 0x00000001;
inline constexpr DWORD fdexPropCannotGet = 0x00000002;
inline constexpr DWORD fdexPropCanPut = 0x00000004;
inline constexpr DWORD fdexPropCannotPut = 0x00000008;
inline constexpr DWORD fdexPropCanPutRef = 0x00000010;
inline constexpr DWORD fdexPropCannotPutRef = 0x00000020;
inline constexpr DWORD fdexPropNoSideEffects = 0x00000040;
inline constexpr DWORD fdexPropDynamicType = 0x00000080;
inline constexpr DWORD fdexPropCanCall = 0x00000100;
inline constexpr DWORD fdexPropCannotCall = 0x00000200;
inline constexpr DWORD fdexPropCanConstruct = 0x00000400;
inline constexpr DWORD fdexPropCannotConstruct = 0x00000800;
inline constexpr DWORD fdexPropCanSourceEvents = 0x00001000;
inline constexpr DWORD fdexPropCannotSourceEvents = 0x00002000;

struct IDispatch : IUnknown {
    static constexpr IID kIid{0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    virtual HRESULT GetTypeInfoCount(UINT* count) = 0;
    virtual HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) = 0;
    virtual HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                  DISPID* dispids) = 0;
    virtual HRESULT Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                           VARIANT* result, EXCEPINFO* excepinfo, UINT* argerr) = 0;

  protected:
    ~IDispatch() = default;
};

// The answers of an object without type information (script objects, bags of members,
// function objects, proxies).
inline HRESULT NoTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}
inline HRESULT NoTypeInfo(ITypeInfo** info) {
    if (info) *info = nullptr;
    return E_NOTIMPL;
}

struct IDispatchEx : IDispatch {
    static constexpr IID kIid{
        0xA6EF9860, 0xC720, 0x11D0, {0x93, 0x37, 0x00, 0xA0, 0xC9, 0x0D, 0xCA, 0xA9}};
    virtual HRESULT GetDispID(BSTR name, DWORD flags, DISPID* dispid) = 0;
    virtual HRESULT InvokeEx(DISPID dispid, LCID lcid, WORD flags, DISPPARAMS* params,
                             VARIANT* result, EXCEPINFO* excepinfo, IServiceProvider* caller) = 0;
    virtual HRESULT DeleteMemberByName(BSTR name, DWORD flags) = 0;
    virtual HRESULT DeleteMemberByDispID(DISPID dispid) = 0;
    virtual HRESULT GetMemberProperties(DISPID dispid, DWORD fetch, DWORD* properties) = 0;
    virtual HRESULT GetMemberName(DISPID dispid, BSTR* name) = 0;
    virtual HRESULT GetNextDispID(DWORD flags, DISPID dispid, DISPID* next) = 0;
    virtual HRESULT GetNameSpaceParent(IUnknown** parent) = 0;

  protected:
    ~IDispatchEx() = default;
};

struct IEnumVARIANT : IUnknown {
    static constexpr IID kIid{0x00020404, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    virtual HRESULT Next(ULONG count, VARIANT* items, ULONG* fetched) = 0;
    virtual HRESULT Skip(ULONG count) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumVARIANT** copy) = 0;

  protected:
    ~IEnumVARIANT() = default;
};

inline constexpr DWORD INTERFACESAFE_FOR_UNTRUSTED_CALLER = 0x00000001;
inline constexpr DWORD INTERFACESAFE_FOR_UNTRUSTED_DATA = 0x00000002;

struct IObjectSafety : IUnknown {
    static constexpr IID kIid{
        0xCB5BDC81, 0x93C1, 0x11CF, {0x8F, 0x20, 0x00, 0x80, 0x5F, 0x2C, 0xD0, 0x64}};
    virtual HRESULT GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) = 0;
    virtual HRESULT SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) = 0;

  protected:
    ~IObjectSafety() = default;
};

struct IClassFactory : IUnknown {
    static constexpr IID kIid{0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) = 0;
    virtual HRESULT LockServer(BOOL lock) = 0;

  protected:
    ~IClassFactory() = default;
};

// The free-threaded marshaler is represented by an object answering this identifier: an object
// that answers IMarshal is agile and is called directly from every thread, without a proxy.
struct IMarshal : IUnknown {
    static constexpr IID kIid{0x00000003, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

  protected:
    ~IMarshal() = default;
};

inline constexpr IID IID_IUnknown = IUnknown::kIid;
inline constexpr IID IID_IDispatch = IDispatch::kIid;
inline constexpr IID IID_IDispatchEx = IDispatchEx::kIid;
inline constexpr IID IID_IEnumVARIANT = IEnumVARIANT::kIid;
inline constexpr IID IID_IObjectSafety = IObjectSafety::kIid;
inline constexpr IID IID_IClassFactory = IClassFactory::kIid;
inline constexpr IID IID_IMarshal = IMarshal::kIid;
