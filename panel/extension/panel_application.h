// The host application interface as the panel implements it, in the web process: the
// library's way to the page, the application and the machine. Agile: the library calls it from
// worker threads too; whatever touches the page runs on the page's thread.
#pragma once

#include "interfaces/host.h"
#include "panel/extension/web_panel.h"
#include "platform/com_object.h"

namespace brevanto_panel {

class PanelApplication : public ComObjectRoot<PanelApplication, IHxApplication, IMarshal> {
  public:
    static constexpr bool kCountsModuleLock = false;

    explicit PanelApplication(WebPanel* panel) : panel_(panel) {}

    HRESULT Log(BSTR text) override;
    HRESULT LoadScript(BSTR script_id, BSTR file_name, LONG* result) override;
    HRESULT RemoveScript(BSTR script_id) override;
    HRESULT Restart() override;
    HRESULT Persist(BSTR name, IDispatch* object) override;
    HRESULT UnPersist(BSTR name, IDispatch** object) override;
    HRESULT GoToPage(BSTR page) override;
    HRESULT GetScript(BSTR name, IDispatch** script) override;
    HRESULT Calibrate(LONG flag) override;
    HRESULT Version(IDispatch** version) override;
    // The network settings are the machine's: read, never changed from a page.
    HRESULT put_DHCP(LONG value) override;
    HRESULT get_DHCP(LONG* value) override;
    HRESULT put_IPAddress(BSTR value) override;
    HRESULT get_IPAddress(BSTR* value) override;
    HRESULT put_Subnet(BSTR value) override;
    HRESULT get_Subnet(BSTR* value) override;
    HRESULT put_Gateway(BSTR value) override;
    HRESULT get_Gateway(BSTR* value) override;
    HRESULT put_DNS1(BSTR value) override;
    HRESULT get_DNS1(BSTR* value) override;
    HRESULT put_DNS2(BSTR value) override;
    HRESULT get_DNS2(BSTR* value) override;
    HRESULT SetLocalTime(IDispatch* time) override;
    HRESULT GetConfigFile(BSTR* path) override;
    HRESULT document(IDispatch** document) override;
    HRESULT window(IDispatch** window) override;
    HRESULT Close() override;

  private:
    HRESULT Refuse(const char* setting);

    WebPanel* panel_;
};

}  // namespace brevanto_panel
