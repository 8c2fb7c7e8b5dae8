// Raw packets and their copies, and the header fields a packet decodes.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "network/com_packet.h"
#include "network/packet_base.h"
#include "network/raw_packet.h"
#include "support/network_doubles.h"
#include "support/show.h"
#include "support/variants.h"

namespace {

// The bytes and transport facts of a packet.
std::string Facts(const RawPacket& p) {
    char text[96];
    std::snprintf(text, sizeof text, " port=%X dest=%u time=%u last=%u expected=%u", p.PortNumber,
                  p.DestinationPorts, p.PacketTime, p.LastByteTime, p.ExpectedLength);
    return "[" + Hex(p.CopyBytes()) + "]" + text;
}

TEST(RawPacketTest, CopyFromTakesBytesAndFactsClearGivesTheIdleFactsAndEditsKeepTheFacts) {
    RawPacket packet;
    const std::string idle = "[] port=FFFFFFFF dest=3 time=0 last=0 expected=0";
    EXPECT_EQ(Facts(packet), idle);
    packet.PortNumber = packet.DestinationPorts = 1;
    packet.PacketTime = 5;
    packet.LastByteTime = 6;
    packet.ExpectedLength = 3;
    EXPECT_FALSE(packet.AppendByte(0x1C));  // appending reports the expected length
    EXPECT_FALSE(packet.AppendByte(2));
    EXPECT_TRUE(packet.AppendByte(3));

    RawPacket copy;
    copy.AssignBytes(packet.CopyBytes().data(), 2);
    EXPECT_FALSE(packet.SameBytes(copy));
    EXPECT_TRUE(packet.SameBytes(packet));
    packet.ExpectedLength = 8;  // as while receiving
    copy.CopyFrom(packet);
    EXPECT_TRUE(copy.SameBytes(packet));
    EXPECT_EQ(Facts(copy), "[1C 02 03] port=1 dest=1 time=5 last=6 expected=3");
    packet.Clear();
    EXPECT_EQ(Facts(packet), idle);

    const BYTE bytes[] = {1, 2, 3, 4};
    packet.AssignBytes(bytes, 4);  // and expects as many
    packet.SetByteAt(1, 9);
    packet.RemoveAt(0);
    EXPECT_EQ(Facts(packet), "[09 03 04] port=FFFFFFFF dest=3 time=0 last=0 expected=4");
    packet.Resize(5, 0xEE);
    EXPECT_EQ(Hex(packet.CopyBytes()), "09 03 04 EE EE");
    packet.Resize(2, 0);
    BYTE buffer[4] = {};
    EXPECT_EQ(packet.CopyBytes(buffer, 4), 2);
    EXPECT_EQ(Hex(Bytes(buffer, buffer + 4)), "09 03 00 00");
    EXPECT_EQ(packet.CopyBytes(buffer, 1), 1);
    EXPECT_EQ(packet.CopyBytes(buffer, 0), 0);
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

// Every field that reads as present, with its value.
std::string Fields(const DecodedPacket& d) {
    using D = DecodedPacket;
    const std::pair<D::Field, const char*> names[] = {
        {D::kSync, "Sync"},       {D::kOpcode, "Opcode"},   {D::kFade, "Fade"},
        {D::kChannel, "Channel"}, {D::kLogical, "Logical"}, {D::kJoin, "Join"},
        {D::kArea, "Area"},       {D::kBoxNumber, "Box"},   {D::kDeviceCode, "Device"},
        {D::kBlock, "Block"}};
    std::string text;
    for (auto [field, name] : names) {
        LONG value = -1;
        if (d.Get(field, &value))
            text += (text.empty() ? "" : " ") + std::string(name) + "=" + std::to_string(value);
    }
    return text;
}

TEST(DecodedPacketTest, FieldsByFrameKindBytesReadOnlyThenResetDropsThemAndPairsShareOneCell) {
    const struct {
        const char* bytes;
        const char* fields;
    } cases[] = {
        {"1C 05 00 48 00 00 F0 00", "Opcode=72 Logical=1 Join=240 Area=5"},
        {"5C AA FE 90 00 00 00", "Opcode=144 Logical=0 Box=254 Device=170"},
        {"6C 01 02 03 04 05 06 07", "Logical=0 Block=1"},
        {"1C 01 02 03 04 05", ""},  // too short
        {"AC 01 02 03 04 05 06 07", ""},
    };
    for (const auto& c : cases) {
        auto packet = PacketOf(FromHex(c.bytes));
        // Fields a script set go, whatever the frame.
        for (auto set : {DecodedPacket::kFade, DecodedPacket::kChannel, DecodedPacket::kSync})
            packet->Decoded.Set(set, 100);
        packet->DecodeHeader();
        EXPECT_EQ(Fields(packet->Decoded), c.fields) << c.bytes;
    }
    // Changing the bytes changes no field until the next decode.
    auto packet = PacketOf({0x1C, 1, 2, 3, 4, 5, 6, 7});
    packet->DecodeHeader();
    packet->SetByteAt(1, 9);
    EXPECT_EQ(Fields(packet->Decoded), "Opcode=3 Logical=1 Join=6 Area=1");
    packet->DecodeHeader();
    EXPECT_EQ(Fields(packet->Decoded), "Opcode=3 Logical=1 Join=6 Area=9");
    EXPECT_EQ(packet->ByteAt(1), 9);
    // Reset keeps the bytes and named values, and drops the fields and transport facts.
    packet->ExpectedLength = 8;
    packet->LastByteTime = 42;
    packet->PortNumber = packet->DestinationPorts = 1;
    packet->PacketTime = 9;
    packet->Delay = 500;
    packet->Decoded.SetValue(u"Level", I4(7));
    packet->Reset();
    EXPECT_EQ(Facts(*packet),
              "[1C 09 02 03 04 05 06 07] port=FFFFFFFF dest=3 time=0 last=42 expected=8");
    EXPECT_EQ(packet->Delay, kPacketDelayWithoutGlobal);
    EXPECT_EQ(Fields(packet->Decoded), "");
    EXPECT_NE(packet->Decoded.FindValue(u"Level"), nullptr);

    // Paired fields share one cell.
    DecodedPacket& d = packet->Decoded;
    d.Set(DecodedPacket::kArea, 300);
    EXPECT_EQ(Fields(d), "Area=300");
    d.Set(DecodedPacket::kBoxNumber, 12);
    EXPECT_EQ(Fields(d), "Area=12 Box=12");
    d.Set(DecodedPacket::kJoin, 0x1FF);  // a byte field keeps 8 bits
    EXPECT_EQ(Fields(d), "Join=255 Area=12 Box=12");
    d.Set(DecodedPacket::kDeviceCode, 0x0F);
    EXPECT_EQ(Fields(d), "Join=15 Area=12 Box=12 Device=15");
    d.Remove(DecodedPacket::kJoin);
    EXPECT_EQ(Fields(d), "Area=12 Box=12 Device=15");
}

}  // namespace
