// What a script array claims as its length is bounded before anything walks or allocates for
// it: every reader (PacketToMatch, Packet.Assign, SendPacket) refuses the same claims.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>

#include "network/filter_object.h"
#include "network/packet_object.h"
#include "platform/script_call.h"
#include "support/network_doubles.h"
#include "support/script_doubles.h"
#include "support/variants.h"

namespace {

struct Claim {
    const char* name;
    CComVariant length;  // empty: the array's true size
    int elements;
};

void PrintTo(const Claim& claim, std::ostream* out) {
    *out << claim.name;
}

const Claim kRefused[] = {
    {"Largest32BitLength", I4(2147483647), 3},
    {"Infinity", R8(std::numeric_limits<double>::infinity()), 3},
    {"NotANumber", R8(std::nan("")), 3},
    {"Negative", I4(-1), 3},
    {"Text", CComVariant(u"many"), 3},
    {"OneMoreThanAFrame", CComVariant(), kMaxScriptArrayLength + 1},
};

class RefusedLength : public ::testing::TestWithParam<Claim> {};

TEST_P(RefusedLength, EveryReaderRefusesItAndChangesNothing) {
    const Claim& claim = GetParam();
    auto array = ScriptArray::Bytes(std::vector<int>(static_cast<size_t>(claim.elements), 0x1C));
    if (claim.length.vt != VT_EMPTY) array->claimed_length = claim.length;
    LONG length = -5;
    EXPECT_EQ(ReadScriptArrayLength(array.get(), &length), E_INVALIDARG);
    EXPECT_EQ(length, 0);

    auto filter = New<CPacketFilter>();
    auto before = ScriptArray::Bytes({1, 2});
    ASSERT_EQ(filter->put_PacketToMatch(AsVariant(before->GetUnknown())), S_OK);
    EXPECT_EQ(filter->put_PacketToMatch(AsVariant(array->GetUnknown())), E_FAIL);
    EXPECT_EQ(*filter->Filter()->GetPattern(), (FilterBase::Pattern{1, 2}));
    filter->Destroy();

    auto packet = New<CPacketOb>();
    const BYTE kept[] = {7, 7, 7};
    packet->Packet()->AssignBytes(kept, sizeof kept);
    EXPECT_EQ(packet->Assign(AsVariant(array->GetUnknown())), E_INVALIDARG);
    EXPECT_EQ(packet->Packet()->ByteCount(), 3);

    // A started handler whose port 0 has no device: what it sends stays queued.
    UseClosedPort0();
    auto handler = New<CNetworkHandler>();
    handler->Start();
    LONG result = -1;
    EXPECT_EQ(handler->SendPacket(array.get(), &result), E_INVALIDARG);
    EXPECT_EQ(handler->Port0().Transport().QueuedPackets(), 0u);
    handler->Destroy();
}

INSTANTIATE_TEST_SUITE_P(Claims, RefusedLength, ::testing::ValuesIn(kRefused),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ScriptArrayLength, AFullFrameIsReadWholeAndNoMoreThanClaimed) {
    auto array = ScriptArray::Bytes(std::vector<int>(kMaxScriptArrayLength, 0x1C));
    auto packet = New<CPacketOb>();
    EXPECT_EQ(packet->Assign(AsVariant(array->GetUnknown())), S_OK);
    EXPECT_EQ(packet->Packet()->ByteCount(), kMaxScriptArrayLength);

    auto short_of_its_claim = ScriptArray::Bytes({1, 2, 3});
    short_of_its_claim->claimed_length = I4(2);
    EXPECT_EQ(packet->Assign(AsVariant(short_of_its_claim->GetUnknown())), E_INVALIDARG);
    EXPECT_EQ(packet->Packet()->ByteCount(), kMaxScriptArrayLength);
}

}  // namespace
