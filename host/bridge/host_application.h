// The host application interface, as every host implements it: the library's way to the page,
// the application and the machine. What the page needs goes to the page site; what differs
// between host programs (the network settings, calibration, the clock) is the profile. Agile:
// the library calls it from worker threads too, and whatever touches script runs on the
// page's thread.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "host/bridge/local_time.h"
#include "host/bridge/network_settings.h"
#include "host/bridge/page_site.h"
#include "interfaces/host.h"
#include "platform/com_object.h"

namespace brevanto_host {

struct ApplicationProfile {
    std::filesystem::path data_dir;
    LocalTimePolicy clock;
    std::string calibrate_note;  // logged when a calibration is asked for
    std::unique_ptr<NetworkSettings> network;
};

class CHostApplication : public ComObjectRoot<CHostApplication, IHxApplication, IMarshal> {
  public:
    static constexpr bool kCountsModuleLock = false;

    CHostApplication(PageSite* site, ApplicationProfile profile)
        : site_(site), profile_(std::move(profile)) {}

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
    HRESULT GetSetting(NetworkSetting which, BSTR* value);
    HRESULT PutSetting(NetworkSetting which, BSTR value);

    PageSite* site_;
    ApplicationProfile profile_;
};

}  // namespace brevanto_host
