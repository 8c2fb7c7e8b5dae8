// The catalogue of recognised opcodes: for each, the named values and typed fields it stores on
// a packet and the event under which the packet is announced. The rows are data; one decoder
// reads them.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "network/decoded_packet.h"
#include "platform/types.h"
#include "platform/variant.h"

class PacketBase;

// How a value is computed from a packet's bytes.
enum class ValueRule : BYTE {
    kLinear,       // constant + opcode_factor x opcode + factor_a x byte a + factor_b x byte b
    kBcd,          // byte a read as two decimal digits
    kBankChannel,  // channel of opcodes 0x80..0x83: (opcode - 0x80) + 1, plus 4 x byte 4 + 4
                   // unless byte 4 is 255
    kButtonState,  // byte a as "release", "press" or "repeat"
    kSource,       // the packet's PortNumber
};

struct ValueExpr {
    ValueRule rule = ValueRule::kLinear;
    LONG constant = 0;
    LONG opcode_factor = 0;
    BYTE byte_a = 0;
    LONG factor_a = 0;
    BYTE byte_b = 0;
    LONG factor_b = 0;
};

struct NamedValueRule {
    const char16_t* name = nullptr;  // null: unused slot
    VARTYPE type = VT_EMPTY;         // VT_I4, VT_UI1, VT_BOOL or VT_BSTR
    ValueExpr value;
};

struct FieldRule {
    WORD field = 0;  // a DecodedPacket::Field; 0: unused slot
    ValueExpr value;
};

struct OpcodeRow {
    BYTE frame;         // byte 0: 0x1C or 0x5C
    BYTE first_opcode;  // byte 3 range, inclusive
    BYTE last_opcode;
    BYTE condition_bytes;  // bit n set: byte n must be at most condition_max
    BYTE condition_max;
    const char16_t* event;  // null: values are stored but no event is announced
    std::array<NamedValueRule, 2> values;
    std::array<FieldRule, 2> fields;
};

// The rows, in lookup order (a conditional row stands before the fallback for its opcode).
std::span<const OpcodeRow> OpcodeCatalogue();

// The first row matching the bytes (at least 7 of them); null when the opcode is not
// catalogued or its condition fails.
const OpcodeRow* FindOpcodeRow(const BYTE* bytes, std::size_t count);

// Stores the row's named values and typed fields on the packet; `bytes` are the packet's first
// 7 or more bytes.
void ApplyOpcodeRow(const OpcodeRow& row, PacketBase& packet, const BYTE* bytes);

// Decodes the header, then applies the packet's row if there is one. Returns the row (its event
// names how to announce the packet) or null.
const OpcodeRow* DecodeOpcode(PacketBase& packet);
