// The members of Global that the host implements, with and without a host.
#include <gtest/gtest.h>

#include "global/test_host.h"
#include "support/data_directory.h"
#include "support/dispatch_results.h"
#include "support/engine_objects.h"
#include "support/scheduler_support.h"
#include "support/variants.h"

namespace {

HRESULT Attach(CGlobal* g, TestHost* host) {
    return g->SetApplication(static_cast<IHxApplication*>(host));
}

const CComBSTR kText(u"page1");

// What a member hands out: each part stays as it is unless the member writes it.
struct Out {
    LONG number = -5;
    CComBSTR text;
    ComPtr<IDispatch> object;

    // What was written, as one value: EMPTY when nothing was.
    std::string Shown() const {
        if (object) return "DISPATCH";
        if (text) return ShowVariant(CComVariant(static_cast<BSTR>(text)));
        return number == -5 ? "EMPTY" : ShowVariant(CComVariant(number));
    }
};

// One forwarded member: the call the host records, the results without a host and with a host
// that fails (Log and the script members never pass the host's result on), and what it hands out
// from a working host (EMPTY, the default: nothing; DISPATCH: the host's own object, unwrapped).
struct Forward {
    const char* call;
    HRESULT (*invoke)(CGlobal*, Out&);
    HRESULT without_host;
    HRESULT with_failing_host;
    const char* got = "EMPTY";
};

TEST(HostForwardingTest, EachMemberForwardsByTheRulesOfItsRow) {
    const Forward forwards[] = {
        {"Log(page1)", [](CGlobal* g, Out&) { return g->Log(kText); }, S_OK, S_OK},
        {"LoadScript(page1,page1)",
         [](CGlobal* g, Out& o) { return g->LoadScript(kText, kText, &o.number); }, S_OK, S_OK,
         "I4 42"},
        {"RemoveScript(page1)", [](CGlobal* g, Out&) { return g->RemoveScript(kText); }, S_OK,
         S_OK},
        // A script's null reaches the host as no object.
        {"Persist(page1)",
         [](CGlobal* g, Out&) {
             return CallName(static_cast<IGlobal*>(g), u"Persist", DISPATCH_METHOD,
                             {CComVariant(kText), Null()});
         },
         S_OK, E_FAIL},
        {"UnPersist(page1)", [](CGlobal* g, Out& o) { return g->UnPersist(kText, o.object.put()); },
         S_OK, E_FAIL, "DISPATCH"},
        {"Calibrate(-1)", [](CGlobal* g, Out&) { return g->Calibrate(); }, S_OK, E_FAIL},
        {"Restart()", [](CGlobal* g, Out&) { return g->Restart(); }, S_OK, E_FAIL},
        {"GoToPage(page1)", [](CGlobal* g, Out&) { return g->GoToPage(kText); }, S_OK, E_FAIL},
        {"Version()", [](CGlobal* g, Out& o) { return g->get_Version(o.object.put()); }, S_FALSE,
         E_FAIL, "DISPATCH"},
        {"put_DHCP(1)", [](CGlobal* g, Out&) { return g->put_DHCP(1); }, S_FALSE, E_FAIL},
        {"get_DHCP()", [](CGlobal* g, Out& o) { return g->get_DHCP(&o.number); }, S_FALSE, E_FAIL,
         "I4 1"},
        {"put_IPAddress(page1)", [](CGlobal* g, Out&) { return g->put_IPAddress(kText); }, S_FALSE,
         E_FAIL},
        {"get_IPAddress()", [](CGlobal* g, Out& o) { return g->get_IPAddress(&o.text); }, S_FALSE,
         E_FAIL, "BSTR 10.0.0.1"},
        {"put_Subnet(page1)", [](CGlobal* g, Out&) { return g->put_Subnet(kText); }, S_FALSE,
         E_FAIL},
        {"get_Subnet()", [](CGlobal* g, Out& o) { return g->get_Subnet(&o.text); }, S_FALSE, E_FAIL,
         "BSTR 10.0.0.1"},
        {"put_Gateway(page1)", [](CGlobal* g, Out&) { return g->put_Gateway(kText); }, S_FALSE,
         E_FAIL},
        {"get_Gateway()", [](CGlobal* g, Out& o) { return g->get_Gateway(&o.text); }, S_FALSE,
         E_FAIL, "BSTR 10.0.0.1"},
        {"put_DNS1(page1)", [](CGlobal* g, Out&) { return g->put_DNS1(kText); }, S_FALSE, E_FAIL},
        {"get_DNS1()", [](CGlobal* g, Out& o) { return g->get_DNS1(&o.text); }, S_FALSE, E_FAIL,
         "BSTR 10.0.0.1"},
        {"put_DNS2(page1)", [](CGlobal* g, Out&) { return g->put_DNS2(kText); }, S_FALSE, E_FAIL},
        {"get_DNS2()", [](CGlobal* g, Out& o) { return g->get_DNS2(&o.text); }, S_FALSE, E_FAIL,
         "BSTR 10.0.0.1"},
        {"SetLocalTime()", [](CGlobal* g, Out&) { return g->SetLocalTime(nullptr); }, S_FALSE,
         E_FAIL},
        {"document()", [](CGlobal* g, Out& o) { return g->get_document(o.object.put()); }, S_FALSE,
         E_FAIL, "DISPATCH"},
        {"window()", [](CGlobal* g, Out& o) { return g->get_window(o.object.put()); }, S_FALSE,
         E_FAIL, "DISPATCH"},
        {"Close()", [](CGlobal* g, Out&) { return g->Close(); }, S_OK, E_FAIL},
    };
    auto alone = New<CGlobal>();
    auto g = New<CGlobal>();
    auto host = New<TestHost>();
    host->object = New<ScriptFunction>().get();
    ASSERT_EQ(Attach(g.get(), host.get()), S_OK);
    for (const Forward& f : forwards) {
        SCOPED_TRACE(f.call);
        Out none, refused, given;
        EXPECT_EQ(f.invoke(alone.get(), none), f.without_host);
        EXPECT_EQ(none.Shown(), "EMPTY");  // nothing handed out without a host
        host->result = E_FAIL;
        EXPECT_EQ(f.invoke(g.get(), refused), f.with_failing_host);
        EXPECT_EQ(host->Calls().back(), f.call);
        host->result = S_OK;
        EXPECT_EQ(f.invoke(g.get(), given), S_OK);
        EXPECT_EQ(given.Shown(), f.got);
        if (given.object) {
            EXPECT_EQ(given.object.get(), host->object.get());
        }
    }
    // The host's hidden scripts come from the host as well.
    EXPECT_EQ(alone->GetHostScript(u" hidden script"), nullptr);
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
    EXPECT_EQ(app.get(), host->GetUnknown());
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

    // Destroy shuts down and forgets the host; later events cost nothing; twice is harmless.
    ASSERT_EQ(g->Destroy(), S_OK);
    EXPECT_FALSE(CurrentGlobal::Get());
    EXPECT_FALSE(g->WaitUntilPoolIdle());
    EXPECT_EQ(g->GetApplication(app.put()), S_OK);
    EXPECT_EQ(app, nullptr);
    EXPECT_EQ(g->RaiseEvent(CComBSTR(u"late"), nullptr), S_OK);
    EXPECT_EQ(g->Destroy(), S_OK);
}

// The configuration file of the host's directory sets the packet delay, the start page, the
// default packets' settings and the locale the stored schedules need; what it lacks keeps its
// default, and a broken file is reported through the host's log with what came before the break
// kept.
TEST(HostForwardingTest, SetApplicationLoadsTheConfigurationOfTheHostsDirectory) {
    const struct {
        const char* what;
        const char* xml;  // null: no file; "": no directory either
        // The packet delay as scripts read it; the start page, natively and as scripts read it;
        // the default logical and physical fades; the schedules loaded, and whether the host was
        // told that they could not be; whether the host was told of a broken file.
        const char* settings;
    } cases[] = {
        {"no directory", "", "I4 50, , , 2000, 2000, 0"},
        {"no file", nullptr, "I4 50, , , 2000, 2000, 0 not loaded"},
        {"settings",
         R"(<OB><PROP Name="PacketDelay" Value="20" Type="Integer"/>
              <PROP Name="StartPage" Value="main.htm"/><PROP Name="locale" Value="Sydney"/>
              <PROP Name="DefaultLogicalFade" Value="3000" Type="UInteger"/></OB>)",
         "I4 20, main.htm, main.htm, 3000, 2000, 1"},
        {"text converted, unknown locale",
         R"(<OB><PROP Name="PacketDelay" Value="120" Type="integer"/>
              <PROP Name="locale" Value="Atlantis"/></OB>)",
         "I4 120, , , 2000, 2000, 0 not loaded"},
        {"not a number", R"(<OB><PROP Name="PacketDelay" Value="soon"/></OB>)",
         "I4 50, , , 2000, 2000, 0 not loaded"},
        {"broken", "<OB>\n<PROP Name=\"PacketDelay\" Value=\"20\" Type=\"Integer\"/>\n<PROP",
         "I4 20, , , 2000, 2000, 0 not loaded, broken"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DataDirectory dir;
        if (c.xml && *c.xml) dir.Put("Config.xml", c.xml);
        dir.Put("Sydney.xml", R"(<OB><PROP Name="city" Value="Sydney"/>
                                    <PROP Name="timezone" Value="Australia/Sydney"/></OB>)");
        dir.Put("Schedules.xml", R"(<root_object Type="Array"><length Type="Integer">1</length>
            <item Index="0" Type="brevanto.schedule"><Name>Stored</Name></item></root_object>)");
        const std::u16string path = c.xml && !*c.xml ? u"" : dir.Path() + u"/";
        auto g = New<CGlobal>();
        auto host = New<TestHost>();
        host->object = ComPtr<IDispatch>(New<HiddenScript>().get());  // " hidden script"
        if (!path.empty()) host->config_file = SysAllocString(path.c_str());
        ASSERT_EQ(Attach(g.get(), host.get()), S_OK);
        EXPECT_EQ(g->ConfigPath(), path);
        IDispatch* d = AsGlobal(g.get());
        const PacketDefaults packets = g->DefaultPacketSettings();
        LONG schedules = -1;
        ASSERT_EQ(g->Scheduler().Schedules().get_Count(&schedules), S_OK);
        const bool not_loaded =
            host->Has("Log(Schedules not loaded. Missing or invalid locale file.)");
        const bool broken = host->Has("Log(" + (dir / "Config.xml").string() + " FatalError: ");
        EXPECT_EQ(Got(d, IdOf(d, u"PacketDelay")) + ", " + Utf16ToUtf8(g->StartPage()) + ", " +
                      Utf16ToUtf8(PropertyText(ObjectProperty(d, u"Config").get(), u"StartPage")) +
                      ", " + std::to_string(packets.logical_fade) + ", " +
                      std::to_string(packets.physical_fade) + ", " + std::to_string(schedules) +
                      (not_loaded ? " not loaded" : "") + (broken ? ", broken" : ""),
                  c.settings);
    }
}

}  // namespace
