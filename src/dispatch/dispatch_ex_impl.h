// IDispatchEx over a type-library interface I (which derives from IDispatchEx): the typed
// members come from I's type information, every other name is an expando member of the
// object's member table.
//
//   IDispatchExImpl2<I>  the table is reached through DispatchExMembers(), which the most
//                        derived object supplies, so an object built from several such bases
//                        has one table;
//   IDispatchExImpl<I>   the table lives in the object.
//
// List the implementation in place of I among the object's interfaces; I must name IDispatchEx
// as its `Base` so that the object also answers IDispatchEx.
#pragma once

#include "dispatch/member_table.h"
#include "platform/dispatcher.h"

template <class I>
class IDispatchExImpl2 : public DispatchImpl<I> {
  public:

    // The object's one member table.
    virtual IDispatchExImplRaw& DispatchExMembers() = 0;

    HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* dispids) override {
        if (count != 1) return DISP_E_NONAMEDARGS;
        if (!names || !dispids) return E_POINTER;
        if (SUCCEEDED(DispatchGetIDsOfNames(I::Describe(), names, 1, dispids))) return S_OK;
        return Members().GetIDsOfNames(names, 1, dispids);
    }
    HRESULT Invoke(DISPID dispid, REFIID, LCID lcid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* excepinfo, UINT* argerr) override {
        if (argerr) *argerr = 0xFFFFFFFF;
        return Call(dispid, lcid, flags, params, result, excepinfo, argerr, nullptr);
    }

    HRESULT GetDispID(BSTR name, DWORD flags, DISPID* dispid) override {
        if (!dispid) return E_POINTER;
        DISPID typed = I::Describe().FindName({name ? name : u"", SysStringLen(name)});
        if (typed != DISPID_UNKNOWN) {
            *dispid = typed;
            return S_OK;
        }
        return Members().GetDispID(name, flags, dispid);
    }
    HRESULT InvokeEx(DISPID dispid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                     EXCEPINFO* excepinfo, IServiceProvider* caller) override {
        return Call(dispid, lcid, flags, params, result, excepinfo, nullptr, caller);
    }
    HRESULT DeleteMemberByName(BSTR name, DWORD flags) override {
        return Members().DeleteMemberByName(name, flags);
    }
    HRESULT DeleteMemberByDispID(DISPID dispid) override {
        return Members().DeleteMemberByDispID(dispid);
    }
    HRESULT GetMemberProperties(DISPID dispid, DWORD fetch, DWORD* properties) override {
        return Members().GetMemberProperties(dispid, fetch, properties);
    }
    HRESULT GetMemberName(DISPID dispid, BSTR* name) override {
        return Members().GetMemberName(dispid, name);
    }
    HRESULT GetNextDispID(DWORD flags, DISPID dispid, DISPID* next) override {
        return Members().GetNextDispID(flags, dispid, next);
    }
    HRESULT GetNameSpaceParent(IUnknown** parent) override {
        if (parent) *parent = nullptr;
        return E_NOTIMPL;
    }

  protected:
    ~IDispatchExImpl2() = default;

    // Typed members first; the member table when the type information has no such member.
    HRESULT Call(DISPID dispid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excepinfo, UINT* argerr, IServiceProvider* caller) {
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        HRESULT hr = DispatchInvoke(I::Describe(), static_cast<I*>(this), dispid, lcid, flags,
                                    params ? params : &none, result, excepinfo, argerr);
        if (hr != DISP_E_MEMBERNOTFOUND) return hr;
        return Members().InvokeEx(dispid, lcid, flags, params, result, excepinfo, caller);
    }

    // The table, with the first expando DISPID chosen from I's functions on first use.
    IDispatchExImplRaw& Members() {
        IDispatchExImplRaw& table = DispatchExMembers();
        if (!(table.flags() & IDispatchExImplRaw::kTypeInfoPrepared)) {
            table.SetFirstDispid(FirstExpandoDispid(I::Describe().type_info()));
            table.set_flags(table.flags() | IDispatchExImplRaw::kTypeInfoPrepared);
        }
        return table;
    }
};

template <class I>
class IDispatchExImpl : public IDispatchExImpl2<I> {
  public:
    IDispatchExImplRaw& DispatchExMembers() final { return members_; }

  protected:
    ~IDispatchExImpl() = default;

  private:
    IDispatchExImplRaw members_{1};
};
