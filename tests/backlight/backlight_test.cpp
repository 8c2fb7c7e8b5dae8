// The backlight controller in a running Global on the test clock.
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "support/global_events.h"
#include "support/network_doubles.h"
#include "support/script_doubles.h"
#include "support/show.h"
#include "support/variants.h"

namespace {

class BacklightTest : public GlobalOnTestClock {
  protected:
    BacklightTest() : packets_(new PacketRecorder) {
        events_ = HandlersFor(global_.get(), {u"BacklightOn", u"BacklightOff"});
        global_->NetworkHandler().InFilters().AppendFilter(packets_);
        global_->Start();  // the backlight comes on and its dimming countdown starts
    }

    CBacklightController& backlight() { return global_->Backlight(); }
    BacklightController& controller() { return backlight().Controller(); }
    // State, Level and Delay as a script reads them, then how many BacklightOn and BacklightOff
    // events came once every event raised so far is delivered: "-1 255 3600000 on 1 off 0".
    std::string Seen() {
        VARIANT_BOOL state = 0;
        BYTE level = 0;
        LONG delay = 0;
        backlight().get_State(&state);
        backlight().get_Level(&level);
        backlight().get_Delay(&delay);
        DrainEvents(global_.get());
        return std::to_string(state) + " " + std::to_string(level) + " " + std::to_string(delay) +
               " on " + std::to_string(events_[0]->Calls()) + " off " +
               std::to_string(events_[1]->Calls());
    }

    ref<PacketRecorder> packets_;  // what the incoming filters see
};

TEST_F(BacklightTest, LevelsAreSentAsPacketsForThePanelItselfNotForAPort) {
    // The outgoing filters see the packet addressed to the panel itself (no port), then the
    // incoming ones its copy.
    ref<PacketRecorder> outgoing(new PacketRecorder("out", packets_->journal));
    global_->NetworkHandler().OutFilters().AppendFilter(outgoing);
    for (BYTE level : {0, 2, 128, 255}) {
        packets_->journal->Clear();
        ASSERT_EQ(backlight().put_Level(level), S_OK);
        const auto seen = packets_->journal->WaitFor(2);
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0].who + " " + std::to_string(seen[0].destination_ports), "out 2");
        EXPECT_EQ(seen[1].who, "");
        const BYTE inverted = 255 - level;
        EXPECT_EQ(seen[1].bytes, Frame({0x1C, 0x01, 0x03, 0x48, inverted, 0x00, 0xFF}))
            << int{level};
    }
}

TEST_F(BacklightTest, PropertiesFollowTheirRules) {
    // Each step from a dimmed screen (State 0, Level 2, StandbyLevel 2).
    const struct {
        std::function<void(CBacklightController&)> step;
        const char* seen;
    } cases[] = {
        {[](auto& b) { b.put_Level(2); }, "0 2 3600000 on 0 off 0"},  // at standby
        {[](auto& b) { b.put_Level(3); }, "-1 3 3600000 on 1 off 0"},
        {[](auto& b) { b.put_State(VARIANT_TRUE); }, "-1 255 3600000 on 1 off 0"},
        {[](auto& b) { b.put_State(VARIANT_FALSE); }, "0 2 3600000 on 0 off 1"},
        {[](auto& b) { b.put_Delay(5000); }, "0 2 10000 on 0 off 0"},  // no shorter than 10 s
        {[](auto& b) { b.put_Delay(0); }, "-1 255 0 on 1 off 0"},      // brightens
        {[](auto& b) { b.put_OnLevel(100), b.Stop(); }, "-1 255 3600000 on 1 off 0"},
    };
    for (const auto& c : cases) {
        controller().SetDelay(BacklightController::kInitialDelayMs);
        controller().SetOnLevel(255);
        controller().SetState(false);
        DrainEvents(global_.get());
        for (auto& e : events_)
            e->Forget();
        c.step(backlight());
        EXPECT_EQ(Seen(), c.seen) << &c - cases;
    }
    EXPECT_EQ(backlight().get_Level(nullptr), E_POINTER);
    EXPECT_EQ(backlight().get_Delay(nullptr), E_POINTER);
}

TEST_F(BacklightTest, DimsAfterTheDelayAndActivityBrightensAgain) {
    EXPECT_EQ(Seen(), "-1 255 3600000 on 1 off 0");  // on since the Global started
    ASSERT_EQ(backlight().put_Delay(10000), S_OK);   // on: the countdown starts again
    AwaitTimersDueIn(9999);
    EXPECT_EQ(Seen(), "-1 255 10000 on 1 off 0");
    AwaitTimersDueIn(1);
    EXPECT_EQ(Seen(), "0 2 10000 on 1 off 1");
    AwaitTimersDueIn(10000);  // later expiries find it dimmed
    EXPECT_EQ(Seen(), "0 2 10000 on 1 off 1");
    ASSERT_EQ(backlight().UserActivity(), S_OK);
    EXPECT_EQ(Seen(), "-1 255 10000 on 2 off 1");
    // On, but a script left it at or below standby: a touch brightens it, with no second event.
    ASSERT_EQ(backlight().put_Level(1), S_OK);
    ASSERT_EQ(backlight().UserActivity(), S_OK);
    EXPECT_EQ(Seen(), "-1 255 10000 on 2 off 1");

    // Paused: no dimming, until Unpause starts the countdown again.
    ASSERT_EQ(backlight().Pause(), S_OK);
    AwaitTimersDueIn(20000);
    EXPECT_EQ(Seen(), "-1 255 10000 on 2 off 1");
    ASSERT_EQ(backlight().Unpause(), S_OK);
    AwaitTimersDueIn(10000);
    EXPECT_EQ(Seen(), "0 2 10000 on 2 off 2");
}

TEST_F(BacklightTest, SettingsComeFromTheConfigurationAndGoBackToIt) {
    IDispatchExImplRaw& config = global_->Config().DispatchExMembers();
    config.SetValue(u"Backlight_OnLevel", I4(200));
    config.SetValue(u"Backlight_Delay", I4(20));
    ASSERT_EQ(backlight().Start(), S_OK);
    EXPECT_EQ(controller().OnLevel(), 200);
    EXPECT_EQ(controller().StandbyLevel(), 2);  // in neither: unchanged
    EXPECT_EQ(controller().Delay(), 20000);

    backlight().put_StandbyLevel(7);
    ASSERT_EQ(backlight().SaveSettings(), S_OK);
    const std::pair<const char16_t*, LONG> saved[] = {
        {u"Backlight_OnLevel", 200}, {u"Backlight_OffLevel", 7}, {u"Backlight_Delay", 20}};
    for (const auto& [name, value] : saved) {
        CComVariant v = global_->Config().GetValue(name, VT_VARIANT);
        EXPECT_EQ(ShowVariant(v), "I4 " + std::to_string(value)) << Utf16ToUtf8(name);
    }
    // Delay is 32-bit milliseconds: 4 294 968 s keeps the low 32 bits of its milliseconds.
    config.SetValue(u"Backlight_Delay", I4(4294968));
    ASSERT_EQ(backlight().Start(), S_OK);
    EXPECT_EQ(controller().Delay(), 704);
}

TEST_F(BacklightTest, OnlyAResetForThisPanelsBoxBrightens) {
    global_->put_BoxNumber(3);
    struct Case {
        const char* what;
        std::optional<LONG> device, box;
        bool brightens;
    } cases[] = {
        {"this box", 0x01, 3, true},
        {"another box", 0x01, 4, false},
        {"no device code", {}, 3, false},
        {"no box number", 0x01, {}, false},
        {"box 259 (3 + 256)", 0x01, 259, false},
    };
    for (const Case& c : cases) {
        controller().SetState(false);
        auto packet = New<CDispExObject>();
        if (c.device) packet->members().SetValue(u"DeviceCode", CComVariant(*c.device));
        if (c.box) packet->members().SetValue(u"BoxNumber", CComVariant(*c.box));
        controller().OnReset(packet.get());
        EXPECT_EQ(controller().State() == 1, c.brightens) << c.what;
    }
}

}  // namespace
