// The host application interface: what the library asks of the panel application that loads it.
// A custom interface (not dispatchable); strings are BSTRs, objects IDispatch.
#pragma once

#include "interfaces/ids.h"
#include "platform/unknown.h"

// The registered messages the library broadcasts to the host's windows (restart the panel
// application, shut it down nicely).
inline constexpr const OLECHAR* kRestartAppMessageName = u"Brevanto_Restart_App";
inline constexpr const OLECHAR* kShutdownNicelyMessageName = u"Brevanto_Shutdown_Nicely";

struct IHxApplication : IUnknown {
    static constexpr IID kIid = brevanto_ids::Make(0x90);
    virtual HRESULT Log(BSTR text) = 0;
    virtual HRESULT LoadScript(BSTR script_id, BSTR file_name, LONG* result) = 0;
    virtual HRESULT RemoveScript(BSTR script_id) = 0;
    virtual HRESULT Restart() = 0;
    virtual HRESULT Persist(BSTR name, IDispatch* object) = 0;
    virtual HRESULT UnPersist(BSTR name, IDispatch** object) = 0;
    virtual HRESULT GoToPage(BSTR page) = 0;
    virtual HRESULT GetScript(BSTR name, IDispatch** script) = 0;
    virtual HRESULT Calibrate(LONG flag) = 0;
    virtual HRESULT Version(IDispatch** version) = 0;
    virtual HRESULT put_DHCP(LONG value) = 0;
    virtual HRESULT get_DHCP(LONG* value) = 0;
    virtual HRESULT put_IPAddress(BSTR value) = 0;
    virtual HRESULT get_IPAddress(BSTR* value) = 0;
    virtual HRESULT put_Subnet(BSTR value) = 0;
    virtual HRESULT get_Subnet(BSTR* value) = 0;
    virtual HRESULT put_Gateway(BSTR value) = 0;
    virtual HRESULT get_Gateway(BSTR* value) = 0;
    virtual HRESULT put_DNS1(BSTR value) = 0;
    virtual HRESULT get_DNS1(BSTR* value) = 0;
    virtual HRESULT put_DNS2(BSTR value) = 0;
    virtual HRESULT get_DNS2(BSTR* value) = 0;
    virtual HRESULT SetLocalTime(IDispatch* time) = 0;
    virtual HRESULT GetConfigFile(BSTR* path) = 0;
    virtual HRESULT document(IDispatch** document) = 0;
    virtual HRESULT window(IDispatch** window) = 0;
    virtual HRESULT Close() = 0;

  protected:
    ~IHxApplication() = default;
};
