#include "network/opcode_catalogue.h"

#include "network/packet_base.h"

namespace {

using F = DecodedPacket;

constexpr ValueExpr Const(LONG value) {
    return {ValueRule::kLinear, value, 0, 0, 0, 0, 0};
}
constexpr ValueExpr Byte(BYTE n, LONG factor = 1, LONG constant = 0) {
    return {ValueRule::kLinear, constant, 0, n, factor, 0, 0};
}
constexpr ValueExpr Bytes(BYTE a, LONG factor_a, BYTE b, LONG factor_b, LONG constant = 0) {
    return {ValueRule::kLinear, constant, 0, a, factor_a, b, factor_b};
}
// Levels of logical packets travel complemented.
constexpr ValueExpr Complement(BYTE n) {
    return Byte(n, -1, 255);
}
// Presets: opcode + constant + 8 x byte 5 (each bank of byte 5 holds eight presets).
constexpr ValueExpr PresetInBank(LONG constant) {
    return {ValueRule::kLinear, constant, 1, 5, 8, 0, 0};
}
constexpr ValueExpr Bcd(BYTE n) {
    return {ValueRule::kBcd, 0, 0, n, 0, 0, 0};
}
constexpr ValueExpr kBankChannel{ValueRule::kBankChannel};
constexpr ValueExpr kButtonState{ValueRule::kButtonState, 0, 0, 6, 0, 0, 0};
constexpr ValueExpr kSource{ValueRule::kSource};

constexpr NamedValueRule I4(const char16_t* name, ValueExpr value) {
    return {name, VT_I4, value};
}
constexpr NamedValueRule UI1(const char16_t* name, ValueExpr value) {
    return {name, VT_UI1, value};
}
constexpr NamedValueRule Bool(const char16_t* name, ValueExpr value) {
    return {name, VT_BOOL, value};
}
constexpr NamedValueRule Str(const char16_t* name, ValueExpr value) {
    return {name, VT_BSTR, value};
}

constexpr BYTE kByte6 = 1 << 6;
constexpr BYTE kBytes456 = (1 << 4) | (1 << 5) | (1 << 6);

// Level and CurrentLevel carry the same value in most rows.
constexpr std::array<NamedValueRule, 2> Levels(ValueExpr value) {
    return {UI1(u"Level", value), UI1(u"CurrentLevel", value)};
}

constexpr OpcodeRow kRows[] = {
    // Logical packets.
    {kLogicalPacket,
     0x00,
     0x03,
     0,
     0,
     u"Preset",
     {I4(u"Preset", PresetInBank(1)), I4(u"Source", kSource)},
     {FieldRule{F::kChannel, Const(255)}}},
    {kLogicalPacket,
     0x0A,
     0x0D,
     0,
     0,
     u"Preset",
     {I4(u"Preset", PresetInBank(-5)), I4(u"Source", kSource)},
     {FieldRule{F::kChannel, Const(255)}}},
    {kLogicalPacket,
     0x62,
     0x62,
     0,
     0,
     u"Preset",
     {I4(u"Preset", Bytes(2, 1, 5, 1, 1)), I4(u"Source", kSource)},
     {}},
    {kLogicalPacket,
     0x17,
     0x17,
     0,
     0,
     u"Panic",
     {Bool(u"State", Const(1))},
     {FieldRule{F::kFade, Bytes(2, 20, 4, 256 * 20)}}},
    {kLogicalPacket,
     0x18,
     0x18,
     0,
     0,
     u"Panic",
     {Bool(u"State", Const(0))},
     {FieldRule{F::kFade, Bytes(2, 20, 4, 256 * 20)}}},
    {kLogicalPacket,
     0x60,
     0x60,
     0,
     0,
     u"LogicalLevel",
     {UI1(u"Level", Complement(4)), UI1(u"CurrentLevel", Complement(5))},
     {FieldRule{F::kChannel, Byte(2, 1, 1)}}},
    {kLogicalPacket,
     0x68,
     0x68,
     0,
     0,
     u"LogicalLevel",
     Levels(Const(0)),
     {FieldRule{F::kChannel, Byte(2, 1, 1)}, FieldRule{F::kFade, Const(0)}}},
    {kLogicalPacket,
     0x69,
     0x69,
     0,
     0,
     u"LogicalLevel",
     Levels(Const(255)),
     {FieldRule{F::kChannel, Byte(2, 1, 1)}, FieldRule{F::kFade, Const(0)}}},
    // The 16-bit fade of 0x74 and 0x75 is taken without scaling.
    {kLogicalPacket,
     0x74,
     0x74,
     0,
     0,
     u"LogicalLevel",
     Levels(Const(0)),
     {FieldRule{F::kChannel, Byte(2, 1, 1)}, FieldRule{F::kFade, Bytes(4, 1, 5, 256)}}},
    {kLogicalPacket,
     0x75,
     0x75,
     0,
     0,
     u"LogicalLevel",
     Levels(Const(255)),
     {FieldRule{F::kChannel, Byte(2, 1, 1)}, FieldRule{F::kFade, Bytes(4, 1, 5, 256)}}},
    {kLogicalPacket,
     0x79,
     0x79,
     0,
     0,
     u"LogicalLevel",
     Levels(Complement(2)),
     {FieldRule{F::kFade, Const(0)}}},
    {kLogicalPacket,
     0x80,
     0x83,
     0,
     0,
     u"LogicalLevel",
     Levels(Complement(2)),
     {FieldRule{F::kChannel, kBankChannel}, FieldRule{F::kFade, Byte(5, 20)}}},

    // Physical packets.
    {kPhysicalPacket,
     0x00,
     0x00,
     kByte6,
     0,
     u"SignOn",
     {UI1(u"VersionHi", Bcd(4)), UI1(u"VersionLo", Bcd(5))},
     {}},
    {kPhysicalPacket, 0x02, 0x02, kBytes456, 0, u"Reset", {}, {}},
    {kPhysicalPacket,
     0x43,
     0x43,
     kByte6,
     2,
     u"Button",
     {I4(u"Button", Byte(4)), Str(u"ButtonState", kButtonState)},
     {}},
    {kPhysicalPacket, 0x43, 0x43, 0, 0, nullptr, {I4(u"Button", Byte(4))}, {}},
    {kPhysicalPacket,
     0x49,
     0x49,
     kByte6,
     2,
     u"IRButton",
     {I4(u"Button", Byte(4)), Str(u"ButtonState", kButtonState)},
     {}},
    {kPhysicalPacket, 0x49, 0x49, 0, 0, nullptr, {I4(u"Button", Byte(4))}, {}},
    {kPhysicalPacket,
     0x90,
     0x90,
     0,
     0,
     u"PhysicalLevel",
     Levels(Byte(6)),
     {FieldRule{F::kChannel, Byte(4)}, FieldRule{F::kFade, Const(0)}}},
    {kPhysicalPacket,
     0x92,
     0x92,
     0,
     0,
     u"PhysicalLevel",
     {UI1(u"Level", Byte(5)), I4(u"Fade", Byte(6, 20))},
     {FieldRule{F::kChannel, Byte(4)}}},
};

LONG Evaluate(const ValueExpr& expr, const PacketBase& packet, const BYTE* bytes) {
    switch (expr.rule) {
        case ValueRule::kLinear:
            return expr.constant + expr.opcode_factor * bytes[3] +
                   expr.factor_a * bytes[expr.byte_a] + expr.factor_b * bytes[expr.byte_b];
        case ValueRule::kBcd: {
            const BYTE b = bytes[expr.byte_a];
            return (b >> 4) * 10 + (b & 0x0F);
        }
        case ValueRule::kBankChannel:
            return (bytes[3] - 0x80) + 1 + (bytes[4] == 255 ? 0 : 4 * bytes[4] + 4);
        case ValueRule::kButtonState:
            return bytes[expr.byte_a];
        case ValueRule::kSource:
            return static_cast<LONG>(packet.PortNumber);
    }
    return 0;
}

const char16_t* ButtonStateName(LONG state) {
    switch (state) {
        case 0:
            return u"release";
        case 1:
            return u"press";
        case 2:
            return u"repeat";
        default:
            return u"";
    }
}

CComVariant MakeValue(const NamedValueRule& rule, LONG value) {
    switch (rule.type) {
        case VT_UI1:
            return CComVariant(static_cast<BYTE>(value));
        case VT_BOOL:
            return CComVariant(value != 0);
        case VT_BSTR:
            return CComVariant(ButtonStateName(value));
        default:
            return CComVariant(value);
    }
}

bool ConditionHolds(const OpcodeRow& row, const BYTE* bytes) {
    for (int n = 0; n < 8; ++n) {
        if ((row.condition_bytes & (1 << n)) && bytes[n] > row.condition_max) return false;
    }
    return true;
}

}  // namespace

std::span<const OpcodeRow> OpcodeCatalogue() {
    return kRows;
}

const OpcodeRow* FindOpcodeRow(const BYTE* bytes, std::size_t count) {
    if (count < 7) return nullptr;
    for (const OpcodeRow& row : kRows) {
        if (row.frame == bytes[0] && bytes[3] >= row.first_opcode && bytes[3] <= row.last_opcode &&
            ConditionHolds(row, bytes)) {
            return &row;
        }
    }
    return nullptr;
}

void ApplyOpcodeRow(const OpcodeRow& row, PacketBase& packet, const BYTE* bytes) {
    for (const NamedValueRule& rule : row.values) {
        if (!rule.name) continue;
        packet.Decoded.SetValue(rule.name, MakeValue(rule, Evaluate(rule.value, packet, bytes)));
    }
    for (const FieldRule& rule : row.fields) {
        if (!rule.field) continue;
        packet.Decoded.Set(static_cast<DecodedPacket::Field>(rule.field),
                           Evaluate(rule.value, packet, bytes));
    }
}

const OpcodeRow* DecodeOpcode(PacketBase& packet) {
    packet.DecodeHeader();
    BYTE bytes[8];
    const LONG count = packet.CopyBytes(bytes, sizeof bytes);
    if (count < 7) return nullptr;
    if (count == 7) bytes[7] = 0;
    const OpcodeRow* row = FindOpcodeRow(bytes, static_cast<std::size_t>(count));
    if (row) ApplyOpcodeRow(*row, packet, bytes);
    return row;
}
