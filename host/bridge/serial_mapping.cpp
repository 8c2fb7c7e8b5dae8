#include "host/bridge/serial_mapping.h"

#include "platform/automation.h"
#include "platform/serial_device.h"
#include "platform/settings_store.h"

namespace brevanto_host {

namespace {

constexpr const char16_t* kPanelKey = u"Software\\Brevanto\\Quorvane";
constexpr DWORD kDefaultBusPort = 3;

}  // namespace

void SerialMapping::Apply(const std::string& device) {
    if (device.empty()) return;
    DWORD port = kDefaultBusPort;
    CRegKey panel;
    if (panel.Open(HKEY_CURRENT_USER, kPanelKey) == ERROR_SUCCESS)
        panel.QueryDWORDValue(u"Port0", port);
    port_ = u"COM" + Utf8ToUtf16(std::to_string(port)) + u":";
    CRegKey map;
    if (map.Create(HKEY_CURRENT_USER, kSerialDeviceKey) != ERROR_SUCCESS) return;
    std::u16string previous;
    if (map.QueryStringValue(port_.c_str(), &previous) == ERROR_SUCCESS) saved_ = previous;
    map.SetStringValue(port_.c_str(), Utf8ToUtf16(device).c_str());
}

void SerialMapping::Restore() {
    if (port_.empty()) return;
    CRegKey map;
    if (map.Open(HKEY_CURRENT_USER, kSerialDeviceKey, KEY_ALL_ACCESS) == ERROR_SUCCESS) {
        if (saved_)
            map.SetStringValue(port_.c_str(), saved_->c_str());
        else
            map.DeleteValue(port_.c_str());
    }
    port_.clear();
    saved_.reset();
}

}  // namespace brevanto_host
