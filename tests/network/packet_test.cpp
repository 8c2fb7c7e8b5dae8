#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "network/com_packet.h"
#include "network/packet_base.h"
#include "network/raw_packet.h"
#include "platform/apartment.h"
#include "platform/com_object.h"
#include "support/script_doubles.h"

namespace {

ref<PacketBase> MakePacket(std::vector<BYTE> bytes) {
    ref<PacketBase> packet(new PacketBase);
    packet->AssignBytes(bytes.data(), bytes.size());
    return packet;
}

TEST(ChecksumTest, MakesTheEightBytesSumToZero) {
    const struct {
        std::vector<BYTE> seven;
        BYTE checksum;
    } cases[] = {
        {{0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF}, 0x99},
        {{0, 0, 0, 0, 0, 0, 0}, 0x00},  // 256 mod 256
        {{0x5C, 0x10, 0x20, 0x90, 0x01, 0x00, 0x80}, 0x63},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PacketChecksum(c.seven.data()), c.checksum);
        EXPECT_EQ(MakePacket(c.seven)->Checksum(), c.checksum);
        unsigned sum = c.checksum;
        for (BYTE b : c.seven)
            sum += b;
        EXPECT_EQ(sum % 256, 0u);
    }
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
    EXPECT_EQ(packet.Bytes, (std::vector<BYTE>{9, 3, 4}));
    packet.Resize(5, 0xEE);
    EXPECT_EQ(packet.Bytes, (std::vector<BYTE>{9, 3, 4, 0xEE, 0xEE}));
    packet.Resize(2, 0);
    EXPECT_EQ(packet.Bytes, (std::vector<BYTE>{9, 3}));

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
    EXPECT_EQ(packet->Delay, kDefaultPacketDelay);
    EXPECT_EQ(packet->Decoded.PresenceMask(), 0);
    EXPECT_NE(packet->Decoded.FindValue(u"Level"), nullptr);
    EXPECT_FALSE(packet->WantsResponse());
}

TEST(DecodeHeaderTest, FieldsByFrameKindAndScriptFieldsRemoved) {
    using D = DecodedPacket;
    const D::Field all[] = {D::kSync, D::kOpcode, D::kFade,      D::kChannel,    D::kLogical,
                            D::kJoin, D::kArea,   D::kBoxNumber, D::kDeviceCode, D::kBlock};
    const struct {
        const char* kind;
        std::vector<BYTE> bytes;
        WORD mask;
        std::vector<std::pair<D::Field, LONG>> fields;  // the present ones
    } cases[] = {
        {"logical",
         {0x1C, 0x05, 0x00, 0x48, 0x00, 0x00, 0xF0, 0x00},
         0x072,
         {{D::kLogical, 1}, {D::kArea, 5}, {D::kJoin, 0xF0}, {D::kOpcode, 0x48}}},
        {"physical",
         {0x5C, 0xAA, 0xFE, 0x90, 0x00, 0x00, 0x00},
         0x192,
         {{D::kLogical, 0}, {D::kDeviceCode, 0xAA}, {D::kBoxNumber, 0xFE}, {D::kOpcode, 0x90}}},
        {"block", {0x6C, 1, 2, 3, 4, 5, 6, 7}, 0x210, {{D::kLogical, 0}, {D::kBlock, 1}}},
        {"six bytes", {0x1C, 1, 2, 3, 4, 5}, 0, {}},
        {"long frame", {0xAC, 1, 2, 3, 4, 5, 6, 7}, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        auto packet = MakePacket(c.bytes);
        // Fields a script set go, whatever the frame.
        for (D::Field set : {D::kFade, D::kChannel, D::kSync})
            packet->Decoded.Set(set, 100);
        packet->DecodeHeader();
        EXPECT_EQ(packet->Decoded.PresenceMask(), c.mask);
        for (D::Field field : all) {
            LONG value = -1;
            const bool present = packet->Decoded.Get(field, &value);
            auto expected = std::find_if(c.fields.begin(), c.fields.end(),
                                         [&](const auto& f) { return f.first == field; });
            EXPECT_EQ(present, expected != c.fields.end()) << "field " << field;
            if (present && expected != c.fields.end()) {
                EXPECT_EQ(value, expected->second);
            }
            if (!present) {  // untouched
                EXPECT_EQ(value, -1);
            }
        }
    }
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

TEST(MarkSentTest, CallsPacketSentAfterTheListenerWithTheScriptObject) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    {
        auto function = ScriptFunction::Returning(CComVariant());
        auto script_object = ScriptFunction::Returning(CComVariant());
        ref<COMPacket> packet(new COMPacket);
        RecordingListener listener;
        packet->Listener = &listener;
        int listener_calls_before = -1;
        function->on_call = [&](IDispatch*) { listener_calls_before = listener.calls; };
        packet->PacketSent = static_cast<IDispatch*>(function.get());

        packet->ScriptObject = script_object.get();
        packet->MarkSent(1, 20);
        ASSERT_EQ(function->Calls(), 1);
        EXPECT_EQ(listener_calls_before, 1);
        EXPECT_EQ(function->Last().flags, DISPATCH_METHOD);
        ASSERT_EQ(function->Last().args.size(), 1u);
        EXPECT_EQ(function->Last().Object(), static_cast<IDispatch*>(script_object.get()));
        packet->ScriptObject = nullptr;

        // Without a script object one is made for the call; its release drops PacketSent.
        packet->MarkSent(1, 30);
        EXPECT_EQ(function->Calls(), 2);
        EXPECT_NE(function->Last().Object(), static_cast<IDispatch*>(script_object.get()));
        function->Forget();
        EXPECT_FALSE(packet->PacketSent);
        EXPECT_EQ(packet->ScriptObject, nullptr);
    }
    CoUninitialize();
}

}  // namespace
