#include "network/opcode_catalogue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "network/com_packet.h"
#include "support/show.h"

namespace {

using D = DecodedPacket;

// The row's event ("none" without a row, "silent" for a row without one), the named values in
// order, and the typed fields the row sets besides the header. The packet was decoded before as
// received on another port, and a script set fields on it: the decode replaces all of that.
std::string Decode(const std::string& hex, DWORD port = 1) {
    const std::vector<BYTE> bytes = FromHex(hex);
    ref<COMPacket> packet(new COMPacket);
    packet->AssignBytes(bytes.data(), bytes.size());
    packet->PortNumber = 9;
    DecodeOpcode(*packet);
    packet->Decoded.Set(D::kFade, 999);
    packet->Decoded.Set(D::kSync, 1);
    packet->PortNumber = port;
    const OpcodeRow* row = DecodeOpcode(*packet);
    const D& d = packet->Decoded;
    std::string text = !row ? "none" : row->event ? Utf16ToUtf8(row->event) : "silent";
    text += ":";
    for (const std::u16string& name : packet->Decoded.Values().Names())
        text += " " + Utf16ToUtf8(name) + "=" + ShowVariant(*d.FindValue(name));
    text += ";";
    for (auto [field, name] : {std::pair{D::kChannel, "Channel"}, {D::kFade, "Fade"}}) {
        LONG value = 0;
        if (d.Get(field, &value)) text += std::string(" ") + name + "=" + std::to_string(value);
    }
    // The row leaves the header as the header decode made it.
    ref<COMPacket> header(new COMPacket);
    header->AssignBytes(bytes.data(), bytes.size());
    header->DecodeHeader();
    EXPECT_EQ(d.PresenceMask() & ~(D::kChannel | D::kFade), header->Decoded.PresenceMask()) << hex;
    return text;
}

TEST(CatalogueTest, RowsStoreTheirValuesAndFieldsNameTheirEventAndAreAllReachable) {
    const struct {
        const char* bytes;
        const char* decoded;
    } cases[] = {
        // Presets count eight per bank; 0x62 adds byte 2; Source is the receiving port.
        {"1C 01 00 00 00 00 FF", "Preset: Preset=I4 1 Source=I4 1; Channel=255"},
        {"1C 01 00 03 00 01 FF", "Preset: Preset=I4 12 Source=I4 1; Channel=255"},
        {"1C 01 00 0A 00 00 FF", "Preset: Preset=I4 5 Source=I4 1; Channel=255"},
        {"1C 01 00 0D 00 00 FF", "Preset: Preset=I4 8 Source=I4 1; Channel=255"},
        {"1C 01 0A 62 00 03 FF", "Preset: Preset=I4 14 Source=I4 1;"},
        // Panic carries its state and a fade in units of 20 over bytes 2 and 4.
        {"1C 01 05 17 01 00 FF", "Panic: State=BOOL true; Fade=5220"},
        {"1C 01 00 18 00 00 FF", "Panic: State=BOOL false; Fade=0"},
        // Logical levels travel complemented.
        {"1C 01 03 60 00 FF FF", "LogicalLevel: Level=UI1 255 CurrentLevel=UI1 0; Channel=4"},
        {"1C 01 40 79 00 00 FF", "LogicalLevel: Level=UI1 191 CurrentLevel=UI1 191; Fade=0"},
        // On and off; 0x74 and 0x75 carry a 16-bit fade (byte 4 low) without scaling.
        {"1C 01 06 68 01 02 FF", "LogicalLevel: Level=UI1 0 CurrentLevel=UI1 0; Channel=7 Fade=0"},
        {"1C 01 06 69 01 02 FF",
         "LogicalLevel: Level=UI1 255 CurrentLevel=UI1 255; Channel=7 Fade=0"},
        {"1C 01 06 74 01 02 FF",
         "LogicalLevel: Level=UI1 0 CurrentLevel=UI1 0; Channel=7 Fade=513"},
        {"1C 01 06 75 01 02 FF",
         "LogicalLevel: Level=UI1 255 CurrentLevel=UI1 255; Channel=7 Fade=513"},
        // Channel opcodes count four channels per bank of byte 4; 255 is the first bank.
        {"1C 01 00 80 FF 02 FF",
         "LogicalLevel: Level=UI1 255 CurrentLevel=UI1 255; Channel=1 Fade=40"},
        {"1C 01 00 80 00 00 FF",
         "LogicalLevel: Level=UI1 255 CurrentLevel=UI1 255; Channel=5 Fade=0"},
        {"1C 01 00 83 FF 00 FF",
         "LogicalLevel: Level=UI1 255 CurrentLevel=UI1 255; Channel=4 Fade=0"},
        {"1C 01 00 82 02 00 FF",
         "LogicalLevel: Level=UI1 255 CurrentLevel=UI1 255; Channel=15 Fade=0"},
        // Sign-on versions are BCD; only with byte 6 zero.
        {"5C 01 02 00 12 34 00", "SignOn: VersionHi=UI1 12 VersionLo=UI1 34;"},
        {"5C 01 02 00 99 05 00", "SignOn: VersionHi=UI1 99 VersionLo=UI1 5;"},
        // Reset needs zero data.
        {"5C 01 02 02 00 00 00", "Reset:;"},
        // Buttons name their state; an unknown state names the button only.
        {"5C 01 02 43 11 00 00", "Button: Button=I4 17 ButtonState=BSTR release;"},
        {"5C 01 02 43 11 00 01", "Button: Button=I4 17 ButtonState=BSTR press;"},
        {"5C 01 02 43 11 00 02", "Button: Button=I4 17 ButtonState=BSTR repeat;"},
        {"5C 01 02 43 11 00 03", "silent: Button=I4 17;"},
        {"5C 01 02 49 11 00 00", "IRButton: Button=I4 17 ButtonState=BSTR release;"},
        {"5C 01 02 49 11 00 01", "IRButton: Button=I4 17 ButtonState=BSTR press;"},
        {"5C 01 02 49 11 00 02", "IRButton: Button=I4 17 ButtonState=BSTR repeat;"},
        {"5C 01 02 49 11 00 03", "silent: Button=I4 17;"},
        // Physical levels travel as they are.
        {"5C 01 02 90 04 00 80",
         "PhysicalLevel: Level=UI1 128 CurrentLevel=UI1 128; Channel=4 Fade=0"},
        {"5C 01 02 92 03 40 0A", "PhysicalLevel: Level=UI1 64 Fade=I4 200; Channel=3"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Decode(c.bytes), c.decoded) << c.bytes;
    // No row: 0x04 to 0x09 between the preset ranges, 0x84 past the channel opcodes,
    // uncatalogued logical opcodes, a sign-on without byte 6 zero, resets with data, device
    // commands, block packets and short packets.
    for (const char* bytes :
         {"1C 01 00 04 00 00 FF", "1C 01 00 09 00 00 FF", "1C 01 00 84 00 00 FF",
          "1C 05 0F 14 00 00 01", "1C 05 0F 48 00 00 01", "1C 05 0F 61 00 00 01",
          "1C 05 0F FF 00 00 01", "5C 01 02 00 12 34 01", "5C 01 02 02 21 00 00",
          "5C 01 02 02 00 00 01", "5C 01 02 01 00 00 00", "5C 01 02 14 00 00 00",
          "5C 01 02 15 00 00 00", "5C 01 02 16 00 00 00", "5C 01 02 E8 00 00 00",
          "5C 01 02 E9 00 00 00", "6C 01 02 00 00 00 00", "1C 01 00 00 00 00"})
        EXPECT_EQ(Decode(bytes), "none:;") << bytes;
    EXPECT_EQ(Decode("1C 01 00 0B 00 02 FF", 2), "Preset: Preset=I4 22 Source=I4 2; Channel=255");
    EXPECT_EQ(FindOpcodeRow(nullptr, 0), nullptr);
    // A row hidden behind an earlier one with the same opcode and no condition would be dead.
    for (const OpcodeRow& row : OpcodeCatalogue()) {
        BYTE bytes[8] = {row.frame, 1, 2, row.first_opcode, 0, 0, 0, 0};
        if (row.condition_bytes == 0 && row.event == nullptr) bytes[6] = 3;
        EXPECT_EQ(FindOpcodeRow(bytes, 8), &row) << "opcode " << int(row.first_opcode);
    }
}

}  // namespace
