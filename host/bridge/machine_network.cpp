#include "host/bridge/machine_network.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace brevanto_host {

namespace {

std::string ReadFile(const char* path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Dotted(const sockaddr* address) {
    if (!address || address->sa_family != AF_INET) return {};
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    return text;
}

// A DHCP client keeps its leases in one of these places, by the network manager in use.
bool HasDhcpLease() {
    namespace fs = std::filesystem;
    const char* const kLeaseDirs[] = {"/var/lib/dhcp", "/run/systemd/netif/leases",
                                      "/var/lib/NetworkManager", "/var/lib/dhclient"};
    std::error_code ec;
    for (const char* dir : kLeaseDirs) {
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (it->is_regular_file(ec) && it->file_size(ec) > 0 &&
                (name.find("lease") != std::string::npos ||
                 std::string_view(dir).find("netif") != std::string_view::npos))
                return true;
        }
        ec.clear();
    }
    return false;
}

}  // namespace

std::string DefaultGateway(std::string_view route_table) {
    std::istringstream lines{std::string(route_table)};
    std::string line;
    std::getline(lines, line);  // the heading
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string interface, destination, gateway;
        if (!(fields >> interface >> destination >> gateway)) continue;
        if (destination != "00000000") continue;
        std::uint32_t address = 0;
        try {
            address = static_cast<std::uint32_t>(std::stoul(gateway, nullptr, 16));
        } catch (...) {
            continue;
        }
        in_addr in{};
        in.s_addr = address;  // already in network byte order, as the kernel prints it
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &in, text, sizeof text);
        return text;
    }
    return {};
}

std::vector<std::string> NameServers(std::string_view resolv_conf) {
    std::vector<std::string> servers;
    std::istringstream lines{std::string(resolv_conf)};
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string keyword, address;
        if (fields >> keyword >> address && keyword == "nameserver") servers.push_back(address);
    }
    return servers;
}

MachineNetwork MachineNetwork::Read() {
    MachineNetwork network;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
            if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
            if (!(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK)) continue;
            network.address = Dotted(entry->ifa_addr);
            network.subnet = Dotted(entry->ifa_netmask);
            break;
        }
        freeifaddrs(list);
    }
    network.gateway = DefaultGateway(ReadFile("/proc/net/route"));
    std::vector<std::string> servers = NameServers(ReadFile("/etc/resolv.conf"));
    if (servers.size() > 0) network.dns1 = servers[0];
    if (servers.size() > 1) network.dns2 = servers[1];
    network.dhcp = HasDhcpLease();
    return network;
}

}  // namespace brevanto_host
