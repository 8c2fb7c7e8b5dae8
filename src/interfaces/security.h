// Interface of the security object: users, levels, log-in and automatic log-out.
#pragma once

#include "interfaces/ids.h"
#include "platform/type_info.h"
#include "platform/unknown.h"

struct IHxSecurity : IDispatchEx {
    using Base = IDispatchEx;
    static constexpr IID kIid = brevanto_ids::Make(0x60);
    static const InterfaceDesc& Describe();
    virtual HRESULT get_CurrentUser(BSTR* userName) = 0;
    virtual HRESULT get_Users(IDispatch** pVal) = 0;
    virtual HRESULT CheckUserLevel(LONG Level, LONG* pResult) = 0;
    virtual HRESULT IsAdmin(LONG* pResult) = 0;
    virtual HRESULT Logout() = 0;
    virtual HRESULT Login(BSTR passCode, LONG* pResult) = 0;
    virtual HRESULT AddUser(BSTR userName, BSTR passCode, IDispatch* securityLevels,
                            BSTR* bstrError) = 0;
    virtual HRESULT SetUserLevels(BSTR userName, IDispatch* securityLevels, BSTR* bstrError) = 0;
    virtual HRESULT GetUserLevels(BSTR userName, IDispatch** securityLevels) = 0;
    virtual HRESULT SetPassword(BSTR userName, BSTR passCode, BSTR* Error) = 0;
    virtual HRESULT get_AutoLogout(LONG* pVal) = 0;
    virtual HRESULT put_AutoLogout(LONG newVal) = 0;
    virtual HRESULT ResetAutoLogout() = 0;

  protected:
    ~IHxSecurity() = default;
};

// Internal (not in the type library): checks a user's pass code without logging anybody in.
struct IHxSecurity2 : IUnknown {
    static constexpr IID kIid = brevanto_ids::Make(0x61);
    // *pResult = 1 when, both in lower case, `passCode` is the pass code of exactly `userName`.
    virtual HRESULT VerifyUser(BSTR userName, BSTR passCode, LONG* pResult) = 0;

  protected:
    ~IHxSecurity2() = default;
};
