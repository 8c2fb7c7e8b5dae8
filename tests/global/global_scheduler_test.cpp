// The scheduler inside the Global: firing as "ScheduledEvent", and network requests (its loading
// is part of the configuration test of host_forwarding_test.cpp).
#include <gtest/gtest.h>

#include <chrono>

#include "global/test_host.h"
#include "platform/clock.h"
#include "support/global_events.h"
#include "support/scheduler_support.h"
#include "support/scoped_time_zone.h"
#include "support/variants.h"

namespace {

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
