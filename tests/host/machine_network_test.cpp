// The machine's network settings as the panel reads them: the default gateway from the
// kernel's route table and the name servers from resolv.conf.
#include "host/bridge/machine_network.h"

#include <gtest/gtest.h>

namespace {

TEST(MachineNetworkTest, DefaultGatewayIsTheRouteToEverywhere) {
    const char* heading =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    struct Case {
        const char* routes;
        const char* gateway;
    } cases[] = {
        // 0101A8C0 is 192.168.1.1 in the kernel's (network) byte order.
        {"eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n", "192.168.1.1"},
        {"eth0\t0001A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
         "eth0\t00000000\tFE01000A\t0003\t0\t0\t100\t00000000\t0\t0\t0\n",
         "10.0.1.254"},
        {"eth0\t0001A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n", ""},
        {"eth0\t00000000\tnothex\n", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.routes);
        EXPECT_EQ(brevanto_host::DefaultGateway(std::string(heading) + c.routes), c.gateway);
    }
}

TEST(MachineNetworkTest, NameServersInOrder) {
    struct Case {
        const char* conf;
        std::vector<std::string> servers;
    } cases[] = {
        {"nameserver 10.0.0.1\nnameserver 8.8.8.8\n", {"10.0.0.1", "8.8.8.8"}},
        {"# nameserver 1.1.1.1\nsearch lan\n  nameserver   9.9.9.9  \n", {"9.9.9.9"}},
        {"nameserver\noptions ndots:1\n", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.conf);
        EXPECT_EQ(brevanto_host::NameServers(c.conf), c.servers);
    }
}

}  // namespace
