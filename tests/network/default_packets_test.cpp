// The default packets: the frame each call sends for its arguments (defaults, conversions, the
// byte layout and checksum, the delay), and the repeated preset request.
#include "network/default_packets.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "support/network_doubles.h"

namespace {

CComVariant N(LONG value) {
    return CComVariant(value);
}
CComVariant S(const char16_t* text) {
    return CComVariant(text);
}
// An omitted optional argument, as a script engine passes it.
CComVariant Omitted() {
    CComVariant v;
    v.vt = VT_ERROR;
    v.scode = DISP_E_PARAMNOTFOUND;
    return v;
}
CComVariant Null() {
    CComVariant v;
    v.vt = VT_NULL;
    return v;
}
const CComVariant kEmpty;

// Fades that tell the logical and the physical default apart, and a delay that is not the
// level request's own.
constexpr PacketDefaults kSettings{2000, 1000, 70};

class DefaultPacketsTest : public ::testing::Test {
  protected:
    void SetUp() override { calls_.SetSettings(kSettings); }

    std::vector<ref<PacketBase>> sent_;
    DefaultPacketsImpl calls_{[this](ref<PacketBase> packet) { sent_.push_back(packet); }};
};

TEST_F(DefaultPacketsTest, EachCallSendsItsFrame) {
    using Call = std::function<HRESULT(DefaultPacketsImpl&)>;
    const struct {
        const char* what;
        Call call;
        Bytes seven;
        DWORD delay;
    } cases[] = {
        {"preset 1, default fade of 2000 ms = 100 units",
         [](auto& d) { return d.SendPreset(N(1), N(0xFF), N(1), Omitted()); },
         {0x1C, 0x01, 0x64, 0x00, 0x00, 0x00, 0xFF},
         70},
        {"preset 5: opcode 0x0A, bank 0",
         [](auto& d) { return d.SendPreset(N(1), N(0xFF), N(5), kEmpty); },
         {0x1C, 0x01, 0x64, 0x0A, 0x00, 0x00, 0xFF},
         70},
        {"preset 9: opcode 0x00, bank 1",
         [](auto& d) { return d.SendPreset(N(1), N(0xFF), N(9), Null()); },
         {0x1C, 0x01, 0x64, 0x00, 0x00, 0x01, 0xFF},
         70},
        {"preset 12: opcode 0x03, bank 1",
         [](auto& d) { return d.SendPreset(N(1), N(0xFF), N(12), Omitted()); },
         {0x1C, 0x01, 0x64, 0x03, 0x00, 0x01, 0xFF},
         70},
        {"fade 6000 ms = 300 units, low byte then high byte",
         [](auto& d) { return d.SendPreset(N(1), N(0xFF), N(1), N(6000)); },
         {0x1C, 0x01, 0x2C, 0x00, 0x01, 0x00, 0xFF},
         70},
        {"text arguments convert; preset 8 is the last of bank 0; a missing join is 255",
         [](auto& d) { return d.SendPreset(S(u"2"), Omitted(), S(u"8"), S(u"119")); },
         {0x1C, 0x02, 0x05, 0x0D, 0x00, 0x00, 0xFF},
         70},
        {"an area that does not convert counts as 0",
         [](auto& d) { return d.SendPreset(S(u"hall"), N(3), N(1), N(0)); },
         {0x1C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03},
         70},
        {"preset request",
         [](auto& d) { return d.RequestCurrentPreset(N(1), kEmpty, Omitted()); },
         {0x1C, 0x01, 0x00, 0x63, 0x00, 0x00, 0xFF},
         70},
        {"preset request, retry delay 0: one plain request",
         [](auto& d) { return d.RequestCurrentPreset(N(7), N(4), N(0)); },
         {0x1C, 0x07, 0x00, 0x63, 0x00, 0x00, 0x04},
         70},
        {"level of channel 1 to 0: opcode 0x80, bank 255, level byte 255",
         [](auto& d) { return d.SetLogicalLevel(N(1), Null(), Omitted(), N(1), N(0)); },
         {0x1C, 0x01, 0xFF, 0x80, 0xFF, 0x64, 0xFF},
         70},
        {"level of channel 6: opcode 0x81, bank 0",
         [](auto& d) { return d.SetLogicalLevel(N(1), N(2), N(200), N(6), N(255)); },
         {0x1C, 0x01, 0x00, 0x81, 0x00, 0x0A, 0x02},
         70},
        {"level of channel 12: opcode 0x83, bank 1",
         [](auto& d) { return d.SetLogicalLevel(N(3), N(0xFF), N(0), N(12), N(55)); },
         {0x1C, 0x03, 0xC8, 0x83, 0x01, 0x00, 0xFF},
         70},
        {"level request of channel 1, its own delay",
         [](auto& d) { return d.RequestLogicalLevel(N(1), Omitted(), N(1)); },
         {0x1C, 0x01, 0x00, 0x61, 0x00, 0x00, 0xFF},
         default_frames::kLevelRequestDelay},
        {"physical level, default physical fade of 1000 ms = 50 units",
         [](auto& d) { return d.SetPhysicalLevel(N(0x10), N(3), Omitted(), N(2), N(0x80)); },
         {0x5C, 0x10, 0x03, 0x92, 0x02, 0x80, 0x32},
         70},
        {"physical level, fade 2000 ms",
         [](auto& d) { return d.SetPhysicalLevel(N(0x10), N(3), N(2000), N(2), N(0x80)); },
         {0x5C, 0x10, 0x03, 0x92, 0x02, 0x80, 0x64},
         70},
        {"physical level request",
         [](auto& d) { return d.RequestPhysicalLevel(N(0x10), N(3), N(2)); },
         {0x5C, 0x10, 0x03, 0x91, 0x02, 0x00, 0x00},
         70},
    };
    for (const auto& c : cases) {
        sent_.clear();
        EXPECT_EQ(c.call(calls_), S_OK) << c.what;
        ASSERT_EQ(sent_.size(), 1u) << c.what;
        EXPECT_EQ(BytesOf(sent_[0]), Frame(c.seven)) << c.what;
        EXPECT_EQ(sent_[0]->Delay, c.delay) << c.what;
        EXPECT_FALSE(sent_[0]->WantsResponse()) << c.what;
    }
}

TEST_F(DefaultPacketsTest, APresetRequestWithARetryDelayWaitsForTheAreasPresetReport) {
    EXPECT_EQ(calls_.RequestCurrentPreset(N(1), Omitted(), N(500)), S_OK);
    ASSERT_EQ(sent_.size(), 1u);
    dcast_ref<RetryPresetPacket> request(sent_[0]);
    ASSERT_TRUE(request);
    EXPECT_TRUE(request->WantsResponse());
    EXPECT_EQ(BytesOf(sent_[0]), Frame({0x1C, 0x01, 0x00, 0x63, 0x00, 0x00, 0xFF}));
    EXPECT_EQ(request->Retries, 3);
    EXPECT_EQ(request->Timeout, 500);
    EXPECT_EQ(request->Enable, 0);  // until it has been on the wire

    const struct {
        Bytes seven;
        LONG match;
    } replies[] = {
        {{0x1C, 0x01, 0x05, 0x62, 0x00, 0x00, 0xFF}, 1},
        {{0x1C, 0x02, 0x05, 0x62, 0x00, 0x00, 0xFF}, 0},  // another area
        {{0x1C, 0x01, 0x05, 0x62, 0x00, 0x00, 0x01}, 0},  // another join
        {{0x1C, 0x01, 0x00, 0x63, 0x00, 0x00, 0xFF}, 0},  // the request itself
    };
    for (const auto& r : replies) {
        LONG match = -1;
        request->Matches(PacketOf(Frame(r.seven)), &match);
        EXPECT_EQ(match, r.match) << ::testing::PrintToString(r.seven);
    }
}

}  // namespace
