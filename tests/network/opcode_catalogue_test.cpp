#include "network/opcode_catalogue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "network/com_packet.h"

namespace {

struct Decoded {
    ref<COMPacket> packet;
    const OpcodeRow* row;

    std::u16string Event() const { return row && row->event ? row->event : u""; }
    LONG I4(const char16_t* name) const {
        const VARIANT* v = packet->Decoded.FindValue(name);
        EXPECT_NE(v, nullptr) << "missing " << Utf16ToUtf8(name);
        if (!v) return -1;
        EXPECT_EQ(v->vt, VT_I4) << Utf16ToUtf8(name);
        return v->lVal;
    }
    LONG UI1(const char16_t* name) const {
        const VARIANT* v = packet->Decoded.FindValue(name);
        EXPECT_NE(v, nullptr) << "missing " << Utf16ToUtf8(name);
        if (!v) return -1;
        EXPECT_EQ(v->vt, VT_UI1) << Utf16ToUtf8(name);
        return v->bVal;
    }
    bool Has(const char16_t* name) const { return packet->Decoded.FindValue(name) != nullptr; }
    LONG Field(DecodedPacket::Field field) const {
        LONG value = -1;
        EXPECT_TRUE(packet->Decoded.Get(field, &value)) << "field " << field;
        return value;
    }
    bool HasField(DecodedPacket::Field field) const { return packet->Decoded.Has(field); }
    std::size_t ValueCount() const { return packet->Decoded.ValueCount(); }
};

Decoded Decode(std::vector<BYTE> bytes, DWORD port = 1) {
    ref<COMPacket> packet(new COMPacket);
    packet->AssignBytes(bytes.data(), bytes.size());
    packet->PortNumber = port;
    const OpcodeRow* row = DecodeOpcode(*packet);
    return {packet, row};
}

TEST(CatalogueTest, PresetOpcodesCountEightPerBank) {
    auto first = Decode({0x1C, 0x01, 0x00, 0x00, 0x00, 0x00, 0xFF}, 1);
    EXPECT_EQ(first.Event(), u"Preset");
    EXPECT_EQ(first.I4(u"Preset"), 1);
    EXPECT_EQ(first.I4(u"Source"), 1);
    EXPECT_EQ(first.Field(DecodedPacket::kChannel), 255);
    EXPECT_EQ(first.Field(DecodedPacket::kArea), 1);  // header decoded as well

    EXPECT_EQ(Decode({0x1C, 1, 0, 0x03, 0, 1, 0xFF}).I4(u"Preset"), 12);
    EXPECT_EQ(Decode({0x1C, 1, 0, 0x0A, 0, 0, 0xFF}).I4(u"Preset"), 5);
    auto bank2 = Decode({0x1C, 1, 0, 0x0B, 0, 2, 0xFF}, 2);
    EXPECT_EQ(bank2.Event(), u"Preset");
    EXPECT_EQ(bank2.I4(u"Preset"), 22);
    EXPECT_EQ(bank2.I4(u"Source"), 2);
    EXPECT_EQ(Decode({0x1C, 1, 0, 0x0D, 0, 0, 0xFF}).I4(u"Preset"), 8);

    auto linear = Decode({0x1C, 1, 10, 0x62, 0, 3, 0xFF});
    EXPECT_EQ(linear.Event(), u"Preset");
    EXPECT_EQ(linear.I4(u"Preset"), 14);
    EXPECT_FALSE(linear.HasField(DecodedPacket::kChannel));

    // 0x04 to 0x09 lie between the two preset ranges and are not presets.
    EXPECT_EQ(Decode({0x1C, 1, 0, 0x04, 0, 0, 0xFF}).row, nullptr);
    EXPECT_EQ(Decode({0x1C, 1, 0, 0x09, 0, 0, 0xFF}).row, nullptr);
}

TEST(CatalogueTest, PanicCarriesStateAndAScaledFade) {
    auto on = Decode({0x1C, 1, 0x05, 0x17, 0x01, 0, 0xFF});
    EXPECT_EQ(on.Event(), u"Panic");
    const VARIANT* state = on.packet->Decoded.FindValue(u"State");
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->vt, VT_BOOL);
    EXPECT_EQ(state->boolVal, VARIANT_TRUE);
    EXPECT_EQ(on.Field(DecodedPacket::kFade), (5 + 256) * 20);

    auto off = Decode({0x1C, 1, 0, 0x18, 0, 0, 0xFF});
    EXPECT_EQ(off.Event(), u"Panic");
    EXPECT_EQ(off.packet->Decoded.FindValue(u"State")->boolVal, VARIANT_FALSE);
    EXPECT_EQ(off.Field(DecodedPacket::kFade), 0);
}

TEST(CatalogueTest, LogicalLevelsTravelComplemented) {
    auto level = Decode({0x1C, 1, 3, 0x60, 0x00, 0xFF, 0xFF});
    EXPECT_EQ(level.Event(), u"LogicalLevel");
    EXPECT_EQ(level.UI1(u"Level"), 255);
    EXPECT_EQ(level.UI1(u"CurrentLevel"), 0);
    EXPECT_EQ(level.Field(DecodedPacket::kChannel), 4);
    EXPECT_FALSE(level.HasField(DecodedPacket::kFade));

    auto single = Decode({0x1C, 1, 0x40, 0x79, 0, 0, 0xFF});
    EXPECT_EQ(single.Event(), u"LogicalLevel");
    EXPECT_EQ(single.UI1(u"Level"), 0xBF);
    EXPECT_EQ(single.UI1(u"CurrentLevel"), 0xBF);
    EXPECT_EQ(single.Field(DecodedPacket::kFade), 0);
    EXPECT_FALSE(single.HasField(DecodedPacket::kChannel));
}

TEST(CatalogueTest, OnOffOpcodesGiveFullOrZeroLevel) {
    struct Case {
        BYTE opcode;
        LONG level;
        LONG fade;
    };
    // 0x74 and 0x75 carry a 16-bit fade (byte 4 low, byte 5 high) without scaling.
    for (const Case& c :
         {Case{0x68, 0, 0}, Case{0x69, 255, 0}, Case{0x74, 0, 0x0201}, Case{0x75, 255, 0x0201}}) {
        SCOPED_TRACE(c.opcode);
        auto d = Decode({0x1C, 1, 6, c.opcode, 0x01, 0x02, 0xFF});
        EXPECT_EQ(d.Event(), u"LogicalLevel");
        EXPECT_EQ(d.UI1(u"Level"), c.level);
        EXPECT_EQ(d.UI1(u"CurrentLevel"), c.level);
        EXPECT_EQ(d.Field(DecodedPacket::kChannel), 7);
        EXPECT_EQ(d.Field(DecodedPacket::kFade), c.fade);
    }
}

TEST(CatalogueTest, ChannelOpcodesCountFourChannelsPerBank) {
    auto first = Decode({0x1C, 1, 0x00, 0x80, 0xFF, 0x02, 0xFF});
    EXPECT_EQ(first.Event(), u"LogicalLevel");
    EXPECT_EQ(first.Field(DecodedPacket::kChannel), 1);
    EXPECT_EQ(first.UI1(u"Level"), 255);
    EXPECT_EQ(first.UI1(u"CurrentLevel"), 255);
    EXPECT_EQ(first.Field(DecodedPacket::kFade), 40);

    EXPECT_EQ(Decode({0x1C, 1, 0, 0x80, 0x00, 0, 0xFF}).Field(DecodedPacket::kChannel), 5);
    EXPECT_EQ(Decode({0x1C, 1, 0, 0x83, 0xFF, 0, 0xFF}).Field(DecodedPacket::kChannel), 4);
    EXPECT_EQ(Decode({0x1C, 1, 0, 0x82, 0x02, 0, 0xFF}).Field(DecodedPacket::kChannel), 15);
    EXPECT_EQ(Decode({0x1C, 1, 0, 0x84, 0x00, 0, 0xFF}).row, nullptr);
}

TEST(CatalogueTest, UncataloguedLogicalOpcodesStoreNothing) {
    for (BYTE opcode : {BYTE{0x14}, BYTE{0x48}, BYTE{0x61}, BYTE{0xFF}}) {
        auto d = Decode({0x1C, 5, 0x0F, opcode, 0, 0, 0x01});
        EXPECT_EQ(d.row, nullptr);
        EXPECT_EQ(d.ValueCount(), 0u);
        EXPECT_EQ(d.packet->Decoded.PresenceMask(), 0x072);  // the header alone
    }
}

TEST(CatalogueTest, SignOnReadsBcdVersions) {
    auto d = Decode({0x5C, 0x01, 0x02, 0x00, 0x12, 0x34, 0x00});
    EXPECT_EQ(d.Event(), u"SignOn");
    EXPECT_EQ(d.UI1(u"VersionHi"), 12);
    EXPECT_EQ(d.UI1(u"VersionLo"), 34);
    EXPECT_EQ(Decode({0x5C, 1, 2, 0x00, 0x99, 0x05, 0x00}).UI1(u"VersionHi"), 99);
    EXPECT_EQ(Decode({0x5C, 1, 2, 0x00, 0x12, 0x34, 0x01}).row, nullptr);
}

TEST(CatalogueTest, ResetNeedsZeroData) {
    auto d = Decode({0x5C, 1, 2, 0x02, 0, 0, 0});
    EXPECT_EQ(d.Event(), u"Reset");
    EXPECT_EQ(d.ValueCount(), 0u);
    EXPECT_EQ(Decode({0x5C, 1, 2, 0x02, 0x21, 0, 0}).row, nullptr);
    EXPECT_EQ(Decode({0x5C, 1, 2, 0x02, 0, 0, 1}).row, nullptr);
}

TEST(CatalogueTest, ButtonStates) {
    const char16_t* names[] = {u"release", u"press", u"repeat"};
    for (BYTE opcode : {BYTE{0x43}, BYTE{0x49}}) {
        for (BYTE state = 0; state < 3; ++state) {
            auto d = Decode({0x5C, 1, 2, opcode, 17, 0, state});
            EXPECT_EQ(d.Event(), opcode == 0x43 ? u"Button" : u"IRButton");
            EXPECT_EQ(d.I4(u"Button"), 17);
            const VARIANT* v = d.packet->Decoded.FindValue(u"ButtonState");
            ASSERT_NE(v, nullptr);
            ASSERT_EQ(v->vt, VT_BSTR);
            EXPECT_EQ(std::u16string(v->bstrVal), names[state]);
        }
        // An unknown state still names the button but announces nothing.
        auto d = Decode({0x5C, 1, 2, opcode, 17, 0, 3});
        ASSERT_NE(d.row, nullptr);
        EXPECT_EQ(d.row->event, nullptr);
        EXPECT_EQ(d.I4(u"Button"), 17);
        EXPECT_FALSE(d.Has(u"ButtonState"));
    }
}

TEST(CatalogueTest, PhysicalLevelsTravelAsTheyAre) {
    auto d = Decode({0x5C, 1, 2, 0x90, 4, 0, 0x80});
    EXPECT_EQ(d.Event(), u"PhysicalLevel");
    EXPECT_EQ(d.UI1(u"Level"), 0x80);
    EXPECT_EQ(d.UI1(u"CurrentLevel"), 0x80);
    EXPECT_EQ(d.Field(DecodedPacket::kChannel), 4);
    EXPECT_EQ(d.Field(DecodedPacket::kFade), 0);
    EXPECT_EQ(d.Field(DecodedPacket::kBoxNumber), 2);

    auto fade = Decode({0x5C, 1, 2, 0x92, 3, 0x40, 10});
    EXPECT_EQ(fade.Event(), u"PhysicalLevel");
    EXPECT_EQ(fade.UI1(u"Level"), 0x40);
    EXPECT_EQ(fade.I4(u"Fade"), 200);
    EXPECT_FALSE(fade.Has(u"CurrentLevel"));
    EXPECT_EQ(fade.Field(DecodedPacket::kChannel), 3);
    EXPECT_FALSE(fade.HasField(DecodedPacket::kFade));
}

TEST(CatalogueTest, DeviceCommandsBlockAndShortPacketsHaveNoRow) {
    for (BYTE opcode : {BYTE{0x01}, BYTE{0x14}, BYTE{0x15}, BYTE{0x16}, BYTE{0xE8}, BYTE{0xE9}})
        EXPECT_EQ(Decode({0x5C, 1, 2, opcode, 0, 0, 0}).row, nullptr);
    EXPECT_EQ(Decode({0x6C, 1, 2, 0x00, 0, 0, 0}).row, nullptr);
    EXPECT_EQ(Decode({0x1C, 1, 0, 0x00, 0, 0}).row, nullptr);  // six bytes
    EXPECT_EQ(FindOpcodeRow(nullptr, 0), nullptr);
}

TEST(CatalogueTest, RedecodingReplacesValuesAndClearsScriptFields) {
    ref<COMPacket> packet(new COMPacket);
    const BYTE first[] = {0x1C, 1, 0, 0x00, 0, 0, 0xFF};
    packet->AssignBytes(first, 7);
    DecodeOpcode(*packet);
    packet->Decoded.Set(DecodedPacket::kFade, 999);
    packet->Decoded.Set(DecodedPacket::kSync, 1);
    const BYTE second[] = {0x1C, 1, 0, 0x01, 0, 1, 0xFF};
    packet->AssignBytes(second, 7);
    DecodeOpcode(*packet);
    EXPECT_FALSE(packet->Decoded.Has(DecodedPacket::kFade));
    EXPECT_FALSE(packet->Decoded.Has(DecodedPacket::kSync));
    ASSERT_EQ(packet->Decoded.ValueCount(), 2u);  // replaced, not appended
    EXPECT_EQ(packet->Decoded.FindValue(u"Preset")->lVal, 10);
}

TEST(CatalogueTest, EveryRowIsReachable) {
    // A row hidden behind an earlier one with the same opcode and no condition would be dead.
    for (const OpcodeRow& row : OpcodeCatalogue()) {
        BYTE bytes[8] = {row.frame, 1, 2, row.first_opcode, 0, 0, 0, 0};
        if (row.condition_bytes == 0 && row.event == nullptr) bytes[6] = 3;
        EXPECT_EQ(FindOpcodeRow(bytes, 8), &row) << "opcode " << int(row.first_opcode);
    }
}

}  // namespace
