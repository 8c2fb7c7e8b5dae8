// What a script array claims as its length is bounded before anything walks or allocates for
// it: every reader (PacketToMatch, Packet.Assign, SendPacket) refuses the same claims.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>

#include "platform/script_call.h"
#include "network/network_handler.h"
#include "network/filter_object.h"
#include "network/packet_object.h"
#include "platform/serial_device.h"
#include "platform/settings_store.h"
#include "support/script_doubles.h"

namespace {

struct Claim {
    const char* name;
    CComVariant length;  // empty: the array's true size
    int elements;
};

void PrintTo(const Claim& claim, std::ostream* out) {
    *out << claim.name;
}

CComVariant Real(double value) {
    CComVariant v;
    v.vt = VT_R8;
    v.dblVal = value;
    return v;
}

const Claim kRefused[] = {
    {"Largest32BitLength", CComVariant(LONG{2147483647}), 3},
    {"Infinity", Real(std::numeric_limits<double>::infinity()), 3},
    {"NotANumber", Real(std::nan("")), 3},
    {"Negative", CComVariant(LONG{-1}), 3},
    {"Text", CComVariant(u"many"), 3},
    {"OneMoreThanAFrame", CComVariant(), kMaxScriptArrayLength + 1},
};

ComPtr<ScriptArray> ArrayFor(const Claim& claim) {
    auto array = ScriptArray::Bytes(std::vector<int>(static_cast<size_t>(claim.elements), 0x1C));
    if (claim.length.vt != VT_EMPTY) array->claimed_length = claim.length;
    return array;
}

CComVariant Object(ScriptArray* array) {
    return CComVariant(static_cast<IDispatch*>(array));
}

// A started handler whose port 0 has no device: what it sends stays queued.
ComPtr<CNetworkHandler> StartedHandler() {
    CRegKey key;
    EXPECT_EQ(key.Create(HKEY_CURRENT_USER, CNetworkHandler::kSettingsKey), ERROR_SUCCESS);
    EXPECT_EQ(key.SetDWORDValue(CNetworkHandler::kPort0Value, 43), ERROR_SUCCESS);
    EXPECT_EQ(key.Create(HKEY_CURRENT_USER, kSerialDeviceKey), ERROR_SUCCESS);
    EXPECT_EQ(key.SetStringValue(u"COM43:", u"/nonexistent/brevanto-tty"), ERROR_SUCCESS);
    ComPtr<CNetworkHandler> handler;
    EXPECT_EQ(MakeComObject(&handler), S_OK);
    handler->Start();
    return handler;
}

class RefusedLength : public ::testing::TestWithParam<Claim> {};

TEST_P(RefusedLength, EveryReaderRefusesItAndChangesNothing) {
    const Claim& claim = GetParam();
    auto array = ArrayFor(claim);
    LONG length = -5;
    EXPECT_EQ(ReadScriptArrayLength(array.get(), &length), E_INVALIDARG);
    EXPECT_EQ(length, 0);

    ComPtr<CPacketFilter> filter;
    ASSERT_EQ(MakeComObject(&filter), S_OK);
    auto before = ScriptArray::Bytes({1, 2});
    ASSERT_EQ(filter->put_PacketToMatch(Object(before.get())), S_OK);
    EXPECT_EQ(filter->put_PacketToMatch(Object(array.get())), E_FAIL);
    EXPECT_EQ(*filter->Filter()->GetPattern(), (FilterBase::Pattern{1, 2}));
    filter->Destroy();

    ComPtr<CPacketOb> packet;
    ASSERT_EQ(MakeComObject(&packet), S_OK);
    const BYTE kept[] = {7, 7, 7};
    packet->Packet()->AssignBytes(kept, sizeof kept);
    EXPECT_EQ(packet->Assign(Object(array.get())), E_INVALIDARG);
    EXPECT_EQ(packet->Packet()->ByteCount(), 3);

    ComPtr<CNetworkHandler> handler = StartedHandler();
    LONG result = -1;
    EXPECT_EQ(handler->SendPacket(array.get(), &result), E_INVALIDARG);
    EXPECT_EQ(handler->Port0().Transport().QueuedPackets(), 0u);
    handler->Destroy();
}

INSTANTIATE_TEST_SUITE_P(Claims, RefusedLength, ::testing::ValuesIn(kRefused),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ScriptArrayLength, AssignReadsNoMoreElementsThanTheArrayClaims) {
    auto array = ScriptArray::Bytes({1, 2, 3});
    array->claimed_length = CComVariant(LONG{2});
    ComPtr<CPacketOb> packet;
    ASSERT_EQ(MakeComObject(&packet), S_OK);
    EXPECT_EQ(packet->Assign(Object(array.get())), E_INVALIDARG);
    EXPECT_EQ(packet->Packet()->ByteCount(), 0);
}

TEST(ScriptArrayLength, AFullFrameIsReadWhole) {
    auto array = ScriptArray::Bytes(std::vector<int>(kMaxScriptArrayLength, 0x1C));
    LONG length = 0;
    EXPECT_EQ(ReadScriptArrayLength(array.get(), &length), S_OK);
    EXPECT_EQ(length, kMaxScriptArrayLength);
    ComPtr<CPacketOb> packet;
    ASSERT_EQ(MakeComObject(&packet), S_OK);
    EXPECT_EQ(packet->Assign(Object(array.get())), S_OK);
    EXPECT_EQ(packet->Packet()->ByteCount(), kMaxScriptArrayLength);
}

}  // namespace
