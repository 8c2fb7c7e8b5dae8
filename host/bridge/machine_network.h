// The panel's network settings as the machine has them (read-only): the address and mask of
// the first interface that is up and not the loopback, the default gateway, the name servers,
// and whether the address came from DHCP.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace brevanto_host {

struct MachineNetwork {
    bool dhcp = false;
    std::string address;  // dotted IPv4 text; empty when the machine has none
    std::string subnet;
    std::string gateway;
    std::string dns1;
    std::string dns2;

    // Reads the running machine.
    static MachineNetwork Read();
};

// The default route's gateway in /proc/net/route text (addresses in the kernel's byte order,
// hexadecimal); empty when there is no default route.
std::string DefaultGateway(std::string_view route_table);
// The "nameserver" addresses of resolv.conf text, in order.
std::vector<std::string> NameServers(std::string_view resolv_conf);

}  // namespace brevanto_host
