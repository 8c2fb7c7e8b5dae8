// The built-in filters of the network handler's and the port's chains.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/host.h"
#include "network/default_filters.h"
#include "network/packet_object.h"
#include "platform/apartment.h"
#include "platform/clock.h"
#include "support/network_doubles.h"
#include "support/script_doubles.h"
#include "support/show.h"

namespace {

constexpr DWORD kStart = 1000;

ref<PacketBase> Received(const std::string& hex, DWORD port = 1) {
    ref<PacketBase> packet = PacketOf(FromHex(hex));
    packet->PortNumber = port;
    return packet;
}

class DefaultFiltersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        global_.box = 0x21;
        JoinMasks::ClearAll();
        listener_ = AddMessageListener([this](UINT message, std::uintptr_t, std::intptr_t) {
            if (message == RegisterWindowMessageW(kRestartAppMessageName)) messages_.Add("restart");
            if (message == RegisterWindowMessageW(kShutdownNicelyMessageName))
                messages_.Add("shut down");
        });
    }
    void TearDown() override {
        RemoveMessageListener(listener_);
        incoming_->Cleanup();
        JoinMasks::ClearAll();
    }
    // What `filter` answers for `packet`: 1 consumed, 0 passed on.
    static LONG Pass(FilterBase& filter, const ref<PacketBase>& packet) {
        LONG consumed = -1;
        filter.ProcessPacket(packet, &consumed);
        return consumed;
    }
    LONG In(const ref<PacketBase>& packet) { return Pass(*incoming_, packet); }
    LONG In(const std::string& hex, DWORD port = 1) { return In(Received(hex, port)); }
    std::string Events() {
        std::vector<std::string> names;
        for (const auto& r : global_.raised.All())
            names.push_back(r.name);
        return Joined(names);
    }

    ScopedTestClock clock_{kStart};
    FakeNetworkGlobal global_;
    ref<DefaultPacketFilters> incoming_{new DefaultPacketFilters};
    WaitableLog<std::string> messages_;
    int listener_ = 0;
};

struct FrameCase {
    const char* what;
    const char* hex;
    DWORD port;
    const char* event;  // "" for none
    LONG consumed;
    const char* value;          // a named value to look at, "" for none
    const char* expected;       // its value as ShowVariant shows it, "" when the packet has none
    std::size_t triggered = 0;  // schedules the trigger finds
    const char* requests = "";  // schedule requests made
};

// Each opcode row's values and event are the catalogue's (opcode_catalogue_test.cpp); these rows
// are the filter's own paths to it.
const FrameCase kFrames[] = {
    {"logical preset, bank 2", "1C 01 00 0B 00 02 FF D5", 1, "Preset", 0, "Preset", "I4 22"},
    {"logical opcode without a row", "1C 01 03 48 00 00 FF 00", 1, "", 0, "", ""},
    {"block packet", "6C 01 02 03 04 05 06 00", 1, "", 0, "", ""},
    {"sign-on", "5C 01 01 00 12 34 00 00", 1, "SignOn", 0, "VersionLo", "UI1 34"},
    {"reset", "5C 02 05 02 00 00 00 00", 1, "Reset", 0, "", ""},
    {"keypad button state 3", "5C 02 05 43 07 00 03 00", 1, "", 0, "Button", "I4 7"},
    {"port command on port 1", "5C 00 00 E9 00 00 00 00", 1, "", 1, "", ""},
    {"port command from elsewhere", "5C 00 00 E9 00 00 00 00", 2, "", 0, "", ""},
    {"port set-up on port 1", "5C AA 55 E8 CF 00 00 00", 1, "", 1, "", ""},
    {"port set-up, wrong signature", "5C AA 55 E8 00 00 00 00", 1, "", 0, "", ""},
    {"six bytes", "1C 01 00 00 00 00", 1, "", 0, "", ""},
    {"unknown frame kind", "3C 01 00 00 00 00 FF 00", 1, "", 0, "", ""},
    // Schedule requests act on matching schedules, or raise ScheduledEvent when none is found.
    {"enable schedules", "5C 07 09 14 07 00 00 00", 1, "", 0, "EventNumber", "", 0, "enable 7"},
    {"disable schedules", "5C 07 09 15 03 00 00 00", 1, "", 0, "EventNumber", "", 0, "disable 3"},
    {"trigger found a schedule", "5C 07 09 16 07 00 00 00", 1, "", 0, "EventNumber", "", 1,
     "trigger 7"},
    {"trigger found none", "5C 07 09 16 07 00 00 00", 1, "ScheduledEvent", 0, "EventNumber", "I4 7",
     0, "trigger 7"},
};

TEST_F(DefaultFiltersTest, EachFrameKindRaisesItsEventMakesItsRequestsOrIsConsumed) {
    for (const FrameCase& c : kFrames) {
        SCOPED_TRACE(c.what);
        global_.raised.Clear();
        global_.requests.Clear();
        global_.triggered = c.triggered;
        ref<PacketBase> packet = Received(c.hex, c.port);
        EXPECT_EQ(In(packet), c.consumed);
        EXPECT_EQ(Events(), c.event);
        EXPECT_EQ(Joined(global_.requests.All(), ", "), c.requests);
        if (*c.event) {
            // The parameters are the packet's own script object.
            ComPtr<IDispatch> object;
            ASSERT_EQ(GetPacketScriptObject(packet.get(), object.put()), S_OK);
            EXPECT_TRUE(SameObject(object.get(), global_.raised.All()[0].parameters.get()));
        }
        if (*c.value) {
            const VARIANT* value = packet->Decoded.FindValue(Utf8ToUtf16(c.value));
            EXPECT_EQ(value ? ShowVariant(*value) : "", c.expected);
        }
    }
    // Without a Global packets are still decoded, but nothing is raised.
    CurrentGlobal::Clear(&global_);
    global_.raised.Clear();
    ref<PacketBase> packet = Received(kFrames[0].hex);
    EXPECT_EQ(In(packet), 0);
    EXPECT_NE(packet->Decoded.FindValue(u"Preset"), nullptr);
    EXPECT_EQ(Events(), "");
    CurrentGlobal::Set(&global_);
}

TEST_F(DefaultFiltersTest, AJoinMaskWidensLaterJoinsOfItsAreaBothWays) {
    ref<DefaultOutgoingFilters> outgoing(new DefaultOutgoingFilters);
    EXPECT_EQ(In("1C 05 0F 14 00 00 FF 00"), 0);
    EXPECT_EQ(Events(), "");

    struct {
        const char* what;
        const char* sent;
        const char* incoming;  // as scripts see it: the checksum as it came
        const char* outgoing;  // on the wire: checksum recomputed
    } cases[] = {
        {"join 1 shares a bit", "1C 05 00 00 00 00 01 DE", "1C 05 00 00 00 00 0F DE",
         "1C 05 00 00 00 00 0F D0"},
        {"join F0 shares none", "1C 05 00 00 00 00 F0 EF", "1C 05 00 00 00 00 F0 EF",
         "1C 05 00 00 00 00 F0 EF"},
        {"another area", "1C 06 00 00 00 00 01 DD", "1C 06 00 00 00 00 01 DD",
         "1C 06 00 00 00 00 01 DD"},
        {"seven bytes stay seven", "1C 05 00 00 00 00 01", "1C 05 00 00 00 00 0F",
         "1C 05 00 00 00 00 0F"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ref<PacketBase> packet = Received(c.sent);
        In(packet);
        EXPECT_EQ(Hex(BytesOf(packet)), c.incoming);
        LONG join = 0;
        EXPECT_TRUE(packet->Decoded.Get(DecodedPacket::kJoin, &join));
        EXPECT_EQ(join, FromHex(c.incoming)[6]);
        ref<PacketBase> out = Received(c.sent);
        EXPECT_EQ(Pass(*outgoing, out), 0);
        EXPECT_EQ(Hex(BytesOf(out)), c.outgoing);
    }
}

// Arming (this box only) restarts the panel thirty seconds later unless disarmed; the shut-down
// needs it armed, and no restart follows the shut-down.
TEST_F(DefaultFiltersTest, ArmingRestartsAfterThirtySecondsAndLetsTheShutDownThrough) {
    const char* arm = "5C 01 21 01 3E 01 00 00";
    const char* shut_down = "5C 01 21 02 21 00 00 00";
    const struct {
        DWORD at;              // ms after the start
        const char* hex;       // received then, if any
        const char* messages;  // broadcast so far
        bool armed;
    } steps[] = {
        {0, shut_down, "", false},                  // not armed yet
        {0, "5C 01 22 01 3E 01 00 00", "", false},  // another box
        {0, arm, "", true},
        {29999, nullptr, "", true},
        {30000, nullptr, "restart", true},  // and it stays armed
        {40000, arm, "restart", true},      // the timer is reused
        {40000, "5C 01 21 01 3E 00 00 00", "restart", false},
        {80000, nullptr, "restart", false},
        {80000, arm, "restart", true},
        {80000, "5C 01 22 02 21 00 00 00", "restart", true},  // another box
        {80000, shut_down, "restart, shut down", true},
        {120000, nullptr, "restart, shut down", true},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(std::to_string(s.at) + " " + (s.hex ? s.hex : ""));
        TestClock::Set(kStart + s.at);
        if (s.hex) {
            EXPECT_EQ(In(s.hex), 0);
        }
        global_.Settle();
        EXPECT_EQ(Joined(messages_.All(), ", "), s.messages);
        EXPECT_EQ(incoming_->Armed(), s.armed);
    }
    EXPECT_EQ(Events(), "");
}

TEST_F(DefaultFiltersTest, LongFramesPassOnlyWhenAddressedToThisBox) {
    ref<BlockLongFramesExceptMe> block(new BlockLongFramesExceptMe);
    struct {
        const char* hex;
        LONG consumed;
    } cases[] = {
        {"AC 01 80 CF 00 21 00 00", 0},     // box at bytes 3 to 5
        {"AC 01 80 00 00 00 CF 00 21", 0},  // box at bytes 6 to 8
        {"AC 01 80 CF 00 22 00 00", 1},     // another box
        {"AC 01 7F CF 00 21 00 00", 1},     // byte 2 below 0x80
        {"AC 01 80 00 00 00 CF 00", 1},     // too short for bytes 6 to 8
        {"AC 01 80 CF 00 21 00", 1},        // seven bytes
        {"1C 01 80 CF 00 21 00 00", 0},     // no long frame: not matched
    };
    for (const auto& c : cases)
        EXPECT_EQ(Pass(*block, Received(c.hex)), c.consumed) << c.hex;
    CurrentGlobal::Clear(&global_);
    EXPECT_EQ(Pass(*block, Received(cases[0].hex)), 1) << "without a Global every long frame goes";
    CurrentGlobal::Set(&global_);
}

TEST_F(DefaultFiltersTest, ConcurrentPassesKeepTheirOwnWorkingState) {
    // The feedback copy of a sent packet and a received frame can pass together: every packet
    // must come out with its own opcode's values.
    constexpr int kRounds = 400;
    auto run = [&](const std::string& hex, const char16_t* name, std::vector<bool>* right) {
        for (int i = 0; i < kRounds; ++i) {
            ref<PacketBase> packet = Received(hex);
            In(packet);
            right->push_back(packet->Decoded.FindValue(name) != nullptr &&
                             packet->Decoded.ValueCount() == 2);
        }
    };
    std::vector<bool> presets, buttons;
    std::thread other(run, "5C 02 05 43 07 00 01 00", u"ButtonState", &buttons);
    run("1C 01 00 0B 00 02 FF D5", u"Preset", &presets);
    other.join();
    EXPECT_EQ(std::count(presets.begin(), presets.end(), false), 0);
    EXPECT_EQ(std::count(buttons.begin(), buttons.end(), false), 0);
    EXPECT_EQ(global_.raised.Size(), 2u * kRounds);
}

}  // namespace
