// The default packets: the frame each call sends for its arguments, and the repeated request.
#include "network/default_packets.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "support/network_doubles.h"
#include "support/show.h"
#include "support/variants.h"

namespace {

// An omitted optional argument, as a script engine passes it.
CComVariant Omitted() {
    CComVariant v;
    v.vt = VT_ERROR;
    v.scode = DISP_E_PARAMNOTFOUND;
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

using D = DefaultPacketsImpl;
using Call = std::function<HRESULT(D&)>;

// A call of `method` with `args`, made when its row runs.
template <class Method, class... Args>
Call Bound(Method method, Args... args) {
    return [=](D& d) { return (d.*method)(args...); };
}

TEST_F(DefaultPacketsTest, EachCallSendsItsFrame) {
    const struct {
        const char* what;
        Call call;
        const char* seven;  // the frame without its checksum
        DWORD delay = kSettings.packet_delay;
    } cases[] = {
        {"preset 1, default fade of 2000 ms = 100 units",
         Bound(&D::SendPreset, I4(1), I4(0xFF), I4(1), Omitted()), "1C 01 64 00 00 00 FF"},
        {"preset 5: opcode 0x0A, bank 0", Bound(&D::SendPreset, I4(1), I4(0xFF), I4(5), kEmpty),
         "1C 01 64 0A 00 00 FF"},
        {"preset 9: opcode 0x00, bank 1", Bound(&D::SendPreset, I4(1), I4(0xFF), I4(9), Null()),
         "1C 01 64 00 00 01 FF"},
        {"preset 12: opcode 0x03, bank 1",
         Bound(&D::SendPreset, I4(1), I4(0xFF), I4(12), Omitted()), "1C 01 64 03 00 01 FF"},
        {"fade 6000 ms = 300 units, low byte then high byte",
         Bound(&D::SendPreset, I4(1), I4(0xFF), I4(1), I4(6000)), "1C 01 2C 00 01 00 FF"},
        {"text arguments convert; preset 8 is the last of bank 0; a missing join is 255",
         Bound(&D::SendPreset, Str(u"2"), Omitted(), Str(u"8"), Str(u"119")),
         "1C 02 05 0D 00 00 FF"},
        {"an area that does not convert counts as 0",
         Bound(&D::SendPreset, Str(u"hall"), I4(3), I4(1), I4(0)), "1C 00 00 00 00 00 03"},
        {"preset request", Bound(&D::RequestCurrentPreset, I4(1), kEmpty, Omitted()),
         "1C 01 00 63 00 00 FF"},
        {"preset request, retry delay 0: one plain request",
         Bound(&D::RequestCurrentPreset, I4(7), I4(4), I4(0)), "1C 07 00 63 00 00 04"},
        {"level of channel 1 to 0: opcode 0x80, bank 255, level byte 255",
         Bound(&D::SetLogicalLevel, I4(1), Null(), Omitted(), I4(1), I4(0)),
         "1C 01 FF 80 FF 64 FF"},
        {"level of channel 6: opcode 0x81, bank 0",
         Bound(&D::SetLogicalLevel, I4(1), I4(2), I4(200), I4(6), I4(255)), "1C 01 00 81 00 0A 02"},
        {"level of channel 12: opcode 0x83, bank 1",
         Bound(&D::SetLogicalLevel, I4(3), I4(0xFF), I4(0), I4(12), I4(55)),
         "1C 03 C8 83 01 00 FF"},
        {"the lowest preset: 32-bit arithmetic, (preset - 1) wraps to the highest",
         Bound(&D::SendPreset, I4(1), I4(0xFF), I4(INT32_MIN), I4(0)), "1C 01 00 0D 00 FF FF"},
        {"the lowest channel and value",
         Bound(&D::SetLogicalLevel, I4(1), I4(0xFF), I4(0), I4(INT32_MIN), I4(INT32_MIN)),
         "1C 01 FF 83 FE 00 FF"},
        {"level request of the lowest channel",
         Bound(&D::RequestLogicalLevel, I4(1), Omitted(), I4(INT32_MIN)), "1C 01 FF 61 00 00 FF",
         default_frames::kLevelRequestDelay},
        {"level request of channel 1, its own delay",
         Bound(&D::RequestLogicalLevel, I4(1), Omitted(), I4(1)), "1C 01 00 61 00 00 FF",
         default_frames::kLevelRequestDelay},
        {"physical level, default physical fade of 1000 ms = 50 units",
         Bound(&D::SetPhysicalLevel, I4(0x10), I4(3), Omitted(), I4(2), I4(0x80)),
         "5C 10 03 92 02 80 32"},
        {"physical level, fade 2000 ms",
         Bound(&D::SetPhysicalLevel, I4(0x10), I4(3), I4(2000), I4(2), I4(0x80)),
         "5C 10 03 92 02 80 64"},
        {"physical level request", Bound(&D::RequestPhysicalLevel, I4(0x10), I4(3), I4(2)),
         "5C 10 03 91 02 00 00"},
    };
    for (const auto& c : cases) {
        sent_.clear();
        EXPECT_EQ(c.call(calls_), S_OK) << c.what;
        ASSERT_EQ(sent_.size(), 1u) << c.what;
        EXPECT_EQ(BytesOf(sent_[0]), Frame(FromHex(c.seven))) << c.what;
        EXPECT_EQ(sent_[0]->Delay, c.delay) << c.what;
        EXPECT_FALSE(sent_[0]->WantsResponse()) << c.what;
    }
}

TEST_F(DefaultPacketsTest, APresetRequestWithARetryDelayWaitsForTheAreasPresetReport) {
    EXPECT_EQ(calls_.RequestCurrentPreset(I4(1), Omitted(), I4(500)), S_OK);
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
