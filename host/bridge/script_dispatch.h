// The library's side of a script value, whatever the engine: the IDispatchEx members every
// engine's script object answers the same way (names to DISPIDs, the decision tree of a call,
// enumerators, member names, deletion), over the few acts a script object of one engine
// carries out on its values. A derived class (CRTP) provides:
//   HRESULT Usable() const;                      the caller's thread and the value's page
//   bool IsCallable();                           the value is a function
//   bool HasMember(const std::string& name);     `name in value`
//   HRESULT Carry(const ScriptRequest&, VARIANT* result, EXCEPINFO*);   put, call, get, text
//   HRESULT ListItems(std::vector<CComVariant>*);   the elements of a list, as a snapshot
//   bool DeleteMember(const std::string& name);
//   std::vector<std::string> OwnKeys();          own enumerable property names, in order
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/bridge/script_call.h"
#include "host/bridge/script_file.h"
#include "platform/boundary.h"
#include "platform/com_object.h"
#include "platform/enum_variant.h"

namespace brevanto_bridge {

// A script error as the library receives it: DISP_E_EXCEPTION with the exception information
// filled in, or the error's own status code where the caller asked for no information.
HRESULT ScriptFailure(const brevanto_host::ScriptError& error, EXCEPINFO* excepinfo);

template <class Derived>
class ScriptDispatch : public ComObjectRoot<Derived, IDispatchEx> {
  public:
    static constexpr bool kCountsModuleLock = false;

    HRESULT GetTypeInfoCount(UINT* count) override { return NoTypeInfoCount(count); }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override { return NoTypeInfo(info); }

    HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* dispids) override {
        if (!names || !dispids) return E_POINTER;
        if (count == 0) return S_OK;
        CComBSTR name(names[0] ? names[0] : u"");  // a plain string, not a BSTR
        HRESULT hr = GetDispID(name, 0, &dispids[0]);
        for (UINT i = 1; i < count; ++i) {
            dispids[i] = DISPID_UNKNOWN;
            hr = DISP_E_UNKNOWNNAME;
        }
        return hr;
    }

    HRESULT Invoke(DISPID dispid, REFIID, LCID lcid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* excepinfo, UINT* argerr) override {
        if (argerr) *argerr = 0;
        return InvokeEx(dispid, lcid, flags, params, result, excepinfo, nullptr);
    }

    HRESULT GetDispID(BSTR name, DWORD flags, DISPID* dispid) override {
        if (!dispid) return E_POINTER;
        *dispid = DISPID_UNKNOWN;
        if (HRESULT hr = self().Usable(); FAILED(hr)) return hr;
        return StatusOf([&] {
            std::string key = Text(name);
            if (!(flags & fdexNameEnsure) && !members_.Knows(key) && !self().HasMember(key))
                return DISP_E_UNKNOWNNAME;
            *dispid = members_.IdOf(key);
            return S_OK;
        });
    }

    HRESULT InvokeEx(DISPID dispid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                     EXCEPINFO* excepinfo, IServiceProvider*) override {
        if (HRESULT hr = self().Usable(); FAILED(hr)) return hr;
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        return StatusOf([&] {
            if (result) VariantInit(result);
            const ScriptRequest request = UnderstandScriptCall(
                dispid, flags, params ? *params : none, members_, self().IsCallable());
            if (request.kind == ScriptRequest::Kind::kRefuse) return request.status;
            if (request.kind == ScriptRequest::Kind::kEnumerate) return NewEnum(result);
            return self().Carry(request, result, excepinfo);
        });
    }

    HRESULT DeleteMemberByName(BSTR name, DWORD) override {
        if (HRESULT hr = self().Usable(); FAILED(hr)) return hr;
        return StatusOf([&] { return self().DeleteMember(Text(name)) ? S_OK : S_FALSE; });
    }

    HRESULT DeleteMemberByDispID(DISPID dispid) override {
        const std::string* name = members_.NameOf(dispid);
        if (!name) return DISP_E_MEMBERNOTFOUND;
        CComBSTR wide{std::string_view(*name)};
        return DeleteMemberByName(wide, 0);
    }

    HRESULT GetMemberProperties(DISPID, DWORD, DWORD* properties) override {
        if (!properties) return E_POINTER;
        *properties = fdexPropCanGet | fdexPropCanPut | fdexPropCanCall;
        return S_OK;
    }

    HRESULT GetMemberName(DISPID dispid, BSTR* name) override {
        if (!name) return E_POINTER;
        *name = nullptr;
        const std::string* found = members_.NameOf(dispid);
        if (!found) return DISP_E_MEMBERNOTFOUND;
        return StatusOf([&] {
            *name = SysAllocString(Utf8ToUtf16(*found).c_str());
            return *name ? S_OK : E_OUTOFMEMORY;
        });
    }

    HRESULT GetNextDispID(DWORD, DISPID dispid, DISPID* next) override {
        if (!next) return E_POINTER;
        *next = DISPID_UNKNOWN;
        if (HRESULT hr = self().Usable(); FAILED(hr)) return hr;
        return StatusOf([&] {
            const std::vector<std::string> keys = self().OwnKeys();
            size_t start = 0;
            if (dispid != DISPID_STARTENUM) {
                const std::string* current = members_.NameOf(dispid);
                if (!current) return S_FALSE;
                while (start < keys.size() && keys[start] != *current)
                    ++start;
                ++start;
            }
            if (start >= keys.size()) return S_FALSE;
            *next = members_.IdOf(keys[start]);
            return S_OK;
        });
    }

    HRESULT GetNameSpaceParent(IUnknown** parent) override {
        if (parent) *parent = nullptr;
        return E_NOTIMPL;
    }

  private:
    Derived& self() { return static_cast<Derived&>(*this); }

    static std::string Text(BSTR name) {
        return Utf16ToUtf8({name ? name : u"", SysStringLen(name)});
    }

    // Lists (anything with a length) enumerate their elements, as a snapshot.
    HRESULT NewEnum(VARIANT* result) {
        if (!result) return E_POINTER;
        auto items = std::make_shared<std::vector<CComVariant>>();
        if (HRESULT hr = self().ListItems(items.get()); FAILED(hr)) return hr;
        IEnumVARIANT* enumerator = nullptr;
        HRESULT hr = CEnumVariantValues::Create(std::move(items), &enumerator);
        if (FAILED(hr)) return hr;
        result->vt = VT_UNKNOWN;
        result->punkVal = enumerator;
        return S_OK;
    }

    ScriptMemberIds members_;
};

}  // namespace brevanto_bridge
