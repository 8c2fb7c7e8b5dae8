// The members of Global that the host implements: what they answer without a host, what they
// pass on and give back with one, and how the host is set and replaced.
#include <gtest/gtest.h>

#include "global/global.h"
#include "global/test_host.h"
#include "support/late_bound.h"

namespace {

template <class T>
ComPtr<T> New() {
    ComPtr<T> p;
    EXPECT_EQ(MakeComObject(&p), S_OK);
    return p;
}

HRESULT Attach(CGlobal* g, TestHost* host) {
    return g->SetApplication(static_cast<IHxApplication*>(host));
}

TEST(HostForwardingTest, WithoutAHostActionsSucceedAndQueriesReportNothing) {
    auto g = New<CGlobal>();
    CComBSTR text(u"x");
    LONG number = -5;
    EXPECT_EQ(g->Log(text), S_OK);
    EXPECT_EQ(g->LoadScript(text, text, &number), S_OK);
    EXPECT_EQ(number, -5);
    EXPECT_EQ(g->RemoveScript(text), S_OK);
    EXPECT_EQ(g->Persist(text, nullptr), S_OK);
    ComPtr<IDispatch> object;
    EXPECT_EQ(g->UnPersist(text, object.put()), S_OK);
    EXPECT_EQ(g->Calibrate(), S_OK);
    EXPECT_EQ(g->Restart(), S_OK);
    EXPECT_EQ(g->GoToPage(text), S_OK);
    EXPECT_EQ(g->Close(), S_OK);

    EXPECT_EQ(g->get_Version(object.put()), S_FALSE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(g->get_DHCP(&number), S_FALSE);
    EXPECT_EQ(g->put_DHCP(1), S_FALSE);
    BSTR address = nullptr;
    EXPECT_EQ(g->get_IPAddress(&address), S_FALSE);
    EXPECT_EQ(address, nullptr);
    EXPECT_EQ(g->put_DNS2(text), S_FALSE);
    EXPECT_EQ(g->SetLocalTime(nullptr), S_FALSE);
    EXPECT_EQ(g->get_document(object.put()), S_FALSE);
    EXPECT_EQ(g->get_window(object.put()), S_FALSE);

    ComPtr<IUnknown> app;
    EXPECT_EQ(g->GetApplication(nullptr), E_POINTER);
    EXPECT_EQ(g->GetApplication(app.put()), S_OK);
    EXPECT_EQ(app, nullptr);
    EXPECT_EQ(g->GetHostScript(u" hidden script"), nullptr);
    EXPECT_EQ(g->Start(), S_OK);
}

TEST(HostForwardingTest, WithAHostResultsComeBackExceptForLogAndScripts) {
    auto g = New<CGlobal>();
    auto host = New<TestHost>();
    host->object = New<AgileCallback>().get();
    ASSERT_EQ(Attach(g.get(), host.get()), S_OK);
    host->result = E_FAIL;

    CComBSTR text(u"page1");
    LONG number = 0;
    EXPECT_EQ(g->Log(text), S_OK);
    EXPECT_EQ(g->LoadScript(text, text, &number), S_OK);
    EXPECT_EQ(number, 42);
    EXPECT_EQ(g->RemoveScript(text), S_OK);
    CComVariant null_value;  // a script's null reaches the host as no object
    null_value.vt = VT_NULL;
    EXPECT_EQ(CallName(static_cast<IGlobal*>(g.get()), u"Persist", DISPATCH_METHOD,
                       {CComVariant(text), null_value}),
              E_FAIL);
    EXPECT_EQ(g->Calibrate(), E_FAIL);
    EXPECT_EQ(g->Restart(), E_FAIL);
    EXPECT_EQ(g->GoToPage(text), E_FAIL);
    EXPECT_EQ(g->Close(), E_FAIL);
    EXPECT_EQ(g->put_Gateway(text), E_FAIL);
    EXPECT_EQ(g->SetLocalTime(nullptr), E_FAIL);

    host->result = S_OK;
    ComPtr<IDispatch> object;
    EXPECT_EQ(g->get_Version(object.put()), S_OK);
    EXPECT_EQ(object.get(), host->object.get());
    EXPECT_EQ(g->get_DHCP(&number), S_OK);
    EXPECT_EQ(number, 1);
    CComBSTR subnet;
    EXPECT_EQ(g->get_Subnet(&subnet), S_OK);
    EXPECT_EQ(subnet.view(), u"10.0.0.1");
    EXPECT_EQ(g->UnPersist(text, object.put()), S_OK);
    EXPECT_EQ(object.get(), host->object.get());
    EXPECT_EQ(g->GetHostScript(u" hidden script").get(), host->object.get());
    EXPECT_EQ(g->Start(), S_OK);

    std::vector<std::string> expected{"GetConfigFile()",
                                      "Log(page1)",
                                      "LoadScript(page1,page1)",
                                      "RemoveScript(page1)",
                                      "Persist(page1)",
                                      "Calibrate(-1)",
                                      "Restart()",
                                      "GoToPage(page1)",
                                      "Close()",
                                      "put_Gateway(page1)",
                                      "SetLocalTime()",
                                      "Version()",
                                      "get_DHCP()",
                                      "get_Subnet()",
                                      "UnPersist(page1)",
                                      "GetScript( hidden script)",
                                      "Calibrate(0)"};
    EXPECT_EQ(host->Calls(), expected);

    ComPtr<IUnknown> app;
    ASSERT_EQ(g->GetApplication(app.put()), S_OK);
    ComPtr<IUnknown> host_identity;
    host->QueryInterface(IID_IUnknown, host_identity.put_void());
    EXPECT_EQ(app.get(), host_identity.get());
}

TEST(HostForwardingTest, OnlyAHostReplacesTheHost) {
    auto g = New<CGlobal>();
    auto first = New<TestHost>();
    auto second = New<TestHost>();
    ASSERT_EQ(Attach(g.get(), first.get()), S_OK);

    auto not_a_host = New<AgileCallback>();
    EXPECT_EQ(g->SetApplication(static_cast<IDispatch*>(not_a_host.get())), E_NOINTERFACE);
    EXPECT_EQ(g->SetApplication(nullptr), E_NOINTERFACE);
    CComBSTR text(u"still here");
    g->Log(text);
    EXPECT_TRUE(first->Has("Log(still here)"));

    ASSERT_EQ(Attach(g.get(), second.get()), S_OK);
    CComBSTR other(u"moved");
    g->Log(other);
    EXPECT_TRUE(second->Has("Log(moved)"));
    EXPECT_FALSE(first->Has("Log(moved)"));
}

TEST(HostForwardingTest, TheConfigurationPathComesFromTheHost) {
    auto g = New<CGlobal>();
    auto host = New<TestHost>();
    ASSERT_EQ(Attach(g.get(), host.get()), S_OK);  // no configuration file: accepted
    EXPECT_TRUE(g->ConfigPath().empty());
    EXPECT_TRUE(host->Has("GetConfigFile()"));

    host->config_file = SysAllocString(u"/etc/panel/");
    ASSERT_EQ(Attach(g.get(), host.get()), S_OK);
    EXPECT_EQ(g->ConfigPath(), u"/etc/panel/");
    LONG delay = 0;
    EXPECT_EQ(g->get_PacketDelay(&delay), S_OK);
    EXPECT_EQ(delay, CGlobal::kDefaultPacketDelay);
}

}  // namespace
