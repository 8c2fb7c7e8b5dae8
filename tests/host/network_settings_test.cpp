// The host application's network members reach the setting they name: kept in the settings
// store under its own value name by the reference host, refused by the panel, whose network
// the system manages and which reads it from the machine: the default gateway from the kernel's
// route table and the name servers from resolv.conf.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/bridge/host_application.h"
#include "host/bridge/machine_network.h"
#include "platform/settings_store.h"

namespace {

using brevanto_host::ApplicationProfile;
using brevanto_host::CHostApplication;

struct Setting {
    HRESULT (CHostApplication::*put)(BSTR);
    HRESULT (CHostApplication::*get)(BSTR*);
    const char16_t* stored_as;  // its value name in the settings store
    const char* refused_as;     // how the panel's refusal names it
};

const Setting kSettings[] = {
    {&CHostApplication::put_IPAddress, &CHostApplication::get_IPAddress, u"IPAddress",
     "IP address"},
    {&CHostApplication::put_Subnet, &CHostApplication::get_Subnet, u"Subnet", "subnet mask"},
    {&CHostApplication::put_Gateway, &CHostApplication::get_Gateway, u"Gateway", "gateway"},
    {&CHostApplication::put_DNS1, &CHostApplication::get_DNS1, u"DNS1", "first name server"},
    {&CHostApplication::put_DNS2, &CHostApplication::get_DNS2, u"DNS2", "second name server"},
};

// The network members touch no page, so the application needs no page site here.
ComPtr<CHostApplication> Application(std::unique_ptr<brevanto_host::NetworkSettings> network) {
    ApplicationProfile profile;
    profile.network = std::move(network);
    ComPtr<CHostApplication> application;
    EXPECT_EQ(MakeComObject(&application, nullptr, std::move(profile)), S_OK);
    return application;
}

TEST(HostApplicationTest, StoredSettingsKeepWhatIsWrittenAndTheMachinesAreReadOnly) {
    ComPtr<CHostApplication> host = Application(brevanto_host::StoredNetworkSettings());
    std::string log;
    ComPtr<CHostApplication> panel = Application(
        brevanto_host::MachineNetworkSettings([&log](const std::string& text) { log = text; }));
    LONG dhcp = 0;
    EXPECT_EQ(host->get_DHCP(&dhcp), S_OK);
    EXPECT_EQ(dhcp, 1);  // unless told otherwise
    EXPECT_EQ(host->put_DHCP(0), S_OK);
    EXPECT_EQ(host->get_DHCP(&dhcp), S_OK);
    EXPECT_EQ(dhcp, 0);
    EXPECT_EQ(panel->put_DHCP(1), E_ACCESSDENIED);
    EXPECT_NE(log.find("DHCP setting"), std::string::npos) << log;
    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, u"Software\\Brevanto\\Quorvane\\Network"), ERROR_SUCCESS);
    int n = 0;
    for (const Setting& setting : kSettings) {
        SCOPED_TRACE(setting.refused_as);
        const std::u16string value = u"10.0.0." + Utf8ToUtf16(std::to_string(++n));
        EXPECT_EQ(((*host).*setting.put)(CComBSTR(value.c_str())), S_OK);
        CComBSTR read, machines;
        EXPECT_EQ(((*host).*setting.get)(&read), S_OK);
        EXPECT_EQ(std::u16string(read, SysStringLen(read)), value);
        std::u16string stored;
        key.QueryStringValue(setting.stored_as, &stored);
        EXPECT_EQ(stored, value);

        EXPECT_EQ(((*panel).*setting.put)(CComBSTR(u"10.9.9.9")), E_ACCESSDENIED);
        EXPECT_EQ(log, std::string("The panel's ") + setting.refused_as +
                           " is the machine's: it is changed in the system's network settings");
        EXPECT_EQ(((*panel).*setting.get)(&machines), S_OK);
        EXPECT_NE(static_cast<BSTR>(machines), nullptr);
    }
}

TEST(MachineNetworkTest, DefaultGatewayIsTheRouteToEverywhere) {
    const char* heading =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    // Routes after the heading, and the default gateway they give.
    const std::pair<const char*, const char*> cases[] = {
        // 0101A8C0 is 192.168.1.1 in the kernel's (network) byte order.
        {"eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n", "192.168.1.1"},
        {"eth0\t0001A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
         "eth0\t00000000\tFE01000A\t0003\t0\t0\t100\t00000000\t0\t0\t0\n",
         "10.0.1.254"},
        {"eth0\t0001A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n", ""},
        {"eth0\t00000000\tnothex\n", ""},
        {"", ""},
    };
    for (const auto& [routes, gateway] : cases) {
        SCOPED_TRACE(routes);
        EXPECT_EQ(brevanto_host::DefaultGateway(std::string(heading) + routes), gateway);
    }
}

TEST(MachineNetworkTest, NameServersInOrder) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"nameserver 10.0.0.1\nnameserver 8.8.8.8\n", {"10.0.0.1", "8.8.8.8"}},
        {"# nameserver 1.1.1.1\nsearch lan\n  nameserver   9.9.9.9  \n", {"9.9.9.9"}},
        {"nameserver\noptions ndots:1\n", {}},
    };
    for (const auto& [conf, servers] : cases) {
        SCOPED_TRACE(conf);
        EXPECT_EQ(brevanto_host::NameServers(conf), servers);
    }
}

}  // namespace
