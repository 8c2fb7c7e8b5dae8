// The host application interface as this host implements it: the library's way to the page,
// the application and the machine. Agile: the library calls it from worker threads too, and
// whatever touches script is run on the script thread by the page host.
#pragma once

#include "host/page_host.h"
#include "interfaces/host.h"
#include "platform/com_object.h"

namespace brevanto_host {

class CHostApplication : public ComObjectRoot<CHostApplication, IHxApplication, IMarshal> {
  public:
    static constexpr bool kCountsModuleLock = false;

    explicit CHostApplication(PageHost* host) : host_(host) {}

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
    PageHost* host_;
};

}  // namespace brevanto_host
