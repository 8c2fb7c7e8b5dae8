// Interface of the root object Global.
#pragma once

#include "interfaces/backlight.h"
#include "interfaces/ids.h"
#include "interfaces/network.h"
#include "interfaces/runtime.h"
#include "interfaces/scheduler.h"
#include "platform/type_info.h"
#include "platform/unknown.h"

struct IGlobal : IDispatch {
    static constexpr IID kIid = brevanto_ids::Make(0x80);
    static const InterfaceDesc& Describe();
    // The DISPIDs that code refers to besides the description.
    static constexpr DISPID kDispidScheduler = 0x1;
    static constexpr DISPID kDispidRegisterForEvent = 0x5;
    static constexpr DISPID kDispidRegisterPlaceholderForEvent = 0x8;
    static constexpr DISPID kDispidLoadScript = 0xd;
    static constexpr DISPID kDispidLoadScriptPlaceHolder = 0xf;
    static constexpr DISPID kDispidUnPersist = 0x14;
    static constexpr DISPID kDispidSecurity = 0x21;
    static constexpr DISPID kDispidDocument = 0x22;
    static constexpr DISPID kDispidWindow = 0x23;

    virtual HRESULT get_Scheduler(IScheduler** pVal) = 0;
    virtual HRESULT get_NetworkHandler(INetworkHandler** pVal) = 0;
    virtual HRESULT get_ReadOnly(IDispatch** pVal) = 0;
    virtual HRESULT CreateTimer(IDispatch* pFn, LONG Timeout, IDLTimer** ppTimer) = 0;
    virtual HRESULT RegisterForEvent(BSTR bstrEvent, VARIANT Params, IDispatch* pCallback,
                                     ULONG* pHandlerID) = 0;
    virtual HRESULT RaiseEvent(BSTR bstrEvent, IDispatchEx* pParams) = 0;
    virtual HRESULT UnRegisterForEvent(ULONG EventHandlerID) = 0;
    virtual HRESULT _RegisterPlaceholderForEvent(IUnknown* p, VARIANT pParams, IDispatch* pCallback,
                                                 ULONG* pHandlerID) = 0;
    virtual HRESULT get_BoxNumber(LONG* pVal) = 0;
    virtual HRESULT put_BoxNumber(LONG newVal) = 0;
    virtual HRESULT MatchLogicalAreaJoin(LONG Area, LONG Join, BYTE OC, IDispatch** ppMatch) = 0;
    virtual HRESULT MatchLogicalAreaLinkJoin(LONG BLA, LONG Area, LONG Join, BYTE OC,
                                             IDispatch** ppMatch) = 0;
    virtual HRESULT Log(BSTR bstr) = 0;
    virtual HRESULT LoadScript(BSTR ScriptID, BSTR FileName, LONG* pResult) = 0;
    virtual HRESULT RemoveScript(BSTR ScriptID) = 0;
    virtual HRESULT _LoadScriptPlaceHolder(IUnknown* pPlaceHolder, BSTR FileName,
                                           LONG* pResult) = 0;
    virtual HRESULT SetApplication(IUnknown* pHxApp) = 0;
    virtual HRESULT GetApplication(IUnknown** ppHxApp) = 0;
    virtual HRESULT Start() = 0;
    virtual HRESULT Persist(BSTR PersistName, IDispatch* pDispatch) = 0;
    virtual HRESULT UnPersist(BSTR PersistName, IDispatch** ppDispatch) = 0;
    virtual HRESULT get_BacklightController(IBacklightController** pVal) = 0;
    virtual HRESULT Calibrate() = 0;
    virtual HRESULT Restart() = 0;
    virtual HRESULT GoToPage(BSTR Page) = 0;
    virtual HRESULT get_Version(IDispatch** pVal) = 0;
    virtual HRESULT put_DHCP(LONG newVal) = 0;
    virtual HRESULT get_DHCP(LONG* pVal) = 0;
    virtual HRESULT put_IPAddress(BSTR newVal) = 0;
    virtual HRESULT get_IPAddress(BSTR* pVal) = 0;
    virtual HRESULT put_Subnet(BSTR newVal) = 0;
    virtual HRESULT get_Subnet(BSTR* pVal) = 0;
    virtual HRESULT put_Gateway(BSTR newVal) = 0;
    virtual HRESULT get_Gateway(BSTR* pVal) = 0;
    virtual HRESULT put_DNS1(BSTR newVal) = 0;
    virtual HRESULT get_DNS1(BSTR* pVal) = 0;
    virtual HRESULT put_DNS2(BSTR newVal) = 0;
    virtual HRESULT get_DNS2(BSTR* pVal) = 0;
    virtual HRESULT SetLocalTime(IDispatch* pDispatch) = 0;
    virtual HRESULT get_Security(IDispatch** pVal) = 0;
    virtual HRESULT get_document(IDispatch** pVal) = 0;
    virtual HRESULT get_window(IDispatch** pVal) = 0;
    virtual HRESULT put_PacketDelay(LONG newVal) = 0;
    virtual HRESULT get_PacketDelay(LONG* pVal) = 0;
    virtual HRESULT Close() = 0;
    virtual HRESULT get_Config(IDispatch** pVal) = 0;

  protected:
    ~IGlobal() = default;
};
