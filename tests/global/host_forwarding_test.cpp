// The members of Global that the host implements, with and without a host.
#include <gtest/gtest.h>

#include <functional>

#include "global/global.h"
#include "global/test_host.h"
#include "support/data_directory.h"
#include "support/late_bound.h"
#include "support/variants.h"

namespace {

HRESULT Attach(CGlobal* g, TestHost* host) {
    return g->SetApplication(static_cast<IHxApplication*>(host));
}

const CComBSTR kText(u"page1");

// One forwarded member: the call the host records, and the results without a host and with a
// host that fails (Log and the script members never pass the host's result on).
struct Forward {
    const char* call;
    std::function<HRESULT(CGlobal*)> invoke;
    HRESULT without_host;
    HRESULT with_failing_host;
};
template <class T, class R>
std::function<HRESULT(CGlobal*)> Get(R get) {
    return [get](CGlobal* g) {
        T value{};
        return (g->*get)(&value);
    };
}
std::function<HRESULT(CGlobal*)> PutText(HRESULT (CGlobal::*put)(BSTR)) {
    return [put](CGlobal* g) { return (g->*put)(kText); };
}
HRESULT GetObject(CGlobal* g, HRESULT (CGlobal::*get)(IDispatch**)) {
    ComPtr<IDispatch> object;
    return (g->*get)(object.put());
}

TEST(HostForwardingTest, EachMemberForwardsByTheRulesOfItsRow) {
    LONG number = 0;
    const Forward forwards[] = {
        {"Log(page1)", [](CGlobal* g) { return g->Log(kText); }, S_OK, S_OK},
        {"LoadScript(page1,page1)",
         [&](CGlobal* g) { return g->LoadScript(kText, kText, &number); }, S_OK, S_OK},
        {"RemoveScript(page1)", [](CGlobal* g) { return g->RemoveScript(kText); }, S_OK, S_OK},
        // A script's null reaches the host as no object.
        {"Persist(page1)",
         [](CGlobal* g) {
             return CallName(static_cast<IGlobal*>(g), u"Persist", DISPATCH_METHOD,
                             {CComVariant(kText), Null()});
         },
         S_OK, E_FAIL},
        {"UnPersist(page1)",
         [](CGlobal* g) {
             ComPtr<IDispatch> object;
             return g->UnPersist(kText, object.put());
         },
         S_OK, E_FAIL},
        {"Calibrate(-1)", [](CGlobal* g) { return g->Calibrate(); }, S_OK, E_FAIL},
        {"Restart()", [](CGlobal* g) { return g->Restart(); }, S_OK, E_FAIL},
        {"GoToPage(page1)", [](CGlobal* g) { return g->GoToPage(kText); }, S_OK, E_FAIL},
        {"Version()", [](CGlobal* g) { return GetObject(g, &CGlobal::get_Version); }, S_FALSE,
         E_FAIL},
        {"put_DHCP(1)", [](CGlobal* g) { return g->put_DHCP(1); }, S_FALSE, E_FAIL},
        {"get_DHCP()", Get<LONG>(&CGlobal::get_DHCP), S_FALSE, E_FAIL},
        {"put_IPAddress(page1)", PutText(&CGlobal::put_IPAddress), S_FALSE, E_FAIL},
        {"get_IPAddress()", Get<CComBSTR>(&CGlobal::get_IPAddress), S_FALSE, E_FAIL},
        {"put_Subnet(page1)", PutText(&CGlobal::put_Subnet), S_FALSE, E_FAIL},
        {"get_Subnet()", Get<CComBSTR>(&CGlobal::get_Subnet), S_FALSE, E_FAIL},
        {"put_Gateway(page1)", PutText(&CGlobal::put_Gateway), S_FALSE, E_FAIL},
        {"get_Gateway()", Get<CComBSTR>(&CGlobal::get_Gateway), S_FALSE, E_FAIL},
        {"put_DNS1(page1)", PutText(&CGlobal::put_DNS1), S_FALSE, E_FAIL},
        {"get_DNS1()", Get<CComBSTR>(&CGlobal::get_DNS1), S_FALSE, E_FAIL},
        {"put_DNS2(page1)", PutText(&CGlobal::put_DNS2), S_FALSE, E_FAIL},
        {"get_DNS2()", Get<CComBSTR>(&CGlobal::get_DNS2), S_FALSE, E_FAIL},
        {"SetLocalTime()", [](CGlobal* g) { return g->SetLocalTime(nullptr); }, S_FALSE, E_FAIL},
        {"document()", [](CGlobal* g) { return GetObject(g, &CGlobal::get_document); }, S_FALSE,
         E_FAIL},
        {"window()", [](CGlobal* g) { return GetObject(g, &CGlobal::get_window); }, S_FALSE,
         E_FAIL},
        {"Close()", [](CGlobal* g) { return g->Close(); }, S_OK, E_FAIL},
    };
    auto alone = New<CGlobal>();
    auto g = New<CGlobal>();
    auto host = New<TestHost>();
    ASSERT_EQ(Attach(g.get(), host.get()), S_OK);
    host->result = E_FAIL;
    for (const Forward& f : forwards) {
        SCOPED_TRACE(f.call);
        number = -5;
        EXPECT_EQ(f.invoke(alone.get()), f.without_host);
        EXPECT_EQ(number, -5);  // nothing written without a host
        EXPECT_EQ(f.invoke(g.get()), f.with_failing_host);
        EXPECT_EQ(host->Calls().back(), f.call);
    }
    EXPECT_EQ(g->LoadScript(kText, kText, &number), S_OK);
    EXPECT_EQ(number, 42);  // what the host wrote
}

TEST(HostForwardingTest, ObjectsAndValuesComeBackFromTheHost) {
    auto g = New<CGlobal>();
    ComPtr<IDispatch> object;
    EXPECT_EQ(g->get_Version(object.put()), S_FALSE);
    EXPECT_EQ(object, nullptr);
    BSTR address = nullptr;
    EXPECT_EQ(g->get_IPAddress(&address), S_FALSE);
    EXPECT_EQ(address, nullptr);
    EXPECT_EQ(g->GetHostScript(u" hidden script"), nullptr);

    auto host = New<TestHost>();
    host->object = New<ScriptFunction>().get();
    ASSERT_EQ(Attach(g.get(), host.get()), S_OK);
    EXPECT_EQ(g->get_Version(object.put()), S_OK);
    EXPECT_EQ(object.get(), host->object.get());
    EXPECT_EQ(g->UnPersist(kText, object.put()), S_OK);
    EXPECT_EQ(object.get(), host->object.get());
    LONG dhcp = 0;
    EXPECT_EQ(g->get_DHCP(&dhcp), S_OK);
    EXPECT_EQ(dhcp, 1);
    CComBSTR subnet;
    EXPECT_EQ(g->get_Subnet(&subnet), S_OK);
    EXPECT_EQ(subnet.view(), u"10.0.0.1");
    EXPECT_EQ(g->GetHostScript(u" hidden script").get(), host->object.get());
    EXPECT_TRUE(host->Has("GetScript( hidden script)"));
}

TEST(HostForwardingTest, GetApplicationGivesTheHostStartCalibratesOnlyAHostReplacesItDestroyEnds) {
    auto g = New<CGlobal>();
    ComPtr<IUnknown> app;
    EXPECT_EQ(g->GetApplication(nullptr), E_POINTER);
    EXPECT_EQ(g->GetApplication(app.put()), S_OK);
    EXPECT_EQ(app, nullptr);
    EXPECT_EQ(g->Start(), S_OK);  // without a host as well

    auto host = New<TestHost>();
    ASSERT_EQ(Attach(g.get(), host.get()), S_OK);
    ASSERT_EQ(g->GetApplication(app.put()), S_OK);
    ComPtr<IUnknown> host_identity;
    host->QueryInterface(IID_IUnknown, host_identity.put_void());
    EXPECT_EQ(app.get(), host_identity.get());
    EXPECT_EQ(g->Start(), S_OK);
    EXPECT_EQ(host->Calls(), (std::vector<std::string>{"GetConfigFile()", "Calibrate(0)"}));

    // Only a host replaces the host.
    auto second = New<TestHost>();
    EXPECT_EQ(g->SetApplication(static_cast<IDispatch*>(New<ScriptFunction>().get())),
              E_NOINTERFACE);
    EXPECT_EQ(g->SetApplication(nullptr), E_NOINTERFACE);
    g->Log(CComBSTR(u"still here"));
    EXPECT_TRUE(host->Has("Log(still here)"));
    second->config_file = SysAllocString(u"/etc/panel/");
    ASSERT_EQ(Attach(g.get(), second.get()), S_OK);
    EXPECT_EQ(g->ConfigPath(), u"/etc/panel/");  // the new host's
    g->Log(CComBSTR(u"moved"));
    EXPECT_TRUE(second->Has("Log(moved)"));
    EXPECT_FALSE(host->Has("Log(moved)"));

    // Destroy shuts down and forgets the host; later events cost nothing; twice is harmless.
    ASSERT_EQ(g->Destroy(), S_OK);
    EXPECT_FALSE(CurrentGlobal::Get());
    EXPECT_FALSE(g->WaitUntilPoolIdle());
    ComPtr<IDispatch> version;
    EXPECT_EQ(g->get_Version(version.put()), S_FALSE);
    EXPECT_EQ(g->GetApplication(app.put()), S_OK);
    EXPECT_EQ(app, nullptr);
    EXPECT_EQ(g->RaiseEvent(CComBSTR(u"late"), nullptr), S_OK);
    EXPECT_EQ(g->Destroy(), S_OK);
}

// The configuration file of the host's directory sets the packet delay, the start page and the
// default packets' settings; what it lacks keeps its default, and a broken file is reported
// through the host's log with what came before the break kept.
TEST(HostForwardingTest, SetApplicationLoadsTheConfigurationOfTheHostsDirectory) {
    const struct {
        const char* what;
        const char* xml;  // null: no file; "": no directory either
        LONG delay;
        const char16_t* start_page;
        ULONG logical_fade;
        bool broken;
    } cases[] = {
        {"no directory", "", 50, u"", 2000, false},
        {"no file", nullptr, 50, u"", 2000, false},
        {"settings",
         R"(<OB><PROP Name="PacketDelay" Value="20" Type="Integer"/>
              <PROP Name="StartPage" Value="main.htm"/>
              <PROP Name="DefaultLogicalFade" Value="3000" Type="UInteger"/></OB>)",
         20, u"main.htm", 3000, false},
        {"text converted", R"(<OB><PROP Name="PacketDelay" Value="120" Type="integer"/></OB>)", 120,
         u"", 2000, false},
        {"not a number", R"(<OB><PROP Name="PacketDelay" Value="soon"/></OB>)", 50, u"", 2000,
         false},
        {"broken", "<OB>\n<PROP Name=\"PacketDelay\" Value=\"20\" Type=\"Integer\"/>\n<PROP", 20,
         u"", 2000, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DataDirectory dir;
        if (c.xml && *c.xml) dir.Put("Config.xml", c.xml);
        const std::u16string path = c.xml && !*c.xml ? u"" : dir.Path() + u"/";
        auto g = New<CGlobal>();
        auto host = New<TestHost>();
        if (!path.empty()) host->config_file = SysAllocString(path.c_str());
        ASSERT_EQ(Attach(g.get(), host.get()), S_OK);
        EXPECT_EQ(host->Has("Log(" + (dir / "Config.xml").string() + " FatalError: "), c.broken);
        EXPECT_EQ(g->ConfigPath(), path);
        LONG delay = 0;
        EXPECT_EQ(g->get_PacketDelay(&delay), S_OK);
        EXPECT_EQ(delay, c.delay);
        EXPECT_EQ(g->StartPage(), c.start_page);
        EXPECT_EQ(g->DefaultPacketSettings().logical_fade, c.logical_fade);
        EXPECT_EQ(g->DefaultPacketSettings().physical_fade, 2000u);
        // Scripts see the same settings.
        CComVariant config, start_page;
        ASSERT_EQ(
            CallName(static_cast<IGlobal*>(g.get()), u"Config", DISPATCH_PROPERTYGET, {}, &config),
            S_OK);
        CallName(config.pdispVal, u"StartPage", DISPATCH_PROPERTYGET, {}, &start_page);
        EXPECT_EQ(Utf16ToUtf8(start_page.vt == VT_BSTR ? start_page.bstrVal : u""),
                  Utf16ToUtf8(c.start_page));
    }
}

}  // namespace
