#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "network/com_packet.h"
#include "network/packet_base.h"
#include "network/raw_packet.h"
#include "platform/apartment.h"
#include "platform/com_object.h"
#include "support/nameless_dispatch.h"

namespace {

ref<PacketBase> MakePacket(std::vector<BYTE> bytes) {
    ref<PacketBase> packet(new PacketBase);
    packet->AssignBytes(bytes.data(), bytes.size());
    return packet;
}

TEST(ChecksumTest, MakesTheEightBytesSumToZero) {
    const BYTE bytes[8] = {0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF, 0x00};
    EXPECT_EQ(PacketChecksum(bytes), 0x99);
    const BYTE zeros[7] = {};
    EXPECT_EQ(PacketChecksum(zeros), 0x00);  // 256 mod 256
    auto packet = MakePacket({0x5C, 0x10, 0x20, 0x90, 0x01, 0x00, 0x80});
    const unsigned sum = 0x5C + 0x10 + 0x20 + 0x90 + 0x01 + 0x80;
    EXPECT_EQ(static_cast<BYTE>(sum + packet->Checksum()), 0);
}

TEST(RawPacketTest, ClearGivesTheIdleTransportFacts) {
    RawPacket packet;
    EXPECT_EQ(packet.ByteCount(), 0);
    EXPECT_EQ(packet.PortNumber, 0xFFFFFFFFu);
    EXPECT_EQ(packet.DestinationPorts, 3u);
    packet.PortNumber = 1;
    packet.PacketTime = 5;
    packet.LastByteTime = 6;
    packet.ExpectedLength = 8;
    packet.AppendByte(0x1C);
    packet.Clear();
    EXPECT_EQ(packet.ByteCount(), 0);
    EXPECT_EQ(packet.PortNumber, 0xFFFFFFFFu);
    EXPECT_EQ(packet.PacketTime, 0u);
    EXPECT_EQ(packet.LastByteTime, 0u);
    EXPECT_EQ(packet.ExpectedLength, 0u);
}

TEST(RawPacketTest, AppendReportsTheExpectedLength) {
    RawPacket packet;
    packet.ExpectedLength = 3;
    EXPECT_FALSE(packet.AppendByte(1));
    EXPECT_FALSE(packet.AppendByte(2));
    EXPECT_TRUE(packet.AppendByte(3));
}

TEST(RawPacketTest, ByteEditing) {
    RawPacket packet;
    const BYTE bytes[] = {1, 2, 3, 4};
    packet.AssignBytes(bytes, 4);
    EXPECT_EQ(packet.ExpectedLength, 4u);
    packet.SetByteAt(1, 9);
    EXPECT_EQ(packet.ByteAt(1), 9);
    packet.RemoveAt(0);
    EXPECT_EQ(packet.CopyBytes(), (std::vector<BYTE>{9, 3, 4}));
    packet.Resize(5, 0xEE);
    EXPECT_EQ(packet.CopyBytes(), (std::vector<BYTE>{9, 3, 4, 0xEE, 0xEE}));
    packet.Resize(2, 0);
    EXPECT_EQ(packet.CopyBytes(), (std::vector<BYTE>{9, 3}));

    BYTE buffer[4] = {};
    EXPECT_EQ(packet.CopyBytes(buffer, 4), 2);
    EXPECT_EQ(buffer[0], 9);
    EXPECT_EQ(packet.CopyBytes(buffer, 1), 1);
    EXPECT_EQ(packet.CopyBytes(buffer, 0), 0);
}

TEST(RawPacketTest, SameBytesAndCopyFrom) {
    RawPacket a, b;
    const BYTE bytes[] = {0x1C, 1, 2};
    a.AssignBytes(bytes, 3);
    b.AssignBytes(bytes, 2);
    EXPECT_FALSE(a.SameBytes(b));
    EXPECT_TRUE(a.SameBytes(a));
    a.PortNumber = 1;
    a.DestinationPorts = 1;
    a.PacketTime = 100;
    a.LastByteTime = 108;
    a.ExpectedLength = 8;  // as while receiving
    b.CopyFrom(a);
    EXPECT_TRUE(b.SameBytes(a));
    EXPECT_EQ(b.PortNumber, 1u);
    EXPECT_EQ(b.DestinationPorts, 1u);
    EXPECT_EQ(b.PacketTime, 100u);
    EXPECT_EQ(b.LastByteTime, 108u);
    EXPECT_EQ(b.ExpectedLength, 3u);
}

TEST(RawPacketTest, CrossedPairOperationsDoNotDeadlock) {
    RawPacket a, b;
    const BYTE bytes[] = {0x1C, 1, 2, 3, 4, 5, 6, 7};
    a.AssignBytes(bytes, 8);
    std::thread other([&] {
        for (int i = 0; i < 2000; ++i)
            b.CopyFrom(a);
    });
    for (int i = 0; i < 2000; ++i)
        a.SameBytes(b);
    other.join();
    EXPECT_TRUE(a.SameBytes(b));
}

TEST(PacketBaseTest, ResetKeepsBytesAndNamedValues) {
    auto packet = MakePacket({0x1C, 1, 2, 3, 4, 5, 6, 7});
    packet->ExpectedLength = 8;
    packet->LastByteTime = 42;
    packet->PortNumber = 1;
    packet->DestinationPorts = 1;
    packet->PacketTime = 9;
    packet->Delay = 500;
    packet->DecodeHeader();
    packet->Decoded.SetValue(u"Level", CComVariant(LONG{7}));
    packet->Reset();
    EXPECT_EQ(packet->ByteCount(), 8);
    EXPECT_EQ(packet->LastByteTime, 42u);
    EXPECT_EQ(packet->ExpectedLength, 8u);
    EXPECT_EQ(packet->PortNumber, 0xFFFFFFFFu);
    EXPECT_EQ(packet->DestinationPorts, 3u);
    EXPECT_EQ(packet->PacketTime, 0u);
    EXPECT_EQ(packet->Delay, kPacketDelayWithoutGlobal);
    EXPECT_EQ(packet->Decoded.PresenceMask(), 0);
    EXPECT_NE(packet->Decoded.FindValue(u"Level"), nullptr);
    EXPECT_FALSE(packet->WantsResponse());
}

TEST(DecodeHeaderTest, LogicalPacketUsesAreaAndJoin) {
    auto packet = MakePacket({0x1C, 0x05, 0x00, 0x48, 0x00, 0x00, 0xF0, 0x00});
    packet->DecodeHeader();
    const DecodedPacket& d = packet->Decoded;
    EXPECT_EQ(d.PresenceMask(), 0x072);
    LONG value = -1;
    EXPECT_TRUE(d.Get(DecodedPacket::kLogical, &value));
    EXPECT_EQ(value, 1);
    EXPECT_TRUE(d.Get(DecodedPacket::kArea, &value));
    EXPECT_EQ(value, 5);
    EXPECT_TRUE(d.Get(DecodedPacket::kJoin, &value));
    EXPECT_EQ(value, 0xF0);
    EXPECT_TRUE(d.Get(DecodedPacket::kOpcode, &value));
    EXPECT_EQ(value, 0x48);
    value = -1;
    EXPECT_FALSE(d.Get(DecodedPacket::kBoxNumber, &value));
    EXPECT_FALSE(d.Get(DecodedPacket::kDeviceCode, &value));
    EXPECT_EQ(value, -1);
}

TEST(DecodeHeaderTest, PhysicalPacketUsesDeviceCodeAndBoxNumber) {
    auto packet = MakePacket({0x5C, 0xAA, 0xFE, 0x90, 0x00, 0x00, 0x00});
    packet->DecodeHeader();
    const DecodedPacket& d = packet->Decoded;
    EXPECT_EQ(d.PresenceMask(), 0x192);
    LONG value = -1;
    EXPECT_TRUE(d.Get(DecodedPacket::kLogical, &value));
    EXPECT_EQ(value, 0);
    EXPECT_TRUE(d.Get(DecodedPacket::kDeviceCode, &value));
    EXPECT_EQ(value, 0xAA);
    EXPECT_TRUE(d.Get(DecodedPacket::kBoxNumber, &value));
    EXPECT_EQ(value, 0xFE);
    EXPECT_FALSE(d.Has(DecodedPacket::kArea));
    EXPECT_FALSE(d.Has(DecodedPacket::kJoin));
}

TEST(DecodeHeaderTest, BlockPacketHasNoOpcode) {
    auto packet = MakePacket({0x6C, 1, 2, 3, 4, 5, 6, 7});
    packet->DecodeHeader();
    EXPECT_EQ(packet->Decoded.PresenceMask(), 0x210);
    LONG value = -1;
    EXPECT_TRUE(packet->Decoded.Get(DecodedPacket::kBlock, &value));
    EXPECT_EQ(value, 1);
    EXPECT_FALSE(packet->Decoded.Has(DecodedPacket::kOpcode));
}

TEST(DecodeHeaderTest, ShortOrUnknownFramesDecodeToNothing) {
    auto short_packet = MakePacket({0x1C, 1, 2, 3, 4, 5});
    short_packet->Decoded.Set(DecodedPacket::kFade, 100);
    short_packet->DecodeHeader();
    EXPECT_EQ(short_packet->Decoded.PresenceMask(), 0);
    auto long_frame = MakePacket({0xAC, 1, 2, 3, 4, 5, 6, 7});
    long_frame->DecodeHeader();
    EXPECT_EQ(long_frame->Decoded.PresenceMask(), 0);
}

TEST(DecodeHeaderTest, DecodeRemovesFieldsAScriptSet) {
    auto packet = MakePacket({0x1C, 1, 2, 3, 4, 5, 6, 7});
    packet->Decoded.Set(DecodedPacket::kFade, 2000);
    packet->Decoded.Set(DecodedPacket::kChannel, 4);
    packet->Decoded.Set(DecodedPacket::kSync, 1);
    packet->DecodeHeader();
    EXPECT_FALSE(packet->Decoded.Has(DecodedPacket::kFade));
    EXPECT_FALSE(packet->Decoded.Has(DecodedPacket::kChannel));
    EXPECT_FALSE(packet->Decoded.Has(DecodedPacket::kSync));
}

TEST(DecodeHeaderTest, ChangingBytesDoesNotUpdateTheFieldsUntilDecoded) {
    auto packet = MakePacket({0x1C, 1, 2, 3, 4, 5, 6, 7});
    packet->DecodeHeader();
    packet->SetByteAt(1, 9);
    LONG area = 0;
    packet->Decoded.Get(DecodedPacket::kArea, &area);
    EXPECT_EQ(area, 1);
    packet->DecodeHeader();
    packet->Decoded.Get(DecodedPacket::kArea, &area);
    EXPECT_EQ(area, 9);
    EXPECT_EQ(packet->ByteAt(1), 9);
}

TEST(DecodedPacketTest, PairedFieldsShareOneCell) {
    DecodedPacket d;
    d.Set(DecodedPacket::kArea, 300);
    LONG value = 0;
    EXPECT_FALSE(d.Get(DecodedPacket::kBoxNumber, &value));
    d.Set(DecodedPacket::kBoxNumber, 12);
    EXPECT_TRUE(d.Get(DecodedPacket::kArea, &value));
    EXPECT_EQ(value, 12);
    d.Set(DecodedPacket::kJoin, 0x1FF);  // a byte field keeps 8 bits
    d.Set(DecodedPacket::kDeviceCode, 0x0F);
    EXPECT_TRUE(d.Get(DecodedPacket::kJoin, &value));
    EXPECT_EQ(value, 0x0F);
    d.Remove(DecodedPacket::kJoin);
    EXPECT_FALSE(d.Has(DecodedPacket::kJoin));
    EXPECT_TRUE(d.Has(DecodedPacket::kDeviceCode));
}

TEST(DecodedPacketTest, NamedValuesReplaceInPlaceIgnoringCase) {
    DecodedPacket d;
    d.SetValue(u"Level", CComVariant(BYTE{1}));
    d.SetValue(u"Fade", CComVariant(LONG{20}));
    d.SetValue(u"LEVEL", CComVariant(BYTE{2}));
    ASSERT_EQ(d.ValueCount(), 2u);
    EXPECT_EQ(d.Values().Names()[0], u"Level");
    EXPECT_EQ(d.FindValue(u"level")->bVal, 2);
    const VARIANT* fade = d.FindValue(u"fade");
    ASSERT_NE(fade, nullptr);
    EXPECT_EQ(fade->vt, VT_I4);
    EXPECT_EQ(d.FindValue(u"Preset"), nullptr);
}

struct RecordingListener : PacketListener {
    void OnPacketSent(PacketBase& packet) override {
        ++calls;
        port = packet.PortNumber;
        time = packet.PacketTime;
    }
    int calls = 0;
    DWORD port = 0;
    DWORD time = 0;
};

TEST(MarkSentTest, RecordsTheTransmissionThenTellsTheListener) {
    ref<COMPacket> packet(new COMPacket);
    packet->MarkSent(1, 1234);  // no listener: nothing to call
    RecordingListener listener;
    packet->Listener = &listener;
    packet->MarkSent(2, 5678);
    EXPECT_EQ(listener.calls, 1);
    EXPECT_EQ(listener.port, 2u);
    EXPECT_EQ(listener.time, 5678u);
    EXPECT_EQ(packet->PortNumber, 2u);
}

// A script function that records the calls it gets.
class RecordingFunction : public ComObjectRoot<RecordingFunction, NamelessDispatch, IMarshal> {
  public:
    HRESULT Invoke(DISPID dispid, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*,
                   EXCEPINFO*, UINT*) override {
        ++calls;
        last_dispid = dispid;
        last_flags = flags;
        if (params && params->cArgs == 1 && params->rgvarg[0].vt == VT_DISPATCH)
            last_argument = params->rgvarg[0].pdispVal;
        if (listener_calls) order_ok = *listener_calls == 1;
        return S_OK;
    }
    int calls = 0;
    DISPID last_dispid = -1;
    WORD last_flags = 0;
    IDispatch* last_argument = nullptr;
    const int* listener_calls = nullptr;
    bool order_ok = false;
};

TEST(MarkSentTest, CallsPacketSentAfterTheListenerWithTheScriptObject) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    {
        ComPtr<ComObject<RecordingFunction>> function;
        ASSERT_EQ(ComObject<RecordingFunction>::CreateInstance(function.put()), S_OK);
        ComPtr<ComObject<RecordingFunction>> script_object;
        ASSERT_EQ(ComObject<RecordingFunction>::CreateInstance(script_object.put()), S_OK);

        ref<COMPacket> packet(new COMPacket);
        RecordingListener listener;
        packet->Listener = &listener;
        function->listener_calls = &listener.calls;
        packet->PacketSent = static_cast<IDispatch*>(function.get());

        packet->ScriptObject = script_object.get();
        packet->MarkSent(1, 20);
        EXPECT_EQ(function->calls, 1);
        EXPECT_TRUE(function->order_ok);
        EXPECT_EQ(function->last_dispid, DISPID_VALUE);
        EXPECT_EQ(function->last_flags, DISPATCH_METHOD);
        EXPECT_EQ(function->last_argument, static_cast<IDispatch*>(script_object.get()));
        packet->ScriptObject = nullptr;

        // Without a script object one is made for the call; its release drops PacketSent.
        listener.calls = 0;
        packet->MarkSent(1, 30);
        EXPECT_EQ(function->calls, 2);
        EXPECT_NE(function->last_argument, static_cast<IDispatch*>(script_object.get()));
        EXPECT_FALSE(packet->PacketSent);
        EXPECT_EQ(packet->ScriptObject, nullptr);
    }
    CoUninitialize();
}

}  // namespace
