#include "host/bridge/network_settings.h"

#include "host/bridge/machine_network.h"
#include "platform/settings_store.h"

namespace brevanto_host {

namespace {

// The panel's network settings live in the settings store, as they would on the panel.
constexpr const char16_t* kNetworkKey = u"Software\\Brevanto\\Quorvane\\Network";

const char16_t* ValueName(NetworkSetting which) {
    switch (which) {
        case NetworkSetting::kIPAddress:
            return u"IPAddress";
        case NetworkSetting::kSubnet:
            return u"Subnet";
        case NetworkSetting::kGateway:
            return u"Gateway";
        case NetworkSetting::kDNS1:
            return u"DNS1";
        case NetworkSetting::kDNS2:
            return u"DNS2";
    }
    return u"";
}

class Stored final : public NetworkSettings {
  public:
    HRESULT GetDhcp(LONG* value) override {
        DWORD stored = 1;  // a panel takes its address from DHCP unless told otherwise
        CRegKey key;
        if (key.Open(HKEY_CURRENT_USER, kNetworkKey) == ERROR_SUCCESS)
            key.QueryDWORDValue(u"DHCP", stored);
        *value = static_cast<LONG>(stored);
        return S_OK;
    }
    HRESULT PutDhcp(LONG value) override {
        CRegKey key;
        if (key.Create(HKEY_CURRENT_USER, kNetworkKey) != ERROR_SUCCESS) return E_FAIL;
        return key.SetDWORDValue(u"DHCP", static_cast<DWORD>(value)) == ERROR_SUCCESS ? S_OK
                                                                                      : E_FAIL;
    }
    HRESULT Get(NetworkSetting which, std::u16string* value) override {
        CRegKey key;
        if (key.Open(HKEY_CURRENT_USER, kNetworkKey) == ERROR_SUCCESS)
            key.QueryStringValue(ValueName(which), value);
        return S_OK;
    }
    HRESULT Put(NetworkSetting which, const std::u16string& value) override {
        CRegKey key;
        if (key.Create(HKEY_CURRENT_USER, kNetworkKey) != ERROR_SUCCESS) return E_FAIL;
        return key.SetStringValue(ValueName(which), value.c_str()) == ERROR_SUCCESS ? S_OK : E_FAIL;
    }
};

class Machine final : public NetworkSettings {
  public:
    explicit Machine(std::function<void(const std::string&)> log) : log_(std::move(log)) {}

    HRESULT GetDhcp(LONG* value) override {
        *value = MachineNetwork::Read().dhcp ? 1 : 0;
        return S_OK;
    }
    HRESULT PutDhcp(LONG) override { return Refuse("DHCP setting"); }
    HRESULT Get(NetworkSetting which, std::u16string* value) override {
        static constexpr std::string MachineNetwork::*kFields[] = {
            &MachineNetwork::address, &MachineNetwork::subnet, &MachineNetwork::gateway,
            &MachineNetwork::dns1, &MachineNetwork::dns2};
        *value = Utf8ToUtf16(MachineNetwork::Read().*kFields[static_cast<int>(which)]);
        return S_OK;
    }
    HRESULT Put(NetworkSetting which, const std::u16string&) override {
        static constexpr const char* kNames[] = {"IP address", "subnet mask", "gateway",
                                                 "first name server", "second name server"};
        return Refuse(kNames[static_cast<int>(which)]);
    }

  private:
    HRESULT Refuse(const char* setting) {
        log_(std::string("The panel's ") + setting +
             " is the machine's: it is changed in the system's network settings");
        return E_ACCESSDENIED;
    }

    std::function<void(const std::string&)> log_;
};

}  // namespace

std::unique_ptr<NetworkSettings> StoredNetworkSettings() {
    return std::make_unique<Stored>();
}

std::unique_ptr<NetworkSettings> MachineNetworkSettings(
    std::function<void(const std::string&)> log) {
    return std::make_unique<Machine>(std::move(log));
}

}  // namespace brevanto_host
