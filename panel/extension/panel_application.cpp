#include "panel/extension/panel_application.h"

#include "host/bridge/machine_network.h"
#include "platform/boundary.h"

namespace brevanto_panel {

namespace {

std::u16string View(BSTR text) {
    return {text ? text : u"", SysStringLen(text)};
}

HRESULT ReturnText(const std::string& text, BSTR* value) {
    if (!value) return E_POINTER;
    *value = SysAllocString(Utf8ToUtf16(text).c_str());
    return *value ? S_OK : E_OUTOFMEMORY;
}

using brevanto_host::MachineNetwork;

HRESULT ReadSetting(std::string MachineNetwork::*field, BSTR* value) {
    if (!value) return E_POINTER;
    *value = nullptr;
    return StatusOf([&] { return ReturnText(MachineNetwork::Read().*field, value); });
}

}  // namespace

HRESULT PanelApplication::Log(BSTR text) {
    return StatusOf([&] { panel_->Log(Utf16ToUtf8(View(text))); });
}

HRESULT PanelApplication::LoadScript(BSTR script_id, BSTR file_name, LONG* result) {
    return StatusOf([&] { return panel_->LoadScript(View(script_id), View(file_name), result); });
}

HRESULT PanelApplication::RemoveScript(BSTR script_id) {
    return StatusOf([&] { return panel_->RemoveScript(View(script_id)); });
}

HRESULT PanelApplication::Restart() {
    return StatusOf([&] { panel_->RequestRestart(); });
}

HRESULT PanelApplication::Persist(BSTR name, IDispatch* object) {
    return StatusOf([&] { return panel_->Persist(View(name), object); });
}

HRESULT PanelApplication::UnPersist(BSTR name, IDispatch** object) {
    return StatusOf([&] { return panel_->UnPersist(View(name), object); });
}

HRESULT PanelApplication::GoToPage(BSTR page) {
    if (SysStringLen(page) == 0) return E_INVALIDARG;
    return StatusOf([&] { panel_->RequestPage(Utf16ToUtf8(View(page))); });
}

HRESULT PanelApplication::GetScript(BSTR name, IDispatch** script) {
    return StatusOf([&] { return panel_->GetScript(View(name), script); });
}

HRESULT PanelApplication::Calibrate(LONG flag) {
    // The panel's touch screen comes calibrated by the system; an explicit request is noted.
    return StatusOf([&] {
        if (flag != 0)
            panel_->Log("Calibrate: accepted; the touch screen is calibrated by the system");
    });
}

HRESULT PanelApplication::Version(IDispatch** version) {
    return StatusOf([&] { return panel_->Version(version); });
}

HRESULT PanelApplication::Refuse(const char* setting) {
    return StatusOf([&] {
        panel_->Log(std::string("The panel's ") + setting +
                    " is the machine's: it is changed in the system's network settings");
        return E_ACCESSDENIED;
    });
}

HRESULT PanelApplication::put_DHCP(LONG) {
    return Refuse("DHCP setting");
}
HRESULT PanelApplication::get_DHCP(LONG* value) {
    if (!value) return E_POINTER;
    return StatusOf([&] { *value = MachineNetwork::Read().dhcp ? 1 : 0; });
}
HRESULT PanelApplication::put_IPAddress(BSTR) {
    return Refuse("IP address");
}
HRESULT PanelApplication::get_IPAddress(BSTR* value) {
    return ReadSetting(&MachineNetwork::address, value);
}
HRESULT PanelApplication::put_Subnet(BSTR) {
    return Refuse("subnet mask");
}
HRESULT PanelApplication::get_Subnet(BSTR* value) {
    return ReadSetting(&MachineNetwork::subnet, value);
}
HRESULT PanelApplication::put_Gateway(BSTR) {
    return Refuse("gateway");
}
HRESULT PanelApplication::get_Gateway(BSTR* value) {
    return ReadSetting(&MachineNetwork::gateway, value);
}
HRESULT PanelApplication::put_DNS1(BSTR) {
    return Refuse("first name server");
}
HRESULT PanelApplication::get_DNS1(BSTR* value) {
    return ReadSetting(&MachineNetwork::dns1, value);
}
HRESULT PanelApplication::put_DNS2(BSTR) {
    return Refuse("second name server");
}
HRESULT PanelApplication::get_DNS2(BSTR* value) {
    return ReadSetting(&MachineNetwork::dns2, value);
}

HRESULT PanelApplication::SetLocalTime(IDispatch* time) {
    return StatusOf([&] {
        std::string refusal;
        HRESULT hr = brevanto_host::SetLocalTimeFromDate(time, panel_->settings().clock, &refusal);
        if (!refusal.empty()) panel_->Log(refusal);
        return hr;
    });
}

HRESULT PanelApplication::GetConfigFile(BSTR* path) {
    if (!path) return E_POINTER;
    return StatusOf([&] {
        std::error_code ec;
        const std::filesystem::path& data = panel_->settings().data_dir;
        std::filesystem::path dir = std::filesystem::absolute(data, ec);
        std::string text = (ec ? data : dir).lexically_normal().string();
        if (text.empty() || text.back() != '/') text += '/';
        return ReturnText(text, path);
    });
}

HRESULT PanelApplication::document(IDispatch** document) {
    return StatusOf([&] { return panel_->PageObject("document", document); });
}

HRESULT PanelApplication::window(IDispatch** window) {
    return StatusOf([&] { return panel_->PageObject("window", window); });
}

HRESULT PanelApplication::Close() {
    return StatusOf([&] { panel_->RequestClose(); });
}

}  // namespace brevanto_panel
