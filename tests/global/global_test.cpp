// The Global root object: its life as the current Global, its dispatch, events and context, and
// the scheduler inside it: firing as "ScheduledEvent", and network requests (its loading is part of
// the configuration test of host_forwarding_test.cpp).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "dispatch/data_context.h"
#include "global/test_host.h"
#include "network/packet_base.h"
#include "platform/clock.h"
#include "support/dispatch_results.h"
#include "support/global_events.h"
#include "support/network_doubles.h"
#include "support/scheduler_support.h"
#include "support/scoped_time_zone.h"
#include "support/show.h"
#include "support/variants.h"

namespace {

TEST(GlobalTest, AFreshGlobalIsCurrentWithItsPoolAndPacketDelayAndItsDefaultPacketMembers) {
    {
        auto g = New<CGlobal>();
        IDispatch* d = AsGlobal(g.get());
        EXPECT_EQ(Got(d, IdOf(d, u"boxnumber")), "I4 1");
        EXPECT_EQ(CallName(d, u"BoxNumber", DISPATCH_PROPERTYPUT, {I4(7)}), S_OK);
        EXPECT_EQ(Got(d, IdOf(d, u"BoxNumber")), "I4 7");
        EXPECT_EQ(g->get_BoxNumber(nullptr), E_POINTER);
        EXPECT_EQ(g->get_PacketDelay(nullptr), E_POINTER);

        EXPECT_EQ(PacketBase().Delay, 50u);
        ASSERT_EQ(g->put_PacketDelay(75), S_OK);
        EXPECT_EQ(PacketBase().Delay, 75u);

        EXPECT_EQ(IdOf(d, u"sendpreset"), 0x7d0);
        EXPECT_EQ(IdOf(d, u"RequestPhysicalLevel"), 0x7d5);
        EXPECT_EQ(IdOf(d, u"MatchLogicalAreaJoin"), 0xa);

        // Read as a property, a default-packets member is a function that calls it later.
        CComVariant function;
        ASSERT_EQ(Call(d, 0x7d0, DISPATCH_PROPERTYGET, {}, &function), S_OK);
        ASSERT_EQ(function.vt, VT_DISPATCH);
        // Both calls send preset 2 of area 1 through the network handler's outgoing filters.
        ref<PacketRecorder> sent(new PacketRecorder);
        sent->consume = ConsumeAll;
        g->NetworkHandler().OutFilters().AppendFilter(sent);
        std::vector<CComVariant> args{I4(1), I4(255), I4(2)};
        EXPECT_EQ(Call(d, 0x7d0, DISPATCH_METHOD, args), S_OK);
        EXPECT_EQ(Call(function.pdispVal, DISPID_VALUE, DISPATCH_METHOD, args), S_OK);
        const auto frames = sent->All();
        ASSERT_EQ(frames.size(), 2u);
        EXPECT_EQ(Hex(frames[0].bytes) + ", " + Hex(frames[1].bytes),
                  "1C 01 64 01 00 00 FF 7F, 1C 01 64 01 00 00 FF 7F");

        EXPECT_EQ(Call(d, 2007, DISPATCH_PROPERTYGET, {}, nullptr), S_OK);  // nowhere to put it
        CComVariant none;
        EXPECT_EQ(Call(d, 2011, DISPATCH_PROPERTYGET, {}, &none), DISP_E_MEMBERNOTFOUND);
        EXPECT_EQ(Call(d, 0x1234, DISPATCH_METHOD, {}, &none), DISP_E_MEMBERNOTFOUND);
    }
    EXPECT_FALSE(CurrentGlobal::Get());
    EXPECT_EQ(PacketBase().Delay, 30u);  // no Global: the packets' own default
}

// The second Global's bus reaches handlers through its pool after the first one is gone.
TEST(GlobalTest, ASecondGlobalTakesOverAndItsRegistrationsTakeOnlyObjectsAsParameters) {
    auto first = New<CGlobal>();
    auto g = New<CGlobal>();
    EXPECT_FALSE(first->WaitUntilPoolIdle());  // stopped when the second one took over
    first = nullptr;                           // not current: leaves the current Global alone
    auto filtered = New<ScriptFunction>(), number_params = New<ScriptFunction>();
    ULONG id1 = 0, id2 = 0;
    CComBSTR name(u"Preset");
    auto area5 = ScriptObject({{u"Area", I4(5)}});
    ASSERT_EQ(g->RegisterForEvent(name, AsVariant(area5.get()), filtered.get(), &id1), S_OK);
    ASSERT_EQ(g->RegisterForEvent(name, I4(7), number_params.get(), &id2), S_OK);
    EXPECT_EQ(g->RegisterForEvent(name, CComVariant(), filtered.get(), nullptr), E_POINTER);
    ASSERT_EQ(g->Start(), S_OK);
    DrainEvents(g.get());

    auto area6 = ScriptObject({{u"Area", I4(6)}});
    EXPECT_EQ(g->RaiseEvent(name, area6.get()), S_OK);
    auto area5_again = ScriptObject({{u"Area", CComVariant(u"5")}});
    EXPECT_EQ(g->RaiseEvent(name, area5_again.get()), S_OK);
    DrainEvents(g.get());
    EXPECT_EQ(filtered->Calls(), 1);
    EXPECT_EQ(number_params->Calls(), 2);  // a number is no filter

    EXPECT_EQ(g->UnRegisterForEvent(id2), S_OK);
    // Raised by a script with null parameters.
    EXPECT_EQ(
        CallName(AsGlobal(g.get()), u"RaiseEvent", DISPATCH_METHOD, {CComVariant(name), Null()}),
        S_OK);
    DrainEvents(g.get());
    EXPECT_EQ(number_params->Calls(), 2);
    EXPECT_EQ(filtered->Calls(), 2);  // no parameters: every handler of the name
}

TEST(GlobalTest, ReadOnlyContextWrapsByTheGlobalsRuleAndOwnsRegistrationsAndLoadedScripts) {
    auto g = New<CGlobal>();
    auto host = New<TestHost>();
    host->object = ComPtr<IDispatch>(ScriptObject({}).get());
    ASSERT_EQ(g->SetApplication(static_cast<IHxApplication*>(host.get())), S_OK);
    ASSERT_EQ(g->Start(), S_OK);

    const ComPtr<IDispatch> context_object = ObjectProperty(AsGlobal(g.get()), u"ReadOnly");
    IDispatch* context = context_object.get();
    ASSERT_TRUE(context);
    ComPtr<IDataContext> data_context;
    ASSERT_EQ(context->QueryInterface(data_context.put()), S_OK);
    auto* dependants = static_cast<CDataContext*>(data_context.get());

    // Only identity-bearing results stay unwrapped: document comes back as the object itself,
    // Version wrapped.
    EXPECT_TRUE(SameObject(ObjectProperty(context, u"document").get(), host->object.get()));
    const ComPtr<IDispatch> version = ObjectProperty(context, u"Version");
    EXPECT_TRUE(version && !SameObject(version.get(), host->object.get()));
    for (DISPID unwrapped : {0x1, 0x14, 0x21, 0x22, 0x23})
        EXPECT_EQ(g->WrapResult(unwrapped), E_FAIL) << unwrapped;
    for (DISPID wrapped : {0x2, 0x3, 0xa, 0x15, 0x19, 0x26})
        EXPECT_EQ(g->WrapResult(wrapped), S_OK) << wrapped;

    // An event registration through the context lives until the context's dependants go.
    auto handler = New<ScriptFunction>();
    CComVariant id;
    const std::vector<CComVariant> args{Str(u"Door"), Null(), AsVariant(handler->GetUnknown())};
    ASSERT_EQ(CallName(context, u"RegisterForEvent", DISPATCH_METHOD, args, &id), S_OK);
    ASSERT_EQ(id.vt, VT_UI4);
    EXPECT_GE(id.ulVal, 1u);
    DrainEvents(g.get());
    // Calls other than the two registrations pass the context unchanged: the raise keeps its name.
    ASSERT_EQ(CallName(context, u"RaiseEvent", DISPATCH_METHOD, {Str(u"door"), Null()}), S_OK);
    DrainEvents(g.get());
    EXPECT_EQ(handler->Calls(), 1);

    // So does a script loaded through it; the result is what the host wrote.
    CComVariant loaded;
    const std::vector<CComVariant> menu{Str(u"menu"), Str(u"menu.js")};
    EXPECT_EQ(Answer(CallName(context, u"LoadScript", DISPATCH_METHOD, menu, &loaded), loaded),
              "I4 42");
    EXPECT_TRUE(host->WaitFor("LoadScript(menu,menu.js)"));

    ASSERT_EQ(data_context->DestroyDependantObjects(), S_OK);
    EXPECT_TRUE(host->WaitFor("RemoveScript(menu)"));
    g->RaiseEvent(CComBSTR(u"door"), nullptr);
    DrainEvents(g.get());
    EXPECT_EQ(handler->Calls(), 1);
    dependants->Destroy();  // the context holds the Global

    // The placeholder members refuse what is not a placeholder.
    ULONG placeholder = 0;
    LONG loaded_id = 0;
    IDispatch* foreign = handler.get();
    for (IUnknown* p : {static_cast<IUnknown*>(nullptr), static_cast<IUnknown*>(foreign)})
        EXPECT_EQ(g->_RegisterPlaceholderForEvent(p, CComVariant(), foreign, &placeholder),
                  E_INVALIDARG);
    EXPECT_EQ(g->_LoadScriptPlaceHolder(foreign, CComBSTR(u"x.js"), &loaded_id), E_INVALIDARG);
}

TEST(GlobalTest, HandlersReachSingleThreadedCallbacksOnTheirThread) {
    std::thread script_thread([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        const unsigned long sta = brevanto::CurrentThreadId();
        {
            auto g = New<CGlobal>();
            auto host = New<TestHost>();
            ASSERT_EQ(g->SetApplication(static_cast<IHxApplication*>(host.get())), S_OK);
            auto on_sta = New<ApartmentScriptFunction>();
            auto on_pool = New<ScriptFunction>();
            // A handler on a pool thread logs through the Global: the host is reached on its own
            // thread.
            IGlobal* global = g.get();
            on_pool->on_call = [global](IDispatch*) { global->Log(CComBSTR(u"from a handler")); };
            CComBSTR name(u"Tick");
            ULONG id = 0;
            ASSERT_EQ(g->RegisterForEvent(name, CComVariant(), on_sta.get(), &id), S_OK);
            ASSERT_EQ(g->RegisterForEvent(name, CComVariant(), on_pool.get(), &id), S_OK);
            ASSERT_EQ(g->Start(), S_OK);
            auto params = ScriptObject({{u"n", I4(1)}});
            // The registrations take effect on the event thread: raise until they are seen, and
            // keep this apartment's queue running meanwhile.
            for (int i = 0; i < 500 && (on_sta->Calls() == 0 || !host->Has("Log")); ++i) {
                if (on_sta->Calls() == 0 && on_pool->Calls() == 0)
                    g->RaiseEvent(name, params.get());
                CoPumpMessages(10);
            }
            ASSERT_GE(on_sta->Calls(), 1);
            ASSERT_TRUE(host->Has("Log(from a handler)"));
            EXPECT_EQ(on_sta->Last().thread, sta);
            EXPECT_NE(on_pool->Last().thread, sta);
            EXPECT_EQ(host->last_thread, sta);
            EXPECT_TRUE(SameObject(on_sta->Last().Object(), params.get()));
        }
        CoUninitialize();
    });
    script_thread.join();
}

using namespace std::chrono;

// Local time is UTC and the clock is a test clock, at 09:59:56 on Tuesday 10 March 2026.
class GlobalSchedulerTest : public testing::Test {
  protected:
    void SetUp() override {
        TestClock::Install(1000,
                           sys_days{year{2026} / 3 / 10} + hours(9) + minutes(59) + seconds(56));
    }
    void TearDown() override { TestClock::Uninstall(); }

  private:
    ScopedTimeZone zone_{"UTC"};
};

TEST_F(GlobalSchedulerTest, ADueOrRequestedScheduleRaisesScheduledEventWithItself) {
    auto g = New<CGlobal>();
    ComPtr<IDispatch> scheduler = ObjectProperty(AsGlobal(g.get()), u"Scheduler");
    ASSERT_TRUE(scheduler);
    // One object until Destroy.
    EXPECT_TRUE(SameObject(scheduler.get(), ObjectProperty(AsGlobal(g.get()), u"Scheduler").get()));
    EXPECT_EQ(g->get_Scheduler(nullptr), E_POINTER);
    auto host = New<TestHost>();
    ASSERT_EQ(g->SetApplication(static_cast<IHxApplication*>(host.get())), S_OK);
    ASSERT_EQ(g->Start(), S_OK);
    const auto handler = HandlersFor(g.get(), {u"ScheduledEvent"})[0];
    DrainEvents(g.get());
    // Every day at 10:00, enabled, with event number 4.
    ComPtr<CSchedule> made = New<CSchedule>();
    ComPtr<IDispatch> schedule(static_cast<ISchedule*>(made.get()));
    for (auto [member, value] : {std::pair{u"Name", CComVariant(u"Porch")},
                                 {u"DayOfWeek", CComVariant(u"all")},
                                 {u"DayOfMonth", CComVariant(u"all")},
                                 {u"MonthOfYear", CComVariant(u"all")},
                                 {u"Hours", I4(10)},
                                 {u"Minutes", I4(0)},
                                 {u"EventNumber", I4(4)},
                                 {u"Enable", CComVariant(true)}})
        ASSERT_EQ(CallName(schedule.get(), member, DISPATCH_PROPERTYPUT, {value}), S_OK);
    ASSERT_EQ(CallName(ObjectProperty(scheduler.get(), u"Schedules").get(), u"Add", DISPATCH_METHOD,
                       {CComVariant(schedule.get())}),
              S_OK);
    ASSERT_EQ(CallName(schedule.get(), u"Colour", DISPATCH_PROPERTYPUT, {CComVariant(u"amber")}),
              S_OK);
    EXPECT_TRUE(host->Has("Log(Schedule Porch must wait 5 seconds to run\r\n)"));
    TestClock::Advance(5000);  // 10:00:01
    ASSERT_TRUE(handler->WaitFor(1));
    EXPECT_TRUE(SameObject(handler->Last().Object(), schedule.get()));
    EXPECT_EQ(PropertyText(handler->Last().Object(), u"Colour"), u"amber");
    // The next run is tomorrow.
    EXPECT_TRUE(host->WaitFor("Log(Schedule Porch must wait 86400 seconds to run\r\n)"));

    // The network's scheduled-event requests, by event number.
    NetworkServices* network = g.get();
    EXPECT_EQ(network->TriggerSchedules(3), 0u);
    EXPECT_EQ(network->EnableSchedules(4, false), 1u);
    EXPECT_EQ(network->TriggerSchedules(4), 1u);  // disabled, it still fires when asked
    ASSERT_TRUE(handler->WaitFor(2));
    EXPECT_EQ(PropertyText(schedule.get(), u"Enable"), u"False");
    g->Destroy();  // the scheduler goes with it
    IScheduler* after = nullptr;
    EXPECT_EQ(g->get_Scheduler(&after), S_OK);
    EXPECT_EQ(after, nullptr);
}

}  // namespace
