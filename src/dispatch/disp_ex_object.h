// A plain bag of expando members: what page scripts get where the library hands out an object
// of its own making (user lists, level arrays). Meant for one thread at a time.
#pragma once

#include <string>
#include <utility>

#include "dispatch/member_table.h"
#include "interfaces/persistence.h"
#include "platform/com_object.h"

class CDispExObject : public ComObjectRoot<CDispExObject, IDispatchEx, IQuorvaneSerialisable> {
  public:
    // `type_name`: what it is stored as, a plain "Object" unless it stands for a class.
    explicit CDispExObject(std::u16string type_name = u"Object")
        : members_(IDispatchExImplRaw::kPlainFirstDispid, IDispatchExImplRaw::kExpandable),
          type_name_(std::move(type_name)) {}

    // A new object with one reference.
    static HRESULT Create(ComPtr<CDispExObject>* out) { return MakeComObject(out); }

    IDispatchExImplRaw& members() { return members_; }

    HRESULT GetTypeInfoCount(UINT* count) override { return NoTypeInfoCount(count); }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override { return NoTypeInfo(info); }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* dispids) override {
        return members_.GetIDsOfNames(names, count, dispids);
    }
    HRESULT Invoke(DISPID dispid, REFIID, LCID lcid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* excepinfo, UINT* argerr) override {
        return members_.Invoke(dispid, lcid, flags, params, result, excepinfo, argerr);
    }
    HRESULT GetDispID(BSTR name, DWORD flags, DISPID* dispid) override {
        return members_.GetDispID(name, flags, dispid);
    }
    HRESULT InvokeEx(DISPID dispid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                     EXCEPINFO* excepinfo, IServiceProvider* caller) override {
        return members_.InvokeEx(dispid, lcid, flags, params, result, excepinfo, caller);
    }
    HRESULT DeleteMemberByName(BSTR name, DWORD flags) override {
        return members_.DeleteMemberByName(name, flags);
    }
    HRESULT DeleteMemberByDispID(DISPID dispid) override {
        return members_.DeleteMemberByDispID(dispid);
    }
    HRESULT GetMemberProperties(DISPID dispid, DWORD fetch, DWORD* properties) override {
        return members_.GetMemberProperties(dispid, fetch, properties);
    }
    HRESULT GetMemberName(DISPID dispid, BSTR* name) override {
        return members_.GetMemberName(dispid, name);
    }
    HRESULT GetNextDispID(DWORD flags, DISPID dispid, DISPID* next) override {
        return members_.GetNextDispID(flags, dispid, next);
    }
    HRESULT GetNameSpaceParent(IUnknown** parent) override {
        if (parent) *parent = nullptr;
        return E_NOTIMPL;
    }

    HRESULT GetTypeName(BSTR* name) override {
        if (!name) return E_POINTER;
        *name = SysAllocStringLen(type_name_.data(), static_cast<UINT>(type_name_.size()));
        return *name ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT get_DynamicMembers(VARIANT_BOOL* enabled) override {
        if (!enabled) return E_POINTER;
        *enabled = members_.expandable() ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT put_DynamicMembers(VARIANT_BOOL enabled) override {
        members_.set_expandable(enabled == VARIANT_TRUE);
        return S_OK;
    }
    HRESULT GetMemberNames(VARIANT* names) override { return members_.GetMemberNames(names); }

  private:
    IDispatchExImplRaw members_;
    std::u16string type_name_;
};
