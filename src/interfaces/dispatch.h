// Interfaces of the object frame: collections, data contexts and placeholders, callable
// functions, and the internal interfaces that break cycles and intercept calls.
#pragma once

#include "interfaces/ids.h"
#include "platform/type_info.h"
#include "platform/unknown.h"

struct IPlaceHolder;

struct IGenericCollection : IDispatch {
    static constexpr IID kIid = brevanto_ids::Make(0x10);
    static const InterfaceDesc& Describe();
    virtual HRESULT get_Item(VARIANT Index, VARIANT* pVal) = 0;
    virtual HRESULT put_Item(VARIANT Index, VARIANT* value) = 0;
    virtual HRESULT _NewEnum(IUnknown** ppUnk) = 0;
    virtual HRESULT get_Count(LONG* pVal) = 0;
    virtual HRESULT Add(VARIANT Ob) = 0;
    virtual HRESULT Remove(VARIANT Index) = 0;
    virtual HRESULT GetSafeArray(LONG VarType, VARIANT* pVal) = 0;
    virtual HRESULT get_length(LONG* pVal) = 0;

  protected:
    ~IGenericCollection() = default;
};

struct IDataContext : IDispatch {
    static constexpr IID kIid = brevanto_ids::Make(0x11);
    static const InterfaceDesc& Describe();
    // A data context answers the DISPIDs of this range itself; the others go to its target.
    static constexpr DISPID kFirstDispid = 0x82;
    static constexpr DISPID kLastDispid = 0x8C;
    virtual HRESULT DestroyDependantObjects() = 0;
    virtual HRESULT AddDependantObject(IPlaceHolder* pVal) = 0;
    virtual HRESULT RemoveDependantObject(IPlaceHolder* pVal) = 0;
    virtual HRESULT _Breakout(IDispatch** ppDisp) = 0;

  protected:
    ~IDataContext() = default;
};

// Not dual: reached through QueryInterface only, described for its DISPIDs.
struct IPlaceHolder : IUnknown {
    static constexpr IID kIid = brevanto_ids::Make(0x12);
    static const InterfaceDesc& Describe();
    virtual HRESULT get_Context(IDataContext** pVal) = 0;
    virtual HRESULT put_Context(IDataContext* newVal) = 0;
    virtual HRESULT get_Dependant(VARIANT* pVal) = 0;
    virtual HRESULT put_Dependant(VARIANT newVal) = 0;
    virtual HRESULT Register(IDispatch* pCallOb) = 0;
    virtual HRESULT Remove() = 0;

  protected:
    ~IPlaceHolder() = default;
};

// A native operation handed to script as a callable value.
struct _IFunction : IDispatch {
    static constexpr IID kIid = brevanto_ids::Make(0x13);
    static const InterfaceDesc& Describe();
    virtual HRESULT Call(VARIANT arg, VARIANT* pResult) = 0;

  protected:
    ~_IFunction() = default;
};

// Internal: drops every reference the object holds to others (breaks cycles at shut-down).
struct IDestroy : IUnknown {
    static constexpr IID kIid = brevanto_ids::Make(0x14);
    virtual HRESULT Destroy() = 0;

  protected:
    ~IDestroy() = default;
};

// Internal: the hooks a data-context wrapper asks before and after calling its target.
struct IReadOnlyTest : IUnknown {
    static constexpr IID kIid = brevanto_ids::Make(0x15);
    virtual HRESULT RewriteCall(DISPID* dispid, DISPPARAMS* params, WORD* flags) = 0;
    virtual HRESULT WrapResult(DISPID dispid) = 0;

  protected:
    ~IReadOnlyTest() = default;
};
