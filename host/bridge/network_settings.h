// The panel's network settings as the host application offers them: kept in the settings store
// (the reference host, as a panel keeps them), or the machine's own, read-only (the panel
// program, whose network the system manages).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/automation.h"

namespace brevanto_host {

enum class NetworkSetting { kIPAddress, kSubnet, kGateway, kDNS1, kDNS2 };

class NetworkSettings {
  public:
    virtual ~NetworkSettings() = default;
    virtual HRESULT GetDhcp(LONG* value) = 0;
    virtual HRESULT PutDhcp(LONG value) = 0;
    virtual HRESULT Get(NetworkSetting which, std::u16string* value) = 0;
    virtual HRESULT Put(NetworkSetting which, const std::u16string& value) = 0;
};

std::unique_ptr<NetworkSettings> StoredNetworkSettings();
// Changes are refused with E_ACCESSDENIED and a line to `log` saying where they are made.
std::unique_ptr<NetworkSettings> MachineNetworkSettings(
    std::function<void(const std::string&)> log);

}  // namespace brevanto_host
